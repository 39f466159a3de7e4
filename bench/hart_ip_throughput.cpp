// Polls a second one process gets through one HART-IP gateway: hartsim's
// server in process on loopback, the HART-IP transport, the real
// HartDevice. Figures for docs/PERFORMANCE.md, never assertions.
//
//   hart_ip_throughput [SECONDS]
//
// Three ways for each transport:
//   transport  the fixed waits skipped (a virtual clock) and a gateway that
//              answers as soon as its devices have: the transport's own cost
//   loop       the fixed waits skipped, the gateway answering once the reply
//              has crossed its 1200-baud loop
//   program    the program as it is: settle, write pause and all
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hart/hart_device.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "sim/hartsim/hart_ip_server.h"
#include "tests/support/virtual_clock.h"

namespace {

void Run(const char* what, bool tcp, bool skipWaits, bool lineTime, double seconds) {
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  sim::HartIpServer server(segment);
  server.lineTime = lineTime;
  std::string error;
  if (server.Start({"127.0.0.1", "0"}, error) != 0) {
    std::fprintf(stderr, "hart_ip_throughput: %s\n", error.c_str());
    std::exit(1);
  }
  const std::string name = std::string(tcp ? "hart-ip+tcp" : "hart-ip") +
                           "://127.0.0.1:" + std::to_string(server.Port());
  platform::PosixSerialDriver driver({{"COM8:", name}});
  support::VirtualClock clock;
  platform::ScopedServices useIt({&driver, skipWaits ? &clock : nullptr, nullptr});
  hart::HartDevice device;
  if (device.Open(8, 1200) != serial::LinkResult::kOk) {
    std::fprintf(stderr, "hart_ip_throughput: cannot open %s\n", name.c_str());
    std::exit(1);
  }
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  int polls = 0;
  int failed = 0;
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
    (device.Poll(0, 1) ? polls : failed)++;
  }
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  device.Close();
  std::printf("%-9s %-3s %8.1f polls/s  %8.2f ms a poll  (%d polls, %d failed, %.1f s)\n", what,
              tcp ? "TCP" : "UDP", polls / took, 1000.0 * took / (polls + failed), polls, failed,
              took);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  for (const bool tcp : {false, true}) {
    Run("transport", tcp, true, false, seconds);
    Run("loop", tcp, true, true, seconds);
    Run("program", tcp, false, true, seconds);
  }
  return 0;
}
