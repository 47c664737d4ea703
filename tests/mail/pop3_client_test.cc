// The POP3 client against a tiny scripted server on loopback: exact
// commands, TOP refused -> RETR, no greeting, a dropped reply.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mail/pop3_client.h"

namespace tessaly {
namespace {

// Answers each received line with reply(line); "" closes; greeting first.
class ScriptServer {
 public:
  ScriptServer(std::string greeting, std::function<std::string(const std::string&)> reply) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, greeting, reply] {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      if (!greeting.empty()) ::send(c, greeting.data(), greeting.size(), MSG_NOSIGNAL);
      std::string buf;
      char tmp[4096];
      for (;;) {
        ssize_t n = ::recv(c, tmp, sizeof tmp, 0);
        if (n <= 0) break;
        buf.append(tmp, static_cast<size_t>(n));
        size_t eol;
        bool stop = false;
        while ((eol = buf.find("\r\n")) != std::string::npos) {
          std::string line = buf.substr(0, eol);
          buf.erase(0, eol + 2);
          received.push_back(line);
          std::string r = reply(line);
          if (r.empty()) {
            stop = true;
            break;
          }
          ::send(c, r.data(), r.size(), MSG_NOSIGNAL);
        }
        if (stop) break;
      }
      ::close(c);
    });
  }
  ~ScriptServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }
  std::vector<std::string> received;

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

std::string Caps(bool top, bool pipelining) {
  return std::string("+OK\r\n") + (top ? "TOP\r\n" : "") + (pipelining ? "PIPELINING\r\n" : "") +
         "USER\r\n.\r\n";
}

std::function<std::string(const std::string&)> Server(bool top, bool pipelining, bool top_err) {
  return [=](const std::string& l) -> std::string {
    if (l == "CAPA") return Caps(top, pipelining);
    if (l.rfind("TOP", 0) == 0) {
      if (top_err) return "-ERR no TOP here\r\n";
      return "+OK\r\nSubject: s" + l.substr(4, 1) + "\r\n\r\n.\r\n";
    }
    if (l.rfind("RETR", 0) == 0) {
      return "+OK\r\nSubject: s" + l.substr(5, 1) + "\r\n\r\nbody\r\n..dots\r\n.\r\n";
    }
    if (l == "STAT") return "+OK 3 300\r\n";
    return "+OK\r\n";
  };
}

TEST(Pop3Client, SendsExactCommands) {
  struct Case {
    const char* name;
    bool top, pipelining, top_err;
    std::vector<std::string> commands;
  } cases[] = {
      {"top pipelined", true, true, false,
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "TOP 2 0", "TOP 3 0", "DELE 2", "QUIT"}},
      {"top single", true, false, false,
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "TOP 2 0", "DELE 2", "TOP 3 0", "QUIT"}},
      {"no top", false, false, false,
       {"CAPA", "USER u", "PASS p", "RETR 1", "RETR 2", "DELE 2", "RETR 3", "QUIT"}},
      {"top refused", true, false, true,
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "RETR 1", "RETR 2", "DELE 2", "RETR 3", "QUIT"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> subjects;
    {
      ScriptServer server("+OK hi\r\n", Server(c.top, c.pipelining, c.top_err));
      struct Rec : ComponentEvents {
        std::vector<std::string>* s;
        void OnHeader(std::string_view, std::string_view v) override { s->emplace_back(v); }
      } rec;
      rec.s = &subjects;
      auto client = NewPop3Client();
      client->SetEvents(&rec);
      client->SetMailServer("127.0.0.1");
      client->SetMailPort(server.port());
      client->SetUser("u");
      client->SetPassword("p");
      ASSERT_TRUE(client->SetSslStartMode(3).ok()) << c.name;
      client->SetTimeout(2);
      ASSERT_TRUE(client->Connect().ok()) << c.name;
      Status s = client->RetrieveEach(3, [](std::int32_t n) { return n == 2; });
      ASSERT_TRUE(s.ok()) << c.name << ": " << s.message();
      ASSERT_TRUE(client->Disconnect().ok()) << c.name;
      // Let the server thread read the last line.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(server.received, c.commands) << c.name;
    }
    EXPECT_EQ(subjects, (std::vector<std::string>{"s1", "s2", "s3"})) << c.name;
  }
}

TEST(Pop3Client, FaultsEndWithinTheTimeout) {
  struct Case {
    const char* name;
    std::string greeting;
    std::function<std::string(const std::string&)> reply;
    const char* error;
  } cases[] = {
      {"no greeting", "", Server(true, true, false), "connection timed out after 1 s"},
      {"closed mid-login", "+OK\r\n",
       [](const std::string& l) { return l == "CAPA" ? Caps(true, true) : std::string(); },
       "connection closed by server"},
      {"refused login", "+OK\r\n",
       [](const std::string& l) {
         return l == "CAPA" ? Caps(true, true)
                            : l.rfind("PASS", 0) == 0 ? "-ERR [AUTH] bad\r\n" : "+OK\r\n";
       },
       "-ERR [AUTH] bad"},
      {"no stls", "+OK\r\n", Server(true, true, false), "server does not offer STLS; TLS is required"},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.greeting, c.reply);
    auto client = NewPop3Client();
    client->SetMailServer("127.0.0.1");
    client->SetMailPort(server.port());
    ASSERT_TRUE(client->SetSslStartMode(std::string(c.name) == "no stls" ? 0 : 3).ok());
    client->SetTimeout(1);
    auto start = std::chrono::steady_clock::now();
    Status s = client->Connect();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.message(), c.error) << c.name;
    EXPECT_LT(took, std::chrono::seconds(2)) << c.name;
    EXPECT_FALSE(client->Connected()) << c.name;
  }
}

TEST(Pop3Client, MalformedStatIsAnError) {
  for (const char* stat : {"+OK\r\n", "+OK x 1\r\n", "+OK 99999999999 1\r\n", "+OK -1 2\r\n"}) {
    ScriptServer server("+OK\r\n", [stat](const std::string& l) -> std::string {
      if (l == "CAPA") return Caps(true, true);
      return l == "STAT" ? stat : "+OK\r\n";
    });
    auto client = NewPop3Client();
    client->SetMailServer("127.0.0.1");
    client->SetMailPort(server.port());
    ASSERT_TRUE(client->SetSslStartMode(3).ok());
    client->SetTimeout(1);
    ASSERT_TRUE(client->Connect().ok()) << stat;
    std::int32_t count = 7;
    Status s = client->MessageCount(&count);
    EXPECT_FALSE(s.ok()) << stat;
    EXPECT_EQ(s.message().rfind("malformed STAT reply", 0), 0u) << stat << s.message();
  }
}

}  // namespace
}  // namespace tessaly
