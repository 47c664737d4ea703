#include "dialog/qt/dialog_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "check/dialog_presenter.h"
#include "check/param_string.h"
#include "check/vocab.h"
#include "support/test_paths.h"

// fontconfig keeps its caches for the life of the process; under the leak
// checker that is not this code's leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace tessaly::dialog {
namespace {

using C = ControlId;

QApplication* App() {
  static int argc = 1;
  static char name[] = "dialog_view_dialog_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

DialogForm Filled(std::string_view parameter) {
  DialogForm form;
  Status s = FillForm(parameter, "30", &form);
  EXPECT_TRUE(s.ok()) << s.message();
  return form;
}

void Type(QWidget* target, const QString& text) {
  for (QChar ch : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(target, &press);
  }
}

void PressReturn(QWidget* target) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QApplication::sendEvent(target, &release);
}

QRect Pixels(const TwipRect& r) {
  return QRect(r.left / 15, r.top / 15, r.width / 15, r.height / 15);
}

bool IsCaption(const ControlSpec& spec) {
  return spec.kind == ControlKind::kLabel || spec.kind == ControlKind::kCheckBox;
}

class DialogViewTest : public ::testing::Test {
 protected:
  void SetUp() override { App(); }
};

TEST_F(DialogViewTest, BuiltFromTheLayoutTable) {
  DialogView view(Filled(""));
  EXPECT_EQ(view.windowTitle().toStdString(), DialogCaption());
  EXPECT_TRUE(view.isModal());
  EXPECT_TRUE(view.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(view.size(), QSize(594, 469));
  EXPECT_EQ(static_cast<QGroupBox*>(view.Control(C::kFramePop3))->title(), "POP3/IMAP4 settings");
  for (const ControlSpec& spec : Layout()) {
    QWidget* w = view.Control(spec.id);
    ASSERT_NE(w, nullptr) << spec.name;
    EXPECT_EQ(w->objectName().toStdString(), spec.name);
    if (!IsCaption(spec)) {  // captions may grow; see CaptionsStayWhole
      EXPECT_EQ(w->geometry(), Pixels(spec.place)) << spec.name;
    }
    EXPECT_EQ(w->toolTip().toStdString(), spec.tooltip) << spec.name;
  }
  auto* password = static_cast<QLineEdit*>(view.Control(C::kTxtPop3Password));
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  EXPECT_FALSE(static_cast<QComboBox*>(view.Control(C::kCmbMode))->isEditable());
  EXPECT_FALSE(static_cast<QComboBox*>(view.Control(C::kCmbPop3Retries))->isEditable());
  EXPECT_TRUE(static_cast<QComboBox*>(view.Control(C::kCmbSmtpSslMode))->isEditable());
  auto* ok = static_cast<QPushButton*>(view.Control(C::kBtOk));
  EXPECT_TRUE(ok->isDefault());
  EXPECT_EQ(ok->text(), "&OK");
  EXPECT_EQ(static_cast<QLineEdit*>(view.Control(C::kTxtSmtpPort))->text(), "25");
  EXPECT_EQ(static_cast<QLineEdit*>(view.Control(C::kTxtTimeout))->text(), "30");
  // The tab chain starts at OK and follows the table (skipping what Tab
  // skips: an editable list's own text box, labels and frames).
  std::span<const ControlId> order = TabOrder();
  for (std::size_t i = 1; i < order.size(); ++i) {
    QWidget* current = view.Control(order[i - 1]);
    QWidget* next = current->nextInFocusChain();
    while (current->isAncestorOf(next) || (next->focusPolicy() & Qt::TabFocus) == 0) {
      next = next->nextInFocusChain();
    }
    EXPECT_EQ(next, view.Control(order[i])) << Spec(order[i - 1]).name;
  }
}

QFont Face(const char* family, int pixels) {
  QFont face(family);
  face.setPixelSize(pixels);
  return face;
}

// Every label and check-box caption is whole whatever face the system falls
// back to: the text's advance (and a check box's indicator with its gap) fits
// the widget, which stays in its row and inside the room its neighbours
// leave.
TEST_F(DialogViewTest, CaptionsStayWhole) {
  struct Case {
    const char* name;
    QFont face;
  };
  const std::vector<Case> cases = {
      {"preferred", DialogView::PreferredFont()},
      {"DejaVu Sans 11", Face("DejaVu Sans", 11)},  // what fonts-dejavu-core alone gives
      {"DejaVu Sans Mono 11", Face("DejaVu Sans Mono", 11)},
      {"DejaVu Serif 13", Face("DejaVu Serif", 13)},
      {"missing family", Face("No Such Face Anywhere", 11)},
  };
  for (const Case& c : cases) {
    DialogView view(Filled(""), c.face);
    for (const ControlSpec& spec : Layout()) {
      if (!IsCaption(spec)) continue;
      QWidget* w = view.Control(spec.id);
      const QString text = QString::fromUtf8(spec.caption.data(),
                                             static_cast<qsizetype>(spec.caption.size()));
      int need = QFontMetrics(w->font()).horizontalAdvance(text);
      if (spec.kind == ControlKind::kCheckBox) {
        need += w->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, w) +
                w->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, w);
      }
      EXPECT_LE(need, w->width()) << c.name << ": " << spec.name << " in "
                                  << QFontInfo(w->font()).family().toStdString() << " "
                                  << w->font().pixelSize() << " px";
      const QRect place = Pixels(spec.place);
      const QRect room = Pixels(CaptionRoom(spec.id));
      EXPECT_TRUE(w->geometry().contains(place)) << c.name << ": " << spec.name;
      EXPECT_TRUE(room.adjusted(-1, 0, 1, 0).contains(w->geometry()))
          << c.name << ": " << spec.name;
      EXPECT_EQ(w->y(), place.y()) << c.name << ": " << spec.name;
      EXPECT_EQ(w->height(), place.height()) << c.name << ": " << spec.name;
    }
  }
}

TEST_F(DialogViewTest, ModeSwitchingKeepsChildrenStates) {
  DialogView view(Filled("#PSRV=pop.example.org#OMODE=TESSALY#"));
  auto* mode = static_cast<QComboBox*>(view.Control(C::kCmbMode));
  struct Step {
    int index;
    std::vector<ControlId> enabled;
    std::vector<ControlId> disabled;
  };
  const std::vector<Step> steps = {
      {3, {C::kTxtPop3Host, C::kCmbCount, C::kTxtCount, C::kLabelCount},
       {C::kTxtSmtpHost, C::kChkNoXSender, C::kChkOnlyDeleteOwn, C::kTxtFolder}},
      {1, {C::kTxtSmtpHost}, {C::kTxtPop3Host, C::kTxtCount, C::kChkNoXSender}},
      // The POP3/IMAP4 frame comes back with each child in its own state:
      // the host field usable, the count sentence as "SMTP" left it.
      // "SMTP" had disabled both options the IMAP4 fetch uses: usable again.
      {4, {C::kTxtPop3Host, C::kTxtFolder, C::kLabelFolder, C::kTxtSmtpHost, C::kChkNoXSender,
           C::kChkOnlyDeleteOwn},
       {C::kTxtCount, C::kCmbCount}},
      {3, {C::kTxtCount}, {C::kTxtFolder, C::kChkNoXSender, C::kChkOnlyDeleteOwn}},
      // From the count mode, the IMAP4 mode keeps the count sentence usable.
      {4, {C::kTxtCount, C::kTxtFolder, C::kChkNoXSender, C::kChkOnlyDeleteOwn}, {}},
      {0, {C::kChkNoXSender, C::kChkOnlyDeleteOwn, C::kTxtPop3Host},
       {C::kTxtFolder, C::kCmbCount}},
  };
  for (const Step& step : steps) {
    mode->setCurrentIndex(step.index);
    for (ControlId id : step.enabled) {
      EXPECT_TRUE(view.Control(id)->isEnabled()) << step.index << " " << Spec(id).name;
    }
    for (ControlId id : step.disabled) {
      EXPECT_FALSE(view.Control(id)->isEnabled()) << step.index << " " << Spec(id).name;
    }
  }
  EXPECT_EQ(static_cast<QLineEdit*>(view.Control(C::kTxtPop3Host))->text(), "pop.example.org");
}

// Typing into an editable list leaves it with no selected item, even when the
// text typed is one of its items and the focus then moves on (Qt would match
// the text to that item when the list loses the focus).
TEST_F(DialogViewTest, TypingIntoAnEditableListLeavesNoSelection) {
  enum class Leave { kOkClicked, kTab, kReturn };
  struct Case {
    ControlId list;
    std::string mode;  // one that enables the list
    QString typed;
    Leave leave;
    std::string written;
  };
  const std::vector<Case> cases = {
      {C::kCmbSmtpRetries, "TESSALY", "x", Leave::kOkClicked, "#SRET=-1#"},
      {C::kCmbSmtpRetries, "TESSALY", "2 retries", Leave::kTab, "#SRET=-1#"},
      {C::kCmbSmtpRetries, "SMTP", "3 retries", Leave::kReturn, "#SRET=-1#"},
      {C::kCmbSmtpSslMode, "SMTP", "x", Leave::kOkClicked, "#SSSM=-1#"},
      {C::kCmbSmtpSslMode, "SMTP", "Implicit", Leave::kTab, "#SSSM=-1#"},
      {C::kCmbSmtpSslMode, "TESSIMO", "None", Leave::kReturn, "#SSSM=-1#"},
      {C::kCmbCount, "CPOP", "x", Leave::kOkClicked, "#CCMD=LT#"},
      {C::kCmbCount, "CPOP", "is = to", Leave::kTab, "#CCMD=LT#"},
      {C::kCmbCount, "CPOP", "is <> from", Leave::kReturn, "#CCMD=LT#"},
  };
  for (const Case& c : cases) {
    const std::string name = Spec(c.list).name.data() + (" \"" + c.typed.toStdString() + "\"");
    DialogView view(Filled("#CCMD=GT#SRET=1#SSSM=2#OMODE=" + c.mode + "#"));
    view.show();
    view.activateWindow();
    QApplication::processEvents();
    auto* combo = static_cast<QComboBox*>(view.Control(c.list));
    combo->setFocus(Qt::TabFocusReason);  // selects the whole text, as Tab does
    ASSERT_TRUE(combo->hasFocus()) << name;
    QTest::keyClicks(combo, c.typed);
    EXPECT_EQ(combo->currentIndex(), -1) << name;
    EXPECT_EQ(combo->currentText(), c.typed) << name;
    switch (c.leave) {
      case Leave::kOkClicked:
        static_cast<QPushButton*>(view.Control(C::kBtOk))->click();
        break;
      case Leave::kTab:
        QTest::keyClick(combo, Qt::Key_Tab);
        EXPECT_FALSE(combo->hasFocus()) << name;
        EXPECT_EQ(combo->currentIndex(), -1) << name;
        EXPECT_EQ(combo->currentText(), c.typed) << name;
        static_cast<QPushButton*>(view.Control(C::kBtOk))->click();
        break;
      case Leave::kReturn:  // the default button, OK, takes it
        QTest::keyClick(combo, Qt::Key_Return);
        break;
    }
    EXPECT_FALSE(view.isVisible()) << name;
    EXPECT_NE(view.result().find(c.written), std::string::npos) << name << ": " << view.result();
  }
  // The pick-only lists take no typing.
  DialogView view(Filled("#PRET=2#"));
  for (ControlId id : {C::kCmbMode, C::kCmbPop3Retries}) {
    auto* combo = static_cast<QComboBox*>(view.Control(id));
    EXPECT_EQ(combo->lineEdit(), nullptr) << Spec(id).name;
    Type(combo, "x");
    EXPECT_NE(combo->currentIndex(), -1) << Spec(id).name;
  }
}

// Picking an item after typing selects it again.
TEST_F(DialogViewTest, PickingAfterTypingSelects) {
  DialogView view(Filled("#SRET=1#OMODE=SMTP#"));
  view.show();
  view.activateWindow();
  QApplication::processEvents();
  auto* combo = static_cast<QComboBox*>(view.Control(C::kCmbSmtpRetries));
  combo->setFocus(Qt::TabFocusReason);
  QTest::keyClicks(combo, "typed");
  ASSERT_EQ(combo->currentIndex(), -1);
  QTest::keyClick(combo, Qt::Key_Down);  // the arrow keys step through the items
  EXPECT_EQ(combo->currentIndex(), 0);
  QTest::keyClick(combo, Qt::Key_Down);
  QTest::keyClick(combo, Qt::Key_Tab);
  EXPECT_EQ(combo->currentIndex(), 1);
  static_cast<QPushButton*>(view.Control(C::kBtOk))->click();
  EXPECT_NE(view.result().find("#SRET=1#"), std::string::npos) << view.result();
}

TEST_F(DialogViewTest, EnterWithTheInitialFocusComposes) {
  DialogView view(Filled("#SSRV=smtp.example.org#SKWORD=kw#@@NEXT=POP3@@#"));
  view.show();
  view.activateWindow();
  QApplication::processEvents();
  ASSERT_EQ(QApplication::focusWidget(), view.Control(C::kBtOk));
  static_cast<QLineEdit*>(view.Control(C::kTxtPop3Host))->setText(" pop ");
  PressReturn(QApplication::focusWidget());
  EXPECT_EQ(view.result(),
            "#SSRV=smtp.example.org#SPORT=#SFROM=#STO=#SUSR=#SPWD=#SRET=0#SSSL=F#SIP6=F#SDBL=F"
            "#SSSM=0#PSRV=pop#PPORT=#PUSR=#PPWD=#PRET=0#PSSL=F#PIP6=F#MBOX=#RDBL=F#ODSM=F#NXS=F"
            "#OMODE=TESSALY#CCMD=LT#CCNM=0#");
  EXPECT_FALSE(view.isVisible());
}

// Through the loader and the module's entry point, as the check object does.
TEST_F(DialogViewTest, PresenterOutcomes) {
  struct Case {
    const char* name;
    std::string parameter;
    bool press_ok;  // else the dialog is closed another way
    DialogOutcome::Kind kind;
  };
  const std::string stored = "#SSRV=a#DALL=T#";
  for (const Case& c : std::vector<Case>{
           {"Ok", stored, true, DialogOutcome::Kind::kAccepted},
           {"Closed", stored, false, DialogOutcome::Kind::kClosed},
           {"BadSslMode", "#SSSM=7#", true, DialogOutcome::Kind::kFailed}}) {
    bool shown = false;
    QTimer::singleShot(0, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr) return;
      shown = true;
      if (c.press_ok) {
        modal->findChild<QPushButton*>("btOK")->click();
      } else {
        modal->close();
      }
    });
    DialogOutcome out = NewDefaultDialogPresenter()->Show(c.parameter, "60");
    EXPECT_EQ(out.kind, c.kind) << c.name << ": " << out.error;
    EXPECT_EQ(shown, c.kind != DialogOutcome::Kind::kFailed) << c.name;
    if (c.kind == DialogOutcome::Kind::kAccepted) {
      EXPECT_EQ(GetParameterValue(out.parameter, vocab::kSmtpServer), "a") << c.name;
      EXPECT_EQ(out.parameter.find("DALL"), std::string::npos) << c.name;
    }
    if (c.kind == DialogOutcome::Kind::kFailed) {
      EXPECT_NE(out.error.find("SSSM"), std::string::npos) << c.name << ": " << out.error;
    }
    QApplication::processEvents();
  }
}

TEST_F(DialogViewTest, Screenshots) {
  QDir().mkpath(QString::fromStdString(testing::BinaryDir() + "/screenshots"));
  struct Case {
    const char* file;
    int mode;
  };
  for (const Case& c : std::vector<Case>{{"fresh.png", -1}, {"smtp_imap4.png", 4}}) {
    DialogView view(Filled(""));
    if (c.mode >= 0) static_cast<QComboBox*>(view.Control(C::kCmbMode))->setCurrentIndex(c.mode);
    view.show();
    QApplication::processEvents();
    std::string path = testing::BinaryDir() + "/screenshots/" + c.file;
    EXPECT_TRUE(view.grab().save(QString::fromStdString(path))) << path;
  }
}

}  // namespace
}  // namespace tessaly::dialog
