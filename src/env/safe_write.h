// Replacing the whole contents of a file so that a crash, a kill or a
// hostile neighbour in the same directory never leaves a torn file, a file
// with wider permissions or a write through a planted link. Used for the
// command-line host's state file and for the registry file of the settings
// store.
#ifndef TESSALY_ENV_SAFE_WRITE_H_
#define TESSALY_ENV_SAFE_WRITE_H_

#include <string>
#include <string_view>

#include "env/status.h"

namespace tessaly {

struct ReplaceFileOptions {
  // Names the file in error messages: "<what> <path>: <reason>".
  std::string_view what = "file";
  // A file that does not exist yet is created (false: that is an error).
  bool create = true;
  // Permission bits of a newly created file (umask not applied).
  unsigned new_file_mode = 0600;
  // Permission bits taken away from an existing file's bits, e.g. 077 so
  // that only the owner keeps access. 0 keeps the bits as they are.
  unsigned clear_mode_bits = 0;
  // A symbolic link at path: true writes the file that the link finally
  // names and leaves every link in place; false makes it an error.
  bool follow_links = false;
  // An existing file's owner and group are kept where the process may set
  // them. When they cannot be kept: true makes it an error (nothing is
  // written), false lets the new file belong to the process.
  bool require_same_owner = false;
};

// Replaces the contents of the file at path by content. The new contents
// go to a temporary file with a random name in the target's own directory,
// opened with O_CREAT|O_EXCL|O_NOFOLLOW (so no planted name is ever
// followed), given the target's mode (less clear_mode_bits) and owner,
// synced, and renamed over the target; the directory is synced after. A
// target that was changed or created by someone else while this ran is not
// replaced (an error). On any error before the rename the target is
// untouched and the temporary file removed; a process killed meanwhile can
// leave a temporary file "<target>.tmp.<random>" (mode 0600) behind.
Status ReplaceFileContents(const std::string& path, std::string_view content,
                           const ReplaceFileOptions& options);

}  // namespace tessaly

#endif  // TESSALY_ENV_SAFE_WRITE_H_
