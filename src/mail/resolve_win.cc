// The system lookup and the worker thread on Windows: getaddrinfo from
// Winsock, and a thread that holds a reference to its module. A worker may
// outlive the call that started it (its lookup still running at the
// deadline); if the host unloads the DLL meanwhile, the reference keeps the
// code mapped until the worker has ended, and FreeLibraryAndExitThread
// drops it without returning into the module.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <utility>

#include "mail/resolve.h"

namespace tessaly {
namespace {

struct Worker {
  std::function<void()> work;
  HMODULE module = nullptr;
};

DWORD WINAPI WorkerMain(void* arg) {
  auto* worker = static_cast<Worker*>(arg);
  try {
    worker->work();
  } catch (...) {  // nothing may escape a thread; the caller's wait ends by its deadline
  }
  HMODULE module = worker->module;
  delete worker;
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

// Any object of this module: its address names the module to keep loaded.
const char kModuleAnchor = 0;

}  // namespace

int SystemLookup(const std::string& host, const std::string& service, AddressFamily family,
                 std::vector<ResolvedAddress>* out) {
  static const bool winsock_ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!winsock_ready) return WSANOTINITIALISED;
  addrinfo hints{};
  hints.ai_family = family == AddressFamily::kIpv6   ? AF_INET6
                    : family == AddressFamily::kIpv4 ? AF_INET
                                                     : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) return rc;
  AppendResolved(list, out);
  freeaddrinfo(list);
  return 0;
}

bool RunDetached(std::function<void()> work) {
  auto* worker = new Worker{std::move(work), nullptr};
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&kModuleAnchor), &worker->module)) {
    worker->module = nullptr;
  }
  HANDLE thread = CreateThread(nullptr, 0, WorkerMain, worker, 0, nullptr);
  if (thread == nullptr) {
    if (worker->module != nullptr) FreeLibrary(worker->module);
    delete worker;
    return false;
  }
  CloseHandle(thread);
  return true;
}

}  // namespace tessaly
