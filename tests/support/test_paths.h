// Where the tests find the source tree, the build tree and the local mail
// stack's run directory.
#ifndef TESSALY_TESTS_SUPPORT_TEST_PATHS_H_
#define TESSALY_TESTS_SUPPORT_TEST_PATHS_H_

#include <string>

namespace tessaly::testing {

std::string SourceDir();
std::string BinaryDir();
// $TESSALY_MAILSTACK (set by CTest for tests labelled mail), else
// BinaryDir() + "/mailstack".
std::string MailStackDir();

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_TEST_PATHS_H_
