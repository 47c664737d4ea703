#include "mail/send_operation.h"

#include <cstdio>
#include <exception>

#include "check/vocab.h"
#include "env/helo_name.h"

namespace tessaly {

ControlMail ControlMailFor(std::string_view mode) {
  if (mode == vocab::kModeSmtpPop3 || mode == vocab::kModeSmtp) {
    return {vocab::kSubjectWordTessaly, vocab::kHeaderTessaly, vocab::kBodyTessaly};
  }
  if (mode == vocab::kModeSmtpImap4) {
    return {vocab::kSubjectWordTessimo, vocab::kHeaderTessimo, vocab::kBodyTessimo};
  }
  return {vocab::kSubjectWordTessaly, "", vocab::kBodyTessaly};
}

std::string ComposeSubject(std::string_view entry, std::string_view word, const WallTime& t) {
  std::string s(entry);
  s.append(word);
  for (int n : {t.hour, t.minute, t.second, t.millisecond}) s += std::to_string(n);
  char date[32];
  std::snprintf(date, sizeof date, "%04d%02d%02d", t.year, t.month, t.day);
  s += date;
  return s;
}

SendOperation::SendOperation(SmtpComponentFactory& factory, SettingsStore& store,
                             OsFacts& os, Clock& clock, TraceSink& trace)
    : factory_(factory), store_(store), os_(os), clock_(clock), trace_(trace) {}

std::string SendOperation::SendMessageV2(const SendArgs& args, std::string* subject) {
  const std::string entry = *subject;
  report_ = OperationReport{};
  // Step 1: replace the component; failures here are ignored.
  try {
    if (component_) component_->StopSending();
    component_.reset();
    component_ = factory_.Create();
  } catch (...) {
    component_.reset();
  }
  // Step 2: the time for the subject, taken once, before configuring.
  const WallTime now = clock_.Now();

  int location = kSendLocServer;
  auto fail = [&](const std::string& description) {
    if (component_) {
      try {
        component_->StopSending();
      } catch (...) {
      }
    }
    subject->clear();
    return std::string(vocab::kSmtpErr) + description + " (" + std::to_string(location) +
           ")";
  };

  try {
    // Step 3: setting read, then the name built; once each.
    const std::string setting = GetPrimaryHeloSetting(store_, trace_);
    const std::string helo = BuildHeloName(setting, args.host, os_);
    if (!component_) {
      const std::string why = factory_.CreateError();
      return fail(why.empty() ? "SMTP component could not be created" : why);
    }
    SmtpComponent& c = *component_;
    auto set = [&c](std::string_view name, std::string_view value) {
      return c.SetProperty(name, value);
    };
    const std::string_view bool_text =
        args.use_ssl ? vocab::kSmtpTrue : vocab::kSmtpFalse;
    const ControlMail mail = ControlMailFor(args.mode);
    const bool oauth = args.login != LoginMethod::kPassword;

    struct Step {
      int location;
      std::string_view name;
      std::string value;
      bool when;
    };
    const Step steps[] = {
        {kSendLocServer, vocab::kSmtpPropHelo, helo, true},
        {kSendLocServer, vocab::kSmtpPropTimeout, std::to_string(args.timeout), true},
        {kSendLocServer, vocab::kSmtpPropServer, args.host, true},
        {kSendLocServer, vocab::kSmtpPropPort, std::to_string(args.port), true},
        {kSendLocCredentials, vocab::kSmtpPropUser, args.user,
         !args.user.empty() && (oauth || !args.password.empty())},
        {kSendLocCredentials, vocab::kSmtpPropPassword, args.password,
         !oauth && !args.user.empty() && !args.password.empty()},
        // An OAuth login: the token instead of the password.
        {kSendLocCredentials, vocab::kSmtpPropAuthMechanism,
         args.login == LoginMethod::kAutomatic ? std::string(vocab::kLoginAutomatic)
                                               : std::string(MechanismName(args.login)),
         oauth},
        {kSendLocCredentials, vocab::kSmtpPropBearerToken, args.token, oauth},
        {kSendLocAuth, vocab::kSmtpPropAuth,
         std::string(args.user.empty() ? std::string_view() : vocab::kOn), true},
        {kSendLocAuth, vocab::kSmtpPropAltAuth, "", true},
        {kSendLocSender, vocab::kSmtpPropFrom, args.from, true},
        {kSendLocSender, vocab::kSmtpPropUseSsl, std::string(bool_text), true},
        {kSendLocHeader, vocab::kSmtpPropXHeader, std::string(mail.header_line),
         !mail.header_line.empty()},
    };
    for (const Step& step : steps) {
      if (!step.when) continue;
      location = step.location;
      Status s = set(step.name, step.value);
      if (!s.ok()) return fail(s.message());
    }
    // Step 9: the subject; step 10: hand the mail over.
    *subject = ComposeSubject(entry, mail.subject_word, now);
    location = kSendLocAddMail;
    Status s = c.AddMail(args.to, *subject, mail.body, true);
    report_.tls = c.LastTls();
    report_.mechanism = c.LastMechanism();
    if (!s.ok()) return fail(s.message());
    return std::string(vocab::kSendOk) + *subject + ")";
  } catch (const std::exception& e) {
    return fail(e.what());
  } catch (...) {
    return fail("unexpected failure");
  }
}

}  // namespace tessaly
