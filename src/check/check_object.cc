#include "check/check_object.h"

#include <exception>

#include "check/check_run.h"
#include "env/message_pump.h"
#include "mail/mail_form.h"

namespace tessaly {
namespace {

// Discards the trace lines when the host wants none.
class DiscardTrace : public TraceSink {
 public:
  void Line(std::string_view) override {}
};

}  // namespace

CheckObject::CheckObject(CheckObjectOptions options)
    : mail_(std::move(options.mail)),
      tokens_(options.tokens != nullptr ? std::move(options.tokens)
                                        : NewTokenClient(NewHttpsPoster())),
      presenter_(std::move(options.presenter)),
      clock_(options.clock != nullptr ? options.clock : &SystemClock()),
      pump_(options.pump ? std::move(options.pump) : SystemMessagePump()) {
  if (mail_ == nullptr) {
    static DiscardTrace discard;
    MailFormOptions form;
    form.trace = options.trace != nullptr ? options.trace : &discard;
    form.clock = clock_;
    form.registry_file = options.registry_file;
    mail_ = NewMailForm(form);
  }
}

CheckObject::~CheckObject() = default;

bool CheckObject::VgDocheck() {
  CheckRunEnv env;
  env.mail = mail_.get();
  env.clock = clock_;
  env.tokens = tokens_.get();
  env.pump = pump_;
  env.options = options_;
  env.report = &report_;
  std::string result;
  const bool verdict = RunCheck(env, &parameter_, timeout_, &result);
  result_ = Variant(std::move(result));
  return verdict;
}

DialogOutcome CheckObject::VgShowGui() {
  DialogOutcome outcome;
  try {
    if (presenter_ == nullptr) presenter_ = NewDefaultDialogPresenter();
    outcome = presenter_->Show(parameter_.ToText(), timeout_.ToText());
  } catch (const std::exception& e) {
    outcome = DialogOutcome{DialogOutcome::Kind::kFailed, "", e.what()};
  } catch (...) {
    outcome = DialogOutcome{DialogOutcome::Kind::kFailed, "", "dialog failed"};
  }
  if (outcome.kind == DialogOutcome::Kind::kAccepted) {
    parameter_ = Variant(outcome.parameter);
  }
  return outcome;
}

}  // namespace tessaly
