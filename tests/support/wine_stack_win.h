// The local mail stack seen from a Windows test under wine: the stack runs
// on the Linux side, its run directory is reached through drive Z:, which
// wine maps to "/". Reads stack.env and looks into the Maildirs directly.
#ifndef TESSALY_TESTS_SUPPORT_WINE_STACK_WIN_H_
#define TESSALY_TESTS_SUPPORT_WINE_STACK_WIN_H_

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tessaly::testing {

// A POSIX path as wine's Windows programs reach it.
inline std::string WinePath(const std::string& posix_path) {
  std::string out = "Z:" + posix_path;
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

inline std::string ReadFileText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class WineStack {
 public:
  // Loads $TESSALY_MAILSTACK/stack.env, and oauth.env when the stack's
  // OAuth part runs; ok() is false when the stack is missing.
  WineStack() {
    const char* dir = std::getenv("TESSALY_MAILSTACK");
    if (dir == nullptr || *dir == '\0') return;
    for (const char* file : {"/stack.env", "/oauth.env"}) {
      std::istringstream in(ReadFileText(WinePath(std::string(dir) + file)));
      for (std::string line; std::getline(in, line);) {
        const std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
          value = value.substr(1, value.size() - 2);
        }
        values_[line.substr(0, eq)] = value;
      }
    }
  }
  bool ok() const { return values_.count("SMTP_PORT") > 0; }
  // The OAuth part: token endpoint, its test CA, the OAuth ports.
  bool oauth_ok() const { return values_.count("OAUTH_TOKEN_URL") > 0; }
  std::string value(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
  }
  int port(const std::string& key) const { return std::atoi(value(key).c_str()); }
  std::string password(const std::string& user) const { return value("PASSWORD_" + user); }
  std::string address(const std::string& user) const { return user + "@" + value("DOMAIN"); }
  std::string maildir(const std::string& user) const {
    return WinePath(value("MAIL_DIR") + "/" + user + "/Maildir");
  }

  // The message files in new\ and cur\, sorted by name.
  std::vector<std::string> ListMessages(const std::string& user) const {
    std::vector<std::string> out;
    for (const char* sub : {"\\new\\", "\\cur\\"}) {
      const std::string dir = maildir(user) + sub;
      WIN32_FIND_DATAA found;
      HANDLE h = FindFirstFileA((dir + "*").c_str(), &found);
      if (h == INVALID_HANDLE_VALUE) continue;
      do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
          out.push_back(dir + found.cFileName);
        }
      } while (FindNextFileA(h, &found));
      FindClose(h);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  bool WaitForMessages(const std::string& user, std::size_t count,
                       std::chrono::seconds timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (ListMessages(user).size() < count) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }
  void ClearMailbox(const std::string& user) const {
    for (const std::string& path : ListMessages(user)) DeleteFileA(path.c_str());
  }
  // Writes one message into new\ (through tmp\, as a delivery would).
  bool PutMessage(const std::string& user, const std::string& name,
                  const std::string& text) const {
    const std::string tmp = maildir(user) + "\\tmp\\" + name;
    {
      std::ofstream f(tmp, std::ios::binary);
      f << text;
      if (!f) return false;
    }
    return MoveFileA(tmp.c_str(), (maildir(user) + "\\new\\" + name).c_str()) != 0;
  }

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_WINE_STACK_WIN_H_
