// The default presenter on Windows. The Win32 dialog is not built yet, so
// showing it fails with a reason the host sees as the method's error, and
// the parameter string stays as it was.
#include "check/dialog_presenter.h"

namespace tessaly {
namespace {

class UnavailablePresenter : public DialogPresenter {
 public:
  DialogOutcome Show(std::string_view /*parameter*/, std::string_view /*timeout_text*/) override {
    return DialogOutcome{DialogOutcome::Kind::kFailed, "",
                         "the configuration dialog is not available in this build"};
  }
};

}  // namespace

std::unique_ptr<DialogPresenter> NewDefaultDialogPresenter() {
  return std::make_unique<UnavailablePresenter>();
}

}  // namespace tessaly
