// The one entry point of the dialog module (libtessaly_dialog.so), found by
// the loader with dlsym. Plain C types only, so that the core and the module
// share no C++ objects and no allocator.
#ifndef TESSALY_DIALOG_DIALOG_MODULE_ABI_H_
#define TESSALY_DIALOG_DIALOG_MODULE_ABI_H_

#include <stddef.h>

extern "C" {

// Receives the composed string (accepted) or the error text (failed); called
// at most once, before the entry point returns.
typedef void (*TessalyDialogSink)(void* context, const char* data, size_t size);

enum TessalyDialogResult {
  kTessalyDialogAccepted = 0,  // OK pressed; the sink got the new string
  kTessalyDialogClosed = 1,    // closed another way; nothing was sent
  kTessalyDialogFailed = 2,    // not shown; the sink got the reason
};

// Fills the dialog from parameter and the time-out text, shows it modal and
// on top and returns one of TessalyDialogResult once it has closed. Never
// throws. Must run on the thread that owns (or will own) the QApplication.
typedef int (*TessalyDialogShowFn)(const char* parameter, size_t parameter_size,
                                   const char* timeout, size_t timeout_size,
                                   TessalyDialogSink sink, void* context);

}  // extern "C"

#define TESSALY_DIALOG_ENTRY_NAME "tessaly_dialog_show_v1"
#define TESSALY_DIALOG_MODULE_FILE "libtessaly_dialog.so"

#endif  // TESSALY_DIALOG_DIALOG_MODULE_ABI_H_
