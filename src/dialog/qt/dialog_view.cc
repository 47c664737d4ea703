#include "dialog/qt/dialog_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <algorithm>

namespace tessaly::dialog {
namespace {

QRect ToPixels(const TwipRect& r) {
  return QRect(r.left / kTwipsPerPixel, r.top / kTwipsPerPixel, r.width / kTwipsPerPixel,
               r.height / kTwipsPerPixel);
}

QString FromBytes(const std::string& bytes) {
  return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ToBytes(const QString& text) { return text.toUtf8().toStdString(); }

// Typing into an editable list leaves it with no selected item, the typed
// text kept, until the user picks an item. QComboBox itself selects the item
// whose text equals the typed text when editing finishes (focus leaves the
// list, or Return); that link is cut so typing an item's exact text selects
// nothing either.
void DeselectOnTyping(QComboBox* combo) {
  QLineEdit* edit = combo->lineEdit();
  QObject::disconnect(edit, &QLineEdit::editingFinished, combo, nullptr);
  QObject::connect(edit, &QLineEdit::textEdited, combo, [combo, edit](const QString& text) {
    if (combo->currentIndex() == -1) return;
    int cursor = edit->cursorPosition();
    combo->setCurrentIndex(-1);
    combo->setEditText(text);
    edit->setCursorPosition(cursor);
  });
}

// The smallest face a caption is shrunk to.
constexpr int kMinCaptionPixels = 8;

// The pixels a caption takes in face: its text and, for a check box, the
// indicator and the gap before the text.
int CaptionWidth(const QWidget* widget, const QString& text, const QFont& face) {
  int width = QFontMetrics(face).horizontalAdvance(text);
  if (const auto* box = qobject_cast<const QCheckBox*>(widget)) {
    const QStyle* style = box->style();
    width += style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
             style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box);
  }
  return width;
}

// Keeps a label's or check box's caption whole whatever face the system
// gives: a caption wider than its place first takes the free room in its row
// (CaptionRoom), and one still too wide gets a smaller font, down to
// kMinCaptionPixels.
void FitCaption(QWidget* widget, const QString& text, const ControlSpec& spec) {
  QFont face = widget->font();
  int need = CaptionWidth(widget, text, face);
  const QRect place = widget->geometry();
  if (need <= place.width()) return;
  // The room in whole pixels that stay inside it.
  const TwipRect room = CaptionRoom(spec.id);
  const int widest =
      spec.right_aligned
          ? place.x() + place.width() - (room.left + kTwipsPerPixel - 1) / kTwipsPerPixel
          : (room.left + room.width) / kTwipsPerPixel - place.x();
  if (face.pixelSize() <= 0) face.setPixelSize(QFontInfo(face).pixelSize());
  bool shrunk = false;
  while (need > widest && face.pixelSize() > kMinCaptionPixels) {
    face.setPixelSize(face.pixelSize() - 1);
    need = CaptionWidth(widget, text, face);
    shrunk = true;
  }
  if (shrunk) widget->setFont(face);
  const int width = std::clamp(need, place.width(), std::max(widest, place.width()));
  const int left = spec.right_aligned ? place.x() + place.width() - width : place.x();
  widget->setGeometry(left, place.y(), width, place.height());
}

}  // namespace

QFont DialogView::PreferredFont() {
  // The places are sized for a narrow 8-point face; a condensed sans keeps
  // the captions at their design size (fonts-dejavu-extra on Debian).
  QFont face = QApplication::font();
  face.setFamilies({"DejaVu Sans Condensed", "Liberation Sans Narrow", "Arial Narrow",
                    face.family()});
  face.setPixelSize(11);
  return face;
}

DialogView::DialogView(const DialogForm& form, QWidget* parent)
    : DialogView(form, PreferredFont(), parent) {}

DialogView::DialogView(const DialogForm& form, const QFont& face, QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                  Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      form_(form) {
  setObjectName("frmmain");
  setWindowTitle(FromBytes(DialogCaption()));
  setModal(true);
  setFont(face);
  setFixedSize(kClientWidthTwips / kTwipsPerPixel, kClientHeightTwips / kTwipsPerPixel);
  Build();
  ShowForm();
  ApplyEnabled();
  Control(ControlId::kBtOk)->setFocus(Qt::OtherFocusReason);
}

void DialogView::Build() {
  for (const ControlSpec& spec : Layout()) {
    QWidget* container = spec.container == ControlId::kNone ? this : Control(spec.container);
    QWidget* widget = nullptr;
    QString caption = FromBytes(std::string(spec.caption));
    switch (spec.kind) {
      case ControlKind::kFrame:
        widget = new QGroupBox(caption, container);
        break;
      case ControlKind::kLabel: {
        auto* label = new QLabel(caption, container);
        label->setAlignment((spec.right_aligned ? Qt::AlignRight : Qt::AlignLeft) |
                            Qt::AlignVCenter);
        widget = label;
        break;
      }
      case ControlKind::kText:
      case ControlKind::kMaskedText: {
        auto* edit = new QLineEdit(container);
        if (spec.kind == ControlKind::kMaskedText) {
          edit->setEchoMode(QLineEdit::Password);
          edit->setStyleSheet("lineedit-password-character: 42");  // '*'
          edit->setAttribute(Qt::WA_InputMethodEnabled, false);
        }
        widget = edit;
        break;
      }
      case ControlKind::kCheckBox:
        widget = new QCheckBox(caption, container);
        break;
      case ControlKind::kPickList:
      case ControlKind::kEditableList: {
        auto* combo = new QComboBox(container);
        for (std::string_view item : ListItems(spec.id)) {
          combo->addItem(FromBytes(std::string(item)));
        }
        if (spec.kind == ControlKind::kEditableList) {
          combo->setEditable(true);
          combo->setInsertPolicy(QComboBox::NoInsert);
          combo->setCompleter(nullptr);
          DeselectOnTyping(combo);
        }
        widget = combo;
        break;
      }
      case ControlKind::kButton: {
        auto* button = new QPushButton(caption, container);
        button->setDefault(true);
        connect(button, &QPushButton::clicked, this, [this] { OnOk(); });
        widget = button;
        break;
      }
    }
    widget->setObjectName(FromBytes(std::string(spec.name)));
    if (!spec.tooltip.empty()) widget->setToolTip(FromBytes(std::string(spec.tooltip)));
    widget->setGeometry(ToPixels(spec.place));
    if (spec.kind == ControlKind::kLabel || spec.kind == ControlKind::kCheckBox) {
      FitCaption(widget, caption, spec);
    }
    if (spec.kind == ControlKind::kLabel) widget->setFocusPolicy(Qt::NoFocus);
    widgets_[Index(spec.id)] = widget;
  }
  // The time-out belongs to the host and is never read back.
  static_cast<QLineEdit*>(Control(ControlId::kTxtTimeout))->setReadOnly(true);
  std::span<const ControlId> order = TabOrder();
  for (std::size_t i = 1; i < order.size(); ++i) {
    setTabOrder(Control(order[i - 1]), Control(order[i]));
  }
  auto* mode = static_cast<QComboBox*>(Control(ControlId::kCmbMode));
  connect(mode, &QComboBox::currentIndexChanged, this, [this](int i) { OnModeChanged(i); });
}

void DialogView::ShowForm() {
  for (const ControlSpec& spec : Layout()) {
    const ControlState& state = form_.at(spec.id);
    QWidget* widget = Control(spec.id);
    QString text = FromBytes(state.text);
    shown_text_[Index(spec.id)] = text;
    switch (spec.kind) {
      case ControlKind::kText:
      case ControlKind::kMaskedText:
        static_cast<QLineEdit*>(widget)->setText(text);
        break;
      case ControlKind::kCheckBox:
        static_cast<QCheckBox*>(widget)->setChecked(state.checked);
        break;
      case ControlKind::kPickList:
      case ControlKind::kEditableList: {
        auto* combo = static_cast<QComboBox*>(widget);
        QSignalBlocker block(combo);  // the mode rules already ran in the model
        combo->setCurrentIndex(state.index);
        if (combo->isEditable()) combo->setEditText(text);
        break;
      }
      default:
        break;
    }
  }
}

void DialogView::ApplyEnabled() {
  for (const ControlSpec& spec : Layout()) {
    Control(spec.id)->setEnabled(form_.at(spec.id).enabled);
  }
}

void DialogView::OnModeChanged(int index) {
  form_.at(ControlId::kCmbMode).index = index;
  ApplyModeRules(&form_);
  ApplyEnabled();
}

DialogForm DialogView::ReadForm() const {
  DialogForm form = form_;
  for (const ControlSpec& spec : Layout()) {
    ControlState& state = form.at(spec.id);
    QWidget* widget = Control(spec.id);
    // Text the user left alone keeps its stored bytes, even ones that are
    // not UTF-8.
    auto read_text = [&](const QString& now) {
      if (now != shown_text_[Index(spec.id)]) state.text = ToBytes(now);
    };
    switch (spec.kind) {
      case ControlKind::kText:
      case ControlKind::kMaskedText:
        read_text(static_cast<QLineEdit*>(widget)->text());
        break;
      case ControlKind::kCheckBox:
        state.checked = static_cast<QCheckBox*>(widget)->isChecked();
        break;
      case ControlKind::kPickList:
      case ControlKind::kEditableList: {
        auto* combo = static_cast<QComboBox*>(widget);
        state.index = combo->currentIndex();
        read_text(combo->currentText());
        break;
      }
      default:
        break;
    }
  }
  return form;
}

void DialogView::OnOk() {
  result_ = ComposeParameter(ReadForm());
  accept();
}

}  // namespace tessaly::dialog
