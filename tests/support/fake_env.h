// Fakes of the environment seams, for tests. Each records what it was asked.
#ifndef TESSALY_TESTS_SUPPORT_FAKE_ENV_H_
#define TESSALY_TESTS_SUPPORT_FAKE_ENV_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "env/clock.h"
#include "env/os_facts.h"

namespace tessaly::testing {

// A clock that stands still until told to move; SleepFor advances it.
class FakeClock : public Clock {
 public:
  WallTime now;
  std::chrono::steady_clock::time_point steady{};
  std::vector<std::chrono::milliseconds> sleeps;
  std::int64_t unix_seconds = 1800000000;

  WallTime Now() override { return now; }
  std::chrono::steady_clock::time_point Steady() override { return steady; }
  void SleepFor(std::chrono::milliseconds d) override {
    sleeps.push_back(d);
    steady += d;
  }
  std::int64_t UnixSeconds() override { return unix_seconds; }
};

class FakeOsFacts : public OsFacts {
 public:
  bool has_computer_name = true;
  std::string computer_name = "mailcheck";
  std::string domain;
  std::vector<std::string> adapters;
  int queries = 0;

  bool ComputerName(std::string* name) override {
    ++queries;
    if (has_computer_name) *name = computer_name;
    return has_computer_name;
  }
  std::string DnsDomain() override { ++queries; return domain; }
  std::vector<std::string> AdapterAddresses() override { ++queries; return adapters; }
};

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_FAKE_ENV_H_
