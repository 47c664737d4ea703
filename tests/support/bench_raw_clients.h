// The benchmark's baselines: minimal plain-text POP3 and IMAP4 loops over a
// raw socket that fetch one message per command and wait for each reply,
// as typical monitoring checks do. Replies are scanned and dropped as they
// arrive, so memory stays flat. For measurements only; no TLS, no parsing
// beyond finding where a reply ends.
#ifndef TESSALY_TESTS_SUPPORT_BENCH_RAW_CLIENTS_H_
#define TESSALY_TESTS_SUPPORT_BENCH_RAW_CLIENTS_H_

#include <string>

namespace tessaly::testing {

// USER/PASS, STAT, then RETR n (whole) or TOP n 0 for every message, QUIT.
// False with *error set when a step fails.
bool RawPop3Fetch(const std::string& host, int port, const std::string& user,
                  const std::string& password, bool whole, std::string* error);

// LOGIN, SELECT INBOX, then FETCH n BODY.PEEK[] (whole) or FETCH n
// (BODY.PEEK[HEADER.FIELDS (SUBJECT X-SENDER)]) for every message, LOGOUT.
bool RawImap4Fetch(const std::string& host, int port, const std::string& user,
                   const std::string& password, bool whole, std::string* error);

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_BENCH_RAW_CLIENTS_H_
