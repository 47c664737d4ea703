#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "check/dialog_presenter.h"

namespace tessaly {
namespace {

// Without any display the presenter fails with a clear message and never
// loads Qt, which would abort the process.
TEST(DialogLoaderTest, NoDisplayFailsBeforeQtIsLoaded) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
  std::unique_ptr<DialogPresenter> presenter = NewDefaultDialogPresenter();
  for (const char* parameter : {"", "#SSRV=a#"}) {
    DialogOutcome out = presenter->Show(parameter, "30");
    EXPECT_EQ(out.kind, DialogOutcome::Kind::kFailed) << parameter;
    EXPECT_NE(out.error.find("no display"), std::string::npos) << out.error;
    EXPECT_TRUE(out.parameter.empty()) << parameter;
  }
  EXPECT_EQ(dlopen("libQt6Core.so.6", RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
}  // namespace tessaly
