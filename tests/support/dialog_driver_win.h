// Drives the modal configuration dialog that a call on this thread opens, the
// way a user at the keyboard would. A thread timer, which the dialog's modal
// loop dispatches, finds the dialog and runs one step per tick; the keys a
// step posts are handled before the next tick comes (WM_TIMER waits for an
// empty queue). A dialog still open a while after the last step is closed,
// so that a test never hangs on it.
#ifndef TESSALY_TESTS_SUPPORT_DIALOG_DRIVER_WIN_H_
#define TESSALY_TESTS_SUPPORT_DIALOG_DRIVER_WIN_H_

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly::testing {

class DialogDriver {
 public:
  using Step = std::function<void(HWND dialog)>;

  explicit DialogDriver(std::vector<Step> steps) : steps_(std::move(steps)) {
    current_ = this;
    timer_ = SetTimer(nullptr, 0, kTickMs, &Tick);
  }
  ~DialogDriver() {
    KillTimer(nullptr, timer_);
    current_ = nullptr;
  }
  DialogDriver(const DialogDriver&) = delete;
  DialogDriver& operator=(const DialogDriver&) = delete;

  bool shown() const { return shown_; }
  // The steps ran out with the dialog still open, and the driver closed it.
  bool timed_out() const { return timed_out_; }

  // Step helpers. Keys go to the control that holds the focus.
  static Step Key(WORD key) {
    return [key](HWND) {
      HWND target = GetFocus();
      PostMessageA(target, WM_KEYDOWN, key, 1);
      PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));  // key going up
    };
  }
  // Each byte as one WM_CHAR in the ANSI code page.
  static Step Type(std::string text) {
    return [text](HWND) {
      HWND target = GetFocus();
      for (char c : text) PostMessageA(target, WM_CHAR, static_cast<unsigned char>(c), 1);
    };
  }
  // Moves the focus the way the dialog manager does (an edit's text gets
  // selected, so typing replaces it).
  static Step Focus(int item_id) {
    return [item_id](HWND dialog) {
      SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, item_id)),
                   TRUE);
    };
  }
  static Step Close() {
    return [](HWND dialog) { PostMessageA(dialog, WM_CLOSE, 0, 0); };
  }

 private:
  static constexpr UINT kTickMs = 30;
  static constexpr int kGraceTicks = 300;  // about 9 s after the last step

  static BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
    char name[16] = {};
    GetClassNameA(window, name, sizeof name);
    if (std::string_view(name) == "#32770" && IsWindowVisible(window)) {
      *reinterpret_cast<HWND*>(found) = window;
      return FALSE;
    }
    return TRUE;
  }

  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    DialogDriver* self = current_;
    if (self == nullptr || self->busy_) return;
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog == nullptr) return;
    self->shown_ = true;
    if (self->next_ < self->steps_.size()) {
      self->busy_ = true;  // a step that sends messages may let another tick in
      self->steps_[self->next_++](dialog);
      self->busy_ = false;
    } else if (++self->idle_ticks_ > kGraceTicks) {
      self->timed_out_ = true;
      PostMessageA(dialog, WM_CLOSE, 0, 0);
    }
  }

  static inline thread_local DialogDriver* current_ = nullptr;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  int idle_ticks_ = 0;
  UINT_PTR timer_ = 0;
  bool busy_ = false;
  bool shown_ = false;
  bool timed_out_ = false;
};

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_DIALOG_DRIVER_WIN_H_
