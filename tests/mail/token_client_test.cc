#include "mail/token_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaly {
namespace {

TEST(TokenClientTest, RequestBodies) {
  TokenRequest cc;
  cc.client_id = "app 1";
  cc.client_secret = "s&c=r+t%";
  cc.scope = "https://outlook.office365.com/.default";
  EXPECT_EQ(TokenRequestBody(cc),
            "grant_type=client_credentials&client_id=app%201&client_secret=s%26c%3Dr%2Bt%25"
            "&scope=https%3A%2F%2Foutlook.office365.com%2F.default");
  TokenRequest refresh;
  refresh.client_id = "c";
  refresh.refresh_token = "1//0g-x_y~z";
  EXPECT_EQ(TokenRequestBody(refresh),
            "grant_type=refresh_token&refresh_token=1%2F%2F0g-x_y~z&client_id=c");
}

TEST(TokenClientTest, Replies) {
  struct Case {
    const char* name;
    long status;
    std::string body;
    bool ok;
    std::string expect;  // access token, or the error text
    std::int64_t expires_in;
    std::string refresh;
  };
  for (const Case& c : std::vector<Case>{
           {"numeric lifetime", 200, R"({"access_token":"A","expires_in":3599,"token_type":"Bearer"})",
            true, "A", 3599, ""},
           {"lifetime as text, rotated", 200,
            R"({"access_token":"A","expires_in":"60","refresh_token":"R2"})", true, "A", 60, "R2"},
           {"no lifetime", 200, R"({"access_token":"A"})", true, "A", -1, ""},
           {"endpoint error", 401,
            R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret."})",
            false, "invalid_client: AADSTS7000215: Invalid client secret. (HTTP 401)", 0, ""},
           {"error without description", 400, R"({"error":"invalid_grant"})", false,
            "invalid_grant (HTTP 400)", 0, ""},
           {"not JSON", 502, "<html>Bad gateway</html>", false,
            "the token endpoint answered HTTP 502 without a JSON object", 0, ""},
           {"no token", 200, R"({"token_type":"Bearer"})", false,
            "the token endpoint answered HTTP 200 without an access_token", 0, ""},
           {"error text on one line", 400, "{\"error\":\"x\",\"error_description\":\"a\\r\\nb\"}",
            false, "x: a  b (HTTP 400)", 0, ""}}) {
    TokenGrant grant;
    Status s = ParseTokenReply(c.status, c.body, &grant);
    ASSERT_EQ(s.ok(), c.ok) << c.name << ": " << s.message();
    if (c.ok) {
      EXPECT_EQ(grant.access_token, c.expect) << c.name;
      EXPECT_EQ(grant.expires_in, c.expires_in) << c.name;
      EXPECT_EQ(grant.refresh_token, c.refresh) << c.name;
    } else {
      EXPECT_EQ(s.message(), c.expect) << c.name;
    }
  }
}

// Answers every POST with one scripted reply and records what it was asked.
class FakePoster : public HttpsPoster {
 public:
  Status fail;
  long status = 200;
  std::string reply;
  std::vector<std::string> bodies;
  std::string ca_file;
  int timeout = 0;
  Status Post(const std::string&, const std::string& body, const std::string& ca, int seconds,
              long* http_status, std::string* response) override {
    bodies.push_back(body);
    ca_file = ca;
    timeout = seconds;
    if (!fail.ok()) return fail;
    *http_status = status;
    *response = reply;
    return Status::Ok();
  }
};

TEST(TokenClientTest, ClientChecksAndHidesSecrets) {
  TokenRequest request;
  request.url = "https://login.example/token";
  request.client_id = "app";
  request.client_secret = "sEcReT";
  request.refresh_token = "rEfReSh";
  request.ca_file = "/ca.pem";
  request.timeout_seconds = 0;
  struct Case {
    const char* name;
    std::string url;
    Status fail;
    std::string reply;
    std::string text;
  };
  for (const Case& c : std::vector<Case>{
           {"plain http refused", "http://login.example/token", Status(), "",
            "OAuth token request failed: the token endpoint URL must begin with https:// "
            "(got \"http://login.example/token\")"},
           {"no URL", "", Status(), "", "OAuth token request failed: no token endpoint URL"},
           {"echoed secrets hidden", request.url, Status(),
            R"({"error":"invalid_grant","error_description":"sEcReT or rEfReSh"})",
            "OAuth token request failed: invalid_grant: **** or **** (HTTP 200)"},
           {"transport", request.url, Status::Error("cannot reach the token endpoint: refused"),
            "", "OAuth token request failed: cannot reach the token endpoint: refused"}}) {
    auto poster = std::make_unique<FakePoster>();
    FakePoster* p = poster.get();
    p->fail = c.fail;
    p->reply = c.reply;
    auto client = NewTokenClient(std::move(poster));
    TokenRequest r = request;
    r.url = c.url;
    TokenGrant grant;
    Status s = client->Request(r, &grant);
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.message(), c.text) << c.name;
    if (c.url.rfind("https", 0) == 0) {
      EXPECT_EQ(p->ca_file, "/ca.pem") << c.name;
      EXPECT_EQ(p->timeout, 30) << c.name;
    } else {
      EXPECT_TRUE(p->bodies.empty()) << c.name << ": nothing may be sent";
    }
  }
}

}  // namespace
}  // namespace tessaly
