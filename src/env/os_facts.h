// The three operating-system facts that the SMTP greeting name is built
// from. Abstract so that tests can supply any machine.
#ifndef TESSALY_ENV_OS_FACTS_H_
#define TESSALY_ENV_OS_FACTS_H_

#include <string>
#include <vector>

namespace tessaly {

class OsFacts {
 public:
  virtual ~OsFacts() = default;
  // The host name up to its first "."; false when it cannot be read.
  virtual bool ComputerName(std::string* name) = 0;
  // The DNS domain of the host, "" when there is none or it cannot be read.
  virtual std::string DnsDomain() = 0;
  // The first IPv4 address of each network adapter, as dotted text, in the
  // order the system lists them (POSIX: interfaces that are up, by index,
  // loopback left out; Windows: GetAdaptersInfo order, "0.0.0.0" included);
  // empty when the query fails.
  virtual std::vector<std::string> AdapterAddresses() = 0;
};

// The facts of this machine from the platform's calls; a process-wide
// instance.
OsFacts& SystemOsFacts();

// POSIX: the pieces of SystemOsFacts that read files, for tests.
// The domain from resolv.conf text: the first name of the last "domain" or
// "search" line (the later one wins, as for the resolver), "" when none.
std::string ResolvConfDomain(const std::string& resolv_conf);
// The domain from hosts-file text: the part after the first "." of the first
// name on the first line that lists host (case-insensitive) as one of its
// names, when that name is host + "." + domain; "" otherwise.
std::string HostsFileDomain(const std::string& hosts, const std::string& host);

}  // namespace tessaly

#endif  // TESSALY_ENV_OS_FACTS_H_
