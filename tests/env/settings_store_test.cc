#include "env/settings_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

namespace tessaly {
namespace {

// A store that answers from a map and records the keys it was asked for.
class MapStore : public SettingsStore {
 public:
  std::map<std::string, RegistryValue> values;  // key "\" value name
  std::vector<std::string> asked;
  std::optional<RegistryValue> ReadMachineValue(std::string_view key_path,
                                                std::string_view value_name) override {
    const std::string full = std::string(key_path) + "|" + std::string(value_name);
    asked.push_back(full);
    auto it = values.find(full);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};

RegistryValue Str(std::string s) { return {RegistryValue::Type::kString, std::move(s), 0}; }
RegistryValue Dword(std::int32_t n) { return {RegistryValue::Type::kDword, "", n}; }

struct HeloSettingCase {
  const char* name;
  std::optional<RegistryValue> value;
  std::string want;
};

class GetPrimaryHeloSettingTest : public ::testing::TestWithParam<HeloSettingCase> {};

TEST_P(GetPrimaryHeloSettingTest, ReadsTrimsAndTraces) {
  const HeloSettingCase& c = GetParam();
  for (bool wow64 : {false, true}) {
    const std::string key = wow64 ? "SOFTWARE\\Wow6432Node\\Brenmoor\\Vigilor\\SMTP"
                                  : "SOFTWARE\\Brenmoor\\Vigilor\\SMTP";
    MapStore store;
    if (c.value) store.values[key + "|PrimaryHELO"] = *c.value;
    CaptureTraceSink trace;
    EXPECT_EQ(GetPrimaryHeloSetting(store, trace, wow64), c.want) << c.name << wow64;
    EXPECT_EQ(store.asked, std::vector<std::string>{key + "|PrimaryHELO"}) << c.name;
    EXPECT_EQ(trace.lines(), std::vector<std::string>{"HELO reg info " + c.want}) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, GetPrimaryHeloSettingTest,
    ::testing::Values(
        HeloSettingCase{"Absent", std::nullopt, "5"},
        HeloSettingCase{"DwordThree", Dword(3), "3"},
        HeloSettingCase{"DwordNegative", Dword(-12), "-12"},
        HeloSettingCase{"StringThreeWithNul", Str(std::string("3\0", 2)), "3"},
        HeloSettingCase{"StringWithoutNul", Str("mx.example.org"), "mx.example.org"},
        HeloSettingCase{"StringSpacedWithNul", Str(std::string("  mx.example.org \0", 18)),
                        "mx.example.org"},
        HeloSettingCase{"OnlyOneNulStripped", Str(std::string("a\0\0", 3)),
                        std::string("a\0", 2)},
        HeloSettingCase{"EmptyString", Str(std::string("\0", 1)), "5"},
        HeloSettingCase{"BlankString", Str(std::string("   \0", 4)), "5"},
        HeloSettingCase{"NoBytes", Str(""), "5"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(HostRegistryRootTest, ByBitness) {
  EXPECT_EQ(HostRegistryRoot(true), "SOFTWARE\\Wow6432Node\\Brenmoor\\Vigilor");
  EXPECT_EQ(HostRegistryRoot(false), "SOFTWARE\\Brenmoor\\Vigilor");
}

TEST(IsWow64Test, SixtyFourBitProcessIsNever) {
  if (sizeof(void*) == 8) {
    EXPECT_FALSE(IsWow64());
  }
}

TEST(DefaultRegistryPathTest, FromEnvironment) {
  struct Case {
    const char* name;
    const char* env;  // nullptr: unset
    std::string want;
  };
  const Case cases[] = {
      {"Unset", nullptr, "/etc/tessaly/registry.reg"},
      {"Empty", "", "/etc/tessaly/registry.reg"},
      {"Set", "/tmp/x.reg", "/tmp/x.reg"},
  };
  for (const Case& c : cases) {
    if (c.env == nullptr) {
      unsetenv("TESSALY_REGISTRY");
    } else {
      setenv("TESSALY_REGISTRY", c.env, 1);
    }
    EXPECT_EQ(DefaultRegistryPath(), c.want) << c.name;
  }
  unsetenv("TESSALY_REGISTRY");
}

}  // namespace
}  // namespace tessaly
