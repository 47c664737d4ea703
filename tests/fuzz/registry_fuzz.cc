// Feeds arbitrary bytes to the registry-file functions as a file's content.
// Checked properties:
//   - decoding and looking a value up never crash or hang, for any bytes;
//   - a file that parses accepts a new section: the result keeps every
//     original byte as its prefix, parses again, and has the new key, while
//     a key the file already had is still found;
//   - a file that does not parse is never given a section.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "env/registry_file.h"

namespace {

constexpr std::string_view kNewKey = "SOFTWARE\\Fuzz\\Gr\xC3\xBC\xC3\x9F";
constexpr std::string_view kOldKey = "SOFTWARE\\X";

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tessaly::RegistryEncoding encoding;
  (void)tessaly::DecodeRegistryText(bytes, &encoding);

  const tessaly::RegistryLookup before = tessaly::LookupRegistryValue(bytes, kOldKey, "A");
  const std::optional<std::string> appended = tessaly::AppendRegistrySection(bytes, kNewKey);
  Check(appended.has_value() == before.parsed);
  if (!appended) return 0;
  Check(appended->compare(0, bytes.size(), bytes) == 0);
  const tessaly::RegistryLookup added = tessaly::LookupRegistryValue(*appended, kNewKey, "A");
  Check(added.parsed && added.key_found);
  const tessaly::RegistryLookup old = tessaly::LookupRegistryValue(*appended, kOldKey, "A");
  Check(old.parsed && old.key_found == before.key_found);
  return 0;
}
