// Running a piece of a test without root's right to read and write every
// file, so that permission checks mean the same whoever runs the tests.
#ifndef TESSALY_TESTS_SUPPORT_UNPRIVILEGED_H_
#define TESSALY_TESTS_SUPPORT_UNPRIVILEGED_H_

#include <functional>

namespace tessaly::testing {

// The user and group ids the body runs as when the tests run as root.
inline constexpr unsigned kNobodyUid = 65534;
inline constexpr unsigned kNobodyGid = 65534;

// Runs body in a forked child and returns its result (0..255). When the
// test runs as root the child first drops every group and becomes
// kNobodyUid/kNobodyGid; otherwise it keeps the test's own user. A child
// that does not finish within timeout_seconds (it hangs) or dies gives -1.
int RunUnprivileged(const std::function<int()>& body, unsigned timeout_seconds = 20);

// True when the tests run as root (then RunUnprivileged changes user).
bool RunningAsRoot();

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_UNPRIVILEGED_H_
