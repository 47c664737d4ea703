// Test helpers for the COM servers: a late-bound client that drives an
// object through IDispatch by member name, the way a host or a script does,
// and a capture of the debugger output lines written in this process.
#ifndef TESSALY_TESTS_SUPPORT_COM_CLIENT_WIN_H_
#define TESSALY_TESTS_SUPPORT_COM_CLIENT_WIN_H_

#include <windows.h>
#include <oleauto.h>

#include <mutex>
#include <string>
#include <vector>

#include "env/ansi_text_win.h"

namespace tessaly::testing {

// Owns a VARIANT.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  explicit Var(const wchar_t* text) {
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
  }
  // Text in the ANSI code page, as the check keeps it.
  explicit Var(const std::string& text) {
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = NewBstr(text);
  }
  static Var I2(short n) {  // NOLINT(runtime/int)
    Var x;
    x.v.vt = VT_I2;
    x.v.iVal = n;
    return x;
  }
  ~Var() { VariantClear(&v); }
  Var(Var&& o) noexcept : v(o.v) { VariantInit(&o.v); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
  // The BSTR as text in the ANSI code page ("" for any other type).
  std::string Text() const {
    if (v.vt != VT_BSTR) return {};
    return BstrToAnsi(v.bstrVal);
  }
};

class DispatchClient {
 public:
  explicit DispatchClient(IDispatch* object) : object_(object) {}
  ~DispatchClient() {
    if (object_ != nullptr) object_->Release();
  }
  DispatchClient(const DispatchClient&) = delete;
  DispatchClient& operator=(const DispatchClient&) = delete;
  IDispatch* get() const { return object_; }

  HRESULT Put(const wchar_t* name, const VARIANT& value) {
    return PutWith(name, value, DISPATCH_PROPERTYPUT);
  }
  HRESULT PutRef(const wchar_t* name, const VARIANT& value) {
    return PutWith(name, value, DISPATCH_PROPERTYPUTREF);
  }
  HRESULT Get(const wchar_t* name, Var* out) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return Invoke(name, DISPATCH_PROPERTYGET, &none, &out->v);
  }
  // A method call without arguments; *description gets the error text.
  HRESULT Call(const wchar_t* name, Var* result = nullptr) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    Var ignored;
    return Invoke(name, DISPATCH_METHOD, &none, result != nullptr ? &result->v : &ignored.v);
  }
  const std::wstring& last_description() const { return description_; }

 private:
  HRESULT PutWith(const wchar_t* name, const VARIANT& value, WORD flags) {
    VARIANT arg = value;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&arg, &named, 1, 1};
    return Invoke(name, flags, &params, nullptr);
  }
  HRESULT Invoke(const wchar_t* name, WORD flags, DISPPARAMS* params, VARIANT* result) {
    description_.clear();
    DISPID id = 0;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    EXCEPINFO error{};
    UINT bad = 0;
    hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, &error, &bad);
    if (hr == DISP_E_EXCEPTION) {
      if (error.bstrDescription != nullptr) description_ = error.bstrDescription;
      SysFreeString(error.bstrSource);
      SysFreeString(error.bstrDescription);
      SysFreeString(error.bstrHelpFile);
    }
    return hr;
  }

  IDispatch* object_;
  std::wstring description_;
};

// Collects every OutputDebugStringA line of this process while it lives:
// the call raises DBG_PRINTEXCEPTION_C, which a vectored handler sees first.
class DebugOutputCapture {
 public:
  DebugOutputCapture() { handler_ = AddVectoredExceptionHandler(1, &Handler); }
  ~DebugOutputCapture() { RemoveVectoredExceptionHandler(handler_); }
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  static std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(Mutex());
    return Store();
  }
  static void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    Store().clear();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& Store() {
    static std::vector<std::string> lines;
    return lines;
  }
  static LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode != DBG_PRINTEXCEPTION_C || r->NumberParameters < 2) {
      return EXCEPTION_CONTINUE_SEARCH;
    }
    const auto length = static_cast<std::size_t>(r->ExceptionInformation[0]);
    const char* text = reinterpret_cast<const char*>(r->ExceptionInformation[1]);
    std::string line(text, length > 0 ? length - 1 : 0);  // the length counts the NUL
    {
      std::lock_guard<std::mutex> lock(Mutex());
      Store().push_back(std::move(line));
    }
    // Handled here: the system's own handler (the debugger hand-off) is skipped.
    return EXCEPTION_CONTINUE_EXECUTION;
  }

  PVOID handler_ = nullptr;
};

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_COM_CLIENT_WIN_H_
