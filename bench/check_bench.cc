// CPU cost of the send-phase wait: one SMTP-mode run with mail operations
// that succeed at once and a time-out of 3 s waits about 2 s; the process
// CPU time spent over that wall time should stay below 1%.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "check/check_run.h"
#include "check/variant.h"
#include "env/clock.h"
#include "mail/mail_operations.h"

namespace {

class InstantMail : public tessaly::MailOperations {
 public:
  std::string SendMessage(const tessaly::SendArgs&, std::string*) override { return "OK"; }
  std::string RetrieveMessages(const tessaly::RetrieveArgs&) override { return "OK"; }
  std::string RetrieveMessagesImap4(const tessaly::RetrieveArgs&) override { return "OK"; }
  std::string CountMessages(const tessaly::CountArgs&) override { return "OK"; }
};

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_SendWaitCpuShare(benchmark::State& state) {
  InstantMail mail;
  tessaly::CheckRunEnv env;
  env.mail = &mail;
  env.clock = &tessaly::SystemClock();
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    tessaly::Variant parameter(
        "#OMODE=SMTP#SSRV=127.0.0.1#SFROM=a@tessaly.test#STO=b@tessaly.test#");
    std::string result;
    const double cpu_start = ProcessCpuSeconds();
    const auto wall_start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(tessaly::RunCheck(env, &parameter, tessaly::Variant(3), &result));
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    cpu += ProcessCpuSeconds() - cpu_start;
  }
  const double ratio = wall > 0 ? cpu / wall : 0;
  state.counters["cpu_per_wall_pct"] = ratio * 100;
  std::printf("send-phase wait: cpu %.6f s over wall %.3f s = %.4f%% (target < 1%%)\n", cpu,
              wall, ratio * 100);
}
BENCHMARK(BM_SendWaitCpuShare)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
