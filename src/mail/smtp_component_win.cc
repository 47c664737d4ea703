// The host SMTP component on Windows: a COM object created by its
// programmatic identifier and driven late-bound through IDispatch, by
// member name, the way a script would drive it.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "check/vocab.h"
#include "env/ansi_text_win.h"
#include "env/ascii_case.h"
#include "mail/smtp_component.h"

namespace tessaly {
namespace {

// The system's message for hr and the code, e.g. "Unknown name (0x80020006)".
std::string HresultText(HRESULT hr) {
  char buffer[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(hr), 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '.')) {
    text.pop_back();
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(hr));  // NOLINT
  return text.empty() ? std::string(code) : text + " (" + code + ")";
}

// One line: line breaks of a component's description become blanks.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

// Owns a VARIANT for one call.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&v_); }
  ~ScopedVariant() { VariantClear(&v_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* get() { return &v_; }
  void SetText(std::string_view ansi) {
    VariantClear(&v_);
    v_.vt = VT_BSTR;
    v_.bstrVal = NewBstr(ansi);
  }
  void SetBool(bool flag) {
    VariantClear(&v_);
    v_.vt = VT_BOOL;
    v_.boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
  }
  void SetI2(std::int16_t n) {
    VariantClear(&v_);
    v_.vt = VT_I2;
    v_.iVal = n;
  }
  void SetI4(std::int32_t n) {
    VariantClear(&v_);
    v_.vt = VT_I4;
    v_.lVal = n;
  }

 private:
  VARIANT v_;
};

class ComSmtpComponent : public SmtpComponent {
 public:
  explicit ComSmtpComponent(IDispatch* object) : object_(object) {}
  ~ComSmtpComponent() override {
    // Released without stopping: a queued mail of the component goes on.
    object_->Release();
  }
  ComSmtpComponent(const ComSmtpComponent&) = delete;
  ComSmtpComponent& operator=(const ComSmtpComponent&) = delete;

  Status SetProperty(std::string_view name, std::string_view value) override {
    ScopedVariant arg;
    if (EqualNoCase(name, vocab::kSmtpPropTimeout)) {
      std::int16_t n = 0;
      if (!ParseInt(value, &n)) return Bad(name, value);
      arg.SetI2(n);
    } else if (EqualNoCase(name, vocab::kSmtpPropPort)) {
      std::int32_t n = 0;
      if (!ParseInt(value, &n)) return Bad(name, value);
      arg.SetI4(n);
    } else if (EqualNoCase(name, vocab::kSmtpPropUseSsl)) {
      if (EqualNoCase(value, vocab::kSmtpTrue)) {
        arg.SetBool(true);
      } else if (EqualNoCase(value, vocab::kSmtpFalse)) {
        arg.SetBool(false);
      } else {
        return Bad(name, value);
      }
    } else {
      arg.SetText(value);
    }
    DISPID id = 0;
    Status s = Find(name, &id);
    if (!s.ok()) return s;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{arg.get(), &put, 1, 1};
    return Call(name, id, DISPATCH_PROPERTYPUT, &params);
  }

  Status AddMail(std::string_view to, std::string_view subject, std::string_view body,
                 bool send_now) override {
    DISPID id = 0;
    Status s = Find(vocab::kSmtpMethodAddMail, &id);
    if (!s.ok()) return s;
    // IDispatch takes the arguments last first.
    ScopedVariant args[4];
    args[3].SetText(to);
    args[2].SetText(subject);
    args[1].SetText(body);
    args[0].SetBool(send_now);
    VARIANT packed[4];
    for (int i = 0; i < 4; ++i) packed[i] = *args[i].get();
    DISPPARAMS params{packed, nullptr, 4, 0};
    return Call(vocab::kSmtpMethodAddMail, id, DISPATCH_METHOD, &params);
  }

  void StopSending() override {
    DISPID id = 0;
    if (!Find(vocab::kSmtpMethodStopSending, &id).ok()) return;
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    Call(vocab::kSmtpMethodStopSending, id, DISPATCH_METHOD, &params);
  }

 private:
  template <typename Int>
  static bool ParseInt(std::string_view v, Int* out) {
    Int n{};
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || end != v.data() + v.size()) return false;
    *out = n;
    return true;
  }

  static Status Bad(std::string_view name, std::string_view value) {
    return Status::Error("invalid value " + OneLine(std::string(value)) + " for " +
                         std::string(name));
  }

  Status Find(std::string_view name, DISPID* id) {
    std::wstring wide = AnsiToWide(name);
    LPOLESTR names[1] = {wide.data()};
    const HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
    if (FAILED(hr)) {
      return Status::Error("Object doesn't support this property or method: " +
                               std::string(name) + " (" + HresultText(hr) + ")",
                           static_cast<int>(hr));
    }
    return Status::Ok();
  }

  Status Call(std::string_view name, DISPID id, WORD flags, DISPPARAMS* params) {
    EXCEPINFO error{};
    UINT bad_arg = 0;
    ScopedVariant result;
    const HRESULT hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, params,
                                       flags == DISPATCH_PROPERTYPUT ? nullptr : result.get(),
                                       &error, &bad_arg);
    if (SUCCEEDED(hr)) return Status::Ok();
    std::string text;
    if (hr == DISP_E_EXCEPTION) {
      if (error.pfnDeferredFillIn != nullptr) error.pfnDeferredFillIn(&error);
      text = OneLine(BstrToAnsi(error.bstrDescription));
      if (text.empty()) text = HresultText(error.scode != 0 ? error.scode : hr);
    } else {
      text = std::string(name) + ": " + HresultText(hr);
    }
    SysFreeString(error.bstrSource);
    SysFreeString(error.bstrDescription);
    SysFreeString(error.bstrHelpFile);
    return Status::Error(text, static_cast<int>(hr));
  }

  IDispatch* object_;
};

class ComSmtpComponentFactory : public SmtpComponentFactory {
 public:
  explicit ComSmtpComponentFactory(std::wstring prog_id) : prog_id_(std::move(prog_id)) {}

  std::unique_ptr<SmtpComponent> Create() override {
    error_.clear();
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(prog_id_.c_str(), &clsid);
    IDispatch* object = nullptr;
    if (SUCCEEDED(hr)) {
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                            IID_IDispatch, reinterpret_cast<void**>(&object));
    }
    if (FAILED(hr) || object == nullptr) {
      error_ = "Cannot create " + WideToAnsi(prog_id_.data(), prog_id_.size()) + ": " +
               HresultText(hr);
      return nullptr;
    }
    return std::make_unique<ComSmtpComponent>(object);
  }

  std::string CreateError() const override { return error_; }

 private:
  std::wstring prog_id_;
  std::string error_;
};

}  // namespace

std::unique_ptr<SmtpComponentFactory> NewComSmtpComponentFactory(std::wstring prog_id) {
  return std::make_unique<ComSmtpComponentFactory>(std::move(prog_id));
}

std::unique_ptr<SmtpComponentFactory> NewSystemSmtpComponentFactory() {
  return NewComSmtpComponentFactory(AnsiToWide(vocab::kSmtpComponentProgId));
}

}  // namespace tessaly
