// VARIANTs of a COM host to the core's Variant and back.
//   VT_EMPTY          empty
//   VT_BSTR           text (converted to the ANSI code page)
//   VT_BOOL           Boolean
//   integer and floating types, VT_CY, VT_DECIMAL   number
//   an object         with set: a reference to it (its default value is the
//                     text the check sees); with let: a copy of its default
//                     value, or the reference when it has none
//   anything else (VT_NULL, VT_DATE, VT_ERROR, arrays)
//                     kept as it is, inside an object value, so that get
//                     returns what was stored; the check sees its text
// Back: a number that is whole and fits 32 bits becomes VT_I4, any other
// VT_R8. By-reference VARIANTs are read through. Nothing here fails.
#ifndef TESSALY_HOST_COM_VARIANT_CONVERT_H_
#define TESSALY_HOST_COM_VARIANT_CONVERT_H_

#include <windows.h>
#include <oleauto.h>

#include "check/variant.h"

namespace tessaly::com {

enum class Assign { kLet, kSet };

Variant FromVariant(const VARIANT& value, Assign how);
// *out must be initialised (VariantInit); it is cleared first.
void ToVariant(const Variant& value, VARIANT* out);

}  // namespace tessaly::com

#endif  // TESSALY_HOST_COM_VARIANT_CONVERT_H_
