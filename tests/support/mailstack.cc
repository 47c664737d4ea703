#include "support/mailstack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace tessaly::testing {
namespace {

namespace fs = std::filesystem;

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

std::string Unquote(std::string v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

// A name unique within this host for a Maildir file: time, PID, counter.
std::string UniqueName() {
  static std::atomic<unsigned> counter{0};
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  std::ostringstream name;
  name << us / 1000000 << ".M" << us % 1000000 << "P" << getpid() << "Q"
       << counter.fetch_add(1) << ".tessaly-test";
  return name.str();
}

}  // namespace

const MailStack* MailStack::Get() {
  static std::once_flag once;
  static std::unique_ptr<MailStack> stack;
  std::call_once(once, [] {
    const char* dir = std::getenv("TESSALY_MAILSTACK");
    if (dir == nullptr || *dir == '\0') return;
    std::ifstream in(std::string(dir) + "/stack.env", std::ios::binary);
    if (!in) return;
    std::stringstream text;
    text << in.rdbuf();
    // The OAuth part (mailstack.sh oauth-start) adds its own keys.
    std::ifstream oauth(std::string(dir) + "/oauth.env", std::ios::binary);
    if (oauth) text << "\n" << oauth.rdbuf();
    stack = Parse(text.str());
  });
  return stack.get();
}

std::unique_ptr<MailStack> MailStack::Parse(const std::string& env_text) {
  auto stack = std::make_unique<MailStack>();
  std::istringstream lines(env_text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    stack->values_[line.substr(0, eq)] = Unquote(line.substr(eq + 1));
  }
  struct PortKey {
    const char* key;
    int* port;
  };
  const PortKey ports[] = {
      {"SMTP_PORT", &stack->smtp_port_},   {"SUBMISSION_PORT", &stack->submission_port_},
      {"SMTPS_PORT", &stack->smtps_port_}, {"POP3_PORT", &stack->pop3_port_},
      {"POP3S_PORT", &stack->pop3s_port_}, {"IMAP_PORT", &stack->imap_port_},
      {"IMAPS_PORT", &stack->imaps_port_}};
  for (const PortKey& p : ports) {
    if (!ParsePort(stack->value(p.key), p.port)) return nullptr;
  }
  // Optional: a stack.env from before these keys existed still parses.
  if (!ParsePort(stack->value("SMTPS_ALT_PORT"), &stack->smtps_alt_port_)) {
    stack->smtps_alt_port_ = 0;
  }
  if (!ParsePort(stack->value("POP3S_ALT_PORT"), &stack->pop3s_alt_port_)) {
    stack->pop3s_alt_port_ = 0;
  }
  if (!ParsePort(stack->value("IMAPS_ALT_PORT"), &stack->imaps_alt_port_)) {
    stack->imaps_alt_port_ = 0;
  }
  stack->noplain_host_ = stack->value("NOPLAIN_HOST");
  if (!ParsePort(stack->value("NOPLAIN_IMAP_PORT"), &stack->noplain_imap_port_) ||
      !ParsePort(stack->value("NOPLAIN_POP3_PORT"), &stack->noplain_pop3_port_)) {
    stack->noplain_imap_port_ = stack->noplain_pop3_port_ = 0;
  }
  stack->run_dir_ = stack->value("MAILSTACK_DIR");
  stack->domain_ = stack->value("DOMAIN");
  if (stack->run_dir_.empty() || stack->domain_.empty() ||
      stack->value("MAIL_DIR").empty()) {
    return nullptr;
  }
  std::istringstream users(stack->value("USERS"));
  std::string user;
  while (users >> user) stack->users_.push_back(user);
  if (stack->users_.empty()) return nullptr;
  int uid = 0, gid = 0;
  if (!ParsePort(stack->value("MAIL_UID"), &uid) ||
      !ParsePort(stack->value("MAIL_GID"), &gid)) {
    // uid 0 or a non-number: keep the files owned by whoever writes them.
    uid = gid = 0;
  }
  stack->mail_uid_ = static_cast<unsigned>(uid);
  stack->mail_gid_ = static_cast<unsigned>(gid);
  return stack;
}

std::string MailStack::value(const std::string& key) const {
  auto it = values_.find(key);
  return it == values_.end() ? std::string() : it->second;
}

std::string MailStack::password(const std::string& user) const {
  return value("PASSWORD_" + user);
}

std::string MailStack::address(const std::string& user) const {
  return user + "@" + domain_;
}

std::string MailStack::maildir(const std::string& user) const {
  return value("MAIL_DIR") + "/" + user + "/Maildir";
}

Status MailStack::PutMessage(const std::string& user, const std::string& raw_text,
                             std::string* path) const {
  const std::string name = UniqueName();
  const std::string tmp = maildir(user) + "/tmp/" + name;
  const std::string dest = maildir(user) + "/new/" + name;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return Status::Error("open " + tmp + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < raw_text.size()) {
    ssize_t n = ::write(fd, raw_text.data() + done, raw_text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Status s = Status::Error("write " + tmp + ": " + std::strerror(errno));
      ::close(fd);
      ::unlink(tmp.c_str());
      return s;
    }
    done += static_cast<size_t>(n);
  }
  if (mail_uid_ != 0 && ::fchown(fd, mail_uid_, mail_gid_) != 0 && geteuid() == 0) {
    Status s = Status::Error("chown " + tmp + ": " + std::strerror(errno));
    ::close(fd);
    ::unlink(tmp.c_str());
    return s;
  }
  if (::close(fd) != 0) {
    ::unlink(tmp.c_str());
    return Status::Error("close " + tmp + ": " + std::strerror(errno));
  }
  if (::rename(tmp.c_str(), dest.c_str()) != 0) {
    Status s = Status::Error("rename into " + dest + ": " + std::strerror(errno));
    ::unlink(tmp.c_str());
    return s;
  }
  if (path != nullptr) *path = dest;
  return Status::Ok();
}

std::vector<std::string> MailStack::ListMessages(const std::string& user) const {
  std::vector<std::pair<std::string, std::string>> named;  // file name, path
  for (const char* sub : {"/new", "/cur"}) {
    std::error_code ec;
    for (fs::directory_iterator it(maildir(user) + sub, ec), end; !ec && it != end;
         it.increment(ec)) {
      if (it->is_regular_file(ec)) {
        named.emplace_back(it->path().filename().string(), it->path().string());
      }
    }
  }
  std::sort(named.begin(), named.end());
  std::vector<std::string> paths;
  paths.reserve(named.size());
  for (auto& [name, p] : named) paths.push_back(std::move(p));
  return paths;
}

std::vector<MaildirMessage> MailStack::ReadMessages(const std::string& user) const {
  std::vector<MaildirMessage> messages;
  for (const std::string& p : ListMessages(user)) {
    std::ifstream in(p, std::ios::binary);
    if (!in) continue;  // moved (new -> cur) or expunged meanwhile
    std::stringstream text;
    text << in.rdbuf();
    messages.push_back({p, text.str()});
  }
  return messages;
}

Status MailStack::ClearMailbox(const std::string& user) const {
  for (const char* sub : {"/new", "/cur", "/tmp"}) {
    std::error_code ec;
    for (fs::directory_iterator it(maildir(user) + sub, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::error_code rm;
      if (it->is_regular_file(rm)) fs::remove(it->path(), rm);
      if (rm) return Status::Error("remove " + it->path().string() + ": " + rm.message());
    }
    if (ec) return Status::Error("list " + maildir(user) + sub + ": " + ec.message());
  }
  return Status::Ok();
}

bool MailStack::WaitForMessages(const std::string& user, size_t count,
                                std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (ListMessages(user).size() >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace tessaly::testing
