// The deadline-bound wait for a lookup on a worker thread. The caller and
// the worker share one slot through a shared_ptr: whichever lets go last
// frees it, so a worker that ends after its caller has returned writes into
// a slot that still exists and nobody reads.
#include "mail/resolve.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace tessaly {
namespace {

struct Slot {
  std::mutex mu;
  std::condition_variable done_cv;
  bool done = false;
  Resolution result;
};

}  // namespace

Resolution ResolveBy(const std::string& host, const std::string& service,
                     AddressFamily family, std::chrono::steady_clock::time_point deadline,
                     const LookupFunction& lookup) {
  auto slot = std::make_shared<Slot>();
  // The worker gets its own copies: the caller's strings and lookup may be
  // gone by the time it ends.
  const bool started = RunDetached([slot, host, service, family, lookup] {
    Resolution r;
    r.code = lookup(host, service, family, &r.addresses);
    {
      std::lock_guard<std::mutex> lock(slot->mu);
      slot->result = std::move(r);
      slot->done = true;
    }
    slot->done_cv.notify_all();
  });
  if (!started) {
    Resolution r;
    r.code = lookup(host, service, family, &r.addresses);
    return r;
  }
  std::unique_lock<std::mutex> lock(slot->mu);
  if (!slot->done_cv.wait_until(lock, deadline, [&] { return slot->done; })) {
    Resolution late;
    late.timed_out = true;
    return late;
  }
  return std::move(slot->result);
}

}  // namespace tessaly
