// The module's entry point: fills the model, makes sure a QApplication
// exists on this thread and runs the dialog modally.
#include <QApplication>
#include <QThread>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "dialog/dialog_model.h"
#include "dialog/dialog_module_abi.h"
#include "dialog/qt/dialog_view.h"
#include "dialog/qt/x_display_probe.h"

namespace tessaly::dialog {
namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// The QApplication to use, created (once, for the life of the process) when
// none exists; nullptr with *error set when widgets cannot run here.
QApplication* EnsureApplication(std::string* error) {
  QCoreApplication* existing = QCoreApplication::instance();
  if (existing == nullptr) {
    if (!HasDisplay()) {
      *error = "no display: set DISPLAY or WAYLAND_DISPLAY (or QT_QPA_PLATFORM) to show the "
               "configuration dialog";
      return nullptr;
    }
    // Qt aborts the process when its X server cannot be reached; ask first.
    if (std::string problem = ProbeXDisplay(); !problem.empty()) {
      *error = problem;
      return nullptr;
    }
    static int argc = 1;
    static char name[] = "tessaly";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return app;
  }
  auto* app = qobject_cast<QApplication*>(existing);
  if (app == nullptr) {
    *error = "the running Qt application has no widget support; the dialog cannot be shown";
    return nullptr;
  }
  if (QThread::currentThread() != app->thread()) {
    *error = "the configuration dialog must be shown on the Qt application's thread";
    return nullptr;
  }
  return app;
}

int Show(std::string_view parameter, std::string_view timeout, TessalyDialogSink sink,
         void* context) {
  auto fail = [&](const std::string& message) {
    sink(context, message.data(), message.size());
    return kTessalyDialogFailed;
  };
  DialogForm form;
  Status s = FillForm(parameter, timeout, &form);
  if (!s.ok()) return fail(s.message());
  std::string error;
  if (EnsureApplication(&error) == nullptr) return fail(error);
  DialogView view(form);
  if (view.exec() != QDialog::Accepted || view.result().empty()) return kTessalyDialogClosed;
  sink(context, view.result().data(), view.result().size());
  return kTessalyDialogAccepted;
}

}  // namespace
}  // namespace tessaly::dialog

extern "C" TESSALY_DIALOG_EXPORT int tessaly_dialog_show_v1(const char* parameter,
                                                          size_t parameter_size,
                                                          const char* timeout,
                                                          size_t timeout_size,
                                                          TessalyDialogSink sink,
                                                          void* context) noexcept {
  try {
    return tessaly::dialog::Show(std::string_view(parameter, parameter_size),
                                 std::string_view(timeout, timeout_size), sink, context);
  } catch (const std::exception& e) {
    std::string message = std::string("the configuration dialog failed: ") + e.what();
    sink(context, message.data(), message.size());
  } catch (...) {
    static constexpr std::string_view kMessage = "the configuration dialog failed";
    sink(context, kMessage.data(), kMessage.size());
  }
  return kTessalyDialogFailed;
}

// The type must match what the loader expects.
static_assert(
    std::is_same_v<decltype(&tessaly_dialog_show_v1), TessalyDialogShowFn> ||
    std::is_convertible_v<decltype(&tessaly_dialog_show_v1), TessalyDialogShowFn>);
