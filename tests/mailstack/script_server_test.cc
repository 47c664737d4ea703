// The scripted fault server: replies, recorded client lines, expectation
// mismatches, stalls that end when the server goes, drops, several
// connections in sequence, TLS (implicit and after STARTTLS), long lines
// and 8-bit bytes.
#include "support/script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace tessaly::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A blocking test client with a 5 s bound on every read.
class Client {
 public:
  Client(const std::string& host, int port) {
    bool v6 = host.find(':') != std::string::npos;
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage addr{};
    socklen_t len;
    if (v6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(static_cast<uint16_t>(port));
      ::inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      a->sin_family = AF_INET;
      a->sin_port = htons(static_cast<uint16_t>(port));
      ::inet_pton(AF_INET, host.c_str(), &a->sin_addr);
      len = sizeof *a;
    }
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  }
  ~Client() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    ::close(fd_);
  }
  bool connected() const { return connected_; }

  bool StartTls() {
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    return SSL_connect(ssl_) == 1;
  }
  void Send(const std::string& bytes) {
    if (ssl_ != nullptr) {
      size_t w = 0;
      SSL_write_ex(ssl_, bytes.data(), bytes.size(), &w);
    } else {
      ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
  }
  // One line without CRLF; "<eof>" on close or reset, "<timeout>" after 5 s.
  std::string ReadLine() {
    for (;;) {
      size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) == 0) return "<timeout>";
      }
      char chunk[65536];
      ssize_t n;
      if (ssl_ != nullptr) {
        size_t got = 0;
        n = SSL_read_ex(ssl_, chunk, sizeof chunk, &got) == 1 ? static_cast<ssize_t>(got) : 0;
      } else {
        n = ::recv(fd_, chunk, sizeof chunk, 0);
      }
      if (n <= 0) {
        if (buffer_.empty()) return "<eof>";
        std::string rest = buffer_;
        buffer_.clear();
        return rest;
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string buffer_;
};

TEST(ScriptServerTest, GreetsRepliesAndRecordsOnBothAddresses) {
  for (const char* host : {"127.0.0.1", "::1"}) {
    ScriptServer server(ServerScript()
                            .Send("220 hello")
                            .Expect("EHLO")
                            .Send("250 ok")
                            .Expect("QUIT")
                            .Send("221 bye"),
                        host);
    ASSERT_NE(server.port(), 0) << host;
    Client c(host, server.port());
    ASSERT_TRUE(c.connected()) << host;
    EXPECT_EQ(c.ReadLine(), "220 hello") << host;
    c.Send("ehlo client\r\n");
    EXPECT_EQ(c.ReadLine(), "250 ok") << host;
    c.Send("QUIT\n");  // a bare LF ends a line too
    EXPECT_EQ(c.ReadLine(), "221 bye") << host;
    EXPECT_EQ(c.ReadLine(), "<eof>") << host;  // script done: closed in order
    ASSERT_TRUE(server.WaitDone(milliseconds(2000))) << host;
    EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"ehlo client", "QUIT"})) << host;
    EXPECT_TRUE(server.Errors().empty()) << host;
  }
}

TEST(ScriptServerTest, RecordsMismatchAndEarlyClose) {
  ScriptServer server(ServerScript().Expect("MAIL FROM").Expect("RCPT TO").Expect("DATA"));
  {
    Client c("127.0.0.1", server.port());
    c.Send("RCPT TO:<x>\r\nRCPT TO:<y>\r\n");
  }
  ASSERT_TRUE(server.WaitDone(milliseconds(2000)));
  EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"RCPT TO:<x>", "RCPT TO:<y>"}));
  auto errors = server.Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "connection 0, step 0: expected \"MAIL FROM\", got \"RCPT TO:<x>\"");
  EXPECT_EQ(errors[1], "connection 0, step 2: client closed the connection");
}

TEST(ScriptServerTest, DestroyingEndsEveryWaitQuickly) {
  struct Case {
    const char* name;
    ServerScript script;
    bool connect;
  };
  const Case cases[] = {
      {"no client yet", ServerScript().Send("220 x"), false},
      {"greeting never comes", ServerScript().StallForever().Send("220 late"), true},
      {"long stall", ServerScript().Send("220 x").Stall(milliseconds(60000)), true},
      {"waiting for a command", ServerScript().Send("220 x").Expect("EHLO"), true},
      {"client does not read a 4 MB reply", ServerScript().Send(LongLine(4 << 20)), true},
  };
  for (const Case& c : cases) {
    auto server = std::make_unique<ScriptServer>(c.script);
    std::unique_ptr<Client> client;
    if (c.connect) client = std::make_unique<Client>("127.0.0.1", server->port());
    while (c.connect && server->connections() == 0) std::this_thread::sleep_for(milliseconds(5));
    std::this_thread::sleep_for(milliseconds(50));
    auto t0 = steady_clock::now();
    server.reset();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(500)) << c.name;
  }
}

TEST(ScriptServerTest, StallsDropsAndClosesAfterReply) {
  struct Case {
    const char* name;
    ServerScript script;
    std::vector<std::string> lines;  // what the client reads, up to the end
  };
  const Case cases[] = {
      {"close after reply", ServerScript().Send("554 go away").Close(), {"554 go away", "<eof>"}},
      {"drop mid-reply", ServerScript().Send("250-first").SendRaw("250-par").Drop(),
       {"250-first", "250-par", "<eof>"}},
      {"stall then reply", ServerScript().Stall(milliseconds(200)).Send("220 late"),
       {"220 late", "<eof>"}},
      {"malformed reply", ServerScript().SendRaw("2x0 what\r\n\r\n").Close(), {"2x0 what", "", "<eof>"}},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script);
    Client client("127.0.0.1", server.port());
    auto t0 = steady_clock::now();
    for (const std::string& want : c.lines) EXPECT_EQ(client.ReadLine(), want) << c.name;
    if (std::string(c.name) == "stall then reply") {
      EXPECT_GE(steady_clock::now() - t0, milliseconds(190)) << c.name;
    }
    EXPECT_TRUE(server.WaitDone(milliseconds(2000))) << c.name;
    EXPECT_TRUE(server.Errors().empty()) << c.name;
  }
}

TEST(ScriptServerTest, ServesConnectionsInSequence) {
  ScriptServer server({ServerScript().Send("421 busy"), ServerScript().Send("220 ok").Expect("QUIT")});
  {
    Client first("127.0.0.1", server.port());
    EXPECT_EQ(first.ReadLine(), "421 busy");
  }
  {
    Client second("127.0.0.1", server.port());
    EXPECT_EQ(second.ReadLine(), "220 ok");
    second.Send("QUIT\r\n");
    EXPECT_EQ(second.ReadLine(), "<eof>");
  }
  ASSERT_TRUE(server.WaitDone(milliseconds(2000)));
  Client extra("127.0.0.1", server.port());
  EXPECT_EQ(extra.ReadLine(), "<eof>");  // no script left: closed at once
  EXPECT_EQ(server.Transcript(1), (std::vector<std::string>{"QUIT"}));
  EXPECT_TRUE(server.Transcript(0).empty());
}

TEST(ScriptServerTest, TlsImplicitAndAfterStartTls) {
  struct Case {
    const char* name;
    ServerScript script;
    bool starttls;
  };
  const Case cases[] = {
      {"implicit", ServerScript().StartTls().Send("+OK secure").Expect("USER").Send("+OK"), false},
      {"STARTTLS", ServerScript().Send("220 hi").Expect("STARTTLS").Send("220 go").StartTls()
                       .Send("+OK secure").Expect("USER").Send("+OK"), true},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script);
    Client client("127.0.0.1", server.port());
    if (c.starttls) {
      EXPECT_EQ(client.ReadLine(), "220 hi") << c.name;
      client.Send("STARTTLS\r\n");
      EXPECT_EQ(client.ReadLine(), "220 go") << c.name;
    }
    ASSERT_TRUE(client.StartTls()) << c.name;
    EXPECT_EQ(client.ReadLine(), "+OK secure") << c.name;
    client.Send("USER alice\r\n");
    EXPECT_EQ(client.ReadLine(), "+OK") << c.name;
    ASSERT_TRUE(server.WaitDone(milliseconds(2000))) << c.name;
    EXPECT_EQ(server.Transcript().back(), "USER alice") << c.name;
    EXPECT_TRUE(server.Errors().empty()) << c.name;
  }
}

TEST(ScriptServerTest, LongLinesAndEightBitBytesPassUnchanged) {
  const std::string big = LongLine(1 << 20);
  const std::string eight = EightBitBytes();
  ASSERT_EQ(eight.size(), 128u);
  EXPECT_EQ(static_cast<unsigned char>(eight.front()), 0x80);
  EXPECT_EQ(static_cast<unsigned char>(eight.back()), 0xFF);
  ScriptServer server(ServerScript().Send(big).Send(eight).ExpectUntil(".").RecordUntilClose());
  {
    Client c("127.0.0.1", server.port());
    EXPECT_EQ(c.ReadLine(), big);
    EXPECT_EQ(c.ReadLine(), eight);
    c.Send(big + "\r\n" + eight + "\r\n.\r\nQUIT\r\n");
  }  // the client's close ends RecordUntilClose
  ASSERT_TRUE(server.WaitDone(milliseconds(5000)));
  EXPECT_TRUE(server.Errors().empty());
  EXPECT_EQ(server.Transcript(), (std::vector<std::string>{big, eight, ".", "QUIT"}));
}

}  // namespace
}  // namespace tessaly::testing
