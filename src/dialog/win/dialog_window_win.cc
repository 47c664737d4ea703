#include "dialog/win/dialog_window_win.h"

#include <commctrl.h>
#include <imm.h>

#include <algorithm>
#include <array>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <vector>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module's own base (linker-provided)

namespace tessaly::dialog {
namespace {

using C = ControlId;
using K = ControlKind;

// What DialogBoxIndirectParam returns; 0 and -1 are its own failures.
constexpr INT_PTR kEndAccepted = 1;
constexpr INT_PTR kEndClosed = 2;
constexpr INT_PTR kEndFailed = 3;

constexpr int kTwipsPerInch = 1440;
// The smallest size a caption shrinks to rather than being cut off.
constexpr int kSmallestFontPoints = 6;
// Between a check box's box and its caption, in pixels at 96 DPI.
constexpr int kCheckBoxGapPixels = 4;
// Width of a wrapped tooltip, in twips (about 3.3 inches).
constexpr int kTooltipWidthTwips = 4800;
constexpr int kTooltipShowMs = 30000;  // long enough to read the X-Sender text

HINSTANCE ModuleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

std::string FailureText(const char* what, DWORD code) {
  return std::string("the configuration dialog ") + what + " (Windows error " +
         std::to_string(code) + ")";
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int got = GetWindowTextA(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

// An empty dialog frame; the controls are made in WM_INITDIALOG from the
// layout table. The caption is set there too, through the A function.
struct alignas(DWORD) EmptyTemplate {
  DLGTEMPLATE head;
  WORD menu;
  WORD window_class;
  WORD title;
};

class DialogWindow {
 public:
  DialogWindow(const DialogForm& form, const DialogFace& face) : form_(form), face_(face) {}
  ~DialogWindow() {
    for (const auto& [height, font] : fonts_) DeleteObject(font);
  }
  DialogWindow(const DialogWindow&) = delete;
  DialogWindow& operator=(const DialogWindow&) = delete;

  DialogOutcome Run();

 private:
  static INT_PTR CALLBACK Proc(HWND window, UINT message, WPARAM w, LPARAM l);
  INT_PTR Handle(UINT message, WPARAM w, LPARAM l);
  bool Init();
  int PxX(int twips) const { return MulDiv(twips, dpi_x_, kTwipsPerInch); }
  int PxY(int twips) const { return MulDiv(twips, dpi_y_, kTwipsPerInch); }
  void PlaceWindow();
  bool CreateControl(const ControlSpec& spec);
  HFONT Font(int pixel_height);
  int CaptionWidth(HFONT font, const ControlSpec& spec);
  HFONT FitCaption(const ControlSpec& spec, int* left, int* width);
  void AddTooltips();
  void ShowForm();
  void ApplyEnabled();
  void OnModeChanged();
  void OnListTyped(ControlId id);
  DialogForm ReadForm() const;
  void OnOk();
  HWND Control(ControlId id) const { return controls_[Index(id)]; }

  DialogForm form_;
  const DialogFace face_;
  HWND window_ = nullptr;
  int dpi_x_ = 96;
  int dpi_y_ = 96;
  std::array<HWND, kControlCount> controls_{};
  std::array<std::string, kControlCount> shown_text_;  // text as the control first held it
  std::array<std::string, kControlCount> tips_;        // kept alive for the tooltip
  std::map<int, HFONT> fonts_;                         // by pixel height, owned
  bool syncing_ = false;  // the view itself is changing a list's text
  std::string result_;
  std::string error_;
};

DialogOutcome DialogWindow::Run() {
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&classes);
  EmptyTemplate dialog{};
  // No WS_VISIBLE: the modal loop shows the dialog once WM_INITDIALOG has
  // filled it and put it on top.
  dialog.head.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK;
  // Topmost from the start as well: wine drops the SetWindowPos of
  // TopWindow for a process's first window.
  dialog.head.dwExtendedStyle = WS_EX_TOPMOST;
  SetLastError(0);
  const INT_PTR end = DialogBoxIndirectParamA(ModuleInstance(), &dialog.head, nullptr, &Proc,
                                              reinterpret_cast<LPARAM>(this));
  if (end == kEndAccepted) return {DialogOutcome::Kind::kAccepted, result_, ""};
  if (end == kEndClosed) return {DialogOutcome::Kind::kClosed, "", ""};
  if (error_.empty()) {
    DWORD code = GetLastError();
    error_ = FailureText("could not be created", code != 0 ? code : ERROR_INVALID_WINDOW_HANDLE);
  }
  return {DialogOutcome::Kind::kFailed, "", error_};
}

INT_PTR CALLBACK DialogWindow::Proc(HWND window, UINT message, WPARAM w, LPARAM l) {
  DialogWindow* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<DialogWindow*>(l);
    SetWindowLongPtrA(window, DWLP_USER, l);
    self->window_ = window;
  } else {
    self = reinterpret_cast<DialogWindow*>(GetWindowLongPtrA(window, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  // Nothing may unwind through the system's frames.
  try {
    return self->Handle(message, w, l);
  } catch (const std::bad_alloc&) {
    self->error_ = "the configuration dialog failed: out of memory";
  } catch (const std::exception& e) {
    self->error_ = std::string("the configuration dialog failed: ") + e.what();
  } catch (...) {
    self->error_ = "the configuration dialog failed";
  }
  EndDialog(window, kEndFailed);
  return TRUE;
}

INT_PTR DialogWindow::Handle(UINT message, WPARAM w, LPARAM /*l*/) {
  switch (message) {
    case WM_INITDIALOG:
      if (!Init()) EndDialog(window_, kEndFailed);
      return FALSE;  // the focus is set: btOK
    case WM_COMMAND: {
      const int id = LOWORD(w);
      const int code = HIWORD(w);
      if (id == ItemId(C::kBtOk) || id == IDOK) {
        if (code == BN_CLICKED) OnOk();
        return TRUE;
      }
      if (id == IDCANCEL) {  // Escape, the close box, Alt+F4
        EndDialog(window_, kEndClosed);
        return TRUE;
      }
      if (id == ItemId(C::kCmbMode) && code == CBN_SELCHANGE) {
        OnModeChanged();
        return TRUE;
      }
      if (code == CBN_EDITCHANGE && id >= kFirstItemId &&
          id < kFirstItemId + static_cast<int>(kControlCount)) {
        OnListTyped(static_cast<ControlId>(id - kFirstItemId));
        return TRUE;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}

bool DialogWindow::Init() {
  HDC screen = GetDC(window_);
  if (screen != nullptr) {
    dpi_x_ = GetDeviceCaps(screen, LOGPIXELSX);
    dpi_y_ = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(window_, screen);
  }
  SetWindowTextA(window_, DialogCaption().c_str());
  PlaceWindow();
  // Creation order is the keyboard order: the tab stops first, as listed,
  // then the labels, then the frames, which lie behind what they hold.
  std::vector<ControlId> order(TabOrder().begin(), TabOrder().end());
  for (const ControlSpec& spec : Layout()) {
    if (spec.kind != K::kFrame && std::find(order.begin(), order.end(), spec.id) == order.end()) {
      order.push_back(spec.id);
    }
  }
  for (const ControlSpec& spec : Layout()) {
    if (spec.kind == K::kFrame) order.push_back(spec.id);
  }
  for (ControlId id : order) {
    if (!CreateControl(Spec(id))) {
      error_ = FailureText("could not be created", GetLastError());
      return false;
    }
  }
  // Form_Load: each list emptied and filled in index order.
  for (const ControlSpec& spec : Layout()) {
    if (spec.kind != K::kPickList && spec.kind != K::kEditableList) continue;
    HWND list = Control(spec.id);
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    for (std::string_view item : ListItems(spec.id)) {
      const std::string text(item);
      SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
  }
  AddTooltips();
  ShowForm();
  ApplyEnabled();
  SendMessageA(window_, DM_SETDEFID, static_cast<WPARAM>(ItemId(C::kBtOk)), 0);
  TopWindow(window_, true);
  SetFocus(Control(C::kBtOk));
  return true;
}

// The client area the layout table gives, centred on the work area of the
// screen the dialog is on.
void DialogWindow::PlaceWindow() {
  RECT frame{0, 0, PxX(kClientWidthTwips), PxY(kClientHeightTwips)};
  const auto style = static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE));
  const auto ex_style = static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_EXSTYLE));
  AdjustWindowRectEx(&frame, style, FALSE, ex_style);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (GetMonitorInfoA(MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    work = monitor.rcWork;
  }
  const int left = work.left + std::max(0, static_cast<int>(work.right - work.left) - width) / 2;
  const int top = work.top + std::max(0, static_cast<int>(work.bottom - work.top) - height) / 2;
  SetWindowPos(window_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

HFONT DialogWindow::Font(int pixel_height) {
  auto found = fonts_.find(pixel_height);
  if (found != fonts_.end()) return found->second;
  HFONT font = CreateFontA(-pixel_height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_DONTCARE, face_.name.c_str());
  if (font == nullptr) return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  fonts_.emplace(pixel_height, font);
  return font;
}

// The pixels a caption takes in font: its text and, for a check box, the
// box and the gap before the text.
int DialogWindow::CaptionWidth(HFONT font, const ControlSpec& spec) {
  int width = 0;
  HDC dc = GetDC(window_);
  if (dc != nullptr) {
    HGDIOBJ old = SelectObject(dc, font);
    SIZE extent{};
    GetTextExtentPoint32A(dc, spec.caption.data(), static_cast<int>(spec.caption.size()), &extent);
    SelectObject(dc, old);
    ReleaseDC(window_, dc);
    width = static_cast<int>(extent.cx);
  }
  if (spec.kind == K::kCheckBox) {
    width += GetSystemMetrics(SM_CXMENUCHECK) + MulDiv(kCheckBoxGapPixels, dpi_x_, 96);
  }
  return width;
}

// The font of a control, and for a label or check box the place that keeps
// its caption whole whatever face the system has: a caption wider than its
// place first takes the free room of its row (CaptionRoom; a right-aligned
// label grows to the left), and one still too wide gets a smaller size of
// the font, down to kSmallestFontPoints.
HFONT DialogWindow::FitCaption(const ControlSpec& spec, int* left, int* width) {
  const int normal = MulDiv(face_.points, dpi_y_, 72);
  HFONT font = Font(normal);
  if (spec.caption.empty() || (spec.kind != K::kLabel && spec.kind != K::kCheckBox)) return font;
  int need = CaptionWidth(font, spec);
  if (need <= *width) return font;
  TwipRect room = CaptionRoom(spec.id);
  if (spec.container != C::kNone) room.left += Spec(spec.container).place.left;
  const int widest = spec.right_aligned ? *left + *width - PxX(room.left)
                                        : PxX(room.left + room.width) - *left;
  const int smallest = MulDiv(kSmallestFontPoints, dpi_y_, 72);
  for (int height = normal - 1; need > widest && height >= smallest; --height) {
    font = Font(height);
    need = CaptionWidth(font, spec);
  }
  const int grown = std::clamp(need, *width, std::max(widest, *width));
  if (spec.right_aligned) *left += *width - grown;
  *width = grown;
  return font;
}

bool DialogWindow::CreateControl(const ControlSpec& spec) {
  // Places inside a frame count from the frame's corner.
  TwipRect place = spec.place;
  if (spec.container != C::kNone) {
    place.left += Spec(spec.container).place.left;
    place.top += Spec(spec.container).place.top;
  }
  int left = PxX(place.left);
  const int top = PxY(place.top);
  int width = PxX(place.left + place.width) - left;
  int height = PxY(place.top + place.height) - top;
  HFONT font = FitCaption(spec, &left, &width);
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD ex_style = 0;
  const char* window_class = WC_BUTTONA;
  switch (spec.kind) {
    case K::kFrame:
      style |= BS_GROUPBOX;
      break;
    case K::kLabel:
      window_class = WC_STATICA;
      style |= SS_NOPREFIX | (spec.right_aligned ? SS_RIGHT : SS_LEFTNOWORDWRAP);
      break;
    case K::kText:
    case K::kMaskedText:
      window_class = WC_EDITA;
      style |= WS_TABSTOP | WS_GROUP | ES_AUTOHSCROLL;
      if (spec.kind == K::kMaskedText) style |= ES_PASSWORD;
      ex_style = WS_EX_CLIENTEDGE;
      break;
    case K::kCheckBox:
      style |= WS_TABSTOP | WS_GROUP | BS_AUTOCHECKBOX;
      break;
    case K::kPickList:
    case K::kEditableList: {
      window_class = WC_COMBOBOXA;
      style |= WS_TABSTOP | WS_GROUP | WS_VSCROLL |
               (spec.kind == K::kPickList ? CBS_DROPDOWNLIST : CBS_DROPDOWN | CBS_AUTOHSCROLL);
      // A combo box's window holds its drop-down list too: room for every item.
      const auto rows = static_cast<int>(ListItems(spec.id).size()) + 1;
      height += rows * MulDiv(face_.points * 2, dpi_y_, 72);
      break;
    }
    case K::kButton:
      style |= WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON;
      break;
  }
  const std::string caption(spec.caption);
  HWND control = CreateWindowExA(ex_style, window_class, caption.c_str(), style, left, top, width,
                                 height, window_, reinterpret_cast<HMENU>(INT_PTR{ItemId(spec.id)}),
                                 ModuleInstance(), nullptr);
  if (control == nullptr) return false;
  controls_[Index(spec.id)] = control;
  // Each new control goes below the ones before it: the dialog manager's
  // Tab order is this order.
  SetWindowPos(control, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (spec.kind == K::kMaskedText) {
    SendMessageA(control, EM_SETPASSWORDCHAR, '*', 0);
    ImmAssociateContext(control, nullptr);  // no input method for a password
  }
  if (spec.kind == K::kPickList || spec.kind == K::kEditableList) {
    // The closed box as high as its place. The field's height leaves out
    // the box's edges, whose width the system decides: measured once.
    const int want = PxY(place.top + spec.place.height) - top;
    SendMessageA(control, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), want);
    RECT closed{};
    GetWindowRect(control, &closed);
    const int edges = static_cast<int>(closed.bottom - closed.top) - want;
    if (edges > 0 && want - edges > 0) {
      SendMessageA(control, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), want - edges);
    }
  }
  return true;
}

void DialogWindow::AddTooltips() {
  HWND tooltip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                                 WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                                 ModuleInstance(), nullptr);
  if (tooltip == nullptr) return;  // the dialog works without its hints
  SendMessageA(tooltip, TTM_SETMAXTIPWIDTH, 0, PxX(kTooltipWidthTwips));
  SendMessageA(tooltip, TTM_SETDELAYTIME, TTDT_AUTOPOP, kTooltipShowMs);
  for (const ControlSpec& spec : Layout()) {
    if (spec.tooltip.empty()) continue;
    tips_[Index(spec.id)] = std::string(spec.tooltip);
    TTTOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;  // understood by every comctl32 version
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(Control(spec.id));
    tool.lpszText = tips_[Index(spec.id)].data();
    SendMessageA(tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void DialogWindow::ShowForm() {
  syncing_ = true;
  for (const ControlSpec& spec : Layout()) {
    const ControlState& state = form_.at(spec.id);
    HWND control = Control(spec.id);
    switch (spec.kind) {
      case K::kText:
      case K::kMaskedText:
        SetWindowTextA(control, state.text.c_str());
        shown_text_[Index(spec.id)] = WindowText(control);
        break;
      case K::kCheckBox:
        SendMessageA(control, BM_SETCHECK, state.checked ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
      case K::kPickList:
      case K::kEditableList:
        // The mode rules for this selection already ran in the model.
        SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(state.index), 0);
        if (spec.kind == K::kEditableList && state.index < 0) {
          SetWindowTextA(control, state.text.c_str());
        }
        shown_text_[Index(spec.id)] = WindowText(control);
        break;
      default:
        break;
    }
  }
  syncing_ = false;
}

// A control inside a disabled frame is disabled too; its own state stays in
// the form, so that enabling the frame again restores it.
void DialogWindow::ApplyEnabled() {
  for (const ControlSpec& spec : Layout()) {
    EnableWindow(Control(spec.id), form_.EffectivelyEnabled(spec.id) ? TRUE : FALSE);
  }
}

void DialogWindow::OnModeChanged() {
  form_.at(C::kCmbMode).index =
      static_cast<int>(SendMessageA(Control(C::kCmbMode), CB_GETCURSEL, 0, 0));
  ApplyModeRules(&form_);
  ApplyEnabled();
}

// Typing into an editable list leaves it with no selected item, the typed
// text and the caret kept (the combo box itself would keep the old item
// selected).
void DialogWindow::OnListTyped(ControlId id) {
  if (syncing_ || Spec(id).kind != K::kEditableList) return;
  HWND list = Control(id);
  if (SendMessageA(list, CB_GETCURSEL, 0, 0) == CB_ERR) return;
  const std::string text = WindowText(list);
  DWORD start = 0;
  DWORD end = 0;
  SendMessageA(list, CB_GETEDITSEL, reinterpret_cast<WPARAM>(&start),
               reinterpret_cast<LPARAM>(&end));
  syncing_ = true;
  SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  SetWindowTextA(list, text.c_str());
  SendMessageA(list, CB_SETEDITSEL, 0,
               MAKELPARAM(static_cast<WORD>(start), static_cast<WORD>(end)));
  syncing_ = false;
}

DialogForm DialogWindow::ReadForm() const {
  DialogForm form = form_;
  for (const ControlSpec& spec : Layout()) {
    ControlState& state = form.at(spec.id);
    HWND control = Control(spec.id);
    // Text the user left alone keeps its stored bytes, even ones the ANSI
    // code page cannot show.
    auto read_text = [&] {
      std::string now = WindowText(control);
      if (now != shown_text_[Index(spec.id)]) state.text = std::move(now);
    };
    switch (spec.kind) {
      case K::kText:
      case K::kMaskedText:
        read_text();
        break;
      case K::kCheckBox:
        state.checked = SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
        break;
      case K::kPickList:
      case K::kEditableList:
        state.index = static_cast<int>(SendMessageA(control, CB_GETCURSEL, 0, 0));
        read_text();
        break;
      default:
        break;
    }
  }
  return form;
}

void DialogWindow::OnOk() {
  result_ = ComposeParameter(ReadForm());
  EndDialog(window_, kEndAccepted);
}

}  // namespace

void TopWindow(HWND window, bool on_top) {
  SetWindowPos(window, on_top ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE);
}

DialogOutcome RunDialogWindow(const DialogForm& form, const DialogFace& face) {
  DialogWindow window(form, face);
  return window.Run();
}

}  // namespace tessaly::dialog
