// The configuration dialog without a window toolkit: the values and Enabled
// states of its controls, the state a fresh opening starts from, filling the
// controls from a parameter string, the mode rules and composing the new
// string on OK. The Qt view only mirrors a DialogForm onto widgets.
#ifndef TESSALY_DIALOG_DIALOG_MODEL_H_
#define TESSALY_DIALOG_DIALOG_MODEL_H_

#include <array>
#include <string>
#include <string_view>

#include "dialog/dialog_layout.h"
#include "env/status.h"

namespace tessaly::dialog {

// What one control holds. Text fields use text; check boxes checked; lists
// index (-1: no selected item) and, for editable lists, text as typed.
struct ControlState {
  std::string text;
  bool checked = false;
  int index = -1;
  bool enabled = true;  // the control's own state, not its container's
};

struct DialogForm {
  std::array<ControlState, kControlCount> controls;
  // The items of the loaded string whose keys the dialog does not know (the
  // OAuth settings among them), as "KEY=value#" each, in their order. OK
  // writes them after the 25 items, so that it never drops a setting.
  std::string kept_items;

  ControlState& at(ControlId id) { return controls[Index(id)]; }
  const ControlState& at(ControlId id) const { return controls[Index(id)]; }
  // Own state and, for a control inside a frame, the frame's: what the user
  // can reach.
  bool EffectivelyEnabled(ControlId id) const;
};

// "TESSALY: External COM check (version <major>.<minor> build <revision>)",
// the revision written with one blank before a number that is not negative
// (so "build  76" for 76) and a "-" for a negative one.
std::string FormatCaption(int major, int minor, int revision);
// The caption for this build: the project's major and minor version, its
// patch number as the revision.
std::string DialogCaption();

// The state of a freshly loaded dialog: lists filled and at index 0 (which
// ran the mode rules for "SMTP & POP3"), txtCPOP3 "1", everything else
// empty, not ticked and enabled before those rules.
DialogForm LoadedForm();

// Sets the Enabled states for the selected index of cmbOperatingMode; an
// index outside 0..4 changes nothing. Only Enabled states change.
void ApplyModeRules(DialogForm* form);

// A fresh opening filled from parameter and the host's time-out text:
// LoadedForm(), txtTimeout set to the trimmed time-out, then the keys. An
// empty parameter (length 0) gets the ports 25 and 110 and "Only delete"
// ticked instead. Items with other keys go to kept_items. Fails, leaving *form unspecified, for a PPWD or SPWD that
// does not decode and an SSSM outside -1..3; nothing is shown then.
Status FillForm(std::string_view parameter, std::string_view timeout_text, DialogForm* form);

// The string OK writes: the 25 items in vocab::kDialogKeys order and a
// closing "#", then form.kept_items unchanged. DALL, SKWORD and the state
// keys of the old string do not survive; without other keys the string is
// the 25 items alone. An empty count
// field, or one that begins with no number, is written as "0", the value the
// check run reads for it anyway.
std::string ComposeParameter(const DialogForm& form);

// How a leading number is shown and written: plain decimal, no exponent,
// no trailing zeros ("12", "-3", "2.5").
std::string FormatNumber(double value);

}  // namespace tessaly::dialog

#endif  // TESSALY_DIALOG_DIALOG_MODEL_H_
