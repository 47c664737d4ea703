// Pure functions over the bytes of a registry export file ("Windows Registry
// Editor Version 5.00"): decoding, looking a value up, and appending an empty
// section. Files are UTF-8 (with or without byte-order mark) or UTF-16LE
// with byte-order mark, as regedit writes them. Nothing here touches a file.
#ifndef TESSALY_ENV_REGISTRY_FILE_H_
#define TESSALY_ENV_REGISTRY_FILE_H_

#include <optional>
#include <string>
#include <string_view>

#include "env/settings_store.h"

namespace tessaly {

enum class RegistryEncoding { kUtf8, kUtf16Le };

// The file's text as UTF-8 without byte-order mark, and the encoding found.
// A file starting FF FE is UTF-16LE; it gives std::nullopt when its byte
// count after the mark is odd or it holds an unpaired surrogate. Any other
// file is taken as UTF-8 bytes, unchanged apart from a leading EF BB BF.
std::optional<std::string> DecodeRegistryText(std::string_view bytes,
                                              RegistryEncoding* encoding);

struct RegistryLookup {
  bool parsed = false;     // false: not a registry file this parser understands
  bool key_found = false;  // the section key_path exists
  std::optional<RegistryValue> value;  // string or dword value; else absent
};

// Looks up value_name (the empty name is the default value "@") in the section
// [HKEY_LOCAL_MACHINE\key_path]. Section and value names match without
// regard to ASCII case; a later line for the same value wins. String values
// carry their terminating NUL; hex(N) and every other type are absent. Any
// syntax fault anywhere in the file gives parsed == false.
RegistryLookup LookupRegistryValue(std::string_view bytes, std::string_view key_path,
                                   std::string_view value_name);

// The bytes of a file that does not exist yet: the header line and CRLF.
std::string NewRegistryFileBytes();

// bytes with an empty section [HKEY_LOCAL_MACHINE\key_path] appended, in the
// file's own encoding (UTF-16LE files get UTF-16LE, CRLF line ends). Every
// original byte is kept as a prefix; a final line without line end is ended
// first. std::nullopt when bytes do not parse or key_path is not valid
// UTF-8 text free of line breaks and "]".
std::optional<std::string> AppendRegistrySection(std::string_view bytes,
                                                 std::string_view key_path);

}  // namespace tessaly

#endif  // TESSALY_ENV_REGISTRY_FILE_H_
