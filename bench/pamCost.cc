// Measures the host user check alone: sequential AuthenticateUser calls against the PAM service
// under $TESSEL_ROOT. This is the cost that bounds token creation with a user name and password.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/basalt/authenticateUser.h"

namespace {

double Percentile(const std::vector<double>& sorted, double percent) {
  size_t index = static_cast<size_t>(percent / 100.0 * static_cast<double>(sorted.size()));
  return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::atoi(argv[3]) < 1) {
    std::fprintf(stderr, "usage: %s USER PASSWORD CALLS\n", argv[0]);
    return 2;
  }
  const std::string user = argv[1];
  const std::string password = argv[2];
  const int calls = std::atoi(argv[3]);

  using Clock = std::chrono::steady_clock;
  std::vector<double> millis;
  millis.reserve(calls);
  int accepted = 0;
  const Clock::time_point begin = Clock::now();
  for (int i = 0; i < calls; ++i) {
    const Clock::time_point start = Clock::now();
    // The failure delay is handed back rather than slept: only PAM's own work is timed.
    auto outcome = Basalt::System::AuthenticateUserDeferringDelay(user, password);
    millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (outcome.token) ++accepted;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();

  std::sort(millis.begin(), millis.end());
  std::printf("PAM calls=%d accepted=%d calls_per_s=%.1f p50_ms=%.3f p99_ms=%.3f\n", calls,
              accepted, calls / seconds, Percentile(millis, 50), Percentile(millis, 99));
  return accepted == calls ? 0 : 1;
}
