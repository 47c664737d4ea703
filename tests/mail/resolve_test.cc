// The name lookup under the connection's deadline: a resolver that does not
// answer ends the call at the deadline with the connection's time-out text,
// and the worker left behind frees what it owns once its lookup returns;
// lookups that answer give their code and addresses as before. Stalled
// resolvers are lookups that wait on a latch, so no network is needed.
#include "mail/resolve.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mail/connection.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

// A latch the stalled lookup waits on until the test opens it.
struct Latch {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  bool entered = false;  // the lookup has started waiting

  void Open() {
    {
      std::lock_guard<std::mutex> lock(mu);
      open = true;
    }
    cv.notify_all();
  }
};

// A lookup that stalls until latch opens, then answers with one address
// (written into the slot after its caller has long returned). It gives up
// waiting after 15 s, so a lookup run without a deadline fails the test
// instead of hanging it.
LookupFunction StalledLookup(const std::shared_ptr<Latch>& latch) {
  return [latch](const std::string&, const std::string&, AddressFamily,
                 std::vector<ResolvedAddress>* out) {
    std::unique_lock<std::mutex> lock(latch->mu);
    latch->entered = true;
    latch->cv.notify_all();
    latch->cv.wait_for(lock, seconds(15), [&] { return latch->open; });
    out->push_back(ResolvedAddress{2, 1, 6, std::vector<unsigned char>(16, 0)});
    return 0;
  };
}

// Waits (generously) until the worker has dropped its copy of the lookup,
// and with it everything it held: true when it did.
bool WorkerLetGo(const std::weak_ptr<Latch>& latch) {
  const auto end = steady_clock::now() + seconds(20);
  while (!latch.expired()) {
    if (steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

TEST(ResolveTest, StalledLookupEndsAtTheDeadlineAndItsWorkerCleansUp) {
  auto latch = std::make_shared<Latch>();
  std::weak_ptr<Latch> watch = latch;
  const auto start = steady_clock::now();
  Resolution r = ResolveBy("stalled.example", "25", AddressFamily::kIpv4,
                           start + milliseconds(300), StalledLookup(latch));
  const auto took = steady_clock::now() - start;
  EXPECT_TRUE(r.timed_out);
  EXPECT_TRUE(r.addresses.empty());
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, seconds(10));

  latch->Open();
  latch.reset();
  EXPECT_TRUE(WorkerLetGo(watch)) << "the worker still holds its lookup";
}

TEST(ResolveTest, ConnectionGivesItsTimeoutTextWhenTheResolverStalls) {
  auto latch = std::make_shared<Latch>();
  std::weak_ptr<Latch> watch = latch;
  Connection c;
  c.SetTimeout(1);
  c.SetLookup(StalledLookup(latch));
  const auto start = steady_clock::now();
  Status s = c.Open("stalled.example", 110, false);
  const auto took = steady_clock::now() - start;
  EXPECT_EQ(s.message(), "connection timed out after 1 s");
  EXPECT_EQ(s.code(), kErrorTransport);
  EXPECT_FALSE(c.IsOpen());
  EXPECT_LT(took, seconds(10));
  {
    std::lock_guard<std::mutex> lock(latch->mu);
    EXPECT_TRUE(latch->entered) << "the lookup never ran";
  }

  // The connection and its lookup go; the worker ends on its own later.
  c.SetLookup(SystemLookup);
  latch->Open();
  latch.reset();
  EXPECT_TRUE(WorkerLetGo(watch)) << "the worker still holds its lookup";
}

TEST(ResolveTest, LookupThatAnswersInTimeGivesItsResult) {
  struct Case {
    const char* name;
    int code;
    std::size_t addresses;
  };
  const Case cases[] = {{"found", 0, 2}, {"not found", 11001, 0}};
  for (const Case& k : cases) {
    LookupFunction lookup = [&k](const std::string& host, const std::string& service,
                                 AddressFamily family, std::vector<ResolvedAddress>* out) {
      EXPECT_EQ(host, "mail.example") << k.name;
      EXPECT_EQ(service, "993") << k.name;
      EXPECT_EQ(family, AddressFamily::kIpv6) << k.name;
      for (std::size_t i = 0; i < k.addresses; ++i) out->push_back(ResolvedAddress{});
      return k.code;
    };
    Resolution r = ResolveBy("mail.example", "993", AddressFamily::kIpv6,
                             steady_clock::now() + seconds(30), lookup);
    EXPECT_FALSE(r.timed_out) << k.name;
    EXPECT_EQ(r.code, k.code) << k.name;
    EXPECT_EQ(r.addresses.size(), k.addresses) << k.name;
  }
}

// The system resolver through the worker: names from the hosts file and
// address literals, no DNS server needed.
TEST(ResolveTest, SystemLookupFindsLoopback) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    Resolution r = ResolveBy(host, "2525", AddressFamily::kIpv4,
                             steady_clock::now() + seconds(30));
    ASSERT_FALSE(r.timed_out) << host;
    ASSERT_EQ(r.code, 0) << host;
    ASSERT_FALSE(r.addresses.empty()) << host;
    // A sockaddr_in on either system: port and address in network order.
    const std::vector<unsigned char>& a = r.addresses.front().address;
    ASSERT_GE(a.size(), 8u) << host;
    EXPECT_EQ(a[2] * 256 + a[3], 2525) << host;
    EXPECT_EQ(std::vector<unsigned char>(a.begin() + 4, a.begin() + 8),
              (std::vector<unsigned char>{127, 0, 0, 1}))
        << host;
  }
}

// A failed lookup keeps the connection's own words, not the time-out's (the
// system's text for the code follows; connection_test checks it on POSIX).
TEST(ResolveTest, FailedLookupKeepsTheUnknownHostText) {
  Connection c;
  c.SetTimeout(5);
  c.SetLookup([](const std::string&, const std::string&, AddressFamily,
                 std::vector<ResolvedAddress>*) { return 11001; });
  Status s = c.Open("nowhere.invalid", 110, false);
  EXPECT_EQ(s.message().rfind("cannot resolve nowhere.invalid for IPv4: ", 0), 0u)
      << s.message();
  EXPECT_EQ(s.code(), kErrorTransport);
}

}  // namespace
}  // namespace tessaly
