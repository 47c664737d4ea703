// Feeds arbitrary bytes to the Base64 codec. Checked properties: decoding
// any text never crashes and yields at most 3 bytes per 4 symbols (rounded
// up); decode(encode(x)) == x for every x; the encoding has the RFC length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "env/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::optional<std::string> decoded = tessaly::Base64Decode(input);
  if (decoded && decoded->size() > (size + 3) / 4 * 3) std::abort();

  const std::string encoded = tessaly::Base64Encode(input);
  if (encoded.size() != (size + 2) / 3 * 4) std::abort();
  const std::optional<std::string> back = tessaly::Base64Decode(encoded);
  if (!back || *back != input) std::abort();
  return 0;
}
