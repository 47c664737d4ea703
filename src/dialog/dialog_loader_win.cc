// The default presenter on Windows: the native Win32 dialog, filled from the
// parameter string by the dialog model. A stored value the model refuses
// stops it before any window is made.
#include "check/dialog_presenter.h"
#include "dialog/dialog_model.h"
#include "dialog/win/dialog_window_win.h"

namespace tessaly {
namespace {

class WindowPresenter : public DialogPresenter {
 public:
  DialogOutcome Show(std::string_view parameter, std::string_view timeout_text) override {
    dialog::DialogForm form;
    const Status s = dialog::FillForm(parameter, timeout_text, &form);
    if (!s.ok()) return DialogOutcome{DialogOutcome::Kind::kFailed, "", s.message()};
    return dialog::RunDialogWindow(form);
  }
};

}  // namespace

std::unique_ptr<DialogPresenter> NewDefaultDialogPresenter() {
  return std::make_unique<WindowPresenter>();
}

}  // namespace tessaly
