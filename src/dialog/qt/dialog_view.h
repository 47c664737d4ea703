// The configuration dialog drawn with Qt 6 Widgets, built from the layout
// table (twips at 15 per device-independent pixel) and kept in step with a
// DialogForm: the form gives the values and Enabled states, OK reads the
// widgets back into it and composes the new parameter string.
#ifndef TESSALY_DIALOG_QT_DIALOG_VIEW_H_
#define TESSALY_DIALOG_QT_DIALOG_VIEW_H_

#include <QDialog>
#include <QFont>
#include <QString>
#include <array>
#include <string>

#include "dialog/dialog_model.h"

#define TESSALY_DIALOG_EXPORT __attribute__((visibility("default")))

namespace tessaly::dialog {

class TESSALY_DIALOG_EXPORT DialogView : public QDialog {
 public:
  // A modal, topmost dialog showing form; btOK holds the focus first.
  explicit DialogView(const DialogForm& form, QWidget* parent = nullptr);
  // The same drawn in face instead of PreferredFont(). Captions that do not
  // fit their places in it grow into the free room of their row or get a
  // smaller size (CaptionRoom).
  DialogView(const DialogForm& form, const QFont& face, QWidget* parent = nullptr);

  // The face the dialog asks for: a condensed sans, 11 pixels high, falling
  // back to the application's family.
  static QFont PreferredFont();

  // The widget of a control (never null for a ControlId below kCount).
  QWidget* Control(ControlId id) const { return widgets_[Index(id)]; }
  // The string OK composed; empty until OK was pressed.
  const std::string& result() const { return result_; }
  // The form as the widgets hold it now.
  DialogForm ReadForm() const;

 private:
  void Build();
  void ShowForm();
  void ApplyEnabled();
  void OnModeChanged(int index);
  void OnOk();

  DialogForm form_;
  std::array<QWidget*, kControlCount> widgets_{};
  std::array<QString, kControlCount> shown_text_;  // text as first shown
  std::string result_;
};

}  // namespace tessaly::dialog

#endif  // TESSALY_DIALOG_QT_DIALOG_VIEW_H_
