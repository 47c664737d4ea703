// The token request's HTTPS POST over WinHTTP, under wine, against the
// stack's token endpoint on the Linux side of loopback (HTTPS with a test
// CA that the system store does not know): the CA file is the only trust,
// the body with the secret leaves only after the certificate passed, and
// every failure ends within the time-out with a reason.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "mail/token_client.h"
#include "support/wine_stack_win.h"

namespace tessaly {
namespace {

using testing::ReadFileText;
using testing::WinePath;
using testing::WineStack;

std::string ByName(std::string url) {
  const std::string ip = "://127.0.0.1:";
  const std::size_t at = url.find(ip);
  if (at != std::string::npos) url.replace(at, ip.size(), "://localhost:");
  return url;
}

class HttpsPostWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!stack_.oauth_ok()) GTEST_SKIP() << "the mail stack's OAuth part is not running";
  }
  std::string CaFile() const { return WinePath(stack_.value("OAUTH_CA_FILE")); }
  // The endpoint by the DNS name its certificate also carries: wine's
  // certificate check matches DNS names only, not the IP address entry.
  std::string Url() const { return ByName(stack_.value("OAUTH_TOKEN_URL")); }
  std::string Form(const std::string& client) const {
    return "grant_type=client_credentials&client_id=" + client +
           "&client_secret=" + stack_.value("OAUTH_CLIENT_SECRET") + "&scope=mail";
  }
  // The endpoint's request log lines written since `from` lines.
  std::vector<std::string> LogSince(std::size_t from) const {
    std::istringstream in(ReadFileText(WinePath(stack_.value("OAUTH_TOKEN_LOG"))));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) lines.push_back(line);
    }
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())));
    return lines;
  }

  WineStack stack_;
};

TEST_F(HttpsPostWinTest, TokenFromTheEndpointTrustedThroughTheCaFile) {
  long status = 0;  // NOLINT(runtime/int)
  std::string body;
  Status s = NewHttpsPoster()->Post(Url(), Form("app-alice"), CaFile(),
                                    10, &status, &body);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(status, 200) << body;
  TokenGrant grant;
  s = ParseTokenReply(status, body, &grant);
  EXPECT_TRUE(s.ok()) << s.message();
  EXPECT_FALSE(grant.access_token.empty());
  EXPECT_EQ(grant.expires_in, 3600);

  // The endpoint's own errors arrive as an answer, not as a failure.
  s = NewHttpsPoster()->Post(Url(), Form("no-such-client"), CaFile(), 10,
                             &status, &body);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(status, 401);
  EXPECT_NE(body.find("invalid_client"), std::string::npos) << body;
}

TEST_F(HttpsPostWinTest, UntrustedEndpointNeverGetsTheBody) {
  struct Case {
    const char* name;
    std::string ca_file;  // "" is the system store
    std::string want;
  };
  const Case cases[] = {
      {"system store without the test CA", "", "cannot reach the token endpoint: "},
      // The mail servers' self-signed certificate: a CA file, but the wrong one.
      {"another CA", WinePath(stack_.value("CERT_FILE")),
       "cannot reach the token endpoint: the server's certificate is not issued by a CA of the CA "
       "file"},
  };
  for (const Case& c : cases) {
    const std::size_t before = LogSince(0).size();
    long status = 0;  // NOLINT(runtime/int)
    std::string body;
    const Status s = NewHttpsPoster()->Post(Url(), Form("app-alice"),
                                            c.ca_file, 10, &status, &body);
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.message().rfind(c.want, 0), 0u) << c.name << ": " << s.message();
    EXPECT_EQ(status, 0) << c.name;
    // The endpoint logs every request it read; the client id (sent beside
    // the secret) never reached it.
    for (const std::string& line : LogSince(before)) {
      EXPECT_EQ(line.find("app-alice"), std::string::npos) << c.name << ": " << line;
    }
  }
}

TEST_F(HttpsPostWinTest, FailuresBeforeAndWithoutAnAnswer) {
  struct Case {
    const char* name;
    std::string url;
    std::string ca_file;
    std::string want;  // start of the text
  };
  // A listener that accepts (in the kernel's backlog) and never answers.
  WSADATA wsa;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
  SOCKET silent = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(silent, 4), 0);
  int len = sizeof addr;
  getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string silent_url = "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/t";

  const std::string url = Url();
  const std::string not_pem = WinePath(stack_.value("MAILSTACK_DIR") + "/stack.env");
  const Case cases[] = {
      {"missing CA file", url, "Z:\\nonexistent\\ca.pem",
       "cannot read the CA file Z:\\nonexistent\\ca.pem"},
      {"CA file without a certificate", url, not_pem, "no certificate in the CA file "},
      {"closed port", "https://127.0.0.1:9/token", CaFile(), "cannot reach the token endpoint: "},
      {"silent server", silent_url, CaFile(),
       "cannot reach the token endpoint: no answer within 1 s"},
  };
  for (const Case& c : cases) {
    long status = 0;  // NOLINT(runtime/int)
    std::string body;
    const auto start = std::chrono::steady_clock::now();
    const Status s = NewHttpsPoster()->Post(c.url, Form("app-alice"), c.ca_file, 1, &status, &body);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.message().rfind(c.want, 0), 0u) << c.name << ": " << s.message();
    EXPECT_LT(took, std::chrono::seconds(4)) << c.name;
  }
  closesocket(silent);
  WSACleanup();
}

}  // namespace
}  // namespace tessaly
