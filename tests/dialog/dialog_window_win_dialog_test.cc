// The Win32 dialog as a user meets it: built from the layout table, driven
// through the keyboard by posted keys, read back through its controls.
#include "dialog/win/dialog_window_win.h"

#include <windows.h>
#include <commctrl.h>
#include <imm.h>
#include <wincodec.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/param_string.h"
#include "check/vocab.h"
#include "support/dialog_driver_win.h"
#include "support/test_paths.h"
#include "support/wine_stack_win.h"

namespace tessaly::dialog {
namespace {

using C = ControlId;
using testing::DialogDriver;

DialogForm Filled(std::string_view parameter) {
  DialogForm form;
  const Status s = FillForm(parameter, "30", &form);
  EXPECT_TRUE(s.ok()) << s.message();
  return form;
}

HWND Item(HWND dialog, ControlId id) { return GetDlgItem(dialog, ItemId(id)); }

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::string TextOf(HWND window) {
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::wstring WideTextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

// The control a focus belongs to: an editable list's own text box is part
// of the list.
HWND OwningControl(HWND dialog, HWND focus) {
  while (focus != nullptr && GetParent(focus) != dialog) focus = GetParent(focus);
  return focus;
}

int ScreenDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi;
}

// A place of the layout table in the dialog's client area, in pixels.
RECT ExpectedPlace(TwipRect p, ControlId container, int dpi) {
  if (container != C::kNone) {
    p.left += Spec(container).place.left;
    p.top += Spec(container).place.top;
  }
  return RECT{MulDiv(p.left, dpi, 1440), MulDiv(p.top, dpi, 1440),
              MulDiv(p.left + p.width, dpi, 1440), MulDiv(p.top + p.height, dpi, 1440)};
}

RECT PlaceInClient(HWND dialog, HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

bool HasCaptionRoom(const ControlSpec& spec) {
  return spec.kind == ControlKind::kLabel || spec.kind == ControlKind::kCheckBox;
}

// Every label and check box shows its whole caption in the font it got, and
// stays in its row: its place, or grown within the row's free room (to the
// left for a right-aligned label).
void ExpectCaptionsWhole(HWND dialog, int dpi) {
  HDC dc = GetDC(dialog);
  for (const ControlSpec& spec : Layout()) {
    if (!HasCaptionRoom(spec)) continue;
    HWND w = Item(dialog, spec.id);
    const RECT want = ExpectedPlace(spec.place, spec.container, dpi);
    const RECT room = ExpectedPlace(CaptionRoom(spec.id), spec.container, dpi);
    const RECT got = PlaceInClient(dialog, w);
    EXPECT_EQ(got.top, want.top) << spec.name;
    EXPECT_EQ(got.bottom, want.bottom) << spec.name;
    EXPECT_EQ(spec.right_aligned ? got.right : got.left,
              spec.right_aligned ? want.right : want.left)
        << spec.name;
    EXPECT_LE(got.left, want.left) << spec.name;
    EXPECT_GE(got.right, want.right) << spec.name;
    EXPECT_GE(got.left, room.left) << spec.name;
    EXPECT_LE(got.right, room.right) << spec.name;
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(w, WM_GETFONT, 0, 0)));
    SIZE extent{};
    GetTextExtentPoint32A(dc, spec.caption.data(), static_cast<int>(spec.caption.size()),
                          &extent);
    SelectObject(dc, old);
    LONG text_room = got.right - got.left;
    if (spec.kind == ControlKind::kCheckBox) text_room -= GetSystemMetrics(SM_CXMENUCHECK);
    EXPECT_LE(extent.cx, text_room) << spec.name;
  }
  ReleaseDC(dialog, dc);
}

struct TooltipSearch {
  HWND dialog;
  HWND tooltip;
};

BOOL CALLBACK FindTooltip(HWND window, LPARAM p) {
  auto* s = reinterpret_cast<TooltipSearch*>(p);
  if (ClassOf(window) == TOOLTIPS_CLASSA && GetWindow(window, GW_OWNER) == s->dialog) {
    s->tooltip = window;
    return FALSE;
  }
  return TRUE;
}

// The tooltip text shown for control, "" when it has none.
std::string TooltipOf(HWND dialog, HWND control) {
  TooltipSearch search{dialog, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), &FindTooltip, reinterpret_cast<LPARAM>(&search));
  if (search.tooltip == nullptr) return "(no tooltip window)";
  wchar_t text[1024] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = dialog;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = text;
  SendMessageW(search.tooltip, TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&tool));
  std::string narrow;
  for (const wchar_t* p = text; *p != 0; ++p) narrow.push_back(static_cast<char>(*p));
  return narrow;
}

TEST(DialogWindowTest, BuiltFromTheLayoutTable) {
  const int dpi = ScreenDpi();
  bool checked = false;
  DialogDriver driver({[&](HWND dialog) {
                         checked = true;
                         EXPECT_EQ(TextOf(dialog), DialogCaption());
                         EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);
                         EXPECT_NE(GetWindowLongPtrA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
                         RECT client{};
                         GetClientRect(dialog, &client);
                         EXPECT_EQ(client.right, MulDiv(kClientWidthTwips, dpi, 1440));
                         EXPECT_EQ(client.bottom, MulDiv(kClientHeightTwips, dpi, 1440));
                         EXPECT_EQ(GetFocus(), Item(dialog, C::kBtOk));
                         EXPECT_EQ(LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0)),
                                   ItemId(C::kBtOk));
                         for (const ControlSpec& spec : Layout()) {
                           HWND w = Item(dialog, spec.id);
                           ASSERT_NE(w, nullptr) << spec.name;
                           const auto style = GetWindowLongPtrA(w, GWL_STYLE);
                           if (!HasCaptionRoom(spec)) {  // those: ExpectCaptionsWhole
                             const RECT want = ExpectedPlace(spec.place, spec.container, dpi);
                             const RECT got = PlaceInClient(dialog, w);
                             EXPECT_EQ(got.left, want.left) << spec.name;
                             EXPECT_EQ(got.top, want.top) << spec.name;
                             EXPECT_EQ(got.right, want.right) << spec.name;
                             EXPECT_EQ(got.bottom, want.bottom) << spec.name;  // closed lists too
                           }
                           EXPECT_EQ(TooltipOf(dialog, w), spec.tooltip) << spec.name;
                           switch (spec.kind) {
                             case ControlKind::kFrame:
                               EXPECT_EQ(style & BS_TYPEMASK, BS_GROUPBOX) << spec.name;
                               EXPECT_EQ(TextOf(w), spec.caption) << spec.name;
                               break;
                             case ControlKind::kLabel:
                               EXPECT_EQ(ClassOf(w), "Static") << spec.name;
                               EXPECT_EQ((style & SS_TYPEMASK) == SS_RIGHT, spec.right_aligned)
                                   << spec.name;
                               EXPECT_EQ(TextOf(w), spec.caption) << spec.name;
                               break;
                             case ControlKind::kText:
                             case ControlKind::kMaskedText: {
                               const bool masked = spec.kind == ControlKind::kMaskedText;
                               EXPECT_EQ(ClassOf(w), "Edit") << spec.name;
                               EXPECT_EQ((style & ES_PASSWORD) != 0, masked) << spec.name;
                               if (masked) {
                                 EXPECT_EQ(SendMessageA(w, EM_GETPASSWORDCHAR, 0, 0), '*');
                                 EXPECT_EQ(ImmGetContext(w), nullptr) << spec.name;
                               }
                               break;
                             }
                             case ControlKind::kCheckBox:
                               EXPECT_EQ(style & BS_TYPEMASK, BS_AUTOCHECKBOX) << spec.name;
                               EXPECT_EQ(TextOf(w), spec.caption) << spec.name;
                               break;
                             case ControlKind::kPickList:
                             case ControlKind::kEditableList: {
                               const LONG_PTR want_type = spec.kind == ControlKind::kPickList
                                                              ? CBS_DROPDOWNLIST
                                                              : CBS_DROPDOWN;
                               EXPECT_EQ(style & 3, want_type) << spec.name;
                               std::vector<std::string> items;
                               const auto n = SendMessageA(w, CB_GETCOUNT, 0, 0);
                               for (LRESULT i = 0; i < n; ++i) {
                                 char item[64] = {};
                                 SendMessageA(w, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                              reinterpret_cast<LPARAM>(item));
                                 items.emplace_back(item);
                               }
                               std::vector<std::string> want_items;
                               for (std::string_view item : ListItems(spec.id)) {
                                 want_items.emplace_back(item);
                               }
                               EXPECT_EQ(items, want_items) << spec.name;
                               EXPECT_EQ(SendMessageA(w, CB_GETCURSEL, 0, 0), 0) << spec.name;
                               break;
                             }
                             case ControlKind::kButton:
                               EXPECT_EQ(style & BS_TYPEMASK, BS_DEFPUSHBUTTON);
                               EXPECT_EQ(TextOf(w), "&OK");
                               break;
                           }
                         }
                         ExpectCaptionsWhole(dialog, dpi);
                         // A new check's load state.
                         EXPECT_EQ(TextOf(Item(dialog, C::kTxtSmtpPort)), "25");
                         EXPECT_EQ(TextOf(Item(dialog, C::kTxtPop3Port)), "110");
                         EXPECT_EQ(TextOf(Item(dialog, C::kTxtCount)), "1");
                         EXPECT_EQ(TextOf(Item(dialog, C::kTxtTimeout)), "30");
                         EXPECT_EQ(SendMessageA(Item(dialog, C::kChkOnlyDeleteOwn), BM_GETCHECK,
                                                0, 0),
                                   BST_CHECKED);
                       },
                       DialogDriver::Key(VK_ESCAPE)});
  const DialogOutcome out = RunDialogWindow(Filled(""));
  EXPECT_TRUE(checked);
  EXPECT_EQ(out.kind, DialogOutcome::Kind::kClosed) << out.error;
  EXPECT_FALSE(driver.timed_out());
}

// In a face wider than the one the places were made for, captions take the
// free room of their rows, then a smaller size, and are never cut off.
TEST(DialogWindowTest, CaptionsStayWholeInAWideFace) {
  const int dpi = ScreenDpi();
  bool grown = false;
  bool shrunk = false;
  DialogDriver driver({[&](HWND dialog) {
                         ExpectCaptionsWhole(dialog, dpi);
                         const auto font = [&](ControlId id) {
                           return SendMessageA(Item(dialog, id), WM_GETFONT, 0, 0);
                         };
                         // The count sentence has no room beside it; "Email From:"
                         // has room to its left.
                         shrunk = font(C::kLabelCount) != font(C::kLabelSmtpHost);
                         const RECT from = PlaceInClient(dialog, Item(dialog, C::kLabelSmtpFrom));
                         grown = from.left <
                                 ExpectedPlace(Spec(C::kLabelSmtpFrom).place, C::kFrameSmtp, dpi)
                                     .left;
                       },
                       DialogDriver::Close()});
  const DialogOutcome out = RunDialogWindow(Filled(""), DialogFace{"DejaVu Sans", 9});
  EXPECT_EQ(out.kind, DialogOutcome::Kind::kClosed) << out.error;
  EXPECT_TRUE(grown);
  EXPECT_TRUE(shrunk);
}

// The keyboard order follows the table, from OK round to OK; Tab passes
// over what the mode rules disabled, and the controls that hold no setting.
TEST(DialogWindowTest, TabWalksTheKeyboardOrder) {
  std::vector<ControlId> want;
  std::vector<ControlId> walked;
  std::vector<DialogDriver::Step> steps;
  steps.push_back([&](HWND dialog) {
    for (ControlId id : TabOrder()) {
      if (IsWindowEnabled(Item(dialog, id))) want.push_back(id);
    }
    want.push_back(C::kBtOk);
    walked.push_back(static_cast<ControlId>(
        GetDlgCtrlID(OwningControl(dialog, GetFocus())) - kFirstItemId));
  });
  for (std::size_t i = 0; i < TabOrder().size(); ++i) {
    steps.push_back(DialogDriver::Key(VK_TAB));
    steps.push_back([&](HWND dialog) {
      if (walked.size() < want.size()) {
        walked.push_back(static_cast<ControlId>(
            GetDlgCtrlID(OwningControl(dialog, GetFocus())) - kFirstItemId));
      }
    });
  }
  steps.push_back(DialogDriver::Close());
  DialogDriver driver(std::move(steps));
  EXPECT_EQ(RunDialogWindow(Filled("")).kind, DialogOutcome::Kind::kClosed);
  auto names = [](const std::vector<ControlId>& ids) {
    std::vector<std::string_view> out;
    for (ControlId id : ids) out.push_back(Spec(id).name);
    return out;
  };
  EXPECT_EQ(names(walked), names(want));
  // Fresh, only the count sentence and the folder are out of the walk.
  EXPECT_EQ(want.size(), TabOrder().size() - 3 + 1);
}

TEST(DialogWindowTest, TypingIntoAnEditableListLeavesNoSelection) {
  struct Case {
    ControlId list;
    std::string mode;  // one that enables the list
    std::string typed;
    std::string written;
  };
  // An item's exact text, typed, selects nothing either; nor does leaving
  // the list.
  for (const Case& c : std::vector<Case>{{C::kCmbSmtpRetries, "TESSALY", "x", "#SRET=-1#"},
                                         {C::kCmbSmtpRetries, "TESSALY", "2 retries", "#SRET=-1#"},
                                         {C::kCmbSmtpSslMode, "SMTP", "x", "#SSSM=-1#"},
                                         {C::kCmbCount, "CPOP", "x", "#CCMD=LT#"}}) {
    LRESULT selected = 0;
    std::string text;
    DialogDriver driver({DialogDriver::Focus(ItemId(c.list)), DialogDriver::Type(c.typed),
                         DialogDriver::Key(VK_TAB),
                         [&](HWND dialog) {
                           selected = SendMessageA(Item(dialog, c.list), CB_GETCURSEL, 0, 0);
                           text = TextOf(Item(dialog, c.list));
                         },
                         DialogDriver::Key(VK_RETURN)});
    const DialogOutcome out =
        RunDialogWindow(Filled("#CCMD=GT#SRET=2#SSSM=1#OMODE=" + c.mode + "#"));
    EXPECT_EQ(selected, CB_ERR) << Spec(c.list).name;
    EXPECT_EQ(text, c.typed) << Spec(c.list).name;
    ASSERT_EQ(out.kind, DialogOutcome::Kind::kAccepted) << Spec(c.list).name;
    EXPECT_NE(out.parameter.find(c.written), std::string::npos) << Spec(c.list).name << " "
                                                                << out.parameter;
  }
  // The pick-only lists take no typing: a letter no item starts with
  // changes nothing.
  for (ControlId id : {C::kCmbMode, C::kCmbPop3Retries}) {
    LRESULT selected = -2;
    DialogDriver driver({DialogDriver::Focus(ItemId(id)), DialogDriver::Type("x"),
                         [&](HWND dialog) {
                           selected = SendMessageA(Item(dialog, id), CB_GETCURSEL, 0, 0);
                         },
                         DialogDriver::Close()});
    RunDialogWindow(Filled("#PRET=2#OMODE=SMTP#"));
    EXPECT_EQ(selected, id == C::kCmbMode ? 1 : 2) << Spec(id).name;
  }
}

// Texts reach the controls in the ANSI code page and come back byte for
// byte, also when typed: Windows-1252 "\xfc" is shown as U+00FC.
TEST(DialogWindowTest, TextsCrossInTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs the Windows-1252 code page, not " << GetACP();
  std::wstring user;
  std::wstring password;
  DialogDriver driver({[&](HWND dialog) {
                         user = WideTextOf(Item(dialog, C::kTxtPop3User));
                         password = WideTextOf(Item(dialog, C::kTxtPop3Password));
                       },
                       DialogDriver::Focus(ItemId(C::kTxtSmtpPassword)),
                       DialogDriver::Type("\xe9t\xe9"), DialogDriver::Key(VK_RETURN)});
  const DialogOutcome out = RunDialogWindow(Filled("#PUSR=m\xfcller#PPWD=cPw=#"));
  EXPECT_EQ(user, L"m\u00fcller");
  EXPECT_EQ(password, L"p\u00fc");
  ASSERT_EQ(out.kind, DialogOutcome::Kind::kAccepted) << out.error;
  EXPECT_EQ(GetParameterValue(out.parameter, vocab::kMailUser), "m\xfcller");
  EXPECT_EQ(GetParameterValue(out.parameter, vocab::kMailPassword), "cPw=");
  EXPECT_EQ(GetParameterValue(out.parameter, vocab::kSmtpPassword), "6XTp");  // "\xe9t\xe9"
}

TEST(DialogWindowTest, ClosingWithoutOkComposesNothing) {
  struct Case {
    const char* name;
    DialogDriver::Step close;
  };
  const std::vector<Case> cases = {
      {"CloseBox", DialogDriver::Close()},
      {"Escape", DialogDriver::Key(VK_ESCAPE)},
      {"AltF4", [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }}};
  for (const Case& c : cases) {
    DialogDriver driver({c.close});
    const DialogOutcome out = RunDialogWindow(Filled("#SSRV=a#"));
    EXPECT_EQ(out.kind, DialogOutcome::Kind::kClosed) << c.name;
    EXPECT_EQ(out.parameter, "") << c.name;
    EXPECT_FALSE(driver.timed_out()) << c.name;
  }
}

// The window as it is on the screen, as PNG through the system's imaging
// component.
bool SaveScreenPng(HWND window, const std::wstring& path) {
  RECT r{};
  GetWindowRect(window, &r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  auto* pixels = static_cast<BYTE*>(bits);
  const UINT size = static_cast<UINT>(width * height * 4);
  for (UINT i = 3; i < size; i += 4) pixels[i] = 0xFF;  // opaque
  bool saved = false;
  IWICImagingFactory* factory = nullptr;
  IWICStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* options = nullptr;
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
  if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))) &&
      SUCCEEDED(factory->CreateStream(&stream)) &&
      SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
      SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
      SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
      SUCCEEDED(encoder->CreateNewFrame(&frame, &options)) &&
      SUCCEEDED(frame->Initialize(options)) &&
      SUCCEEDED(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height))) &&
      SUCCEEDED(frame->SetPixelFormat(&format)) && IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA) &&
      SUCCEEDED(frame->WritePixels(static_cast<UINT>(height), static_cast<UINT>(width * 4), size,
                                   pixels)) &&
      SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit())) {
    saved = true;
  }
  for (IUnknown* p : std::initializer_list<IUnknown*>{options, frame, encoder, stream, factory}) {
    if (p != nullptr) p->Release();
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return saved;
}

// Pictures of a new check's dialog and of the "SMTP & IMAP4" mode, for the
// documentation (build/screenshots).
TEST(DialogWindowTest, Screenshots) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::string dir = testing::BinaryDir() + "/screenshots";
  CreateDirectoryA(testing::WinePath(dir).c_str(), nullptr);
  struct Case {
    const char* file;
    bool last_mode;  // End on the mode list: straight to "SMTP & IMAP4"
  };
  for (const Case& c : std::vector<Case>{{"win_fresh.png", false}, {"win_smtp_imap4.png", true}}) {
    std::vector<DialogDriver::Step> steps;
    if (c.last_mode) {
      steps.push_back(DialogDriver::Focus(ItemId(C::kCmbMode)));
      steps.push_back(DialogDriver::Key(VK_END));
      // The focus back on OK, as the dialog opens.
      steps.push_back(DialogDriver::Focus(ItemId(C::kBtOk)));
    }
    // Time to draw.
    for (int i = 0; i < 10; ++i) steps.push_back([](HWND dialog) { UpdateWindow(dialog); });
    bool saved = false;
    const std::string path = dir + "/" + c.file;
    steps.push_back([&](HWND dialog) {
      const std::string wine_path = testing::WinePath(path);
      saved = SaveScreenPng(dialog, std::wstring(wine_path.begin(), wine_path.end()));
    });
    steps.push_back(DialogDriver::Close());
    DialogDriver driver(std::move(steps));
    RunDialogWindow(Filled(""));
    EXPECT_TRUE(saved) << path;
  }
}

}  // namespace
}  // namespace tessaly::dialog
