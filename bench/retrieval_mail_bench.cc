// The fetch phase against the local Dovecot, with a mailbox of N foreign
// messages of 100 KB each (only-delete on, so they stay), directly and
// through a proxy that delays each direction by 10 ms. Beside the check's
// own retrieval ("ours": no control mail in the mailbox, so the wrong-subject
// list needs every subject) it measures two baselines in the same run: (a)
// whole messages one command at a time (RETR n / FETCH n BODY.PEEK[]) and
// (b) headers one command at a time (TOP n 0 / FETCH n header fields). On
// the IMAP4 path it also measures the success path, the control mail put
// among the N messages before each run: "found_search" as the client runs
// it (the server's search narrows the fetch) and "found_full" with the
// search off (the header fields of every message are fetched), the
// fetch-everything baseline. Each variant runs in a child process so that
// its peak RSS is its own; round trips and bytes are counted by the proxy
// (0 ms delay for "direct").
//
// TESSALY_BENCH_MAX_N limits the mailbox sizes for a quick run; the
// one-command-per-message baselines (a) and (b) run up to
// TESSALY_BENCH_BASELINE_MAX_N (default 2000): at N = 10000 they take
// minutes each through the proxy.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "env/trace.h"

#include "support/bench_raw_clients.h"
#include "support/delay_proxy.h"
#include "support/mailstack.h"

#if __has_include("mail/pop3_client.h") && __has_include("mail/imap4_client.h")
#define TESSALY_BENCH_HAS_CLIENTS 1
#include "mail/imap4_client.h"
#include "mail/pop3_client.h"
#include "mail/retrieve_operations.h"
#endif

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kUser = "carol";
constexpr std::size_t kMessageBytes = 100 * 1024;

enum class Variant { kOurs, kWhole, kHeaders, kFoundSearch, kFoundFull };
const char* VariantName(Variant v) {
  switch (v) {
    case Variant::kOurs: return "ours";
    case Variant::kWhole: return "a_whole";
    case Variant::kHeaders: return "b_headers";
    case Variant::kFoundSearch: return "found_search";
    case Variant::kFoundFull: return "found_full";
  }
  return "";
}
bool Found(Variant v) { return v == Variant::kFoundSearch || v == Variant::kFoundFull; }

constexpr const char* kControlSubject = "TESSIMO 1234562026121";
std::string ControlMail() {
  return std::string("From: check@tessaly.test\r\nTo: carol@tessaly.test\r\nSubject: ") +
         kControlSubject +
         "\r\nX-Sender: TESSIMOCom\r\n\r\nVigilor TESSIMO COM check control mail\r\n";
}

struct Sample {
  double seconds = 0;
  std::int64_t round_trips = 0;
  std::int64_t bytes = 0;
  long peak_rss_kb = 0;
  bool ok = false;
  std::string note;
};

// Key: protocol, path ("direct"/"proxy"), variant, N.
std::map<std::string, Sample>& Results() {
  static std::map<std::string, Sample> results;
  return results;
}
std::string Key(const std::string& proto, const std::string& path, Variant v, int n) {
  return proto + "/" + path + "/" + VariantName(v) + "/" + std::to_string(n);
}

long PeakRssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

std::string MakeMessage(int i) {
  std::string m = "From: sender" + std::to_string(i) + "@example.test\r\n";
  m += "To: carol@tessaly.test\r\nSubject: foreign message " + std::to_string(i) + "\r\n";
  m += "Message-ID: <bench" + std::to_string(i) + "@example.test>\r\n";
  m += "Date: Thu, 10 Dec 2026 12:00:00 +0000\r\n\r\n";
  const std::string line(76, 'x');
  while (m.size() + line.size() + 2 < kMessageBytes) m += line + "\r\n";
  return m;
}

// Tops the mailbox up to n messages (sizes are run in ascending order).
bool FillMailbox(const MailStack& stack, int n) {
  static int have = -1;
  if (have < 0) {
    if (!stack.ClearMailbox(kUser).ok()) return false;
    have = 0;
  }
  for (; have < n; ++have) {
    if (!stack.PutMessage(kUser, MakeMessage(have + 1)).ok()) return false;
  }
  return static_cast<int>(stack.ListMessages(kUser).size()) == n;
}

#ifdef TESSALY_BENCH_HAS_CLIENTS
class NullSink : public TraceSink {
 public:
  void Line(std::string_view) override {}
};
#endif

// Runs one variant against 127.0.0.1:port in this (child) process.
bool RunVariant(const std::string& proto, Variant v, int port, const MailStack& stack,
                std::string* note) {
  const std::string password = stack.password(kUser);
  if (v == Variant::kWhole || v == Variant::kHeaders) {
    const bool whole = v == Variant::kWhole;
    return proto == "POP3" ? RawPop3Fetch("127.0.0.1", port, kUser, password, whole, note)
                           : RawImap4Fetch("127.0.0.1", port, kUser, password, whole, note);
  }
#ifdef TESSALY_BENCH_HAS_CLIENTS
  auto pop3 = NewPop3Client(Pop3ClientOptions{stack.pop3s_port()});
  auto imap4 =
      NewImap4Client(Imap4ClientOptions{stack.imaps_port(), v != Variant::kFoundFull});
  NullSink sink;
  RetrieveOperations ops(*pop3, *imap4, sink);
  RetrieveArgs args;
  args.host = "127.0.0.1";
  args.port = port;
  args.user = kUser;
  args.password = password;
  args.mailbox = "INBOX";
  args.subject = Found(v) ? kControlSubject : "TESSALY not there";
  args.timeout = 120;
  args.only_delete_own = true;
  args.mode = proto == "POP3" ? "TESSALY" : "TESSIMO";
  const std::string result =
      proto == "POP3" ? ops.RetrieveMessages(args) : ops.RetrieveMessagesImap4(args);
  *note = result.substr(0, 60);
  if (Found(v)) return result == "OK";
  // Foreign messages only: every outcome but a failure of a step is fine.
  return result.rfind("ERR POP3: messages received", 0) == 0 ||
         result.rfind("ERR IMAP4: messages received", 0) == 0 ||
         result.rfind("ERR POP3: no messages", 0) == 0 ||
         result.rfind("ERR IMAP4: no messages", 0) == 0;
#else
  *note = "clients not built";
  return false;
#endif
}

// Forks, runs the variant in the child, returns what it measured.
Sample Measure(const std::string& proto, Variant v, DelayProxy& proxy, const MailStack& stack) {
  Sample s;
  int fds[2];
  if (pipe(fds) != 0) return s;
  proxy.ResetCounters();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string note;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = RunVariant(proto, v, proxy.port(), stack, &note);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string out = std::to_string(ok ? 1 : 0) + " " + std::to_string(secs) + " " +
                            std::to_string(PeakRssKb()) + " " + note;
    (void)!write(fds[1], out.data(), out.size());
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  int ok = 0;
  char note[128] = "";
  std::sscanf(out.c_str(), "%d %lf %ld %127[^\n]", &ok, &s.seconds, &s.peak_rss_kb, note);
  s.ok = ok == 1;
  s.note = note;
  // Let the proxy deliver the last bytes before reading its counters.
  std::this_thread::sleep_for(30ms);
  s.round_trips = proxy.round_trips();
  s.bytes = proxy.bytes_to_client();
  return s;
}

struct Proxies {
  std::unique_ptr<DelayProxy> pop3_direct, pop3_delayed, imap4_direct, imap4_delayed;
};
Proxies& GetProxies() {
  static Proxies p;
  return p;
}

void BM_Fetch(benchmark::State& state, std::string proto, std::string path, Variant v, int n) {
  const MailStack* stack = MailStack::Get();
  if (stack == nullptr) {
    state.SkipWithError("local mail stack not running");
    return;
  }
  if (!FillMailbox(*stack, n)) {
    state.SkipWithError("could not fill the mailbox");
    return;
  }
  // The run deletes the control mail again (it is the check's own).
  if (Found(v) && !stack->PutMessage(kUser, ControlMail()).ok()) {
    state.SkipWithError("could not put the control mail");
    return;
  }
  Proxies& p = GetProxies();
  DelayProxy& proxy = proto == "POP3" ? (path == "proxy" ? *p.pop3_delayed : *p.pop3_direct)
                                      : (path == "proxy" ? *p.imap4_delayed : *p.imap4_direct);
  Sample s;
  for (auto _ : state) {
    s = Measure(proto, v, proxy, *stack);
    state.SetIterationTime(s.seconds);
  }
  if (!s.ok) {
    state.SkipWithError(("variant failed: " + s.note).c_str());
    return;
  }
  state.counters["round_trips"] = static_cast<double>(s.round_trips);
  state.counters["bytes"] = static_cast<double>(s.bytes);
  state.counters["peak_rss_kb"] = static_cast<double>(s.peak_rss_kb);
  Results()[Key(proto, path, v, n)] = s;
}

void PrintSummary(const std::vector<int>& sizes, int baseline_max_n) {
  auto find = [&](const std::string& proto, const std::string& path, Variant v,
                  int size) -> const Sample* {
    auto it = Results().find(Key(proto, path, v, size));
    return it == Results().end() ? nullptr : &it->second;
  };
  int n = 0;  // the largest size with baselines
  for (int size : sizes) {
    if (size <= baseline_max_n) n = size;
  }
  for (const std::string proto : {"POP3", "IMAP4"}) {
    const Sample* ours = find(proto, "proxy", Variant::kOurs, n);
    const Sample* whole = find(proto, "proxy", Variant::kWhole, n);
    const Sample* headers = find(proto, "proxy", Variant::kHeaders, n);
    std::string rts, rss;
    for (int size : sizes) {
      if (const Sample* o = find(proto, "proxy", Variant::kOurs, size)) {
        // Appended piece by piece: " " + std::to_string(...) makes gcc 12
        // at -O2/-O3 report a false -Wrestrict overlap in the inlined insert.
        rts += ' ';
        rts += std::to_string(o->round_trips);
        rss += ' ';
        rss += std::to_string(o->peak_rss_kb);
      }
    }
    if (ours == nullptr || whole == nullptr || headers == nullptr) {
      std::printf("SUMMARY %s N=%d: incomplete (ours %s)\n", proto.c_str(), n,
                  ours != nullptr ? "measured" : "not measured");
      continue;
    }
    std::printf(
        "SUMMARY %s N=%d through 20 ms proxy: bytes a/ours=%.0fx, time a/ours=%.1fx, "
        "time b/ours=%.1fx; ours round trips by N:%s; ours peak RSS kB by N:%s\n",
        proto.c_str(), n, static_cast<double>(whole->bytes) / static_cast<double>(ours->bytes),
        whole->seconds / ours->seconds, headers->seconds / ours->seconds, rts.c_str(),
        rss.c_str());
  }
  // The cost per message of a path that reads every message's headers:
  // the growth of ours from the smallest to the largest mailbox.
  for (const std::string proto : {"POP3", "IMAP4"}) {
    const Sample* low = find(proto, "proxy", Variant::kOurs, sizes.front());
    const Sample* high = find(proto, "proxy", Variant::kOurs, sizes.back());
    if (low != nullptr && high != nullptr && sizes.back() > sizes.front()) {
      std::printf("SUMMARY %s ours (every message's headers): %.1f bytes per message\n",
                  proto.c_str(),
                  static_cast<double>(high->bytes - low->bytes) / (sizes.back() - sizes.front()));
    }
  }
  std::printf(
      "SUMMARY IMAP4 control mail among N, through 20 ms proxy: search vs fetch-everything\n");
  std::printf("SUMMARY %6s | %10s %4s %8s | %10s %4s %8s | %9s %9s\n", "N", "bytes", "RTs", "ms",
              "full bytes", "RTs", "ms", "bytes x", "time x");
  for (int size : sizes) {
    const Sample* narrow = find("IMAP4", "proxy", Variant::kFoundSearch, size);
    const Sample* full = find("IMAP4", "proxy", Variant::kFoundFull, size);
    if (narrow == nullptr || full == nullptr) continue;
    std::printf("SUMMARY %6d | %10lld %4lld %8.1f | %10lld %4lld %8.1f | %9.1f %9.2f\n", size,
                static_cast<long long>(narrow->bytes), static_cast<long long>(narrow->round_trips),
                narrow->seconds * 1000, static_cast<long long>(full->bytes),
                static_cast<long long>(full->round_trips), full->seconds * 1000,
                static_cast<double>(full->bytes) / static_cast<double>(narrow->bytes),
                full->seconds / narrow->seconds);
  }
}

}  // namespace
}  // namespace tessaly::testing

int main(int argc, char** argv) {
  using namespace tessaly::testing;
  std::vector<int> sizes = {0, 10, 100, 1000, 2000, 10000};
  if (const char* max = std::getenv("TESSALY_BENCH_MAX_N")) {
    const int limit = std::atoi(max);
    std::erase_if(sizes, [limit](int n) { return n > limit; });
  }
  int baseline_max_n = 2000;
  if (const char* max = std::getenv("TESSALY_BENCH_BASELINE_MAX_N")) {
    baseline_max_n = std::atoi(max);
  }
  const MailStack* stack = MailStack::Get();
  if (stack != nullptr) {
    Proxies& p = GetProxies();
    p.pop3_direct = std::make_unique<DelayProxy>("127.0.0.1", stack->pop3_port(), 0ms);
    p.pop3_delayed = std::make_unique<DelayProxy>("127.0.0.1", stack->pop3_port(), 10ms);
    p.imap4_direct = std::make_unique<DelayProxy>("127.0.0.1", stack->imap_port(), 0ms);
    p.imap4_delayed = std::make_unique<DelayProxy>("127.0.0.1", stack->imap_port(), 10ms);
    for (auto* proxy : {p.pop3_direct.get(), p.pop3_delayed.get(), p.imap4_direct.get(),
                        p.imap4_delayed.get()}) {
      if (!proxy->Start().ok()) return 1;
    }
  }
  for (int n : sizes) {
    for (const char* proto : {"POP3", "IMAP4"}) {
      for (const char* path : {"direct", "proxy"}) {
        for (Variant v : {Variant::kOurs, Variant::kWhole, Variant::kHeaders,
                          Variant::kFoundSearch, Variant::kFoundFull}) {
          if (Found(v) && std::string(proto) != "IMAP4") continue;
          if ((v == Variant::kWhole || v == Variant::kHeaders) && n > baseline_max_n) continue;
          const std::string name = std::string(proto) + "/" + path + "/" + VariantName(v) +
                                   "/N=" + std::to_string(n);
          benchmark::RegisterBenchmark(name.c_str(), BM_Fetch, proto, path, v, n)
              ->Iterations(1)
              ->UseManualTime()
              ->Unit(benchmark::kMillisecond);
        }
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (stack != nullptr) PrintSummary(sizes, baseline_max_n);
  else std::printf("local mail stack not running: nothing measured\n");
  benchmark::Shutdown();
  return 0;
}
