// Host-name lookup bounded by a deadline. The system resolver has its own
// time-outs (servers times attempts in resolv.conf, the DNS client's on
// Windows), which can hold a caller far past the operation's time-out; here
// the lookup runs on a worker thread and the caller waits for it only until
// the deadline. A lookup that is still running then is left to finish on
// its own: the worker owns copies of its inputs and shares the result slot,
// so it frees what the lookup returned whenever it ends. Internal to
// src/mail: resolve.cc holds the wait, resolve_posix.cc and resolve_win.cc
// the system lookup and the worker thread.
#ifndef TESSALY_MAIL_RESOLVE_H_
#define TESSALY_MAIL_RESOLVE_H_

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tessaly {

enum class AddressFamily { kAny, kIpv4, kIpv6 };

// One address the resolver gave, ready for socket() and connect(): the
// family, type and protocol as the system numbers them and the socket
// address's bytes (a sockaddr_in or sockaddr_in6).
struct ResolvedAddress {
  int family = 0;
  int socktype = 0;
  int protocol = 0;
  std::vector<unsigned char> address;
};

// A lookup of host and service (a port number as text) for stream sockets
// of family: the system's code (0 on success, else what getaddrinfo
// returned), with the addresses in the resolver's order appended to *out.
// It may run on another thread than its caller's and keep running after the
// caller has gone: it must touch nothing but its arguments and what it owns.
using LookupFunction = std::function<int(const std::string& host, const std::string& service,
                                         AddressFamily family,
                                         std::vector<ResolvedAddress>* out)>;

// Appends the addresses of a getaddrinfo list (either platform's addrinfo)
// to *out, so no list outlives the lookup that made it.
template <typename AddrInfo>
void AppendResolved(const AddrInfo* list, std::vector<ResolvedAddress>* out) {
  for (const AddrInfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    ResolvedAddress a;
    a.family = ai->ai_family;
    a.socktype = ai->ai_socktype;
    a.protocol = ai->ai_protocol;
    const auto* bytes = reinterpret_cast<const unsigned char*>(ai->ai_addr);
    a.address.assign(bytes, bytes + ai->ai_addrlen);
    out->push_back(std::move(a));
  }
}

// The system resolver: getaddrinfo, its list copied and freed at once.
int SystemLookup(const std::string& host, const std::string& service, AddressFamily family,
                 std::vector<ResolvedAddress>* out);

struct Resolution {
  bool timed_out = false;  // the deadline came first; code and addresses are empty
  int code = 0;            // the lookup's code
  std::vector<ResolvedAddress> addresses;
};

// Runs lookup on a worker thread and waits for it until deadline; past it
// the result says timed_out and the worker is left to end on its own.
// Without a worker thread (the system has none to give) the lookup runs on
// the caller's thread, as a plain call would.
Resolution ResolveBy(const std::string& host, const std::string& service,
                     AddressFamily family, std::chrono::steady_clock::time_point deadline,
                     const LookupFunction& lookup = SystemLookup);

// Starts work on a thread of its own that nobody joins; false when no
// thread could be made (work was not run). On Windows the thread holds a
// reference to the module it runs in, so a DLL that is unloaded meanwhile
// stays mapped until the thread has ended.
bool RunDetached(std::function<void()> work);

}  // namespace tessaly

#endif  // TESSALY_MAIL_RESOLVE_H_
