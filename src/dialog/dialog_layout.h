// The configuration dialog's controls as data: every control's name, kind,
// caption, tooltip, container and place, the items of the five lists and the
// keyboard order. The Qt view builds itself from these tables; tests read
// them without a display.
#ifndef TESSALY_DIALOG_DIALOG_LAYOUT_H_
#define TESSALY_DIALOG_DIALOG_LAYOUT_H_

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace tessaly::dialog {

// Every control of the dialog, labels and frames included.
enum class ControlId : int {
  kFrameSmtp,
  kFramePop3,
  // SMTP frame.
  kLabelSmtpHost,  // Label1(0)
  kTxtSmtpHost,
  kLabelSmtpPort,  // Label1(3)
  kTxtSmtpPort,
  kChkSmtpSsl,
  kChkSmtpIpv6,
  kLabelSmtpUser,  // Label1(9)
  kTxtSmtpUser,
  kLabelSmtpPassword,  // Label1(8)
  kTxtSmtpPassword,
  kLabelSmtpFrom,  // Label1(1)
  kTxtSmtpFrom,
  kChkSendDebug,
  kLabelSmtpTo,  // Label1(2)
  kTxtSmtpTo,
  kLabelSmtpRetries,  // Label1(10)
  kCmbSmtpRetries,
  kLabelSmtpSslMode,  // Label1(13)
  kCmbSmtpSslMode,
  // POP3/IMAP4 frame.
  kLabelPop3Host,  // Label1(4)
  kTxtPop3Host,
  kLabelPop3Port,  // Label1(7)
  kTxtPop3Port,
  kChkPop3Ssl,
  kChkPop3Ipv6,
  kLabelPop3User,  // Label1(5)
  kTxtPop3User,
  kLabelPop3Password,  // Label1(6)
  kTxtPop3Password,
  kLabelPop3Retries,  // Label1(11)
  kCmbPop3Retries,
  kChkReceiveDebug,
  kChkOnlyDeleteOwn,
  kLabelCount,  // Label3
  kCmbCount,
  kTxtCount,
  kLabelFolder,  // Label1(12)
  kTxtFolder,
  // The dialog itself.
  kLabelMode,  // Label2
  kCmbMode,
  kBtOk,
  kChkNoXSender,
  kLabelTimeout,  // Label4
  kTxtTimeout,
  kLabelSeconds,  // Label5
  kCount,  // number of controls, not a control
  kNone = -1,
};

inline constexpr std::size_t kControlCount = static_cast<std::size_t>(ControlId::kCount);

constexpr std::size_t Index(ControlId id) { return static_cast<std::size_t>(id); }

enum class ControlKind {
  kFrame,
  kLabel,
  kText,
  kMaskedText,  // shown as "*", no input method
  kCheckBox,
  kPickList,      // drop-down list, no typing
  kEditableList,  // drop-down list with a text box; typing leaves no selection
  kButton,
};

// A place in twips (1/1440 inch), from the container's top left corner.
struct TwipRect {
  int left;
  int top;
  int width;
  int height;
};

struct ControlSpec {
  ControlId id;
  std::string_view name;  // the control's object name, e.g. "txtSMTPHost"
  ControlKind kind;
  std::string_view caption;  // caption of frames, labels, check boxes, buttons
  std::string_view tooltip;  // empty when none
  ControlId container;       // kNone: the dialog itself
  TwipRect place;
  bool right_aligned;  // labels only
};

// Size of the dialog's client area in twips.
inline constexpr int kClientWidthTwips = 8910;
inline constexpr int kClientHeightTwips = 7035;
// Twips per device-independent pixel.
inline constexpr int kTwipsPerPixel = 15;

// All controls, indexed by ControlId (Layout()[Index(id)].id == id).
std::span<const ControlSpec, kControlCount> Layout();
const ControlSpec& Spec(ControlId id);

// The items of a list control (kPickList or kEditableList) in index order;
// empty for any other control.
std::span<const std::string_view> ListItems(ControlId id);

// The keyboard (tab) order, first control first: btOK holds the focus when
// the dialog opens.
std::span<const ControlId> TabOrder();

// Room kept free between a caption that grows and its neighbours, and
// between a control and the edge of the frame it sits in.
inline constexpr int kCaptionGapTwips = 60;
inline constexpr int kFrameMarginTwips = 90;

// The widest place a label or check box may take when its caption does not
// fit its own place in the font the system has: the same row, grown to the
// right (to the left for a right-aligned label, which keeps its right edge
// beside its field) up to kCaptionGapTwips before the nearest control of the
// same container whose rows overlap, or to the container's edge less its
// margin. Never narrower than the control's own place.
TwipRect CaptionRoom(ControlId id);

}  // namespace tessaly::dialog

#endif  // TESSALY_DIALOG_DIALOG_LAYOUT_H_
