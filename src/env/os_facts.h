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
  // The first IPv4 address of each interface that is up, in interface-index
  // order, loopback left out, as dotted text; empty when the query fails.
  virtual std::vector<std::string> AdapterAddresses() = 0;
};

// The facts of this machine from POSIX calls; a process-wide instance.
OsFacts& SystemOsFacts();

}  // namespace tessaly

#endif  // TESSALY_ENV_OS_FACTS_H_
