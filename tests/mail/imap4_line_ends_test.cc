// Header values of the IMAP4 retrieval over the real client when the server
// ends the lines of a header literal with CR CR LF (mail stored with CRLF
// line ends in a Maildir comes out of some servers that way): the values
// are compared without the CR, so the control mail is recognised and
// flagged as the check's own. The server answers whatever the client asks,
// so the case does not depend on the exact FETCH and STORE forms.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "env/trace.h"
#include "mail/imap4_client.h"
#include "mail/pop3_client.h"
#include "mail/retrieve_operations.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using testing::ScriptServer;
using testing::ServerScript;

// One FETCH response for message n (UID n) with its header literal.
std::string Item(int n, const std::string& fields) {
  const std::string literal = fields + "\r\n";
  return "* " + std::to_string(n) + " FETCH (UID " + std::to_string(n) +
         " BODY[HEADER.FIELDS (SUBJECT X-SENDER)] {" + std::to_string(literal.size()) + "}\r\n" +
         literal + ")\r\n";
}

// A mailbox of a foreign message, the control mail with CR CR LF line ends
// and another foreign message.
std::string Answer(const std::string& line) {
  std::istringstream in(line);
  std::string tag, command;
  in >> tag >> command;
  if (command == "UID") in >> command;
  const std::string ok = tag + " OK done\r\n";
  if (command == "CAPABILITY") return "* CAPABILITY IMAP4rev1\r\n" + ok;
  if (command == "SELECT") return "* 3 EXISTS\r\n" + tag + " OK [READ-WRITE] selected\r\n";
  if (command == "FETCH") {
    return Item(1, "Subject: hello\r\n") +
           Item(2, "Subject: TESSIMO 42\r\r\nX-Sender: TESSIMOCom\r\r\n") +
           Item(3, "Subject: bye\r\n") + ok;
  }
  if (command == "LOGOUT") return "* BYE\r\n" + ok;
  return ok;  // LOGIN, STORE, EXPUNGE
}

TEST(Imap4LineEnds, ValuesEndingInCrStillMatch) {
  ScriptServer server(
      ServerScript().Send("* OK ready").Serve([](const std::string& l) { return Answer(l); }));
  std::string result;
  {
    CaptureTraceSink trace;
    auto pop3 = NewPop3Client();
    auto imap4 = NewImap4Client();
    RetrieveOperations ops(*pop3, *imap4, trace);
    RetrieveArgs a;
    a.host = "127.0.0.1";
    a.port = server.port();
    a.user = "u";
    a.password = "p";
    a.mailbox = "INBOX";
    a.subject = "TESSIMO 42";
    a.timeout = 2;
    a.only_delete_own = true;
    a.mode = "TESSIMO";
    result = ops.RetrieveMessagesImap4(a);
  }
  ASSERT_TRUE(server.WaitDone(std::chrono::seconds(5)));
  EXPECT_EQ(result, "OK");
  // Only message 2 is flagged: its X-Sender marked it the check's own.
  std::vector<std::string> stores;
  for (const std::string& line : server.Transcript()) {
    if (line.find("STORE ") != std::string::npos) stores.push_back(line);
  }
  ASSERT_EQ(stores.size(), 1u);
  EXPECT_NE(stores[0].find("STORE 2 +FLAGS.SILENT (\\Deleted)"), std::string::npos) << stores[0];
}

}  // namespace
}  // namespace tessaly
