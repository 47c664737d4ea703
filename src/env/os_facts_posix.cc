// The facts of this machine. The DNS domain is read from local files only
// (the host name itself when it is fully qualified, /etc/hosts, then
// /etc/resolv.conf): a DNS lookup of the own name can hang for a long time
// when the name servers are down, and the greeting name must never hold up
// a send.
#include "env/os_facts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "env/ascii_case.h"

namespace tessaly {
namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;  // hosts and resolv.conf are small

std::string ReadSmallFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string data(kMaxFileBytes, '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<std::size_t>(in.gcount()));
  return data;
}

bool FullHostName(std::string* name) {
  char buf[256] = {};
  if (gethostname(buf, sizeof(buf) - 1) != 0) return false;
  buf[sizeof(buf) - 1] = '\0';
  *name = buf;
  return !name->empty();
}

std::string StripLine(std::string line) {
  const std::size_t hash = line.find_first_of("#;");
  if (hash != std::string::npos) line.resize(hash);
  return line;
}

std::string DropTrailingDot(std::string s) {
  while (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

class PosixOsFacts : public OsFacts {
 public:
  bool ComputerName(std::string* name) override {
    std::string full;
    if (!FullHostName(&full)) return false;
    *name = full.substr(0, full.find('.'));
    return !name->empty();
  }

  std::string DnsDomain() override {
    std::string full;
    if (!FullHostName(&full)) return ResolvConfDomain(ReadSmallFile("/etc/resolv.conf"));
    const std::size_t dot = full.find('.');
    if (dot != std::string::npos) {
      std::string domain = DropTrailingDot(full.substr(dot + 1));
      if (!domain.empty()) return domain;
    }
    std::string domain = HostsFileDomain(ReadSmallFile("/etc/hosts"), full);
    if (!domain.empty()) return domain;
    return ResolvConfDomain(ReadSmallFile("/etc/resolv.conf"));
  }

  std::vector<std::string> AdapterAddresses() override {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::map<unsigned, std::string> by_index;  // index -> first IPv4 address
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
      if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
      if ((it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0) continue;
      sockaddr_in sin{};
      std::copy_n(reinterpret_cast<const unsigned char*>(it->ifa_addr), sizeof(sin),
                  reinterpret_cast<unsigned char*>(&sin));
      if (sin.sin_addr.s_addr == htonl(INADDR_ANY)) continue;
      char text[INET_ADDRSTRLEN] = {};
      if (inet_ntop(AF_INET, &sin.sin_addr, text, sizeof(text)) == nullptr) continue;
      const unsigned index = if_nametoindex(it->ifa_name);
      by_index.emplace(index, text);  // keeps the first address of each interface
    }
    freeifaddrs(list);
    std::vector<std::string> out;
    out.reserve(by_index.size());
    for (auto& [index, address] : by_index) out.push_back(std::move(address));
    return out;
  }
};

}  // namespace

std::string ResolvConfDomain(const std::string& resolv_conf) {
  std::istringstream in(resolv_conf);
  std::string line;
  std::string domain;
  while (std::getline(in, line)) {
    std::istringstream words(StripLine(line));
    std::string keyword;
    std::string first;
    if (!(words >> keyword >> first)) continue;
    if (keyword == "domain" || keyword == "search") domain = DropTrailingDot(first);
  }
  return domain;
}

std::string HostsFileDomain(const std::string& hosts, const std::string& host) {
  if (host.empty()) return {};
  std::istringstream in(hosts);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(StripLine(line));
    std::string address;
    std::string canonical;
    if (!(words >> address >> canonical)) continue;
    bool listed = EqualNoCase(canonical, host);
    for (std::string alias; !listed && (words >> alias);) listed = EqualNoCase(alias, host);
    if (!listed) continue;
    const std::size_t dot = canonical.find('.');
    if (dot == std::string::npos || !EqualNoCase(canonical.substr(0, dot), host)) return {};
    return DropTrailingDot(canonical.substr(dot + 1));
  }
  return {};
}

OsFacts& SystemOsFacts() {
  static PosixOsFacts facts;
  return facts;
}

}  // namespace tessaly
