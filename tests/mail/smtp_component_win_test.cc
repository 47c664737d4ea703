// The host SMTP component driven late-bound: a host's own component that
// predates the OAuth properties refuses them by name, so the send fails
// with a text that says which one, and never with the token.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "mail/smtp_component.h"

namespace tessaly {
namespace {

TEST(ComSmtpComponentTest, ComponentWithoutTheOAuthPropertiesNamesTheMissingOne) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  {
    // Any automation object without these members stands for such a
    // component; the scripting dictionary is in every Windows (and wine).
    auto factory = NewComSmtpComponentFactory(L"Scripting.Dictionary");
    std::unique_ptr<SmtpComponent> component = factory->Create();
    ASSERT_NE(component, nullptr) << factory->CreateError();
    for (const char* name : {"PrimaryAuthMechanism", "PrimaryBearerToken"}) {
      const Status s = component->SetProperty(name, "ya29.secret-token");
      EXPECT_EQ(s.message().rfind("Object doesn't support this property or method: " +
                                      std::string(name) + " (",
                                  0),
                0u)
          << s.message();
      EXPECT_EQ(s.message().find("ya29"), std::string::npos) << s.message();
    }
  }
  CoUninitialize();
}

}  // namespace
}  // namespace tessaly
