#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "env/settings_store.h"

namespace tessaly {
namespace {

const std::string kKey = "SOFTWARE\\Brenmoor\\Vigilor\\SMTP";

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "/h2_" + name + std::to_string(getpid()) + ".reg";
}
void Write(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}
std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(RegistryFileStoreTest, ReadsValues) {
  struct Case {
    const char* name;
    std::string body;
    std::optional<RegistryValue> want;
  };
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::string sec = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Vigilor\\SMTP]\r\n";
  const Case cases[] = {
      {"String", head + sec + "\"PrimaryHELO\"=\"3\"\r\n",
       RegistryValue{RegistryValue::Type::kString, std::string("3\0", 2), 0}},
      {"Escapes", head + sec + "\"PrimaryHELO\"=\"a\\\\b\\\"c\"\r\n",
       RegistryValue{RegistryValue::Type::kString, std::string("a\\b\"c\0", 6), 0}},
      {"Dword", head + sec + "\"PrimaryHELO\"=dword:00000003\r\n",
       RegistryValue{RegistryValue::Type::kDword, "", 3}},
      {"CaseInsensitiveKeyAndName",
       "\xEF\xBB\xBF" + head + "[hkey_local_machine\\software\\brenmoor\\vigilor\\smtp]\n"
           "\"primaryhelo\"=dword:ffffffff\n",
       RegistryValue{RegistryValue::Type::kDword, "", -1}},
      {"ExpandableAbsent",
       head + sec + "\"PrimaryHELO\"=hex(2):33,00,\\\r\n  00,00\r\n", std::nullopt},
      {"OtherSectionAbsent", head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
           "\"PrimaryHELO\"=\"3\"\r\n" + sec, std::nullopt},
      {"Malformed", head + sec + "\"PrimaryHELO\"=\"3\r\n", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string path = TempPath("read");
    Write(path, c.body);
    auto store = NewRegistryFileStore(path);
    const auto got = store->ReadMachineValue(kKey, "PrimaryHELO");
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.name;
    if (got) {
      EXPECT_EQ(got->type, c.want->type) << c.name;
      EXPECT_EQ(got->text, c.want->text) << c.name;
      EXPECT_EQ(got->number, c.want->number) << c.name;
    }
    EXPECT_EQ(Read(path), c.body) << c.name << ": file unchanged";
    std::remove(path.c_str());
  }
}

TEST(RegistryFileStoreTest, CreatesMissingKeyKeepingTheRest) {
  const std::string path = TempPath("create");
  const std::string before =
      "Windows Registry Editor Version 5.00\r\n\r\n; note\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
      "\"A\"=\"b\"\r\n";
  Write(path, before);
  auto store = NewRegistryFileStore(path);
  EXPECT_FALSE(store->ReadMachineValue(kKey, "PrimaryHELO"));
  const std::string after = Read(path);
  EXPECT_EQ(after.substr(0, before.size()), before);
  EXPECT_NE(after.find("[HKEY_LOCAL_MACHINE\\" + kKey + "]"), std::string::npos);
  EXPECT_FALSE(store->ReadMachineValue(kKey, "PrimaryHELO"));
  EXPECT_EQ(Read(path), after) << "second read finds the key, writes nothing";
  std::remove(path.c_str());
}

TEST(RegistryFileStoreTest, MissingFileIsCreatedWithHeader) {
  const std::string path = TempPath("missing");
  std::remove(path.c_str());
  EXPECT_FALSE(NewRegistryFileStore(path)->ReadMachineValue(kKey, "PrimaryHELO"));
  EXPECT_EQ(Read(path).rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  std::remove(path.c_str());
}

TEST(RegistryFileStoreTest, ReadOnlyFileCreatesNothing) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
  const std::string path = TempPath("readonly");
  const std::string before = "Windows Registry Editor Version 5.00\r\n";
  Write(path, before);
  chmod(path.c_str(), 0444);
  EXPECT_FALSE(NewRegistryFileStore(path)->ReadMachineValue(kKey, "PrimaryHELO"));
  EXPECT_EQ(Read(path), before);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tessaly
