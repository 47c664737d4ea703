// The default presenter: loads the Qt dialog module (libtessaly_dialog.so) on
// first use and calls its entry point. The module is searched in this order,
// the first file that loads wins:
//   1. $TESSALY_DIALOG_MODULE (the module file itself);
//   2. beside the binary holding this code (libtessaly.so or the executable,
//      found with dladdr): that directory, then ../lib;
//   3. its install directory (libdir/tessaly);
//   4. the build tree that produced this binary.
// Without a display the presenter fails before any Qt code is loaded, since
// Qt would abort the process.
#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "check/dialog_presenter.h"
#include "dialog/dialog_module_abi.h"

namespace tessaly {
namespace {

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::vector<std::string> Candidates() {
  std::vector<std::string> out;
  if (EnvSet("TESSALY_DIALOG_MODULE")) out.emplace_back(std::getenv("TESSALY_DIALOG_MODULE"));
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&NewDefaultDialogPresenter), &info) != 0 &&
      info.dli_fname != nullptr && info.dli_fname[0] == '/') {
    std::string dir = DirectoryOf(info.dli_fname);
    out.push_back(dir + "/" TESSALY_DIALOG_MODULE_FILE);
    out.push_back(dir + "/../lib/" TESSALY_DIALOG_MODULE_FILE);
  }
#ifdef TESSALY_DIALOG_INSTALL_DIR
  out.emplace_back(TESSALY_DIALOG_INSTALL_DIR "/" TESSALY_DIALOG_MODULE_FILE);
#endif
#ifdef TESSALY_DIALOG_BUILD_DIR
  out.emplace_back(TESSALY_DIALOG_BUILD_DIR "/" TESSALY_DIALOG_MODULE_FILE);
#endif
  return out;
}

// The module's entry point, loaded once per process and never unloaded (Qt
// does not survive being unloaded); nullptr with *error set on failure.
TessalyDialogShowFn LoadEntry(std::string* error) {
  static std::mutex mutex;
  static TessalyDialogShowFn entry = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  if (entry != nullptr) return entry;
  std::string reasons;
  for (const std::string& path : Candidates()) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      // A missing file is the normal case for most candidates.
      if (why != nullptr && std::string(why).find("No such file") == std::string::npos) {
        reasons += "; " + std::string(why);
      }
      continue;
    }
    void* symbol = dlsym(handle, TESSALY_DIALOG_ENTRY_NAME);
    if (symbol == nullptr) {
      reasons += "; " + path + " has no " TESSALY_DIALOG_ENTRY_NAME;
      continue;
    }
    entry = reinterpret_cast<TessalyDialogShowFn>(symbol);
    return entry;
  }
  *error = "the configuration dialog module " TESSALY_DIALOG_MODULE_FILE
           " was not found (set TESSALY_DIALOG_MODULE to its path)" + reasons;
  return nullptr;
}

void Collect(void* context, const char* data, size_t size) {
  static_cast<std::string*>(context)->assign(data, size);
}

class ModulePresenter : public DialogPresenter {
 public:
  DialogOutcome Show(std::string_view parameter, std::string_view timeout_text) override {
    DialogOutcome out;
    out.kind = DialogOutcome::Kind::kFailed;
    if (!EnvSet("DISPLAY") && !EnvSet("WAYLAND_DISPLAY") && !EnvSet("QT_QPA_PLATFORM")) {
      out.error = "no display: set DISPLAY or WAYLAND_DISPLAY (or QT_QPA_PLATFORM) to show "
                  "the configuration dialog";
      return out;
    }
    TessalyDialogShowFn entry = LoadEntry(&out.error);
    if (entry == nullptr) return out;
    std::string text;
    int result = entry(parameter.data(), parameter.size(), timeout_text.data(),
                       timeout_text.size(), &Collect, &text);
    switch (result) {
      case kTessalyDialogAccepted:
        out.kind = DialogOutcome::Kind::kAccepted;
        out.parameter = std::move(text);
        break;
      case kTessalyDialogClosed:
        out.kind = DialogOutcome::Kind::kClosed;
        break;
      default:
        out.error = text.empty() ? "the configuration dialog failed" : text;
        break;
    }
    return out;
  }
};

}  // namespace

std::unique_ptr<DialogPresenter> NewDefaultDialogPresenter() {
  return std::make_unique<ModulePresenter>();
}

}  // namespace tessaly
