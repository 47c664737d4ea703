#include "dialog/dialog_model.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "check/param_string.h"
#include "check/vocab.h"
#include "env/base64.h"

namespace tessaly::dialog {
namespace {

using C = ControlId;

constexpr std::string_view kFreshOk =
    "#SSRV=#SPORT=25#SFROM=#STO=#SUSR=#SPWD=#SRET=0#SSSL=F#SIP6=F#SDBL=F#SSSM=0"
    "#PSRV=#PPORT=110#PUSR=#PPWD=#PRET=0#PSSL=F#PIP6=F#MBOX=#RDBL=F#ODSM=T#NXS=F"
    "#OMODE=TESSALY#CCMD=LT#CCNM=1#";

DialogForm Filled(std::string_view parameter, std::string_view timeout = "30") {
  DialogForm form;
  Status s = FillForm(parameter, timeout, &form);
  EXPECT_TRUE(s.ok()) << parameter << ": " << s.message();
  return form;
}

TEST(DialogCaptionTest, RevisionFollowsTwoBlanks) {
  EXPECT_EQ(FormatCaption(1, 1, 76), "TESSALY: External COM check (version 1.1 build  76)");
  EXPECT_EQ(FormatCaption(0, 1, 0), "TESSALY: External COM check (version 0.1 build  0)");
  EXPECT_EQ(FormatCaption(2, 0, -3), "TESSALY: External COM check (version 2.0 build -3)");
  EXPECT_EQ(DialogCaption().rfind("TESSALY: External COM check (version ", 0), 0u);
}

TEST(DialogLoadTest, FreshFormState) {
  DialogForm form = LoadedForm();
  EXPECT_EQ(form.at(C::kCmbMode).index, 0);
  EXPECT_EQ(form.at(C::kCmbMode).text, "SMTP & POP3");
  for (C list : {C::kCmbSmtpRetries, C::kCmbSmtpSslMode, C::kCmbPop3Retries, C::kCmbCount}) {
    EXPECT_EQ(form.at(list).index, 0) << Spec(list).name;
  }
  EXPECT_EQ(form.at(C::kTxtCount).text, "1");
  EXPECT_EQ(ListItems(C::kCmbSmtpSslMode)[3], "None");
  for (C on : {C::kFrameSmtp, C::kFramePop3, C::kChkNoXSender, C::kChkOnlyDeleteOwn}) {
    EXPECT_TRUE(form.EffectivelyEnabled(on)) << Spec(on).name;
  }
  for (C off : {C::kLabelCount, C::kCmbCount, C::kTxtCount, C::kLabelFolder, C::kTxtFolder}) {
    EXPECT_FALSE(form.EffectivelyEnabled(off)) << Spec(off).name;
  }
}

TEST(DialogComposeTest, NewCheckPressedOkAtOnce) {
  DialogForm form = Filled("", " 45 ");
  EXPECT_EQ(form.at(C::kTxtTimeout).text, "45");
  EXPECT_EQ(ComposeParameter(form), kFreshOk);
}

// Strings OK composed come back identical after load and OK.
TEST(DialogComposeTest, LoadThenOkIsIdentity) {
  const std::vector<std::string> cases = {
      std::string(kFreshOk),
      "#SSRV=mail.example.org#SPORT=587#SFROM=a@example.org#STO=b@example.org"
      "#SUSR=us{0x23}er{0x22}#SPWD=" + Base64Encode("s3cret") +
          "#SRET=2#SSSL=T#SIP6=T#SDBL=T#SSSM=3#PSRV=pop.example.org#PPORT=995"
          "#PUSR=box{0x0d}{0x0a}x#PPWD=" + Base64Encode("p w") +
          "#PRET=3#PSSL=T#PIP6=T#MBOX=INBOX/Sub#RDBL=T#ODSM=F#NXS=T#OMODE=TESSIMO"
          "#CCMD=DF#CCNM=-12.5#",
      "#SSRV=#SPORT=#SFROM=#STO=#SUSR=#SPWD=#SRET=0#SSSL=F#SIP6=F#SDBL=F#SSSM=-1"
      "#PSRV=#PPORT=#PUSR=#PPWD=#PRET=1#PSSL=F#PIP6=F#MBOX=#RDBL=F#ODSM=F#NXS=F"
      "#OMODE=CPOP#CCMD=GT#CCNM=0#",
  };
  for (const std::string& c : cases) {
    EXPECT_EQ(ComposeParameter(Filled(c)), c) << c;
  }
}

struct LoadCase {
  const char* name;
  std::string parameter;
  ControlId control;
  int index;             // expected list index, or kAny
  std::string text;      // expected text (lists: the item shown)
  std::string written;   // the item OK writes for the control's key
};
constexpr int kAny = -100;

class DialogLoadCaseTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(DialogLoadCaseTest, LoadsAndWrites) {
  const LoadCase& c = GetParam();
  DialogForm form = Filled(c.parameter);
  if (c.index != kAny) {
    EXPECT_EQ(form.at(c.control).index, c.index) << c.name;
  }
  EXPECT_EQ(form.at(c.control).text, c.text) << c.name;
  EXPECT_NE(ComposeParameter(form).find(c.written), std::string::npos)
      << c.name << ": " << ComposeParameter(form);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, DialogLoadCaseTest,
    ::testing::Values(
        LoadCase{"RetriesAboveThreeClamp", "#PRET=7#", C::kCmbPop3Retries, 3, "3 retries", "#PRET=3#"},
        LoadCase{"RetriesNegativeClamp", "#PRET=-2#", C::kCmbPop3Retries, 0, "None", "#PRET=0#"},
        LoadCase{"RetriesAbsent", "#SSRV=x#", C::kCmbPop3Retries, 0, "None", "#PRET=0#"},
        LoadCase{"SmtpRetriesClamp", "#SRET=7#", C::kCmbSmtpRetries, 3, "3 retries", "#SRET=3#"},
        LoadCase{"SslModeNone", "#SSSM=3#", C::kCmbSmtpSslMode, 3, "None", "#SSSM=3#"},
        LoadCase{"SslModeNoSelection", "#SSSM=-1#", C::kCmbSmtpSslMode, -1, "", "#SSSM=-1#"},
        LoadCase{"CountShowsLeadingNumber", "#CCNM=12abc#", C::kTxtCount, kAny, "12", "#CCNM=12#"},
        LoadCase{"CountAbsentShowsZero", "#SSRV=x#", C::kTxtCount, kAny, "0", "#CCNM=0#"},
        LoadCase{"CountBlanksAndFraction", "#CCNM= 2.50x#", C::kTxtCount, kAny, "2.5", "#CCNM=2.5#"},
        LoadCase{"ComparisonUnknown", "#CCMD=gt#", C::kCmbCount, 0, "is < than", "#CCMD=LT#"},
        LoadCase{"ComparisonEqual", "#CCMD=EQ#", C::kCmbCount, 2, "is = to", "#CCMD=EQ#"},
        LoadCase{"ModeImap4NotInList", "#OMODE=IMAP4#", C::kCmbMode, 0, "SMTP & POP3", "#OMODE=TESSALY#"},
        LoadCase{"ModeLowerCase", "#OMODE=smtp#", C::kCmbMode, 0, "SMTP & POP3", "#OMODE=TESSALY#"},
        LoadCase{"ModeCount", "#OMODE=CPOP#", C::kCmbMode, 3, "COUNT POP3 messages", "#OMODE=CPOP#"},
        LoadCase{"UserNameHashUnescaped", "#SUSR=a{0x23}b#", C::kTxtSmtpUser, kAny, "a#b", "#SUSR=a{0x23}b#"},
        LoadCase{"UserNameBlankToken", "#PUSR=a{0x20}b#", C::kTxtPop3User, kAny, "a b", "#PUSR=a b#"},
        LoadCase{"HostKeptAsStored", "#SSRV= h{0x20} #", C::kTxtSmtpHost, kAny, " h{0x20} ", "#SSRV=h{0x20}#"},
        LoadCase{"PasswordDecoded", "#SPWD=" + Base64Encode("pw") + "#", C::kTxtSmtpPassword, kAny, "pw",
                 "#SPWD=" + Base64Encode("pw") + "#"}),
    [](const ::testing::TestParamInfo<LoadCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(DialogLoadTest, FlagsTickOnlyForExactT) {
  struct Case {
    std::string value;
    bool ticked;
  };
  for (const Case& c : std::vector<Case>{{"T", true}, {"t", false}, {"True", false},
                                         {" T", false}, {"F", false}, {"", false}}) {
    DialogForm form = Filled("#PSSL=" + c.value + "#NXS=" + c.value + "#");
    EXPECT_EQ(form.at(C::kChkPop3Ssl).checked, c.ticked) << c.value;
    EXPECT_EQ(form.at(C::kChkNoXSender).checked, c.ticked) << c.value;
    std::string out = ComposeParameter(form);
    EXPECT_NE(out.find(c.ticked ? "#PSSL=T#" : "#PSSL=F#"), std::string::npos) << c.value;
  }
  // A string of blanks is not empty: every key reads as absent, no defaults.
  DialogForm blanks = Filled("   ");
  EXPECT_FALSE(blanks.at(C::kChkOnlyDeleteOwn).checked);
  EXPECT_EQ(blanks.at(C::kTxtSmtpPort).text, "");
}

TEST(DialogComposeTest, TrimsEscapesAndDropsForeignKeys) {
  DialogForm form = Filled(
      "#SSRV=h#SKWORD=kw#DALL=T#@@NEXT=POP3@@#@@SUBJECT=TESSALY 1@@#OMODE=SMTP#");
  form.at(C::kTxtSmtpPassword).text = "  pass word \t";
  form.at(C::kTxtSmtpUser).text = " me#you ";
  form.at(C::kTxtSmtpHost).text = " host ";
  std::string out = ComposeParameter(form);
  EXPECT_NE(out.find("#SPWD=" + Base64Encode("pass word") + "#"), std::string::npos) << out;
  EXPECT_NE(out.find("#SUSR=me{0x23}you#"), std::string::npos) << out;
  EXPECT_NE(out.find("#SSRV=host#"), std::string::npos) << out;
  for (std::string_view key : {"SKWORD", "DALL", "@@NEXT", "@@SUBJECT"}) {
    EXPECT_EQ(GetParameterValue(out, key), "") << key;
    EXPECT_EQ(out.find(key), std::string::npos) << key;
  }
  EXPECT_EQ(GetParameterValue(out, vocab::kMode), "SMTP");
  // Items in their order, each once.
  std::size_t at = 0;
  for (std::string_view key : vocab::kDialogKeys) {
    std::size_t found = out.find("#" + std::string(key) + "=", at);
    ASSERT_NE(found, std::string::npos) << key;
    at = found + 1;
  }
}

// The count field is written as a number even when it holds none.
TEST(DialogComposeTest, CountFieldWithoutNumber) {
  struct Case {
    std::string typed;
    std::string written;
  };
  for (const Case& c : std::vector<Case>{{"", "0"}, {"abc", "0"}, {" 7 ", "7"}, {"-0", "0"},
                                         {"3.", "3"}, {"1e3", "1"}, {"1 2", "1"}}) {
    DialogForm form = LoadedForm();
    form.at(C::kTxtCount).text = c.typed;
    EXPECT_EQ(GetParameterValue(ComposeParameter(form), vocab::kCountThreshold), c.written)
        << "'" << c.typed << "'";
  }
}

TEST(DialogComposeTest, EditableListsWithoutSelectionWriteMinusOne) {
  DialogForm form = LoadedForm();
  for (C list : {C::kCmbSmtpRetries, C::kCmbSmtpSslMode, C::kCmbCount}) {
    form.at(list).index = -1;
    form.at(list).text = "typed";
  }
  std::string out = ComposeParameter(form);
  EXPECT_NE(out.find("#SRET=-1#"), std::string::npos) << out;
  EXPECT_NE(out.find("#SSSM=-1#"), std::string::npos) << out;
  EXPECT_NE(out.find("#CCMD=LT#"), std::string::npos) << out;
}

// Keys the dialog does not show (the OAuth set-up, keys of later
// versions) follow the 25 items unchanged; DALL, SKWORD and state keys
// still go, and a string without other keys composes as before.
TEST(DialogComposeTest, KeepsKeysItDoesNotShow) {
  const std::string stored =
      "#SSRV=h#PAUTH=XOAUTH2#SKWORD=kw#pcid=App 1#@@PTOK=dG9r@@#DALL=T#NEW= x y #"
      "PCSEC=c2VjcmV0#@@PTEXP=1800000000@@#MBOX=a#stray#OMODE=TESSIMO#";
  DialogForm form = Filled(stored);
  form.at(C::kTxtSmtpHost).text = "changed";
  const std::string out = ComposeParameter(form);
  const std::string tail = "PAUTH=XOAUTH2#pcid=App 1#NEW= x y #PCSEC=c2VjcmV0#";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
  EXPECT_EQ(out.substr(0, out.size() - tail.size()),
            ComposeParameter(Filled("#SSRV=changed#MBOX=a#OMODE=TESSIMO#")))
      << "the 25 items as without the other keys";
  for (std::string_view gone : {"SKWORD", "DALL", "@@", "stray"}) {
    EXPECT_EQ(out.find(gone), std::string::npos) << gone;
  }
  EXPECT_EQ(ComposeParameter(Filled(out)), out) << "a second OK keeps them again";
}

TEST(DialogFillTest, StoredValuesThatStopTheDialog) {
  struct Case {
    const char* name;
    std::string parameter;
    std::string_view mentions;
  };
  for (const Case& c : std::vector<Case>{
           {"SslModeSeven", "#SSSM=7#", "SSSM"},
           {"SslModeMinusTwo", "#SSSM=-2#", "SSSM"},
           {"SmtpPasswordBad", "#SPWD=====#", "SPWD"},
           {"Pop3PasswordBad", "#PPWD=AAAA=AAA#", "PPWD"},
           {"Pop3PasswordFirst", "#SSSM=9#PPWD==#", "PPWD"},
       }) {
    DialogForm form;
    Status s = FillForm(c.parameter, "30", &form);
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_NE(s.message().find(c.mentions), std::string::npos) << c.name << ": " << s.message();
  }
}

struct ModeCase {
  int index;
  std::vector<ControlId> enabled;
  std::vector<ControlId> disabled;
};

TEST(DialogModeRulesTest, EnablesAndDisablesByMode) {
  const std::vector<ModeCase> cases = {
      {1, {C::kFrameSmtp}, {C::kFramePop3, C::kChkNoXSender, C::kChkOnlyDeleteOwn, C::kTxtFolder}},
      {2, {C::kFramePop3, C::kChkOnlyDeleteOwn}, {C::kFrameSmtp, C::kChkNoXSender, C::kCmbCount}},
      {3, {C::kFramePop3, C::kLabelCount, C::kCmbCount, C::kTxtCount},
       {C::kFrameSmtp, C::kChkNoXSender, C::kChkOnlyDeleteOwn, C::kLabelFolder}},
      {4, {C::kFrameSmtp, C::kFramePop3, C::kLabelFolder, C::kTxtFolder, C::kChkNoXSender},
       {C::kCmbCount}},
  };
  for (const ModeCase& c : cases) {
    DialogForm form = LoadedForm();
    form.at(C::kCmbMode).index = c.index;
    ApplyModeRules(&form);
    for (C id : c.enabled) EXPECT_TRUE(form.at(id).enabled) << c.index << " " << Spec(id).name;
    for (C id : c.disabled) EXPECT_FALSE(form.at(id).enabled) << c.index << " " << Spec(id).name;
  }
}

// The two options the IMAP4 fetch uses follow the mode chosen, never the
// mode before it: every (from, to) pair, "from" -1 being a fresh opening.
TEST(DialogModeRulesTest, XSenderAndOnlyDeleteFollowTheNewMode) {
  struct Expected {
    bool no_x_sender;
    bool only_delete;
  };
  // By the mode switched to: SMTP & POP3, SMTP, POP3, COUNT, SMTP & IMAP4.
  constexpr std::array<Expected, 5> kByMode = {
      {{true, true}, {false, false}, {false, true}, {false, false}, {true, true}}};
  for (int from = -1; from < 5; ++from) {
    for (int to = 0; to < 5; ++to) {
      DialogForm form = LoadedForm();
      if (from >= 0) {
        form.at(C::kCmbMode).index = from;
        ApplyModeRules(&form);
      }
      form.at(C::kCmbMode).index = to;
      ApplyModeRules(&form);
      const Expected& want = kByMode[static_cast<std::size_t>(to)];
      EXPECT_EQ(form.EffectivelyEnabled(C::kChkNoXSender), want.no_x_sender)
          << "from " << from << " to " << to;
      EXPECT_EQ(form.EffectivelyEnabled(C::kChkOnlyDeleteOwn), want.only_delete)
          << "from " << from << " to " << to;
    }
  }
}

TEST(DialogModeRulesTest, ImapModeKeepsTheCountSentenceAsThePreviousModeSetIt) {
  DialogForm form = LoadedForm();
  form.at(C::kCmbMode).index = 3;
  ApplyModeRules(&form);
  form.at(C::kCmbMode).index = 4;
  ApplyModeRules(&form);
  EXPECT_TRUE(form.at(C::kCmbCount).enabled);
  EXPECT_TRUE(form.at(C::kTxtFolder).enabled);
  // Leaving the mode disables the folder again; a frame's children keep their
  // own states while the frame is off.
  form.at(C::kCmbMode).index = 1;
  ApplyModeRules(&form);
  EXPECT_FALSE(form.at(C::kTxtFolder).enabled);
  EXPECT_TRUE(form.at(C::kTxtPop3Host).enabled);
  EXPECT_FALSE(form.EffectivelyEnabled(C::kTxtPop3Host));
  form.at(C::kCmbMode).index = 7;  // no such item: nothing changes
  DialogForm before = form;
  ApplyModeRules(&form);
  for (std::size_t i = 0; i < kControlCount; ++i) {
    EXPECT_EQ(form.controls[i].enabled, before.controls[i].enabled) << Layout()[i].name;
  }
}

TEST(DialogLayoutTest, TableShape) {
  EXPECT_EQ(TabOrder().front(), C::kBtOk);
  EXPECT_EQ(TabOrder()[1], C::kTxtTimeout);
  EXPECT_EQ(TabOrder().back(), C::kCmbSmtpSslMode);
  EXPECT_EQ(TabOrder().size(), 27u);
  EXPECT_EQ(Spec(C::kTxtSmtpPassword).kind, ControlKind::kMaskedText);
  EXPECT_EQ(Spec(C::kCmbPop3Retries).kind, ControlKind::kPickList);
  EXPECT_EQ(Spec(C::kCmbCount).kind, ControlKind::kEditableList);
  EXPECT_EQ(Spec(C::kBtOk).caption, "&OK");
  // Every control lies inside its container.
  for (const ControlSpec& s : Layout()) {
    int width = s.container == C::kNone ? kClientWidthTwips : Spec(s.container).place.width;
    int height = s.container == C::kNone ? kClientHeightTwips : Spec(s.container).place.height;
    EXPECT_LE(s.place.left + s.place.width, width) << s.name;
    EXPECT_LE(s.place.top + s.place.height, height) << s.name;
  }
}

// The room a caption may grow into when the system's face is wider than the
// design's: up to the neighbour in its row, the frame's edge, or not at all.
TEST(DialogLayoutTest, CaptionRoom) {
  struct Case {
    ControlId id;
    TwipRect room;
  };
  for (const Case& c : std::vector<Case>{
           {C::kChkSmtpSsl, {5640, 300, 7440 - kCaptionGapTwips - 5640, 255}},
           {C::kChkReceiveDebug, {6720, 1080, 8655 - kFrameMarginTwips - 6720, 255}},
           // Right-aligned: grows to the left, its right edge beside the field.
           {C::kLabelSmtpUser, {kFrameMarginTwips, 720, 240 + 900 - kFrameMarginTwips, 255}},
           {C::kLabelSmtpPassword, {3950 + kCaptionGapTwips, 720, 4980 - 3950 - kCaptionGapTwips, 255}},
           {C::kLabelMode, {120, 5640, 1440 - kCaptionGapTwips - 120, 255}},
           // Already touching a neighbour or the edge: no room beyond its place.
           {C::kLabelCount, {1200, 1800, 3750, 255}},
           {C::kLabelTimeout, {0, 6420, 1215, 255}},
       }) {
    TwipRect room = CaptionRoom(c.id);
    EXPECT_EQ(std::tie(room.left, room.top, room.width, room.height),
              std::tie(c.room.left, c.room.top, c.room.width, c.room.height))
        << Spec(c.id).name << ": " << room.left << " " << room.width;
  }
  // No caption's room reaches a control its own place stays clear of.
  auto overlap = [](const TwipRect& a, const TwipRect& b) {
    return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
           b.top < a.top + a.height;
  };
  for (const ControlSpec& s : Layout()) {
    if (s.kind != ControlKind::kLabel && s.kind != ControlKind::kCheckBox) continue;
    TwipRect room = CaptionRoom(s.id);
    EXPECT_LE(room.left, s.place.left) << s.name;
    EXPECT_GE(room.left + room.width, s.place.left + s.place.width) << s.name;
    for (const ControlSpec& other : Layout()) {
      if (other.id == s.id || other.container != s.container) continue;
      if (overlap(s.place, other.place)) continue;
      EXPECT_FALSE(overlap(room, other.place)) << s.name << " reaches " << other.name;
    }
  }
}

}  // namespace
}  // namespace tessaly::dialog
