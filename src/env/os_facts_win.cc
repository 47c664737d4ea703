// The facts of this machine on Windows: GetComputerNameA for the computer
// name, GetNetworkParams for the DNS domain and GetAdaptersInfo for the
// adapters' first IPv4 addresses. Both network queries use the two-call
// pattern: a first call without a buffer asks for the size, a second one
// fills a buffer of exactly that size, and only its success counts.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "env/os_facts.h"

namespace tessaly {
namespace {

// The text of a fixed-size ANSI field up to its first 0 byte.
std::string FieldText(const char* field, std::size_t size) {
  const void* nul = std::memchr(field, '\0', size);
  return std::string(field, nul != nullptr
                               ? static_cast<std::size_t>(static_cast<const char*>(nul) - field)
                               : size);
}

// Runs query(buffer, &size) twice as described above; the buffer is empty
// when the query yields nothing.
template <typename Query>
std::vector<unsigned char> TwoCall(Query query) {
  ULONG size = 0;
  query(nullptr, &size);
  if (size == 0) return {};
  std::vector<unsigned char> buffer(size);
  ULONG second = size;
  if (query(buffer.data(), &second) != ERROR_SUCCESS) return {};
  return buffer;
}

class WindowsOsFacts : public OsFacts {
 public:
  bool ComputerName(std::string* name) override {
    char buffer[256] = {};
    DWORD length = sizeof buffer;
    if (!GetComputerNameA(buffer, &length)) return false;
    name->assign(buffer, length < sizeof buffer ? length : sizeof buffer);
    return true;
  }

  std::string DnsDomain() override {
    const std::vector<unsigned char> buffer = TwoCall([](unsigned char* data, ULONG* size) {
      return GetNetworkParams(reinterpret_cast<FIXED_INFO*>(data), size);
    });
    if (buffer.size() < sizeof(FIXED_INFO)) return {};
    FIXED_INFO info;
    std::memcpy(&info, buffer.data(), sizeof info);
    return FieldText(info.DomainName, sizeof info.DomainName);
  }

  std::vector<std::string> AdapterAddresses() override {
    std::vector<unsigned char> buffer = TwoCall([](unsigned char* data, ULONG* size) {
      return GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(data), size);
    });
    std::vector<std::string> out;
    if (buffer.size() < sizeof(IP_ADAPTER_INFO)) return out;
    const unsigned char* begin = buffer.data();
    const unsigned char* end = begin + buffer.size();
    // The records are linked through Next inside the buffer; a link that
    // leaves the buffer ends the list rather than reading outside it.
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_INFO*>(begin); adapter != nullptr;
         adapter = adapter->Next) {
      const auto* at = reinterpret_cast<const unsigned char*>(adapter);
      if (at < begin || at + sizeof(IP_ADAPTER_INFO) > end) break;
      out.push_back(FieldText(adapter->IpAddressList.IpAddress.String,
                              sizeof adapter->IpAddressList.IpAddress.String));
      if (out.size() > buffer.size()) break;  // a cycle of links
    }
    return out;
  }
};

}  // namespace

OsFacts& SystemOsFacts() {
  static WindowsOsFacts facts;
  return facts;
}

}  // namespace tessaly
