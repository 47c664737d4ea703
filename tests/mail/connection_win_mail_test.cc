// The Winsock and SChannel connection against Dovecot on the Linux side of
// loopback, and its time-outs against a listener that never answers.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "mail/connection.h"
#include "mail/tls_connect.h"
#include "mail/tls_start.h"
#include "support/wine_stack_win.h"

namespace tessaly {
namespace {

using testing::WineStack;

class Recorder : public ComponentEvents {
 public:
  explicit Recorder(bool accept) : accept_(accept) {}
  void OnCertificate(std::string_view pem, bool* accept) override {
    pem_ = std::string(pem);
    *accept = accept_;
  }
  void OnSslStatus(std::string_view text) override { status_ = std::string(text); }
  std::string pem_, status_;

 private:
  bool accept_;
};

TEST(WinConnectionTest, ImplicitTlsShowsTheCertificateAndReadsTheGreeting) {
  WineStack stack;
  ASSERT_TRUE(stack.ok());
  Recorder events(true);
  Connection c;
  c.SetEvents(&events);
  c.SetTimeout(10);
  ASSERT_TRUE(c.Open("127.0.0.1", stack.port("IMAPS_PORT"), false).ok());
  const Status tls = c.StartTls("localhost");
  ASSERT_TRUE(tls.ok()) << tls.message();
  EXPECT_TRUE(c.IsTls());
  EXPECT_EQ(events.pem_.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u) << events.pem_;
  EXPECT_EQ(events.status_.rfind("TLSv1.2, cipher ", 0), 0u) << events.status_;
  std::string line;
  ASSERT_TRUE(c.ReadLine(&line).ok());
  EXPECT_EQ(line.rfind("* OK", 0), 0u) << line;
  // A command and its reply through the TLS records.
  ASSERT_TRUE(c.Write("a1 LOGOUT\r\n").ok());
  ASSERT_TRUE(c.ReadLine(&line).ok());
  EXPECT_EQ(line.rfind("* BYE", 0), 0u) << line;
}

TEST(WinConnectionTest, StarttlsUpgradeOnTheSameSocket) {
  WineStack stack;
  ASSERT_TRUE(stack.ok());
  Recorder events(true);
  Connection c;
  c.SetEvents(&events);
  c.SetTimeout(10);
  ASSERT_TRUE(c.Open("::1", stack.port("POP3_PORT"), true).ok());  // over IPv6
  std::string line;
  ASSERT_TRUE(c.ReadLine(&line).ok());
  ASSERT_EQ(line.rfind("+OK", 0), 0u) << line;
  ASSERT_TRUE(c.Write("STLS\r\n").ok());
  ASSERT_TRUE(c.ReadLine(&line).ok());
  ASSERT_EQ(line.rfind("+OK", 0), 0u) << line;
  ASSERT_TRUE(c.StartTls("127.0.0.1").ok());
  ASSERT_TRUE(c.Write("CAPA\r\n").ok());
  ASSERT_TRUE(c.ReadLine(&line).ok());
  EXPECT_EQ(line.rfind("+OK", 0), 0u) << line;
}

TEST(WinConnectionTest, RefusedCertificateEndsTheConnection) {
  WineStack stack;
  ASSERT_TRUE(stack.ok());
  Recorder events(false);
  Connection c;
  c.SetEvents(&events);
  ASSERT_TRUE(c.Open("127.0.0.1", stack.port("IMAPS_PORT"), false).ok());
  const Status s = c.StartTls("127.0.0.1");
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "server certificate not accepted");
  EXPECT_FALSE(c.IsOpen());
}

// A listening socket that never accepts: connect succeeds through the
// backlog, and nothing is ever sent.
class SilentListener {
 public:
  SilentListener() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(socket_, 4);
    int len = sizeof a;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() { closesocket(socket_); }
  int port() const { return port_; }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  int port_ = 0;
};

TEST(WinConnectionTest, EveryStepIsBoundedByTheTimeout) {
  SilentListener silent;
  struct Case {
    const char* name;
    bool tls;
  };
  for (const Case& k : {Case{"ReadLine", false}, Case{"Handshake", true}}) {
    Recorder events(true);
    Connection c;
    c.SetEvents(&events);
    c.SetTimeout(1);
    ASSERT_TRUE(c.Open("127.0.0.1", silent.port(), false).ok()) << k.name;
    const auto start = std::chrono::steady_clock::now();
    std::string line;
    const Status s = k.tls ? c.StartTls("localhost") : c.ReadLine(&line);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(s.message(), "connection timed out after 1 s") << k.name;
    EXPECT_GE(took, std::chrono::milliseconds(900)) << k.name;
    EXPECT_LT(took, std::chrono::seconds(5)) << k.name;
  }
}

// Automatic TLS on a port that is not the well-known one: Dovecot's IMAP4
// with TLS from the first byte sends nothing in clear, so the handshake
// starts after the greeting wait; a silent listener fails both ways.
TEST(WinConnectionTest, NoGreetingStartsTlsOnTheSameConnection) {
  WineStack stack;
  ASSERT_TRUE(stack.ok());
  if (stack.port("IMAPS_ALT_PORT") == 0) GTEST_SKIP() << "stack.env names no IMAPS_ALT_PORT";
  const TlsPorts ports{993, 143};
  {
    Recorder events(true);
    Connection c;
    c.SetEvents(&events);
    c.SetTimeout(5);
    TlsStart start = TlsStart::kNone;
    const Status s = OpenMailConnection(&c, "127.0.0.1", stack.port("IMAPS_ALT_PORT"), false,
                                        true, ports, &start);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(start, TlsStart::kFirstByte);
    std::string line;
    ASSERT_TRUE(c.ReadLine(&line).ok());
    EXPECT_EQ(line.rfind("* OK", 0), 0u) << line;
  }
  SilentListener silent;
  Recorder events(true);
  Connection c;
  c.SetEvents(&events);
  c.SetTimeout(1);
  TlsStart start = TlsStart::kNone;
  const auto begin = std::chrono::steady_clock::now();
  const Status s = OpenMailConnection(&c, "127.0.0.1", silent.port(), false, true, ports, &start);
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(s.message(), NoGreetingNoTlsText(GreetingWaitMs(1)) +
                             "connection timed out after 1 s");
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST(WinConnectionTest, ClosedPortAndUnknownHostFailWithTheSystemsReason) {
  Connection c;
  c.SetTimeout(5);
  Status s = c.Open("127.0.0.1", 1, false);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("(10061)"), std::string::npos) << s.message();
  s = c.Open("no-such-host.invalid", 25, false);
  EXPECT_EQ(s.message().rfind("cannot resolve no-such-host.invalid for IPv4: ", 0), 0u)
      << s.message();
  s = c.Open("127.0.0.1", 70000, false);
  EXPECT_EQ(s.message(), "invalid port 70000");
}

}  // namespace
}  // namespace tessaly
