// kalrowsmtp.dll: the SMTP component KalrowMail.KalrowSmtp for hosts that
// have none of their own. It keeps the properties it is given and sends one
// message per addmail call, at once and on the calling thread, over the
// project's connection layer (Winsock, SChannel). A failure reaches the
// caller as the member's error with a one-line description.
#include "host/com/com_server.h"  // first: it sets the COM warning scope

#include <windows.h>
#include <oleauto.h>

#include <exception>
#include <new>

#include "check/vocab.h"
#include "env/ansi_text_win.h"
#include "kalrowsmtp.h"
#include "mail/mail_message.h"
#include "mail/sasl_oauth.h"
#include "mail/smtp_client.h"

namespace tessaly::com {
namespace {

constexpr wchar_t kSource[] = L"KalrowMail.KalrowSmtp";

HRESULT Fail(std::string_view description) {
  return ReportError(E_FAIL, description, kSource, IID__KalrowSmtp);
}

HRESULT Trapped() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return Fail(e.what());
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// One line of at most 60 bytes, for a value quoted in a description.
std::string OneLine(std::string text) {
  if (text.size() > 60) text.resize(60);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return text;
}

HRESULT PutText(BSTR value, std::string* field) {
  try {
    *field = BstrToAnsi(value);
    return S_OK;
  } catch (...) {
    return Trapped();
  }
}

HRESULT GetText(const std::string& field, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = NewBstr(field);
  return *out != nullptr || field.empty() ? S_OK : E_OUTOFMEMORY;
}

class KalrowSmtp : public DispatchObject<_KalrowSmtp> {
 public:
  HRESULT STDMETHODCALLTYPE put_PrimaryHELO(BSTR v) override { return PutText(v, &helo_); }
  HRESULT STDMETHODCALLTYPE get_PrimaryHELO(BSTR* v) override { return GetText(helo_, v); }
  HRESULT STDMETHODCALLTYPE put_PrimaryTimeout(short v) override {  // NOLINT(runtime/int)
    timeout_ = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_PrimaryTimeout(short* v) override {  // NOLINT(runtime/int)
    if (v == nullptr) return E_POINTER;
    *v = timeout_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_PrimaryMailserver(BSTR v) override { return PutText(v, &server_); }
  HRESULT STDMETHODCALLTYPE get_PrimaryMailserver(BSTR* v) override { return GetText(server_, v); }
  HRESULT STDMETHODCALLTYPE put_PrimaryMailPort(LONG v) override {
    port_ = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_PrimaryMailPort(LONG* v) override {
    if (v == nullptr) return E_POINTER;
    *v = port_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_PrimaryUsername(BSTR v) override { return PutText(v, &user_); }
  HRESULT STDMETHODCALLTYPE get_PrimaryUsername(BSTR* v) override { return GetText(user_, v); }
  HRESULT STDMETHODCALLTYPE put_PrimaryPassword(BSTR v) override { return PutText(v, &password_); }
  // The password is write-only: reading it gives "".
  HRESULT STDMETHODCALLTYPE get_PrimaryPassword(BSTR* v) override { return GetText("", v); }
  HRESULT STDMETHODCALLTYPE put_primaryauthentication(BSTR v) override {
    return PutText(v, &auth_);
  }
  HRESULT STDMETHODCALLTYPE get_primaryauthentication(BSTR* v) override {
    return GetText(auth_, v);
  }
  HRESULT STDMETHODCALLTYPE put_alternateauthentication(BSTR v) override {
    return PutText(v, &alt_auth_);
  }
  HRESULT STDMETHODCALLTYPE get_alternateauthentication(BSTR* v) override {
    return GetText(alt_auth_, v);
  }
  HRESULT STDMETHODCALLTYPE put_primarymailFrom(BSTR v) override { return PutText(v, &from_); }
  HRESULT STDMETHODCALLTYPE get_primarymailFrom(BSTR* v) override { return GetText(from_, v); }
  HRESULT STDMETHODCALLTYPE put_primaryUsessl(VARIANT_BOOL v) override {
    use_ssl_ = v != VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_primaryUsessl(VARIANT_BOOL* v) override {
    if (v == nullptr) return E_POINTER;
    *v = use_ssl_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_primaryXHeader(BSTR v) override { return PutText(v, &xheader_); }
  HRESULT STDMETHODCALLTYPE get_primaryXHeader(BSTR* v) override { return GetText(xheader_, v); }

  HRESULT STDMETHODCALLTYPE put_PrimaryAuthMechanism(BSTR v) override {
    try {
      const std::string text = BstrToAnsi(v);
      LoginMethod method = LoginMethod::kPassword;
      if (!ParseLoginMethod(text, &method) || method == LoginMethod::kPassword) {
        return Fail("invalid value " + OneLine(text) + " for PrimaryAuthMechanism");
      }
      mechanism_ = method;
      return S_OK;
    } catch (...) {
      return Trapped();
    }
  }
  HRESULT STDMETHODCALLTYPE get_PrimaryAuthMechanism(BSTR* v) override {
    return GetText(mechanism_ == LoginMethod::kAutomatic ? std::string(vocab::kLoginAutomatic)
                                                         : std::string(MechanismName(mechanism_)),
                   v);
  }
  HRESULT STDMETHODCALLTYPE put_PrimaryBearerToken(BSTR v) override {
    return PutText(v, &bearer_);
  }
  // The token is write-only, as the password is.
  HRESULT STDMETHODCALLTYPE get_PrimaryBearerToken(BSTR* v) override { return GetText("", v); }

  HRESULT STDMETHODCALLTYPE addmail(BSTR recipient, BSTR subject, BSTR body,
                                    VARIANT_BOOL /*sendnow: always at once*/) override {
    try {
      if (stopped_) return Fail("sending stopped");
      MailMessage message{from_, BstrToAnsi(recipient), BstrToAnsi(subject), xheader_,
                          BstrToAnsi(body)};
      if (HasLineBreak(message.to) || HasLineBreak(message.subject) ||
          HasLineBreak(message.extra_header)) {
        return Fail("line break in recipient, subject or extra header refused");
      }
      std::string text;
      Status s = ComposeMessage(message, std::time(nullptr),
                                NewMessageId(MessageIdDomain(from_)), &text);
      if (!s.ok()) return Fail(s.message());
      SmtpSettings settings;
      settings.helo = helo_;
      settings.server = server_;
      settings.port = port_;
      settings.timeout_seconds = timeout_;
      settings.use_ssl = use_ssl_;
      settings.login = auth_ == "T";
      settings.user = user_;
      settings.password = password_;
      settings.bearer_token = bearer_;
      settings.mechanism = mechanism_;
      settings.from = from_;
      s = SendSmtpMessage(settings, message.to, text);
      if (!s.ok()) return Fail(s.message());
      return S_OK;
    } catch (...) {
      return Trapped();
    }
  }

  // Sending happens inside addmail, so there is nothing in flight to end;
  // later addmail calls on this object fail.
  HRESULT STDMETHODCALLTYPE stopsending() override {
    stopped_ = true;
    return S_OK;
  }

 private:
  std::string helo_, server_, user_, password_, auth_, alt_auth_, from_, xheader_, bearer_;
  LoginMethod mechanism_ = LoginMethod::kAutomatic;
  short timeout_ = 0;  // NOLINT(runtime/int)
  LONG port_ = 25;
  bool use_ssl_ = false;
  bool stopped_ = false;
};

}  // namespace

const ServedClass& ModuleClass() {
  static ClassFactory factory(&CreateObject<KalrowSmtp, &Trapped>);
  static const ServedClass served{
      {CLSID_KalrowSmtp, LIBID_KalrowMail, IID__KalrowSmtp, L"KalrowMail.KalrowSmtp", L"KalrowSmtp"},
      &factory};
  return served;
}

}  // namespace tessaly::com
