#include "host/com/variant_convert.h"

#include <cmath>

#include "env/ansi_text_win.h"

namespace tessaly::com {
namespace {

// Text of a VARIANT the way the host's own conversion writes it; "" when
// it has none (Null, arrays, objects without a default value).
std::string TextOf(const VARIANT& value) {
  VARIANT text;
  VariantInit(&text);
  std::string out;
  if (SUCCEEDED(VariantChangeTypeEx(&text, const_cast<VARIANT*>(&value), LOCALE_USER_DEFAULT,
                                    VARIANT_ALPHABOOL, VT_BSTR))) {
    out = BstrToAnsi(text.bstrVal);
  }
  VariantClear(&text);
  return out;
}

// A host value the core has no kind for, or an object reference. Get hands
// the VARIANT back unchanged (a new reference for an object).
class ComValue : public VariantObject {
 public:
  explicit ComValue(const VARIANT& value) {
    VariantInit(&value_);
    VariantCopy(&value_, const_cast<VARIANT*>(&value));
  }
  ~ComValue() override { VariantClear(&value_); }
  ComValue(const ComValue&) = delete;
  ComValue& operator=(const ComValue&) = delete;

  std::string DefaultText() const override { return TextOf(value_); }
  void CopyTo(VARIANT* out) const { VariantCopy(out, const_cast<VARIANT*>(&value_)); }

 private:
  VARIANT value_;
};

bool IsObject(VARTYPE vt) { return vt == VT_DISPATCH || vt == VT_UNKNOWN; }

// The default value (DISPID_VALUE) of an object; false when it has none.
bool DefaultValue(const VARIANT& object, VARIANT* out) {
  if (object.vt != VT_DISPATCH || object.pdispVal == nullptr) return false;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return SUCCEEDED(object.pdispVal->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT,
                                           DISPATCH_PROPERTYGET, &none, out, nullptr,
                                           nullptr)) &&
         !IsObject(out->vt);
}

Variant FromPlain(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY: return Variant();
    case VT_BSTR: return Variant(BstrToAnsi(v.bstrVal));
    case VT_BOOL: return Variant(v.boolVal != VARIANT_FALSE);
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
    case VT_INT: case VT_UINT: case VT_I8: case VT_UI8: case VT_R4: case VT_R8:
    case VT_CY: case VT_DECIMAL: {
      VARIANT number;
      VariantInit(&number);
      if (SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(&v), 0, VT_R8))) {
        return Variant(number.dblVal);
      }
      break;
    }
    default: break;
  }
  return Variant(std::make_shared<ComValue>(v));
}

}  // namespace

Variant FromVariant(const VARIANT& value, Assign how) {
  VARIANT v;
  VariantInit(&v);
  if (FAILED(VariantCopyInd(&v, const_cast<VARIANT*>(&value)))) return Variant();
  Variant out;
  if (IsObject(v.vt)) {
    VARIANT deflt;
    VariantInit(&deflt);
    if (how == Assign::kLet && DefaultValue(v, &deflt)) {
      out = FromPlain(deflt);
    } else if ((v.vt == VT_DISPATCH && v.pdispVal == nullptr) ||
               (v.vt == VT_UNKNOWN && v.punkVal == nullptr)) {
      out = Variant();  // Nothing
    } else {
      out = Variant(std::make_shared<ComValue>(v));
    }
    VariantClear(&deflt);
  } else {
    out = FromPlain(v);
  }
  VariantClear(&v);
  return out;
}

void ToVariant(const Variant& value, VARIANT* out) {
  VariantClear(out);
  switch (value.kind()) {
    case Variant::Kind::kEmpty: return;
    case Variant::Kind::kText:
      out->vt = VT_BSTR;
      out->bstrVal = NewBstr(value.ToText());
      return;
    case Variant::Kind::kBoolean:
      out->vt = VT_BOOL;
      out->boolVal = value.ToText() == "True" ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case Variant::Kind::kNumber: {
      const std::optional<long long> whole = value.ToInteger();  // NOLINT(runtime/int)
      const double number = std::strtod(value.ToText().c_str(), nullptr);
      if (whole && static_cast<double>(*whole) == number && *whole >= INT32_MIN &&
          *whole <= INT32_MAX) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(*whole);
      } else {
        out->vt = VT_R8;
        out->dblVal = number;
      }
      return;
    }
    case Variant::Kind::kObject: {
      const std::shared_ptr<VariantObject> object = value.Object();
      if (const auto* held = dynamic_cast<const ComValue*>(object.get())) {
        held->CopyTo(out);
      } else {
        out->vt = VT_BSTR;
        out->bstrVal = NewBstr(value.ToText());
      }
      return;
    }
  }
}

}  // namespace tessaly::com
