// Start-to-exit cost of the tessaly command line for one SMTP-mode check
// (time-out 1, so no wait) against the local stack, relative to the same
// SMTP exchange done by the curl command line in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "support/mailstack.h"
#include "support/test_paths.h"

namespace {

double g_cli_seconds = 0;
double g_curl_seconds = 0;

std::string Cli() { return tessaly::testing::BinaryDir() + "/src/host/tessaly"; }
std::string Work(const char* name) { return tessaly::testing::BinaryDir() + "/" + name; }

// Runs command through the shell; the wall time of the whole call, or a
// negative value when it did not exit with 0.
double TimedRun(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return status == 0 ? seconds : -1;
}

void Measure(benchmark::State& state, const std::string& command, double* mean) {
  const tessaly::testing::MailStack* stack = tessaly::testing::MailStack::Get();
  if (stack == nullptr) {
    state.SkipWithError("mail stack not started (TESSALY_MAILSTACK)");
    return;
  }
  double total = 0;
  long runs = 0;
  for (auto _ : state) {
    const double seconds = TimedRun(command);
    if (seconds < 0) {
      state.SkipWithError(("command failed: " + command).c_str());
      return;
    }
    total += seconds;
    ++runs;
  }
  *mean = runs > 0 ? total / static_cast<double>(runs) : 0;
}

void BM_CliSmtpCheck(benchmark::State& state) {
  const tessaly::testing::MailStack* stack = tessaly::testing::MailStack::Get();
  if (stack == nullptr || access(Cli().c_str(), X_OK) != 0) {
    state.SkipWithError("needs the mail stack and the tessaly command line");
    return;
  }
  const std::string state_file = Work("check_mail_bench.state");
  std::remove(state_file.c_str());
  const std::string set = Cli() + " set --state " + state_file +
                          " OMODE=SMTP SSRV=127.0.0.1 SPORT=" +
                          std::to_string(stack->smtp_port()) + " SFROM=" +
                          stack->address("alice") + " STO=" + stack->address("bob") +
                          " >/dev/null";
  if (std::system(set.c_str()) != 0) {
    state.SkipWithError("tessaly set failed");
    return;
  }
  Measure(state, Cli() + " check --state " + state_file + " --timeout 1 >/dev/null",
          &g_cli_seconds);
}
BENCHMARK(BM_CliSmtpCheck)->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_CurlSmtpSend(benchmark::State& state) {
  const tessaly::testing::MailStack* stack = tessaly::testing::MailStack::Get();
  if (stack == nullptr) {
    state.SkipWithError("mail stack not started (TESSALY_MAILSTACK)");
    return;
  }
  const std::string message_file = Work("check_mail_bench.eml");
  std::ofstream(message_file) << "From: " << stack->address("alice") << "\r\nTo: "
                              << stack->address("bob") << "\r\nSubject: bench\r\n\r\nbench\r\n";
  Measure(state,
          "curl -s smtp://127.0.0.1:" + std::to_string(stack->smtp_port()) +
              " --mail-from " + stack->address("alice") + " --mail-rcpt " +
              stack->address("bob") + " -T " + message_file + " >/dev/null",
          &g_curl_seconds);
}
BENCHMARK(BM_CurlSmtpSend)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_cli_seconds > 0 && g_curl_seconds > 0) {
    std::printf("cli smtp check: mean %.1f ms, curl smtp send: mean %.1f ms, ratio %.2f\n",
                g_cli_seconds * 1e3, g_curl_seconds * 1e3, g_cli_seconds / g_curl_seconds);
  } else {
    std::printf("cli smtp check vs curl: not measured (cli %.1f ms, curl %.1f ms)\n",
                g_cli_seconds * 1e3, g_curl_seconds * 1e3);
  }
  return 0;
}
