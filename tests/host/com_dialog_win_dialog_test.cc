// vg_showGUI as the host calls it: through IDispatch on comtessaly.dll, the
// dialog driven by posted keys on the calling thread's modal loop.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/param_string.h"
#include "check/vocab.h"
#include "dialog/win/dialog_window_win.h"
#include "support/com_client_win.h"
#include "support/com_dll_test_win.h"
#include "support/dialog_driver_win.h"
#include "support/wine_stack_win.h"

namespace tessaly {
namespace {

using C = dialog::ControlId;
using dialog::ItemId;
using testing::DialogDriver;
using testing::DispatchClient;
using testing::Var;

// What OK writes for a new check.
constexpr char kNewCheck[] =
    "#SSRV=#SPORT=25#SFROM=#STO=#SUSR=#SPWD=#SRET=0#SSSL=F#SIP6=F#SDBL=F#SSSM=0#PSRV=#PPORT=110"
    "#PUSR=#PPWD=#PRET=0#PSSL=F#PIP6=F#MBOX=#RDBL=F#ODSM=T#NXS=F#OMODE=TESSALY#CCMD=LT#CCNM=1#";

class ShowGuiTest : public testing::ComDllTest {
 protected:
  std::string Parameter() {
    Var got;
    EXPECT_EQ(client_->Get(L"vg_parameter", &got), S_OK);
    return got.Text();
  }
};

std::string TextOf(HWND dialog, C id) {
  char text[256] = {};
  GetWindowTextA(GetDlgItem(dialog, ItemId(id)), text, sizeof text);
  return text;
}

TEST_F(ShowGuiTest, EnterAtOnceOnANewCheck) {
  struct Case {
    const char* name;
    bool set_parameter;  // else vg_parameter was never set (empty variant)
    Var timeout;
    std::string timeout_shown;
  };
  std::vector<Case> cases;
  cases.push_back({"NeverSet", false, Var::I2(30), "30"});
  cases.push_back({"EmptyText", true, Var(L" 45 "), "45"});
  for (const Case& c : cases) {
    delete client_;
    client_ = New();
    ASSERT_NE(client_, nullptr);
    if (c.set_parameter) {
      ASSERT_EQ(client_->Put(L"vg_parameter", Var(L"").v), S_OK);
    }
    ASSERT_EQ(client_->Put(L"vg_timeout", c.timeout.v), S_OK);
    std::string timeout_shown;
    bool ok_focused = false;
    DialogDriver driver({[&](HWND dialog) {
                           timeout_shown = TextOf(dialog, C::kTxtTimeout);
                           ok_focused = GetFocus() == GetDlgItem(dialog, ItemId(C::kBtOk));
                         },
                         DialogDriver::Key(VK_RETURN)});
    EXPECT_EQ(client_->Call(L"vg_showGUI"), S_OK) << c.name;
    EXPECT_TRUE(driver.shown()) << c.name;
    EXPECT_FALSE(driver.timed_out()) << c.name;
    EXPECT_TRUE(ok_focused) << c.name;
    EXPECT_EQ(timeout_shown, c.timeout_shown) << c.name;
    EXPECT_EQ(Parameter(), kNewCheck) << c.name;
  }
}

// A string OK composed, with a value of every kind (escaped user name,
// Windows-1252 passwords and user name, every list, every switch), comes
// back unchanged from load and OK.
TEST_F(ShowGuiTest, LoadThenOkGivesTheSameString) {
  const std::string stored =
      "#SSRV=smtp.example.org#SPORT=587#SFROM=check@example.org#STO=box@example.org"
      "#SUSR=ops{0x23}1#SPWD=cPw=#SRET=2#SSSL=T#SIP6=T#SDBL=T#SSSM=3#PSRV=pop.example.org"
      "#PPORT=995#PUSR=m\xfcller#PPWD=czNjcul0#PRET=3#PSSL=T#PIP6=F#MBOX=INBOX/Checks#RDBL=T"
      "#ODSM=F#NXS=T#OMODE=TESSIMO#CCMD=DF#CCNM=12#";
  ASSERT_EQ(client_->Put(L"vg_parameter", Var(stored).v), S_OK);
  std::wstring password;
  DialogDriver driver({[&](HWND dialog) {
                         wchar_t text[64] = {};
                         GetWindowTextW(GetDlgItem(dialog, ItemId(C::kTxtSmtpPassword)), text, 64);
                         password = text;
                       },
                       DialogDriver::Key(VK_RETURN)});
  EXPECT_EQ(client_->Call(L"vg_showGUI"), S_OK);
  EXPECT_EQ(password, L"p\u00fc");  // "cPw=" is Windows-1252 "p\xfc"
  EXPECT_EQ(Parameter(), stored);
}

TEST_F(ShowGuiTest, ClosingWithoutOkKeepsTheWholeString) {
  const std::string stored =
      "#SSRV=a#SKWORD=kw#DALL=T#@@NEXT=POP3@@#@@SUBJECT=s@@#SAUTH=XOAUTH2#SCID=probe#";
  ASSERT_EQ(client_->Put(L"vg_parameter", Var(stored).v), S_OK);
  DialogDriver closing({DialogDriver::Focus(ItemId(C::kTxtSmtpHost)), DialogDriver::Type("b"),
                        DialogDriver::Close()});
  EXPECT_EQ(client_->Call(L"vg_showGUI"), S_OK);
  EXPECT_TRUE(closing.shown());
  EXPECT_EQ(Parameter(), stored);
  // OK on the same string drops the subject keyword, DALL and the state,
  // and keeps the settings the dialog does not show.
  DialogDriver accepting({DialogDriver::Key(VK_RETURN)});
  EXPECT_EQ(client_->Call(L"vg_showGUI"), S_OK);
  const std::string composed = Parameter();
  EXPECT_EQ(GetParameterValue(composed, vocab::kSmtpServer), "a");
  EXPECT_NE(composed.find("#CCNM=0#SAUTH=XOAUTH2#SCID=probe#"), std::string::npos) << composed;
  for (std::string_view key : {vocab::kSubjectKeyword, vocab::kDeleteAll, vocab::kNextPhase,
                               vocab::kLastSubject}) {
    EXPECT_EQ(composed.find(std::string(key) + "="), std::string::npos) << key << composed;
  }
}

// Stored values the dialog cannot show stop vg_showGUI before any window
// appears, with the method's error reaching the host.
TEST_F(ShowGuiTest, RefusedBeforeTheWindowShows) {
  struct Case {
    const char* parameter;
    const wchar_t* named;  // the key the error names
  };
  for (const Case& c : std::vector<Case>{{"#SSSM=7#", L"SSSM"},
                                         {"#SSSM=-2#", L"SSSM"},
                                         {"#PPWD==AAA#", L"PPWD"},
                                         {"#SPWD=cPw==AAA#", L"SPWD"}}) {
    ASSERT_EQ(client_->Put(L"vg_parameter", Var(std::string(c.parameter)).v), S_OK);
    DialogDriver driver({DialogDriver::Key(VK_RETURN)});
    EXPECT_EQ(client_->Call(L"vg_showGUI"), DISP_E_EXCEPTION) << c.parameter;
    EXPECT_NE(client_->last_description().find(c.named), std::wstring::npos) << c.parameter;
    EXPECT_FALSE(driver.shown()) << c.parameter;
    EXPECT_EQ(Parameter(), c.parameter);
  }
}

// The operating mode picked with the keyboard: Tab from OK to the mode
// list, then arrow keys; each change applies the mode rules at once, and a
// frame enabled again gives its fields back as they were.
TEST_F(ShowGuiTest, KeyboardModeChangesApplyTheModeRules) {
  ASSERT_EQ(client_->Put(L"vg_parameter", Var(L"#PSRV=pop.example.org#OMODE=TESSALY#").v), S_OK);
  struct Step {
    WORD key;
    std::vector<C> enabled;
    std::vector<C> disabled;
  };
  const std::vector<Step> table = {
      {VK_DOWN, {C::kFrameSmtp, C::kTxtSmtpHost, C::kCmbSmtpSslMode},  // SMTP
       {C::kFramePop3, C::kTxtPop3Host, C::kChkPop3Ssl, C::kChkNoXSender, C::kChkOnlyDeleteOwn,
        C::kTxtCount, C::kTxtFolder}},
      {VK_DOWN, {C::kFramePop3, C::kTxtPop3Host, C::kChkOnlyDeleteOwn},  // POP3
       {C::kFrameSmtp, C::kTxtSmtpHost, C::kChkNoXSender, C::kTxtCount, C::kTxtFolder}},
      {VK_DOWN, {C::kTxtPop3Host, C::kLabelCount, C::kCmbCount, C::kTxtCount},  // COUNT POP3
       {C::kTxtSmtpHost, C::kChkNoXSender, C::kChkOnlyDeleteOwn, C::kTxtFolder, C::kLabelFolder}},
      // SMTP & IMAP4: the options the IMAP4 fetch uses come back; the count
      // sentence keeps what the count mode gave it.
      {VK_DOWN,
       {C::kTxtSmtpHost, C::kTxtPop3Host, C::kLabelFolder, C::kTxtFolder, C::kChkNoXSender,
        C::kChkOnlyDeleteOwn, C::kTxtCount},
       {}},
      {VK_HOME,  // SMTP & POP3
       {C::kTxtSmtpHost, C::kTxtPop3Host, C::kChkNoXSender, C::kChkOnlyDeleteOwn},
       {C::kLabelCount, C::kCmbCount, C::kTxtCount, C::kLabelFolder, C::kTxtFolder}},
      {VK_DOWN, {C::kTxtSmtpHost}, {C::kTxtPop3Host}},  // SMTP
  };
  std::vector<DialogDriver::Step> steps;
  HWND focused = nullptr;
  HWND mode_list = nullptr;
  // OK, Timeout, six SMTP fields, four POP3 fields, "Only delete", then the mode.
  for (int i = 0; i < 13; ++i) steps.push_back(DialogDriver::Key(VK_TAB));
  steps.push_back([&](HWND dialog) {
    focused = GetFocus();
    mode_list = GetDlgItem(dialog, ItemId(C::kCmbMode));
  });
  for (std::size_t i = 0; i < table.size(); ++i) {
    steps.push_back(DialogDriver::Key(table[i].key));
    steps.push_back([&, i](HWND dialog) {
      for (C id : table[i].enabled) {
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, ItemId(id)))) << i << " " << Spec(id).name;
      }
      for (C id : table[i].disabled) {
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, ItemId(id)))) << i << " "
                                                                       << Spec(id).name;
      }
    });
  }
  steps.push_back(DialogDriver::Key(VK_RETURN));
  DialogDriver driver(std::move(steps));
  EXPECT_EQ(client_->Call(L"vg_showGUI"), S_OK);
  EXPECT_FALSE(driver.timed_out());
  EXPECT_EQ(focused, mode_list);
  const std::string composed = Parameter();
  EXPECT_EQ(GetParameterValue(composed, vocab::kMode), "SMTP") << composed;
  EXPECT_EQ(GetParameterValue(composed, vocab::kMailServer), "pop.example.org") << composed;
}

}  // namespace
}  // namespace tessaly
