#include "dialog/dialog_layout.h"

#include <algorithm>

namespace tessaly::dialog {
namespace {

using C = ControlId;
using K = ControlKind;

constexpr std::string_view kNoXSenderTip =
    "The X-Sender header is used to determine that the mail we're trying to "
    "retrieve is realy send by TESSALCom.  Some mail systems seem to strip this "
    "header of the mail and thus causing TESSALYCom not to work correctly.  "
    "With this option it should work fine.";
constexpr std::string_view kPop3SslTip =
    "Don't forget to set the port correctly (POP3 uses 110, POP3 with SSL uses "
    "995 by default)";

constexpr C kSmtp = C::kFrameSmtp;
constexpr C kPop3 = C::kFramePop3;
constexpr C kTop = C::kNone;

// In ControlId order; the static_assert below keeps the two in step.
constexpr std::array<ControlSpec, kControlCount> kLayout = {{
    {C::kFrameSmtp, "frame_SMTP", K::kFrame, "SMTP settings", "", kTop, {120, 120, 8655, 2295}, false},
    {C::kFramePop3, "frame_POP3", K::kFrame, "POP3/IMAP4 settings", "", kTop, {120, 2520, 8655, 3015}, false},
    // SMTP frame.
    {C::kLabelSmtpHost, "Label1_0", K::kLabel, "Host:", "", kSmtp, {240, 360, 900, 255}, true},
    {C::kTxtSmtpHost, "txtSMTPHost", K::kText, "", "", kSmtp, {1200, 300, 2775, 285}, false},
    {C::kLabelSmtpPort, "Label1_3", K::kLabel, "Port:", "", kSmtp, {4080, 360, 420, 255}, true},
    {C::kTxtSmtpPort, "txtSMTPPort", K::kText, "", "", kSmtp, {4560, 300, 735, 285}, false},
    {C::kChkSmtpSsl, "chkSMTPSSL", K::kCheckBox, "SSL/TLS enabled", "", kSmtp, {5640, 300, 1650, 255}, false},
    {C::kChkSmtpIpv6, "chkSMTPIPv6", K::kCheckBox, "use IPv6", "", kSmtp, {7440, 300, 975, 255}, false},
    {C::kLabelSmtpUser, "Label1_9", K::kLabel, "User Name:", "", kSmtp, {240, 720, 900, 255}, true},
    {C::kTxtSmtpUser, "txtSMTPUsername", K::kText, "", "", kSmtp, {1200, 660, 2750, 285}, false},
    {C::kLabelSmtpPassword, "Label1_8", K::kLabel, "Password:", "", kSmtp, {4080, 720, 900, 255}, true},
    {C::kTxtSmtpPassword, "txtSMTPPassword", K::kMaskedText, "", "", kSmtp, {5040, 660, 2750, 285}, false},
    {C::kLabelSmtpFrom, "Label1_1", K::kLabel, "Email From:", "", kSmtp, {240, 1200, 900, 255}, true},
    {C::kTxtSmtpFrom, "txtSMTPFrom", K::kText, "", "", kSmtp, {1200, 1140, 4095, 285}, false},
    {C::kChkSendDebug, "chkSendDebugLogging", K::kCheckBox, "Full debug logging", "", kSmtp, {5880, 1200, 1695, 255}, false},
    {C::kLabelSmtpTo, "Label1_2", K::kLabel, "Email To:", "", kSmtp, {240, 1560, 900, 255}, true},
    {C::kTxtSmtpTo, "txtSMTPTo", K::kText, "", "", kSmtp, {1200, 1500, 4095, 285}, false},
    {C::kLabelSmtpRetries, "Label1_10", K::kLabel, "Retries:", "", kSmtp, {240, 1920, 900, 255}, true},
    {C::kCmbSmtpRetries, "cmbSMTPRetries", K::kEditableList, "", "", kSmtp, {1200, 1860, 4095, 315}, false},
    {C::kLabelSmtpSslMode, "Label1_13", K::kLabel, "SSL Mode:", "", kSmtp, {5400, 1920, 900, 255}, true},
    {C::kCmbSmtpSslMode, "cmbSMTPSSLMode", K::kEditableList, "", "", kSmtp, {6480, 1860, 1935, 315}, false},
    // POP3/IMAP4 frame.
    {C::kLabelPop3Host, "Label1_4", K::kLabel, "Host:", "", kPop3, {240, 360, 900, 255}, true},
    {C::kTxtPop3Host, "txtPOP3Host", K::kText, "", "", kPop3, {1200, 300, 2775, 285}, false},
    {C::kLabelPop3Port, "Label1_7", K::kLabel, "Port:", "", kPop3, {4080, 360, 420, 255}, true},
    {C::kTxtPop3Port, "txtPOP3Port", K::kText, "", "", kPop3, {4560, 300, 735, 285}, false},
    {C::kChkPop3Ssl, "chkPOP3SSL", K::kCheckBox, "SSL enabled", kPop3SslTip, kPop3, {5640, 300, 1335, 255}, false},
    {C::kChkPop3Ipv6, "chkPOPIPv6", K::kCheckBox, "use IPv6", "", kPop3, {7440, 300, 975, 255}, false},
    {C::kLabelPop3User, "Label1_5", K::kLabel, "User Name:", "", kPop3, {240, 720, 900, 255}, true},
    {C::kTxtPop3User, "txtPOP3Username", K::kText, "", "", kPop3, {1200, 660, 2750, 285}, false},
    {C::kLabelPop3Password, "Label1_6", K::kLabel, "Password:", "", kPop3, {4080, 720, 900, 255}, true},
    {C::kTxtPop3Password, "txtPOP3Password", K::kMaskedText, "", "", kPop3, {5040, 660, 2750, 285}, false},
    {C::kLabelPop3Retries, "Label1_11", K::kLabel, "Retries:", "", kPop3, {240, 1080, 900, 255}, true},
    {C::kCmbPop3Retries, "cmbPOP3Retries", K::kPickList, "", "", kPop3, {1200, 1020, 4095, 315}, false},
    {C::kChkReceiveDebug, "chkReceiveDebugLogging", K::kCheckBox, "Full debug logging", "", kPop3, {6720, 1080, 1695, 255}, false},
    {C::kChkOnlyDeleteOwn, "chkOnlyDeleteTESSALYMessages", K::kCheckBox, "Only delete TESSALY messages", "", kPop3, {1200, 1440, 3975, 255}, false},
    {C::kLabelCount, "Label3", K::kLabel, "Down when the number of messages in the mailbox", "", kPop3, {1200, 1800, 3750, 255}, false},
    {C::kCmbCount, "cmbCPOP3", K::kEditableList, "", "", kPop3, {4920, 1740, 1575, 315}, false},
    {C::kTxtCount, "txtCPOP3", K::kText, "", "", kPop3, {6600, 1740, 735, 285}, false},
    {C::kLabelFolder, "Label1_12", K::kLabel, "Folder:", "", kPop3, {120, 2220, 900, 255}, true},
    {C::kTxtFolder, "txtIMAP4Folder", K::kText, "", "", kPop3, {1080, 2160, 2775, 285}, false},
    // The dialog itself.
    {C::kLabelMode, "Label2", K::kLabel, "Operating mode:", "", kTop, {120, 5640, 1215, 255}, false},
    {C::kCmbMode, "cmbOperatingMode", K::kPickList, "", "", kTop, {1440, 5640, 3135, 315}, false},
    {C::kBtOk, "btOK", K::kButton, "&OK", "", kTop, {7920, 5640, 735, 375}, false},
    {C::kChkNoXSender, "chkNoXSender", K::kCheckBox, "Don't use X-Sender", kNoXSenderTip, kTop, {1440, 6000, 3135, 255}, false},
    {C::kLabelTimeout, "Label4", K::kLabel, "Timeout:", "", kTop, {0, 6420, 1215, 255}, true},
    {C::kTxtTimeout, "txtTimeout", K::kText, "", "", kTop, {1440, 6360, 1095, 285}, false},
    {C::kLabelSeconds, "Label5", K::kLabel, "seconds", "", kTop, {2640, 6420, 1215, 255}, false},
}};

constexpr bool InIdOrder() {
  for (std::size_t i = 0; i < kLayout.size(); ++i) {
    if (Index(kLayout[i].id) != i) return false;
  }
  return true;
}
static_assert(InIdOrder(), "kLayout must list the controls in ControlId order");

constexpr std::array<std::string_view, 5> kModeItems = {
    "SMTP & POP3", "SMTP", "POP3", "COUNT POP3 messages", "SMTP & IMAP4"};
constexpr std::array<std::string_view, 4> kRetryItems = {"None", "1 retry", "2 retries",
                                                         "3 retries"};
constexpr std::array<std::string_view, 4> kSslModeItems = {"Automatic", "Implicit", "Explicit",
                                                           "None"};
constexpr std::array<std::string_view, 4> kCountItems = {"is < than", "is > than", "is = to",
                                                         "is <> from"};

constexpr std::array<ControlId, 27> kTabOrder = {
    C::kBtOk,          C::kTxtTimeout,      C::kTxtSmtpHost,      C::kTxtSmtpPort,
    C::kTxtSmtpUser,   C::kTxtSmtpPassword, C::kTxtSmtpFrom,      C::kTxtSmtpTo,
    C::kTxtPop3Host,   C::kTxtPop3Port,     C::kTxtPop3User,      C::kTxtPop3Password,
    C::kChkOnlyDeleteOwn, C::kCmbMode,      C::kCmbSmtpRetries,   C::kCmbPop3Retries,
    C::kChkPop3Ssl,    C::kChkNoXSender,    C::kChkSmtpSsl,       C::kCmbCount,
    C::kTxtCount,      C::kTxtFolder,       C::kChkSmtpIpv6,      C::kChkPop3Ipv6,
    C::kChkSendDebug,  C::kChkReceiveDebug, C::kCmbSmtpSslMode};

}  // namespace

std::span<const ControlSpec, kControlCount> Layout() { return kLayout; }

const ControlSpec& Spec(ControlId id) { return kLayout[Index(id)]; }

std::span<const std::string_view> ListItems(ControlId id) {
  switch (id) {
    case C::kCmbMode:
      return kModeItems;
    case C::kCmbSmtpRetries:
    case C::kCmbPop3Retries:
      return kRetryItems;
    case C::kCmbSmtpSslMode:
      return kSslModeItems;
    case C::kCmbCount:
      return kCountItems;
    default:
      return {};
  }
}

std::span<const ControlId> TabOrder() {
  return kTabOrder;
}

TwipRect CaptionRoom(ControlId id) {
  const ControlSpec& own = Spec(id);
  const TwipRect& place = own.place;
  const bool frame = own.container != C::kNone;
  const int edge_margin = frame ? kFrameMarginTwips : kCaptionGapTwips;
  const int container_width = frame ? Spec(own.container).place.width : kClientWidthTwips;
  const int right_edge = place.left + place.width;
  // Bounds the place may grow to, from the container's edges inwards.
  int low = edge_margin;
  int high = container_width - edge_margin;
  for (const ControlSpec& other : kLayout) {
    if (other.id == id || other.container != own.container) continue;
    const TwipRect& r = other.place;
    if (r.top >= place.top + place.height || place.top >= r.top + r.height) continue;
    // A neighbour that already overlaps the place bounds it on its side too.
    if (r.left + r.width > place.left) high = std::min(high, r.left - kCaptionGapTwips);
    if (r.left < right_edge) low = std::max(low, r.left + r.width + kCaptionGapTwips);
  }
  TwipRect room = place;
  if (own.right_aligned) {
    room.left = std::min(low, place.left);
    room.width = right_edge - room.left;
  } else {
    room.width = std::max(high, right_edge) - place.left;
  }
  return room;
}

}  // namespace tessaly::dialog
