// The system lookup and the worker thread on POSIX: getaddrinfo, and a
// detached std::thread.
#include <netdb.h>
#include <sys/socket.h>

#include <exception>
#include <thread>
#include <utility>

#include "mail/resolve.h"

namespace tessaly {

int SystemLookup(const std::string& host, const std::string& service, AddressFamily family,
                 std::vector<ResolvedAddress>* out) {
  addrinfo hints{};
  hints.ai_family = family == AddressFamily::kIpv6   ? AF_INET6
                    : family == AddressFamily::kIpv4 ? AF_INET
                                                     : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) return rc;
  AppendResolved(list, out);
  ::freeaddrinfo(list);
  return 0;
}

bool RunDetached(std::function<void()> work) {
  try {
    std::thread([body = std::move(work)] {
      try {
        body();
      } catch (...) {  // nothing may escape a thread; the caller's wait ends by its deadline
      }
    }).detach();
    return true;
  } catch (const std::exception&) {  // std::system_error: no thread to give
    return false;
  }
}

}  // namespace tessaly
