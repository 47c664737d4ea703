// The configuration dialog as a native Win32 dialog: a thin view over a
// DialogForm, built from the layout table. Places in twips become pixels
// through the screen's DPI, and the font is 8 points at that DPI, so the
// dialog keeps its proportions at any scaling. Texts cross between the
// controls and the form in the ANSI code page (the A functions), one byte a
// character, as the parameter string stores them.
#ifndef TESSALY_DIALOG_WIN_DIALOG_WINDOW_WIN_H_
#define TESSALY_DIALOG_WIN_DIALOG_WINDOW_WIN_H_

#include <windows.h>

#include <string>

#include "check/dialog_presenter.h"
#include "dialog/dialog_layout.h"
#include "dialog/dialog_model.h"

namespace tessaly::dialog {

// The dialog item identifier of a control (GetDlgItem finds it by this).
inline constexpr int kFirstItemId = 1000;
constexpr int ItemId(ControlId id) { return kFirstItemId + static_cast<int>(id); }

// Puts window into the topmost band of the desktop (on_top) or takes it out
// again, keeping its place and size. The result of SetWindowPos is not
// examined: a window that stays in the normal band is still usable.
void TopWindow(HWND window, bool on_top);

// The face the dialog draws its texts with, at the screen's DPI.
struct DialogFace {
  std::string name = "MS Shell Dlg";  // the system's dialog face
  int points = 8;
};

// Shows form as a modal dialog with no owner, topmost, btOK holding the
// focus, and returns once it has closed: kAccepted with the composed string
// when OK closed it, kClosed when it was closed any other way (close box,
// Alt+F4, Escape), kFailed with the system's error code in the text when the
// window could not be created (no display, for one). Runs the window's
// message loop on the calling thread meanwhile.
// face is for tests that need captions wider than their places.
DialogOutcome RunDialogWindow(const DialogForm& form, const DialogFace& face = {});

}  // namespace tessaly::dialog

#endif  // TESSALY_DIALOG_WIN_DIALOG_WINDOW_WIN_H_
