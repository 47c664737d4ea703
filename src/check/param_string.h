// The parameter string: one line that holds a check's whole configuration
// and its state, as items "#" KEY "=" value. Keys match without regard to
// case (ASCII letters only), the first occurrence wins, values keep their
// bytes. All functions are pure and work on bytes: every byte, 0 and
// 128-255 included, is kept.
#ifndef TESSALY_CHECK_PARAM_STRING_H_
#define TESSALY_CHECK_PARAM_STRING_H_

#include <string>
#include <string_view>

namespace tessaly {

// Value of key (blanks around key ignored), or "" when no item has it.
// The value ends before the next "#" after its "=", or at the end. A state
// key ("@@...") loses a trailing "@@" of its value.
std::string GetParameterValue(std::string_view params, std::string_view key);

// params with key set to value: replaced in place when present, else
// appended (a "#" added first when params does not end with one) and closed
// with "#". A state key gets "@@" appended to its value. An appended item
// carries the key without its surrounding blanks. value is stored as given:
// a "#" in it ends it early on reading (callers escape what needs it). A key
// must hold no "#": the item format cannot carry one, so an item appended
// under such a key is not found again by it.
std::string SetParameterValue(std::string_view params, std::string_view key,
                              std::string_view value);

// CR, LF and '"' (and '#' when escape_hash) replaced by their tokens.
std::string EscapeValue(std::string_view text, bool escape_hash);
// Every token (including "{0xod}" and "{0x20}") replaced by its character.
std::string UnescapeValue(std::string_view text);

// True only for exactly "T".
bool ParseFlag(std::string_view value);

// The leading number of text: blanks (space, tab) skipped, optional sign,
// digits, optional decimal point and fraction, up to the first byte that
// does not fit. No digits at all gives 0. An exponent, a hexadecimal prefix
// or a blank between digits ends the number ("1e3" is 1, "0x1F" is 0,
// "1 2" is 1). A fraction without integer digits counts (".5" is 0.5), a
// lone sign or point is 0. The decimal point is always "." whatever the
// locale. Integer digits beyond the double range give +/-infinity.
double LeadingNumber(std::string_view text);
// LeadingNumber truncated toward zero and saturated to the int range.
int LeadingInt(std::string_view text);

// Blanks (space and tab) removed from both ends.
std::string_view TrimBlanks(std::string_view text);

}  // namespace tessaly

#endif  // TESSALY_CHECK_PARAM_STRING_H_
