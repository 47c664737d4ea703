#include "support/test_paths.h"

#include <cstdlib>

namespace tessaly::testing {

std::string SourceDir() { return TESSALY_SOURCE_DIR; }
std::string BinaryDir() { return TESSALY_BINARY_DIR; }

std::string MailStackDir() {
  const char* dir = std::getenv("TESSALY_MAILSTACK");
  return dir != nullptr ? dir : BinaryDir() + "/mailstack";
}

}  // namespace tessaly::testing
