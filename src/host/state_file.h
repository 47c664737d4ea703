// The command-line host's state file: one file that holds a check's
// parameter string (configuration, passwords and the state the check writes
// back) between two runs.
//
// File format: the parameter string's bytes followed by one "\n". Reading
// drops exactly one trailing "\n", so every string, one that itself ends in
// "\n" included, reads back as written, and a file written by hand with an
// editor's closing line break reads as the string without it.
//
// Updates are serialised by flock(2) on a lock file beside the state file,
// PATH + ".lock" (created 0600, never removed). The state file itself is
// replaced by rename, so locking it would lock a stale inode; the lock file
// is never replaced. Readers need no lock: they see the old or the new file.
#ifndef TESSALY_HOST_STATE_FILE_H_
#define TESSALY_HOST_STATE_FILE_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "env/status.h"

namespace tessaly {

// Largest state file read; a larger one is an error rather than a huge
// allocation.
inline constexpr size_t kMaxStateFileBytes = 16 * 1024 * 1024;

// Fills *parameter with the stored string. A missing file gives "" and ok.
// Any other failure (unreadable, a directory, too large) gives an error
// whose message names the path and the reason; *parameter is then "".
Status ReadStateFile(const std::string& path, std::string* parameter);

// Read-modify-write under an exclusive lock:
//  1. takes the lock on PATH.lock, waiting at most lock_wait for a holder to
//     let go (zero: one attempt); on timeout an error says the state file is
//     busy and nothing is read or written;
//  2. reads the current string as ReadStateFile does;
//  3. calls update with it; a non-ok Status from update is returned as is
//     and nothing is written;
//  4. when the string changed (or the file did not exist, or it holds a
//     password and its mode gives group or others any access), writes it
//     through ReplaceFileContents (env/safe_write.h): a temporary file with
//     a random name in the same directory, synced and renamed over PATH.
// A crash or kill at any moment leaves either the old or the new string in
// PATH, never a mix; on any failure before the rename PATH is untouched and
// the temporary file removed. A new file is created with mode 0600. An
// existing file keeps its permission bits (never widened) and, where the
// process may set them, its owner and group; but whenever the string holds
// a password (SPWD or PPWD not empty) the group and other bits are cleared,
// so 0644 becomes 0600 and 0640 becomes 0600. PATH must not be a symbolic
// link (it would be replaced by a regular file): that is an error.
// The lock is held while update runs, so a second run waits for the first.
Status UpdateStateFile(
    const std::string& path, std::chrono::milliseconds lock_wait,
    const std::function<Status(std::string* parameter)>& update);

}  // namespace tessaly

#endif  // TESSALY_HOST_STATE_FILE_H_
