// The check object a host creates once per configured check: four stored
// properties, VgDocheck (one phase of the check) and VgShowGui (the
// configuration dialog). It owns its mail operations and its dialog
// presenter for its whole life; two objects never share them.
#ifndef TESSALY_CHECK_CHECK_OBJECT_H_
#define TESSALY_CHECK_CHECK_OBJECT_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "check/check_run.h"
#include "check/dialog_presenter.h"
#include "check/variant.h"
#include "env/clock.h"
#include "env/trace.h"
#include "mail/mail_operations.h"
#include "mail/token_client.h"

namespace tessaly {

struct CheckObjectOptions {
  // The mail operations; when null the object builds the real ones
  // (NewMailForm) over trace and clock.
  std::unique_ptr<MailOperations> mail;
  // Access tokens of an OAuth login; when null, the real HTTPS client.
  std::unique_ptr<TokenClient> tokens;
  // The dialog; when null, NewDefaultDialogPresenter() on first use.
  std::unique_ptr<DialogPresenter> presenter;
  // Trace lines of the mail operations; null discards them. Must
  // outlive the object.
  TraceSink* trace = nullptr;
  // null means SystemClock(). Must outlive the object.
  Clock* clock = nullptr;
  // Called repeatedly during the send-phase wait (a host's event loop);
  // empty means SystemMessagePump() (the thread's window messages on
  // Windows, nothing elsewhere).
  std::function<void()> pump;
  // Path of the host's settings file for the SMTP greeting name ("" = none).
  std::string registry_file;
};

class CheckObject {
 public:
  explicit CheckObject(CheckObjectOptions options = {});
  ~CheckObject();
  CheckObject(const CheckObject&) = delete;
  CheckObject& operator=(const CheckObject&) = delete;

  // Property let/set store a copy (an object value keeps its reference);
  // get returns a copy, or a new reference to a held object. All four are
  // empty on a new object and cannot fail.
  const Variant& vg_parameter() const { return parameter_; }
  void set_vg_parameter(Variant value) { parameter_ = std::move(value); }
  const Variant& vg_timeout() const { return timeout_; }
  void set_vg_timeout(Variant value) { timeout_ = std::move(value); }
  const Variant& vg_hostname() const { return hostname_; }
  void set_vg_hostname(Variant value) { hostname_ = std::move(value); }
  const Variant& vg_result() const { return result_; }
  void set_vg_result(Variant value) { result_ = std::move(value); }

  // Runs one phase of the check with the stored parameter string and
  // time-out; always sets vg_result, may rewrite vg_parameter (as text).
  // True: the phase passed. Never throws.
  bool VgDocheck();

  // Shows the dialog filled from vg_parameter and vg_timeout; on OK stores
  // the composed string in vg_parameter. Returns the outcome (kFailed with
  // the reason when the dialog could not be shown; vg_parameter is then
  // unchanged). Never throws.
  DialogOutcome VgShowGui();

  // Replaces the send-phase wait hook (empty: plain sleeping).
  void set_pump(std::function<void()> pump) { pump_ = std::move(pump); }

  // Options of the next runs of VgDocheck (none by default; see
  // RunOptions). Not a host property: a host that sets none sees no change.
  void set_run_options(RunOptions options) { options_ = options; }
  // What the last VgDocheck did (empty before the first).
  const RunReport& last_report() const { return report_; }

 private:
  std::unique_ptr<MailOperations> mail_;
  std::unique_ptr<TokenClient> tokens_;
  std::unique_ptr<DialogPresenter> presenter_;
  Clock* clock_;
  std::function<void()> pump_;
  Variant parameter_, timeout_, hostname_, result_;
  RunOptions options_;
  RunReport report_;
};

}  // namespace tessaly

#endif  // TESSALY_CHECK_CHECK_OBJECT_H_
