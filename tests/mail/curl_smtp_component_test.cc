// The libcurl SMTP component against a small scripted SMTP server on
// loopback: what goes over the wire, faults a real server does not produce
// on demand, refusals that must happen before any traffic.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "env/settings_store.h"
#include "env/trace.h"
#include "mail/send_operation.h"
#include "mail/smtp_component.h"
#include "mail/tls_start.h"
#include "support/child_process.h"
#include "support/fake_env.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using Seconds = std::chrono::duration<double>;
using testing::ScriptServer;
using testing::ServerScript;
using std::chrono::milliseconds;

// Replies by command verb ("GREETING", "EHLO", "AUTH", "MAIL", "RCPT",
// "DATA", "END" for the end of the message text). A reply of "STALL" sends
// nothing; "DROP" sends half a reply line and closes.
struct Script {
  std::map<std::string, std::string> replies;
};
Script Say(const std::string& verb, const std::string& reply) { return {{{verb, reply}}}; }

class MiniSmtpServer {
 public:
  explicit MiniSmtpServer(Script script) : script_(std::move(script)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listen_fd_, 4);
    socklen_t len = sizeof addr;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~MiniSmtpServer() {
    done_ = true;
    thread_.join();
    close(listen_fd_);
  }
  int port() const { return port_; }
  int connections() const { return connections_; }
  std::string commands() {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
  }
  std::string data() {
    std::lock_guard<std::mutex> lock(mu_);
    return data_;
  }

 private:
  std::string Reply(const std::string& verb, const std::string& fallback) {
    auto it = script_.replies.find(verb);
    return it == script_.replies.end() ? fallback : it->second;
  }
  // Sends reply; false when the script ends the conversation here.
  bool Send(int fd, const std::string& reply) {
    if (reply == "STALL") {
      while (!done_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return false;
    }
    if (reply == "DROP") {
      send(fd, "250-half", 8, MSG_NOSIGNAL);
      return false;
    }
    std::string line = reply + "\r\n";
    send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    return reply.rfind("421", 0) != 0;  // 421 closes the connection
  }
  // One line (without CRLF) into *line; false on close or shutdown.
  bool ReadLine(int fd, std::string* line) {
    line->clear();
    while (!done_) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char c;
      if (recv(fd, &c, 1, 0) != 1) return false;
      if (c == '\n') {
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return true;
      }
      line->push_back(c);
    }
    return false;
  }
  void Serve(int fd) {
    if (!Send(fd, Reply("GREETING", "220 mini ESMTP"))) return;
    std::string line;
    while (ReadLine(fd, &line)) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        commands_ += line + "\n";
      }
      std::string verb = line.substr(0, line.find(' '));
      std::string reply;
      if (verb == "EHLO") {
        reply = Reply("EHLO", "250-mini\r\n250 AUTH PLAIN LOGIN");
      } else if (verb == "AUTH") {
        reply = Reply("AUTH", "235 ok");
      } else if (verb == "MAIL") {
        reply = Reply("MAIL", "250 ok");
      } else if (verb == "RCPT") {
        reply = Reply("RCPT", "250 ok");
      } else if (verb == "DATA") {
        if (!Send(fd, Reply("DATA", "354 go"))) return;
        std::string text;
        while (ReadLine(fd, &line) && line != ".") text += line + "\r\n";
        {
          std::lock_guard<std::mutex> lock(mu_);
          data_ = text;
        }
        reply = Reply("END", "250 queued");
      } else if (verb == "QUIT") {
        Send(fd, "221 bye");
        return;
      } else {
        reply = "502 unknown";
      }
      if (!Send(fd, reply)) return;
    }
  }
  void Run() {
    while (!done_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      ++connections_;
      Serve(fd);
      close(fd);
    }
  }

  Script script_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  std::mutex mu_;
  std::string commands_, data_;
};

std::unique_ptr<SmtpComponent> Configured(int port, int timeout) {
  auto c = NewCurlSmtpComponentFactory()->Create();
  EXPECT_TRUE(c->SetProperty("PrimaryHELO", "helo.example").ok());
  EXPECT_TRUE(c->SetProperty("PrimaryTimeout", std::to_string(timeout)).ok());
  EXPECT_TRUE(c->SetProperty("PrimaryMailserver", "127.0.0.1").ok());
  EXPECT_TRUE(c->SetProperty("PrimaryMailPort", std::to_string(port)).ok());
  EXPECT_TRUE(c->SetProperty("primarymailFrom", "check@example.org").ok());
  EXPECT_TRUE(c->SetProperty("primaryUsessl", "false").ok());
  EXPECT_TRUE(c->SetProperty("primaryXHeader", "X-Sender: TESSALYCom").ok());
  return c;
}

TEST(CurlSmtpComponentTest, WireTranscriptAndDotStuffing) {
  MiniSmtpServer server(Script{});
  auto c = Configured(server.port(), 5);
  Status s = c->AddMail("box@example.org", "TESSALY 1", ".first\n.\nlast", true);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(server.commands(),
            "EHLO helo.example\nMAIL FROM:<check@example.org>\n"
            "RCPT TO:<box@example.org>\nDATA\nQUIT\n");
  const std::string data = server.data();
  // Exactly one level of stuffing on the wire.
  const std::string tail = "\r\n\r\n..first\r\n..\r\nlast\r\n";
  ASSERT_GE(data.size(), tail.size());
  EXPECT_EQ(data.substr(data.size() - tail.size()), tail);
  EXPECT_NE(data.find("\r\nX-Sender: TESSALYCom\r\n"), std::string::npos);
  EXPECT_EQ(data.rfind("From: check@example.org\r\nTo: box@example.org\r\n"
                       "Subject: TESSALY 1\r\nDate: ", 0),
            0u);
}

TEST(CurlSmtpComponentTest, FaultsFailWithinTimeout) {
  struct Case {
    const char* name;
    Script script;
    std::string want_in_description;
  };
  const Case cases[] = {
      {"no greeting", {{{"GREETING", "STALL"}}}, ""},
      {"stall after DATA", {{{"DATA", "STALL"}}}, ""},
      {"stall after message text", {{{"END", "STALL"}}}, ""},
      {"drop mid-reply", {{{"MAIL", "DROP"}}}, ""},
      {"421 greeting", {{{"GREETING", "421 4.3.2 closing down"}}}, "421 4.3.2 closing down"},
      {"451 recipient", {{{"RCPT", "451 4.3.0 try again later"}}}, "451 4.3.0 try again later"},
      {"554 after text", {{{"END", "554 5.7.1 rejected as spam"}}}, "554 5.7.1 rejected as spam"},
      {"550 sender", {{{"MAIL", "550 5.7.1 sender refused"}}}, "550 5.7.1 sender refused"},
  };
  constexpr int kTimeout = 2;
  for (const Case& c : cases) {
    MiniSmtpServer server(c.script);
    auto comp = Configured(server.port(), kTimeout);
    auto start = std::chrono::steady_clock::now();
    Status s = comp->AddMail("box@example.org", "s", "b", true);
    Seconds took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_LE(took.count(), kTimeout + 1.0) << c.name << ": " << s.message();
    EXPECT_FALSE(s.message().empty()) << c.name;
    EXPECT_EQ(s.message().find_first_of("\r\n"), std::string::npos) << c.name;
    if (!c.want_in_description.empty()) {
      EXPECT_NE(s.message().find(c.want_in_description), std::string::npos)
          << c.name << ": " << s.message();
    }
  }
}

TEST(CurlSmtpComponentTest, ZeroTimeoutUsesDefaultBound) {
  MiniSmtpServer server(Say("GREETING", "STALL"));
  SmtpOptions options;
  options.default_timeout_seconds = 1;
  auto c = NewCurlSmtpComponentFactory(options)->Create();
  ASSERT_TRUE(c->SetProperty("PrimaryTimeout", "0").ok());
  ASSERT_TRUE(c->SetProperty("PrimaryMailserver", "127.0.0.1").ok());
  ASSERT_TRUE(c->SetProperty("PrimaryMailPort", std::to_string(server.port())).ok());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->AddMail("a@b.c", "s", "b", true).ok());
  Seconds took = std::chrono::steady_clock::now() - start;
  EXPECT_LE(took.count(), 2.0);
}

TEST(CurlSmtpComponentTest, StopSendingEndsTransferInProgress) {
  MiniSmtpServer server(Say("DATA", "STALL"));
  auto c = Configured(server.port(), 20);
  std::thread stopper([&c] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c->StopSending();
  });
  auto start = std::chrono::steady_clock::now();
  Status s = c->AddMail("box@example.org", "s", "b", true);
  Seconds took = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "sending stopped");
  EXPECT_LE(took.count(), 2.5);
  EXPECT_EQ(c->AddMail("box@example.org", "s", "b", true).message(), "sending stopped");
}

TEST(CurlSmtpComponentTest, PasswordNeverInDescription) {
  MiniSmtpServer server(Say("AUTH", "535 5.7.8 bad credentials s3cretPW"));
  auto c = Configured(server.port(), 5);
  ASSERT_TRUE(c->SetProperty("PrimaryUsername", "alice").ok());
  ASSERT_TRUE(c->SetProperty("PrimaryPassword", "s3cretPW").ok());
  ASSERT_TRUE(c->SetProperty("primaryauthentication", "T").ok());
  Status s = c->AddMail("box@example.org", "s", "b", true);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.message().find("s3cretPW"), std::string::npos) << s.message();
  EXPECT_NE(s.message().find("535 5.7.8 bad credentials ***"), std::string::npos)
      << s.message();
  EXPECT_NE(server.commands().find("AUTH "), std::string::npos);
}

TEST(CurlSmtpComponentTest, NoLoginWithoutAuthFlagOrCredentials) {
  struct Case {
    const char* name;
    const char* auth;
    const char* user;
    const char* password;
  };
  const Case cases[] = {{"flag empty", "", "alice", "pw"},
                        {"no password", "T", "alice", ""},
                        {"flag lower case", "t", "alice", "pw"}};
  for (const Case& k : cases) {
    MiniSmtpServer server(Script{});
    auto c = Configured(server.port(), 5);
    ASSERT_TRUE(c->SetProperty("primaryauthentication", k.auth).ok()) << k.name;
    ASSERT_TRUE(c->SetProperty("PrimaryUsername", k.user).ok()) << k.name;
    ASSERT_TRUE(c->SetProperty("PrimaryPassword", k.password).ok()) << k.name;
    EXPECT_TRUE(c->AddMail("box@example.org", "s", "b", true).ok()) << k.name;
    EXPECT_EQ(server.commands().find("AUTH"), std::string::npos) << k.name;
  }
}

TEST(CurlSmtpComponentTest, RefusedBeforeAnyTraffic) {
  struct Case {
    const char* name;
    const char* property;  // nullptr: the AddMail arguments carry the fault
    const char* value;
    const char* to;
    const char* subject;
  };
  const Case cases[] = {
      {"LF in recipient", nullptr, "", "box@example.org\nRCPT TO:<x@y.z>", "s"},
      {"CR in subject", nullptr, "", "box@example.org", "s\rBcc: x@y.z"},
      {"CRLF in sender", "primarymailFrom", "a@b.c\r\nRCPT TO:<x@y.z>", "box@example.org", "s"},
      {"LF in extra header", "primaryXHeader", "X-Sender: T\nBcc: x@y.z", "box@example.org",
       "s"},
      {"LF in greeting name", "PrimaryHELO", "h\nMAIL FROM:<x@y.z>", "box@example.org", "s"},
  };
  for (const Case& k : cases) {
    MiniSmtpServer server(Script{});
    auto c = Configured(server.port(), 5);
    Status s = k.property ? c->SetProperty(k.property, k.value) : Status::Ok();
    if (s.ok()) s = c->AddMail(k.to, k.subject, "b", true);
    EXPECT_FALSE(s.ok()) << k.name;
    EXPECT_NE(s.message().find("line break"), std::string::npos) << k.name;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.connections(), 0) << k.name;
  }
}

TEST(CurlSmtpComponentTest, PropertyNamesAndValues) {
  struct Case {
    const char* name;
    const char* value;
    bool ok;
  };
  const Case cases[] = {
      {"primaryhelo", "x", true},          {"PRIMARYTIMEOUT", "30", true},
      {"PrimaryTimeout", "-1", true},      {"PrimaryTimeout", "40000", false},
      {"PrimaryTimeout", "3s", false},     {"PrimaryMailPort", "587", true},
      {"PrimaryMailPort", "", false},      {"primaryUsessl", "true", true},
      {"primaryUsessl", "False", true},    {"primaryUsessl", "-1", true},
      {"primaryUsessl", "yes", false},     {"alternateauthentication", "", true},
      {"PrimaryCC", "x", false},           {"", "", false},
  };
  auto c = NewCurlSmtpComponentFactory()->Create();
  for (const Case& k : cases) {
    Status s = c->SetProperty(k.name, k.value);
    EXPECT_EQ(s.ok(), k.ok) << k.name << "=" << k.value;
    if (!k.ok) {
      EXPECT_FALSE(s.message().empty()) << k.name;
    }
  }
}

TEST(CurlSmtpComponentTest, InvalidServerOrPortRefused) {
  struct Case {
    const char* server;
    const char* port;
  };
  const Case cases[] = {{"", "25"},           {"mx.example/evil", "25"},
                        {"user@mx.example", "25"}, {"mx example", "25"},
                        {"127.0.0.1", "70000"},  {"127.0.0.1", "-5"}};
  for (const Case& k : cases) {
    auto c = NewCurlSmtpComponentFactory()->Create();
    ASSERT_TRUE(c->SetProperty("PrimaryMailserver", k.server).ok()) << k.server;
    ASSERT_TRUE(c->SetProperty("PrimaryMailPort", k.port).ok()) << k.port;
    Status s = c->AddMail("a@b.c", "s", "b", true);
    EXPECT_FALSE(s.ok()) << k.server << ":" << k.port;
    EXPECT_NE(s.message().find("invalid"), std::string::npos) << k.server << ":" << k.port;
  }
}

// ---- Scripted servers: TLS start, trickles, closes -------------------------

// The component configured for 127.0.0.1:port with SSL on. implicit_tls_port
// 465 stays the well-known port, so every loopback port is probed.
std::unique_ptr<SmtpComponent> ConfiguredSsl(int port, int timeout) {
  auto c = Configured(port, timeout);
  EXPECT_TRUE(c->SetProperty("primaryUsessl", "true").ok());
  return c;
}

// The greeting and the STARTTLS exchange, up to the handshake.
ServerScript& GreetAndStartTls(ServerScript& s) {
  return s.Send("220 mini ESMTP")
      .Expect("EHLO helo.example")
      .Send("250-mini")
      .Send("250 STARTTLS")
      .Expect("STARTTLS")
      .Send("220 go ahead")
      .StartTls();
}

// The server side of one whole SMTP dialogue after the greeting, up to the
// end of the message text and QUIT.
ServerScript& Dialogue(ServerScript& s) {
  return s.Expect("EHLO helo.example")
      .Send("250 mini")
      .Expect("MAIL FROM:<check@example.org>")
      .Send("250 ok")
      .Expect("RCPT TO:<box@example.org>")
      .Send("250 ok")
      .Expect("DATA")
      .Send("354 go")
      .ExpectUntil(".")
      .Send("250 queued")
      .Expect("QUIT")
      .Send("221 bye");
}

TEST(CurlSmtpComponentTlsStartTest, GreetingPicksStartTlsSilencePicksTlsAtOnce) {
  {
    SCOPED_TRACE("greeting: STARTTLS");
    ServerScript s;
    GreetAndStartTls(s);
    ScriptServer server(Dialogue(s));
    Status st = ConfiguredSsl(server.port(), 5)->AddMail("box@example.org", "s", "b", true);
    EXPECT_TRUE(st.ok()) << st.message();
    EXPECT_TRUE(server.WaitDone(std::chrono::seconds(5)));
    EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
    EXPECT_EQ(server.connections(), 1u);
  }
  {
    SCOPED_TRACE("silence: TLS from the first byte, on the same connection");
    ServerScript s;
    s.StartTls().Send("220 mini ESMTP");
    ScriptServer server(Dialogue(s));
    const auto start = std::chrono::steady_clock::now();
    Status st = ConfiguredSsl(server.port(), 5)->AddMail("box@example.org", "s", "b", true);
    const Seconds took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(st.ok()) << st.message();
    EXPECT_TRUE(server.WaitDone(std::chrono::seconds(5)));
    EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_GE(took.count(), GreetingWaitMs(5) / 1000.0 - 0.05);
  }
  {
    SCOPED_TRACE("SMTP or submission port: STARTTLS without a probe, a slow greeting too");
    ServerScript s;
    GreetAndStartTls(s.Stall(milliseconds(GreetingWaitMs(5) + 500)));
    ScriptServer server(Dialogue(s));
    SmtpOptions options;
    options.starttls_ports[1] = server.port();
    auto c = NewCurlSmtpComponentFactory(options)->Create();
    for (auto [name, value] : {std::pair<const char*, std::string>{"PrimaryHELO", "helo.example"},
                               {"PrimaryTimeout", "5"},
                               {"PrimaryMailserver", "127.0.0.1"},
                               {"PrimaryMailPort", std::to_string(server.port())},
                               {"primarymailFrom", "check@example.org"},
                               {"primaryUsessl", "true"}}) {
      ASSERT_TRUE(c->SetProperty(name, value).ok()) << name;
    }
    Status st = c->AddMail("box@example.org", "s", "b", true);
    EXPECT_TRUE(st.ok()) << st.message();
    EXPECT_TRUE(server.WaitDone(std::chrono::seconds(5)));
    EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
  }
}

// What a send reports for long output: the TLS protocol libcurl negotiated
// and the AUTH command's mechanism, never the credentials after it.
TEST(CurlSmtpComponentTest, ReportsTlsAndMechanism) {
  {
    SCOPED_TRACE("plain, AUTH PLAIN");
    ServerScript s;
    s.Send("220 mini ESMTP").Expect("EHLO helo.example").Send("250-mini").Send("250 AUTH PLAIN")
        .Expect("AUTH PLAIN").Send("334 ").Expect().Send("235 ok").Expect("MAIL").Send("250 ok")
        .Expect("RCPT").Send("250 ok").Expect("DATA").Send("354 go").ExpectUntil(".")
        .Send("250 queued").Expect("QUIT").Send("221 bye");
    ScriptServer server(s);
    auto c = Configured(server.port(), 5);
    ASSERT_TRUE(c->SetProperty("PrimaryUsername", "alice").ok());
    ASSERT_TRUE(c->SetProperty("PrimaryPassword", "s3cretPW").ok());
    ASSERT_TRUE(c->SetProperty("primaryauthentication", "T").ok());
    Status st = c->AddMail("box@example.org", "s", "b", true);
    ASSERT_TRUE(st.ok()) << st.message();
    EXPECT_EQ(c->LastMechanism(), "AUTH PLAIN");
    EXPECT_EQ(c->LastTls(), "");
  }
  {
    SCOPED_TRACE("STARTTLS, no login");
    ServerScript s;
    GreetAndStartTls(s);
    ScriptServer server(Dialogue(s));
    auto c = ConfiguredSsl(server.port(), 5);
    Status st = c->AddMail("box@example.org", "s", "b", true);
    ASSERT_TRUE(st.ok()) << st.message();
    EXPECT_EQ(c->LastTls().rfind("TLSv1.", 0), 0u) << c->LastTls();
    EXPECT_EQ(c->LastMechanism(), "");
  }
}

// A server that neither greets nor answers a ClientHello, and one that
// greets too late for the wait: the text names both attempts, and the
// whole send, the wait included, ends within the time-out.
TEST(CurlSmtpComponentTlsStartTest, NeitherGreetingNorTlsSaysBothWithinTimeout) {
  constexpr int kTimeout = 2;
  const std::string both = "no greeting within " + std::to_string(GreetingWaitMs(kTimeout)) +
                           " ms and no TLS from the first byte either: ";
  struct Case {
    const char* name;
    ServerScript script;
    std::string want;  // the exact text, or a prefix when it ends in ": "
  };
  const Case cases[] = {
      {"silent", ServerScript().RecordUntilClose(),
       both + "connection timed out after 2 s"},
      {"late greeting", ServerScript().Stall(milliseconds(GreetingWaitMs(kTimeout) + 300))
                            .Send("220 late").RecordUntilClose(),
       both},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script);
    auto comp = ConfiguredSsl(server.port(), kTimeout);
    const auto start = std::chrono::steady_clock::now();
    Status s = comp->AddMail("box@example.org", "s", "b", true);
    const Seconds took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(s.ok()) << c.name;
    if (c.want.back() == ' ') {
      EXPECT_EQ(s.message().rfind(c.want, 0), 0u) << c.name << ": " << s.message();
      EXPECT_GT(s.message().size(), c.want.size()) << c.name;
    } else {
      EXPECT_EQ(s.message(), c.want) << c.name;
    }
    EXPECT_LE(took.count(), kTimeout + 0.5) << c.name;
  }
}

// One byte every 300 ms at the given step of an otherwise good dialogue:
// the server is never silent long enough for a stall time-out, yet the
// send ends at its own time-out with the time-out text.
TEST(CurlSmtpComponentTest, TrickleEndsAtTimeout) {
  auto trickle = [](ServerScript& s, const std::string& line) -> ServerScript& {
    for (char c : line + "\r\n") s.SendRaw(std::string(1, c)).Stall(milliseconds(300));
    return s;
  };
  struct Case {
    const char* name;
    bool ssl;
    ServerScript script;
  };
  std::vector<Case> cases;
  {
    ServerScript s;
    cases.push_back({"greeting", false, trickle(s, "220 a slow greeting from far away")});
  }
  {
    ServerScript s;
    cases.push_back({"greeting, probed", true, trickle(s, "220 a slow greeting from far away")});
  }
  {
    ServerScript s;
    s.Send("220 mini").Expect("EHLO");
    cases.push_back({"EHLO reply", false, trickle(s, "250 mini says hello slowly")});
  }
  {
    ServerScript s;
    s.Send("220 mini").Expect("EHLO").Send("250 mini").Expect("MAIL").Send("250 ok")
        .Expect("RCPT").Send("250 ok").Expect("DATA");
    cases.push_back({"DATA reply", false, trickle(s, "354 go ahead, slowly now")});
  }
  constexpr int kTimeout = 2;
  for (Case& c : cases) {
    ScriptServer server(c.script);
    auto comp = c.ssl ? ConfiguredSsl(server.port(), kTimeout) : Configured(server.port(), kTimeout);
    const auto start = std::chrono::steady_clock::now();
    Status s = comp->AddMail("box@example.org", "s", "b", true);
    const Seconds took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(s.message(), "connection timed out after 2 s") << c.name;
    EXPECT_LE(took.count(), kTimeout + 0.5) << c.name;
  }
}

// The child side of SendInChild: when the process was started with
// kChildEnv = "PORT SSL", it sends one large message with SIGPIPE at its
// default disposition and prints the result.
constexpr const char* kChildEnv = "TESSALY_SMTP_SIGPIPE_CHILD";

[[maybe_unused]] const int kSigpipeChild =
    testing::RunAsChildIf(kChildEnv, [](const std::string& spec) -> std::string {
      int port = 0, ssl = 0;
      if (std::sscanf(spec.c_str(), "%d %d", &port, &ssl) != 2) return "bad child argument";
      // A body far larger than the socket buffers, so writes go on after the
      // peer is gone.
      auto c = ssl != 0 ? ConfiguredSsl(port, 3) : Configured(port, 3);
      Status s = c->AddMail("box@example.org", "s", testing::LongLine(8 << 20), true);
      return s.ok() ? "sent" : s.message();
    });

// Runs one send in a fresh process. Returns what the send gave, or nullopt
// when the process died of a signal.
std::optional<std::string> SendInChild(int port, bool ssl) {
  return testing::RunChild(kChildEnv, std::to_string(port) + " " + (ssl ? "1" : "0"));
}

TEST(CurlSmtpComponentTest, PeerClosingAtEachStepIsAnErrorNotSigpipe) {
  // The scripted server's own TLS writes to the vanished client must not
  // end this process; the sending process keeps the default disposition.
  struct sigaction ignore{}, before{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &before);
  auto starttls = [] {
    return ServerScript().Send("220 mini").Expect("EHLO").Send("250-mini").Send("250 STARTTLS")
        .Expect("STARTTLS").Send("220 go ahead");
  };
  auto to_data = [](ServerScript s) {
    return s.Expect("EHLO").Send("250 mini").Expect("MAIL").Send("250 ok").Expect("RCPT")
        .Send("250 ok").Expect("DATA").Send("354 go").Expect();
  };
  struct Case {
    const char* name;
    bool ssl;
    ServerScript script;
  };
  const Case cases[] = {
      {"garbage after STARTTLS reply", true,
       starttls().SendRaw(testing::LongLine(100, '\x17')).Close()},
      {"close after STARTTLS reply", true, starttls().Drop()},
      {"drop mid-DATA, plain", false, to_data(ServerScript().Send("220 mini")).Drop()},
      {"drop mid-DATA, after STARTTLS", true, to_data(starttls().StartTls().Send("220 mini")).Drop()},
      {"drop mid-DATA, TLS from the first byte", true,
       to_data(ServerScript().StartTls().Send("220 mini")).Drop()},
      {"drop during TLS from the first byte", true, ServerScript().Stall(milliseconds(900)).Drop()},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script, "127.0.0.1", 4096);
    const std::optional<std::string> text = SendInChild(server.port(), c.ssl);
    EXPECT_TRUE(text.has_value()) << c.name << ": the sending process died of a signal";
    if (!text.has_value()) continue;
    EXPECT_NE(*text, "sent") << c.name;
    EXPECT_FALSE(text->empty()) << c.name;
  }
  ::sigaction(SIGPIPE, &before, nullptr);
}

// A libcurl option that does not take its value fails the send before any
// traffic, with the option named; unchecked, a password too long for
// libcurl was dropped and the dialogue went on without it.
TEST(CurlSmtpComponentTest, RefusedLibcurlOptionFailsTheSend) {
  MiniSmtpServer server(Script{});
  auto c = Configured(server.port(), 5);
  ASSERT_TRUE(c->SetProperty("PrimaryUsername", "alice").ok());
  ASSERT_TRUE(c->SetProperty("PrimaryPassword", testing::LongLine(9'000'000)).ok());
  ASSERT_TRUE(c->SetProperty("primaryauthentication", "T").ok());
  Status s = c->AddMail("box@example.org", "s", "b", true);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.message(),
            "libcurl refused option PASSWORD: A libcurl function was given a bad argument");
  EXPECT_EQ(server.connections(), 0);
}

TEST(CurlSmtpComponentTest, AddressesCheckedBeforeAnyTraffic) {
  struct Case {
    const char* name;
    std::string from;
    std::string to;
    std::string want;  // "" when the send goes through
  };
  const std::string local_254 = testing::LongLine(254 - 12) + "@example.org";
  const Case cases[] = {
      {"ESMTP parameters in recipient", "check@example.org", "a@b> NOTIFY=NEVER <x",
       "recipient address refused: contains an angle bracket"},
      {"recipient in brackets", "check@example.org", "<box@example.org>",
       "recipient address refused: contains an angle bracket"},
      {"tab in sender", "a\t@b.c", "box@example.org", "sender address refused: contains a blank"},
      {"sender with parameters", "a@b.c SIZE=1", "box@example.org",
       "sender address refused: contains a blank"},
      {"NUL in sender", std::string("a@b.c\0x", 7), "box@example.org",
       "sender address refused: contains a control character"},
      {"10 MB sender", testing::LongLine(10 << 20), "box@example.org",
       "sender address refused: longer than 254 octets"},
      {"255-octet recipient", "check@example.org", "x" + local_254,
       "recipient address refused: longer than 254 octets"},
      {"empty recipient", "check@example.org", "", "recipient address refused: empty"},
      {"254-octet recipient", "check@example.org", local_254, ""},
      {"null reverse-path", "", "box@example.org", ""},
  };
  for (const Case& k : cases) {
    MiniSmtpServer server(Script{});
    auto c = Configured(server.port(), 5);
    Status s = c->SetProperty("primarymailFrom", k.from);
    if (s.ok()) s = c->AddMail(k.to, "s", "b", true);
    if (k.want.empty()) {
      EXPECT_TRUE(s.ok()) << k.name << ": " << s.message();
      EXPECT_NE(server.commands().find("MAIL FROM:<" + k.from + ">\nRCPT TO:<" + k.to + ">\n"),
                std::string::npos)
          << k.name;
    } else {
      EXPECT_EQ(s.message(), k.want) << k.name;
      EXPECT_EQ(server.connections(), 0) << k.name;
    }
  }
}

// ---- Result texts of the send phase with the real component -----------------

class NoSettings : public SettingsStore {
 public:
  std::optional<RegistryValue> ReadMachineValue(std::string_view, std::string_view) override {
    return std::nullopt;
  }
};

TEST(CurlSmtpSendTextTest, RefusalsBeforeAnyTrafficGiveExactTexts) {
  struct Case {
    const char* name;
    SendArgs args;
    std::string want;
  };
  auto args = [](int port) {
    SendArgs a;
    a.host = "127.0.0.1";
    a.port = port;
    a.from = "check@example.org";
    a.to = "box@example.org";
    a.timeout = 5;
    a.mode = "TESSALY";
    return a;
  };
  MiniSmtpServer server(Script{});
  std::vector<Case> cases;
  cases.push_back({"port 0", args(0), "ERR SMTP: invalid port 0 (10)"});
  cases.push_back({"port above 65535", args(65536), "ERR SMTP: invalid port 65536 (10)"});
  cases.push_back({"LF in user name", args(server.port()),
                   "ERR SMTP: user name cannot be sent (5)"});
  cases.back().args.user = "u\r\nMAIL FROM:<x@y.z>";
  cases.back().args.password = "pw";
  cases.push_back({"NUL in password", args(server.port()),
                   "ERR SMTP: password cannot be sent (5)"});
  cases.back().args.user = "alice";
  cases.back().args.password = std::string("pw\0admin", 8);
  cases.push_back({"blank in sender", args(server.port()),
                   "ERR SMTP: sender address refused: contains a blank (7)"});
  cases.back().args.from = "a@b.c NOTIFY=NEVER";
  cases.push_back({"ESMTP parameters in recipient", args(server.port()),
                   "ERR SMTP: recipient address refused: contains an angle bracket (10)"});
  cases.back().args.to = "a@b> NOTIFY=NEVER <x";
  for (const Case& c : cases) {
    auto factory = NewCurlSmtpComponentFactory();
    NoSettings store;
    testing::FakeOsFacts os;
    testing::FakeClock clock;
    CaptureTraceSink trace;
    SendOperation op(*factory, store, os, clock, trace);
    std::string subject;
    EXPECT_EQ(op.SendMessageV2(c.args, &subject), c.want) << c.name;
    EXPECT_EQ(subject, "") << c.name;
  }
  EXPECT_EQ(server.connections(), 0);
}

}  // namespace
}  // namespace tessaly
