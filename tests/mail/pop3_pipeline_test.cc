// The pipelined fetch against a server that answers everything once it has
// read the first command and reads no more until it is done: the client's
// socket fills, so the client has to
// read replies while most of its commands still wait to be written, and the
// queue of owed replies passes its window and is refilled.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mail/pop3_client.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using testing::ScriptServer;
using testing::ServerScript;

struct Counter : ComponentEvents {
  void OnHeader(std::string_view, std::string_view value) override {
    if (value != "s" + std::to_string(headers + 1)) ++out_of_order;
    ++headers;
  }
  int headers = 0;
  int out_of_order = 0;
};

TEST(Pop3Pipeline, ReadsWhileTheSocketIsFullAndKeepsOrder) {
  constexpr int kMessages = 40000;
  std::string replies;
  for (int i = 1; i <= kMessages; ++i) {
    replies += "+OK\r\nSubject: s" + std::to_string(i) + "\r\n\r\n.\r\n";
  }
  ServerScript script;
  script.Send("+OK ready")
      .Expect("CAPA")
      .Send("+OK")
      .Send("TOP")
      .Send("PIPELINING")
      .Send(".")
      .Expect("USER")
      .Send("+OK")
      .Expect("PASS")
      .Send("+OK")
      .Expect("TOP 1 0")
      .SendRaw(replies)
      .ExpectUntil("QUIT")
      .Send("+OK bye");
  ScriptServer server(script, "127.0.0.1", 4096);
  ASSERT_NE(server.port(), 0);

  Counter events;
  Pop3ClientOptions options;
  options.send_buffer = 4096;
  auto client = NewPop3Client(options);
  client->SetEvents(&events);
  client->SetMailServer("127.0.0.1");
  client->SetMailPort(server.port());
  client->SetUser("u");
  client->SetPassword("p");
  ASSERT_TRUE(client->SetSslStartMode(3).ok());
  client->SetTimeout(5);
  ASSERT_TRUE(client->Connect().ok());
  Status s = client->RetrieveEach(kMessages, [](std::int32_t) { return false; });
  ASSERT_TRUE(s.ok()) << s.message();
  ASSERT_TRUE(client->Disconnect().ok());
  ASSERT_TRUE(server.WaitDone(std::chrono::seconds(5)));

  EXPECT_EQ(events.headers, kMessages);
  EXPECT_EQ(events.out_of_order, 0);
  std::vector<std::string> expected = {"CAPA", "USER u", "PASS p"};
  for (int i = 1; i <= kMessages; ++i) expected.push_back("TOP " + std::to_string(i) + " 0");
  expected.push_back("QUIT");
  EXPECT_EQ(server.Transcript(), expected);
  EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
}

}  // namespace
}  // namespace tessaly
