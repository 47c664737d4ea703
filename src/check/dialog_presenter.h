// How the check object shows its configuration dialog. The core never links
// a window toolkit: the default presenter loads the dialog module at run
// time, and hosts or tests can hand in their own presenter.
#ifndef TESSALY_CHECK_DIALOG_PRESENTER_H_
#define TESSALY_CHECK_DIALOG_PRESENTER_H_

#include <memory>
#include <string>
#include <string_view>

namespace tessaly {

struct DialogOutcome {
  enum class Kind {
    kAccepted,     // closed with OK; parameter holds the composed string
    kClosed,       // closed any other way; the old string stays
    kFailed,       // could not be filled or shown; error says why
  };
  Kind kind = Kind::kClosed;
  std::string parameter;
  std::string error;
};

class DialogPresenter {
 public:
  virtual ~DialogPresenter() = default;
  // Fills the dialog from parameter and the host's time-out text, shows it
  // modal and on top, and returns once it has closed.
  virtual DialogOutcome Show(std::string_view parameter, std::string_view timeout_text) = 0;
};

// The presenter that loads the Qt dialog module (libtessaly_dialog.so) on
// first use; when it cannot be loaded, Show fails with the loader's reason.
std::unique_ptr<DialogPresenter> NewDefaultDialogPresenter();

}  // namespace tessaly

#endif  // TESSALY_CHECK_DIALOG_PRESENTER_H_
