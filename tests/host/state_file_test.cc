#include "host/state_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <string>
#include <thread>

#include "support/unprivileged.h"

namespace tessaly {
namespace {

using namespace std::literals;
namespace fs = std::filesystem;

class StateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tessaly-state-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/check.state";
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all);
    fs::remove_all(dir_);
  }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Spit(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }
  static Status Store(const std::string& path, const std::string& value) {
    return UpdateStateFile(path, 0ms, [&](std::string* p) {
      *p = value;
      return Status::Ok();
    });
  }

  std::string dir_;
  std::string path_;
};

TEST_F(StateFileTest, MissingFileReadsEmpty) {
  std::string got = "stale";
  const Status s = ReadStateFile(path_, &got);
  EXPECT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(got, "");
  std::string seen = "stale";
  EXPECT_TRUE(UpdateStateFile(path_, 0ms, [&](std::string* p) {
                seen = *p;
                *p = "#SSRV=a#";
                return Status::Ok();
              }).ok());
  EXPECT_EQ(seen, "") << "update sees an empty string for a new file";
  EXPECT_EQ(Slurp(path_), "#SSRV=a#\n");
}

TEST_F(StateFileTest, RoundTrip) {
  const struct {
    const char* name;
    std::string value;
  } cases[] = {
      {"empty", ""},
      {"parameter string", "#SSRV=mx#SPWD=c2VjcmV0#@@NEXT=POP3@@#"},
      {"ends with newline", "#A=1#\n"},
      {"only newline", "\n"},
      {"every byte", "\x00\x01\r\n\x7F\x80\xFF"s},
  };
  for (const auto& c : cases) {
    const Status s = Store(path_, c.value);
    ASSERT_TRUE(s.ok()) << c.name << ": " << s.message();
    EXPECT_EQ(Slurp(path_), c.value + "\n") << c.name;
    std::string got;
    ASSERT_TRUE(ReadStateFile(path_, &got).ok()) << c.name;
    EXPECT_EQ(got, c.value) << c.name;
    EXPECT_FALSE(fs::exists(path_ + ".tmp")) << c.name;
  }
}

TEST_F(StateFileTest, HandWrittenFile) {
  const struct {
    const char* name;
    std::string bytes;
    std::string want;
  } cases[] = {
      {"editor newline dropped", "#SSRV=a#\n", "#SSRV=a#"},
      {"no newline", "#SSRV=a#", "#SSRV=a#"},
      {"only one newline dropped", "#X=1#\n\n", "#X=1#\n"},
      {"CR kept", "#X=1#\r\n", "#X=1#\r"},
  };
  for (const auto& c : cases) {
    Spit(path_, c.bytes);
    std::string got;
    ASSERT_TRUE(ReadStateFile(path_, &got).ok()) << c.name;
    EXPECT_EQ(got, c.want) << c.name;
  }
}

TEST_F(StateFileTest, ModesNeverWidened) {
  const mode_t old_umask = ::umask(0);
  ASSERT_TRUE(Store(path_, "#SPWD=x#").ok());
  EXPECT_EQ(ModeOf(path_), 0600u) << "created with a zero umask";
  EXPECT_EQ(ModeOf(path_ + ".lock"), 0600u);
  ::umask(old_umask);

  const mode_t kept[] = {0640, 0400, 0600};
  for (const mode_t mode : kept) {
    ASSERT_EQ(::chmod(path_.c_str(), mode), 0);
    ASSERT_TRUE(Store(path_, "#V=" + std::to_string(mode) + "#").ok()) << mode;
    EXPECT_EQ(ModeOf(path_), mode) << "existing mode kept";
  }

  // The temporary file has a random name: a link planted at the old fixed
  // name is neither followed nor touched, and nothing is left behind.
  ASSERT_TRUE(fs::remove(path_));
  Spit(dir_ + "/victim", "keep");
  fs::create_symlink(dir_ + "/victim", path_ + ".tmp");
  ASSERT_TRUE(Store(path_, "#new#").ok());
  EXPECT_EQ(Slurp(path_), "#new#\n");
  EXPECT_EQ(ModeOf(path_), 0600u);
  EXPECT_EQ(Slurp(dir_ + "/victim"), "keep");
  EXPECT_TRUE(fs::is_symlink(path_ + ".tmp"));
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"check.state", "check.state.lock",
                                          "check.state.tmp", "victim"}));
}

TEST_F(StateFileTest, PasswordKeepsGroupAndOthersOut) {
  const struct {
    const char* name;
    mode_t before;
    std::string value;
    mode_t after;
  } cases[] = {
      {"password stored in 0644 file", 0644, "#SSRV=a#PPWD=c2VjcmV0#", 0600},
      {"password stored in 0640 file", 0640, "#SPWD=c2VjcmV0#", 0600},
      {"owner bits kept", 0400, "#PPWD=c2VjcmV0#", 0400},
      {"no password: bits kept", 0644, "#SSRV=a#PPWD=#", 0644},
  };
  for (const auto& c : cases) {
    Spit(path_, "#OLD=1#\n");
    ASSERT_EQ(::chmod(path_.c_str(), c.before), 0) << c.name;
    ASSERT_TRUE(Store(path_, c.value).ok()) << c.name;
    EXPECT_EQ(ModeOf(path_), c.after) << c.name;
  }
  // A file that already holds a password loses the wider bits at the next
  // update even when the string stays the same.
  Spit(path_, "#PPWD=c2VjcmV0#\n");
  ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
  ASSERT_TRUE(UpdateStateFile(path_, 0ms, [](std::string*) { return Status::Ok(); }).ok());
  EXPECT_EQ(ModeOf(path_), 0600u);
  EXPECT_EQ(Slurp(path_), "#PPWD=c2VjcmV0#\n");
}

TEST_F(StateFileTest, FailedUpdateLeavesFileUntouched) {
  ASSERT_TRUE(Store(path_, "#OLD=1#").ok());
  struct stat before {};
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  const Status s = UpdateStateFile(path_, 0ms, [](std::string* p) {
    *p = "#HALF";
    return Status::Error("check failed", 7);
  });
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "check failed") << "update's status returned as is";
  EXPECT_EQ(s.code(), 7);
  EXPECT_EQ(Slurp(path_), "#OLD=1#\n");
  struct stat after {};
  ASSERT_EQ(::stat(path_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "file not replaced";
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
}

TEST_F(StateFileTest, LockContention) {
  ASSERT_TRUE(Store(path_, "#N=0#").ok());
  std::promise<void> holding;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread holder([&] {
    (void)UpdateStateFile(path_, 0ms, [&](std::string* p) {
      holding.set_value();
      released.wait();
      *p = "#N=1#";
      return Status::Ok();
    });
  });
  holding.get_future().wait();

  bool called = false;
  const auto start = std::chrono::steady_clock::now();
  const Status busy = UpdateStateFile(path_, 150ms, [&](std::string*) {
    called = true;
    return Status::Ok();
  });
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(busy.ok());
  EXPECT_NE(busy.message().find("busy"), std::string::npos) << busy.message();
  EXPECT_FALSE(called) << "update not run without the lock";
  EXPECT_GE(waited, 150ms);
  EXPECT_LT(waited, 2s) << "wait is bounded";

  // A second run with a long enough wait gets the lock once the first lets
  // go, and sees the first run's result.
  std::string seen;
  std::thread waiter([&] {
    EXPECT_TRUE(UpdateStateFile(path_, 10s, [&](std::string* p) {
                  seen = *p;
                  *p = "#N=2#";
                  return Status::Ok();
                }).ok());
  });
  std::this_thread::sleep_for(50ms);
  release.set_value();
  holder.join();
  waiter.join();
  EXPECT_EQ(seen, "#N=1#");
  EXPECT_EQ(Slurp(path_), "#N=2#\n");
}

int UpdateFails(const std::string& path) {
  const Status s = UpdateStateFile(path, 0ms, [](std::string* p) {
    *p = "#NEW=1#";
    return Status::Ok();
  });
  if (s.ok()) return 1;
  if (s.message().find(path) == std::string::npos) return 2;
  return 0;
}

TEST_F(StateFileTest, UnwritableDirectory) {
  // The file exists and is readable, the lock file is usable, but the
  // directory does not take the temporary file: an error, the old file kept.
  Spit(path_, "#OLD=1#\n");
  ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
  Spit(path_ + ".lock", "");
  ASSERT_EQ(::chmod((path_ + ".lock").c_str(), 0666), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
  EXPECT_EQ(testing::RunUnprivileged([&] { return UpdateFails(path_); }), 0);
  EXPECT_EQ(Slurp(path_), "#OLD=1#\n");
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
  ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);

  Spit(dir_ + "/plain", "x");
  const std::string bad_paths[] = {dir_ + "/missing/check.state",
                                   dir_ + "/plain/check.state"};
  for (const std::string& bad : bad_paths) {
    EXPECT_EQ(UpdateFails(bad), 0) << bad;
  }
}

TEST_F(StateFileTest, RefusedPaths) {
  ASSERT_TRUE(fs::create_directory(dir_ + "/sub"));
  ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  Spit(dir_ + "/target", "#T=1#\n");
  fs::create_symlink(dir_ + "/target", dir_ + "/link");
  const struct {
    const char* name;
    std::string path;
    bool read_fails;
  } cases[] = {
      {"directory", dir_ + "/sub", true},
      {"fifo does not block", dir_ + "/fifo", true},
      {"symbolic link", dir_ + "/link", false},
  };
  for (const auto& c : cases) {
    std::string got = "stale";
    const Status read = ReadStateFile(c.path, &got);
    EXPECT_EQ(read.ok(), !c.read_fails) << c.name << ": " << read.message();
    if (!read.ok()) {
      EXPECT_EQ(got, "") << c.name;
    }
    EXPECT_EQ(UpdateFails(c.path), 0) << c.name;
  }
  EXPECT_TRUE(fs::is_symlink(dir_ + "/link")) << "link not replaced";
  EXPECT_EQ(Slurp(dir_ + "/target"), "#T=1#\n");
}

}  // namespace
}  // namespace tessaly
