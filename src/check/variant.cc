#include "check/variant.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "check/param_string.h"

namespace tessaly {

Variant::Variant(std::shared_ptr<VariantObject> object) {
  if (object != nullptr) value_ = std::move(object);
}

Variant::Kind Variant::kind() const {
  switch (value_.index()) {
    case 1: return Kind::kText;
    case 2: return Kind::kNumber;
    case 3: return Kind::kBoolean;
    case 4: return Kind::kObject;
    default: return Kind::kEmpty;
  }
}

std::shared_ptr<VariantObject> Variant::Object() const {
  if (const auto* object = std::get_if<std::shared_ptr<VariantObject>>(&value_)) {
    return *object;
  }
  return nullptr;
}

namespace {

std::string NumberText(double number) {
  if (std::isnan(number)) return "NaN";
  if (std::isinf(number)) return number < 0 ? "-Infinity" : "Infinity";
  char buffer[40];
  // Shortest form that reads back as the same double.
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, number);
    if (std::strtod(buffer, nullptr) == number) break;
  }
  return buffer;
}

std::optional<long long> RoundToInteger(double number) {
  if (!std::isfinite(number)) return std::nullopt;
  const double rounded = std::nearbyint(number);  // half to even
  if (rounded < -9.2e18 || rounded > 9.2e18) return std::nullopt;
  return static_cast<long long>(rounded);
}

// Strict decimal number: optional blanks, sign, digits with an optional
// fraction (at least one digit), optional blanks, nothing else.
std::optional<double> ParseDecimal(std::string_view text) {
  text = TrimBlanks(text);
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0 || i != text.size()) return std::nullopt;
  return LeadingNumber(text);
}

}  // namespace

std::string Variant::ToText() const {
  switch (kind()) {
    case Kind::kText: return std::get<std::string>(value_);
    case Kind::kNumber: return NumberText(std::get<double>(value_));
    case Kind::kBoolean: return std::get<bool>(value_) ? "True" : "False";
    case Kind::kObject: return Object()->DefaultText();
    case Kind::kEmpty: break;
  }
  return "";
}

std::optional<long long> Variant::ToInteger() const {
  switch (kind()) {
    case Kind::kEmpty: return 0;
    case Kind::kBoolean: return std::get<bool>(value_) ? -1 : 0;
    case Kind::kNumber: return RoundToInteger(std::get<double>(value_));
    case Kind::kText: {
      const std::optional<double> number = ParseDecimal(std::get<std::string>(value_));
      if (!number) return std::nullopt;
      return RoundToInteger(*number);
    }
    case Kind::kObject: {
      const std::optional<double> number = ParseDecimal(Object()->DefaultText());
      if (!number) return std::nullopt;
      return RoundToInteger(*number);
    }
  }
  return std::nullopt;
}

}  // namespace tessaly
