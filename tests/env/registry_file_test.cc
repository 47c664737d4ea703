#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "env/registry_file.h"
#include "env/settings_store.h"
#include "env/trace.h"
#include "support/unprivileged.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;

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
      {"MalformedOtherValueMakesFileUnparseable",
       head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"A\"=\"open\r\n" + sec +
           "\"PrimaryHELO\"=\"3\"\r\n",
       std::nullopt},
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

// A directory of its own per test, open to every user, so that a check
// running as another user may create files in it.
class RegistryStoreFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tessaly-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  static struct stat Stat(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
  }
  // The greeting setting as a check running without root's rights reads
  // it; "" when that run failed.
  static std::string UnprivilegedHeloSetting(const std::string& path) {
    int fds[2];
    if (::pipe(fds) != 0) return "";
    const int rc = testing::RunUnprivileged([&] {
      const std::string got =
          GetPrimaryHeloSetting(*NewRegistryFileStore(path), NullTraceSink(), false);
      return ::write(fds[1], got.data(), got.size()) == static_cast<ssize_t>(got.size()) ? 0
                                                                                         : 1;
    });
    ::close(fds[1]);
    std::string got;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
      got.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    return rc == 0 ? got : "";
  }

  std::string dir_;
};

TEST_F(RegistryStoreFileTest, FileItMayNotWriteIsNeverWritten) {
  const std::string head = "Windows Registry Editor Version 5.00\r\n";
  const std::string with_value =
      head + "\r\n[HKEY_LOCAL_MACHINE\\" + kKey + "]\r\n\"PrimaryHELO\"=\"keep.example\"\r\n";
  struct Case {
    const char* name;
    std::string body;  // "" makes a FIFO
    mode_t mode;
    bool needs_root;  // the file must belong to another user than the check
  };
  const Case cases[] = {
      // Cannot be read: like a key that cannot be opened, "5" and no write,
      // even though the check may write the file and the directory.
      {"unreadable", with_value, 0200, false},
      {"read-only, key missing", head, 0444, false},
      {"writable by all, owner cannot be kept", head, 0666, true},
      {"FIFO is not waited on", "", 0666, false},
  };
  for (const Case& c : cases) {
    if (c.needs_root && !testing::RunningAsRoot()) continue;
    const std::string path = dir_ + "/registry.reg";
    if (c.body.empty()) {
      ASSERT_EQ(::mkfifo(path.c_str(), c.mode), 0) << c.name;
    } else {
      Write(path, c.body);
    }
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0) << c.name;
    const struct stat before = Stat(path);
    EXPECT_EQ(UnprivilegedHeloSetting(path), "5") << c.name;
    const struct stat after = Stat(path);
    EXPECT_EQ(after.st_ino, before.st_ino) << c.name << ": not replaced";
    EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
    EXPECT_EQ(after.st_uid, before.st_uid) << c.name;
    EXPECT_EQ(after.st_size, before.st_size) << c.name;
    EXPECT_EQ(Names(), std::set<std::string>{"registry.reg"}) << c.name << ": nothing created";
    if (!c.body.empty()) {
      ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
      EXPECT_EQ(Read(path), c.body) << c.name;
    }
    fs::remove(path);
  }
}

TEST_F(RegistryStoreFileTest, AppendKeepsModeOwnerAndLinks) {
  const std::string before =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
      "\"A\"=\"b\"\r\n";
  ASSERT_TRUE(fs::create_directory(dir_ + "/real"));
  const std::string real = dir_ + "/real/registry.reg";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link, what it says
    std::string read_path;
  };
  const Case cases[] = {
      {"plain file", {}, real},
      {"absolute link", {{dir_ + "/link.reg", real}}, dir_ + "/link.reg"},
      {"chain of relative links",
       {{dir_ + "/a.reg", "b.reg"}, {dir_ + "/b.reg", "real/registry.reg"}},
       dir_ + "/a.reg"},
  };
  // As root the file belongs to another user, whose ownership must stay.
  const uid_t owner = testing::RunningAsRoot() ? testing::kNobodyUid : ::geteuid();
  const gid_t group = testing::RunningAsRoot() ? testing::kNobodyGid : ::getegid();
  for (const Case& c : cases) {
    Write(real, before);
    ASSERT_EQ(::chown(real.c_str(), owner, group), 0) << c.name;
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0) << c.name;
    for (const auto& [link, says] : c.links) fs::create_symlink(says, link);

    EXPECT_FALSE(NewRegistryFileStore(c.read_path)->ReadMachineValue(kKey, "PrimaryHELO"))
        << c.name;
    const std::string after = Read(real);
    EXPECT_EQ(after, before + "\r\n[HKEY_LOCAL_MACHINE\\" + kKey + "]\r\n") << c.name;
    const struct stat info = Stat(real);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << c.name;
    EXPECT_EQ(info.st_mode & 07777, 0640u) << c.name;
    EXPECT_EQ(info.st_uid, owner) << c.name;
    EXPECT_EQ(info.st_gid, group) << c.name;
    for (const auto& [link, says] : c.links) {
      EXPECT_TRUE(fs::is_symlink(link)) << c.name << ": " << link << " stays a link";
      EXPECT_EQ(fs::read_symlink(link), says) << c.name;
      fs::remove(link);
    }
    EXPECT_EQ(Names(), std::set<std::string>{"real"}) << c.name;
    fs::remove(real);
    EXPECT_TRUE(fs::is_empty(dir_ + "/real")) << c.name << ": no temporary file left";
  }
}

TEST_F(RegistryStoreFileTest, PlantedLinksInASharedDirectoryAreNotFollowed) {
  // A directory every user may write, like /tmp: a neighbour plants links
  // at every name the writer could be expected to use.
  ASSERT_EQ(::chmod(dir_.c_str(), 01777), 0);
  const std::string path = dir_ + "/registry.reg";
  const std::string head = "Windows Registry Editor Version 5.00\r\n";
  Write(path, head);
  const std::string victim = dir_ + "-victim";
  Write(victim, "precious");
  const std::string planted[] = {path + ".tmp", path + ".tmp" + std::to_string(::getpid()),
                                 path + "~", path + ".new"};
  for (const std::string& name : planted) fs::create_symlink(victim, name);

  EXPECT_FALSE(NewRegistryFileStore(path)->ReadMachineValue(kKey, "PrimaryHELO"));
  EXPECT_EQ(Read(victim), "precious");
  fs::remove(victim);
  for (const std::string& name : planted) {
    EXPECT_TRUE(fs::is_symlink(name)) << name;
    EXPECT_EQ(fs::read_symlink(name), victim) << name;
  }
  EXPECT_TRUE(S_ISREG(Stat(path).st_mode));
  EXPECT_EQ(Read(path), head + "\r\n[HKEY_LOCAL_MACHINE\\" + kKey + "]\r\n");
  EXPECT_EQ(Names().size(), 1 + std::size(planted)) << "no temporary file left";
}

// UTF-16LE with byte-order mark, as regedit writes it, from UTF-8 text.
std::string Utf16(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    std::uint32_t cp = b;
    std::size_t len = 1;
    if (b >= 0xF0) {
      cp = b & 0x07u, len = 4;
    } else if (b >= 0xE0) {
      cp = b & 0x0Fu, len = 3;
    } else if (b >= 0xC0) {
      cp = b & 0x1Fu, len = 2;
    }
    for (std::size_t k = 1; k < len; ++k) {
      cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    }
    i += len;
    auto put = [&out](std::uint32_t u) {
      out.push_back(static_cast<char>(u & 0xFF));
      out.push_back(static_cast<char>(u >> 8));
    };
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

TEST(RegistryFileStoreTest, ReadsUtf16LeValues) {
  const std::string file = Utf16(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Vigilor\\SMTP]\r\n"
      "\"Str\"=\"mail.example.org\"\r\n"
      "\"Wide\"=\"gr\xC3\xBC\xC3\x9F \xF0\x9F\x93\xA7\"\r\n"
      "\"Num\"=dword:00000002\r\n"
      "\"Exp\"=hex(2):25,00,53,00,59,00,53,00,54,00,45,00,4d,00,25,00,00,\\\r\n"
      "  00\r\n"
      "\"Cont\"=\"a\\\r\n"
      "b\"\r\n"
      "@=\"default\"\r\n");
  struct Case {
    const char* name;
    std::optional<RegistryValue> want;
  };
  const Case cases[] = {
      {"Str", RegistryValue{RegistryValue::Type::kString, std::string("mail.example.org\0", 17), 0}},
      {"Wide", RegistryValue{RegistryValue::Type::kString,
                             std::string("gr\xC3\xBC\xC3\x9F \xF0\x9F\x93\xA7\0", 12), 0}},
      {"Num", RegistryValue{RegistryValue::Type::kDword, "", 2}},
      {"Exp", std::nullopt},
      {"Cont", RegistryValue{RegistryValue::Type::kString, std::string("ab\0", 3), 0}},
      {"", RegistryValue{RegistryValue::Type::kString, std::string("default\0", 8), 0}},
      {"Missing", std::nullopt},
  };
  const std::string path = TempPath("utf16");
  Write(path, file);
  auto store = NewRegistryFileStore(path);
  for (const Case& c : cases) {
    const auto got = store->ReadMachineValue(kKey, c.name);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.name;
    if (got) {
      EXPECT_EQ(got->type, c.want->type) << c.name;
      EXPECT_EQ(got->text, c.want->text) << c.name;
      EXPECT_EQ(got->number, c.want->number) << c.name;
    }
  }
  EXPECT_EQ(Read(path), file) << "reading never writes";
  std::remove(path.c_str());
}

TEST(RegistryFileStoreTest, CreatesMissingKeyInUtf16LeFileKeepingItsBytes) {
  struct Case {
    const char* name;
    std::string before;
    std::string added;  // UTF-8 form of what must follow the original bytes
  };
  const std::string head = "Windows Registry Editor Version 5.00\r\n";
  const std::string sec = "\r\n[HKEY_LOCAL_MACHINE\\" + kKey + "]\r\n";
  const Case cases[] = {
      {"EndsWithCrLf", Utf16(head + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"A\"=\"\xC3\xA9\"\r\n"),
       sec},
      {"NoFinalLineEnd", Utf16(head + "; last"), "\r\n" + sec},
  };
  for (const Case& c : cases) {
    const std::string path = TempPath("create16");
    Write(path, c.before);
    auto store = NewRegistryFileStore(path);
    EXPECT_FALSE(store->ReadMachineValue(kKey, "PrimaryHELO")) << c.name;
    const std::string after = Read(path);
    EXPECT_EQ(after, c.before + Utf16(c.added).substr(2)) << c.name;
    EXPECT_TRUE(LookupRegistryValue(after, kKey, "PrimaryHELO").key_found) << c.name;
    EXPECT_FALSE(store->ReadMachineValue(kKey, "PrimaryHELO")) << c.name;
    EXPECT_EQ(Read(path), after) << c.name << ": second read writes nothing";
    std::remove(path.c_str());
  }
}

TEST(RegistryFileStoreTest, MalformedUtf16LeIsNotFatalAndUntouched) {
  const std::string good = Utf16("Windows Registry Editor Version 5.00\r\n");
  struct Case {
    const char* name;
    std::string body;
  };
  const Case cases[] = {
      {"OddByteCount", good + "A"},
      {"LoneHighSurrogateAtEnd", good + std::string("\x3D\xD8", 2)},
      {"HighSurrogateThenLetter", good + std::string("\x3D\xD8" "A\0", 4)},
      {"LoneLowSurrogate", good + std::string("\xE7\xDC", 2)},
      {"BomOnlyOddByte", std::string("\xFF\xFE\x00", 3)},
  };
  for (const Case& c : cases) {
    const std::string path = TempPath("bad16");
    Write(path, c.body);
    EXPECT_FALSE(NewRegistryFileStore(path)->ReadMachineValue(kKey, "PrimaryHELO")) << c.name;
    EXPECT_EQ(Read(path), c.body) << c.name << ": file untouched";
    EXPECT_FALSE(AppendRegistrySection(c.body, kKey)) << c.name;
    std::remove(path.c_str());
  }
}

TEST(RegistryFileTest, AppendEndsAnOpenLastLineFirst) {
  struct Case {
    const char* name;
    std::string before;
    std::string want_added;
  };
  const std::string head = "Windows Registry Editor Version 5.00";
  const std::string sec = "\r\n[HKEY_LOCAL_MACHINE\\" + kKey + "]\r\n";
  const Case cases[] = {
      {"CrLf", head + "\r\n", sec},
      {"Lf", head + "\n", sec},
      {"NoLineEnd", head, "\r\n" + sec},
      {"LoneCr", head + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r", "\n" + sec},
  };
  for (const Case& c : cases) {
    const auto got = AppendRegistrySection(c.before, kKey);
    ASSERT_TRUE(got) << c.name;
    EXPECT_EQ(*got, c.before + c.want_added) << c.name;
    EXPECT_TRUE(LookupRegistryValue(*got, kKey, "PrimaryHELO").key_found) << c.name;
    EXPECT_TRUE(LookupRegistryValue(*got, "SOFTWARE\\X", "").parsed) << c.name;
  }
}

}  // namespace
}  // namespace tessaly
