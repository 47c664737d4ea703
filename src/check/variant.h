// The value of one check-object property: empty, text, number, Boolean or a
// reference to an object. Hosts store whatever type they like; the check
// reads the value as text or as a number when it needs one.
#ifndef TESSALY_CHECK_VARIANT_H_
#define TESSALY_CHECK_VARIANT_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tessaly {

// An object a host hands in by reference. Its default value is what the
// check sees when it needs the property as text.
class VariantObject {
 public:
  virtual ~VariantObject() = default;
  virtual std::string DefaultText() const = 0;
};

class Variant {
 public:
  enum class Kind { kEmpty, kText, kNumber, kBoolean, kObject };

  Variant() = default;  // empty
  explicit Variant(std::string text) : value_(std::move(text)) {}
  explicit Variant(std::string_view text) : value_(std::string(text)) {}
  explicit Variant(const char* text) : value_(std::string(text)) {}
  explicit Variant(double number) : value_(number) {}
  explicit Variant(int number) : value_(static_cast<double>(number)) {}
  explicit Variant(bool flag) : value_(flag) {}
  // An object reference; a null pointer gives an empty value.
  explicit Variant(std::shared_ptr<VariantObject> object);

  Kind kind() const;
  bool IsEmpty() const { return kind() == Kind::kEmpty; }
  // The referenced object (a new reference), or null when none is held.
  std::shared_ptr<VariantObject> Object() const;

  // The value as text: empty gives "", a number its shortest decimal form
  // ("30", "2.5", "-1"), a Boolean "True" or "False", an object its
  // default text.
  std::string ToText() const;

  // The value as a whole number, rounded half to even, the way a host's
  // numeric property conversion works: empty gives 0, a Boolean -1 or 0, a
  // text must hold a decimal number (blanks around allowed). Returns
  // nullopt for text that is not a number or for a value outside the long
  // long range.
  std::optional<long long> ToInteger() const;

 private:
  std::variant<std::monostate, std::string, double, bool,
               std::shared_ptr<VariantObject>>
      value_;
};

}  // namespace tessaly

#endif  // TESSALY_CHECK_VARIANT_H_
