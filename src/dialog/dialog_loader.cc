// Placeholder until the dialog module exists: reports that no dialog can be
// shown.
#include "check/dialog_presenter.h"

namespace tessaly {
namespace {

class UnavailablePresenter : public DialogPresenter {
 public:
  DialogOutcome Show(std::string_view, std::string_view) override {
    DialogOutcome out;
    out.kind = DialogOutcome::Kind::kFailed;
    out.error = "the configuration dialog is not built";
    return out;
  }
};

}  // namespace

std::unique_ptr<DialogPresenter> NewDefaultDialogPresenter() {
  return std::make_unique<UnavailablePresenter>();
}

}  // namespace tessaly
