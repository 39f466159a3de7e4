// hartsim: serves simulated HART field devices on a pseudo-terminal, or as
// a HART-IP gateway.
#include <signal.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/psk_file.h"
#include "sim/hartsim/hart_ip_server.h"
#include "sim/hartsim/hartsim_trace.h"
#include "sim/hartsim/options.h"
#include "sim/hartsim/port_link.h"
#include "sim/pty_server.h"

namespace {

const char* OutcomeText(sim::Outcome o) {
  switch (o) {
    case sim::Outcome::Answered:
      return "answered";
    case sim::Outcome::CommError:
      return "communication error";
    case sim::Outcome::Busy:
      return "busy";
    case sim::Outcome::Delayed:
      return "delayed response";
    case sim::Outcome::Dropped:
      return "dropped";
    case sim::Outcome::Silent:
      return "silent";
    case sim::Outcome::Collided:
      return "lost in a collision";
    case sim::Outcome::Unheard:
      return "unheard (too few preambles)";
  }
  return "?";
}

void PrintDevices(sim::Segment& segment) {
  for (std::size_t i = 0; i < segment.Size(); ++i) {
    std::printf("%s\n", sim::DeviceLine(segment.At(i).config).c_str());
  }
  std::fflush(stdout);
}

// The gateway's line, then one for each sub-device: where it sits and what
// it is.
void PrintGateway(sim::Gateway& gateway, const sim::GatewaySetup& setup) {
  const auto& self = gateway.Self().config;
  std::printf(
      "gateway: id %02X%02X%02X, tag %s, %zu sub-devices on %u cards of %u channels, "
      "%llu ms latency, %u at once\n",
      self.deviceId[0], self.deviceId[1], self.deviceId[2], self.tag.c_str(), gateway.Size(),
      unsigned{gateway.Cards()}, unsigned{gateway.Config().channelsPerCard},
      static_cast<unsigned long long>(setup.latencyMicros / 1000),
      unsigned{gateway.Config().maxOutstanding});
  for (std::size_t i = 0; i < gateway.Size(); ++i) {
    const auto& sub = gateway.At(i);
    std::string line = sim::DeviceLine(sub.device.config);
    line.replace(0, line.find(", revision"),
                 "sub-device: card " + std::to_string(sub.card) + ", channel " +
                     std::to_string(sub.channel) + (sub.byChannelOnly ? " (77 only)" : ""));
    std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
}

void PrintCollisions(const sim::Segment& segment) {
  std::printf(
      "collisions: %u requests overlapped another frame, %u secondary-master exchanges "
      "wrecked\n",
      segment.Collisions(), segment.SecondaryWrecked());
}

// `loop`: the one segment served, whose collisions --verbose reports at the
// end; null behind a gateway, whose sub-devices share no loop.
int ServeHartIp(sim::HartIpServer& server, const sim::ListenAddress& listen,
                const sim::Options& options, sigset_t& signals,
                const std::function<void()>& printDevices, const sim::Segment* loop) {
  sim::HartsimTrace trace;
  if (!options.trace.empty()) trace.Attach(server);
  if (options.verbose) {
    server.log = [](const std::string& line) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    };
  }
  std::string error;
  if (!options.pskFile.empty()) {
    platform::PreSharedKey key;
    if (!platform::ReadPskFile(options.pskFile, key, error)) {
      std::fprintf(stderr, "hartsim: --psk-file: %s\n", error.c_str());
      return 2;
    }
    server.Protect(key);
  }
  if (server.Start(listen, error) != 0) {
    std::fprintf(stderr, "hartsim: cannot serve HART-IP: %s\n", error.c_str());
    return 1;
  }
  // Last of the start-up steps, so that a start that fails leaves the file
  // as it was.
  if (!options.trace.empty() && !trace.Open(options.trace, error)) {
    std::fprintf(stderr, "hartsim: %s\n", error.c_str());
    server.Stop();
    return 2;
  }
  std::printf("hart-ip: %s (%s)\n", server.Where().c_str(),
              options.pskFile.empty() ? "UDP and TCP" : "DTLS and TLS, HART-IP version 2");
  printDevices();
  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  if (options.verbose && loop != nullptr) PrintCollisions(*loop);
  trace.Finish();
  return trace.Failed() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  sim::Options options;
  std::string error;
  if (!sim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "hartsim: %s\nTry 'hartsim --help' for more information.\n",
                 error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(sim::Usage(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("%s\n", sim::Version());
    return 0;
  }

  // A reader that went away (hartsim -v | head -1) must not kill the
  // simulator with its link and trace left behind: writes to it fail with
  // EPIPE instead, and printing stops.
  ::signal(SIGPIPE, SIG_IGN);

  sim::ListenAddress listen;
  if (!options.hartIp.empty() && !sim::ParseListenAddress(options.hartIp, listen, error)) {
    std::fprintf(stderr, "hartsim: %s\n", error.c_str());
    return 2;
  }

  sim::Segment segment;
  for (const auto& d : options.devices) segment.Add(d.config).faults = d.faults;
  if (options.verbose) {
    segment.onTransaction = [quiet = false](const sim::Transaction& t) mutable {
      if (quiet) return;
      std::printf("%10.3f s  address %u  %s frame  command %u  %s\n", t.atMicros / 1e6,
                  unsigned{t.pollAddress}, t.longFrame ? "long" : "short", unsigned{t.command},
                  OutcomeText(t.outcome));
      quiet = std::fflush(stdout) != 0;
    };
  }

  // Blocked before the server thread starts, so it inherits the mask and
  // only sigwait below sees the signals.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (!options.hartIp.empty() && options.gateway.on) {
    const sim::GatewaySetup& setup = options.gateway;
    sim::Gateway gateway(setup.config);
    for (const auto& d : options.devices) {
      gateway.Add(d.config, setup.latencyMicros).device.faults = d.faults;
    }
    for (std::uint32_t i = 0; i < setup.subDevices; ++i) {
      gateway.Add(sim::MadeUpSubDevice(i), setup.latencyMicros);
    }
    for (std::size_t i = 0; i < gateway.Size() && i < setup.byChannel; ++i) {
      gateway.At(i).byChannelOnly = true;
    }
    sim::HartIpServer server(gateway);
    server.faults = setup.faults;
    return ServeHartIp(
        server, listen, options, signals, [&] { PrintGateway(gateway, setup); }, nullptr);
  }
  if (!options.hartIp.empty()) {
    sim::HartIpServer server(segment);
    return ServeHartIp(
        server, listen, options, signals, [&] { PrintDevices(segment); }, &segment);
  }

  sim::PtyServer server(segment);
  sim::HartsimTrace trace;
  if (!options.trace.empty()) trace.Attach(server);
  const std::string records = sim::DefaultRecordDir();
  // A hang-up fault pulls the modem out mid-reply and plugs it straight
  // back in: the link follows the fresh terminal, as udev's would.
  server.onReplug = [&](const std::string& oldPath, const std::string& newPath) {
    std::string message = "hung up " + oldPath;
    if (!options.link.empty()) {
      sim::RemoveLink(options.link, oldPath, records);
      std::string linked;
      if (!newPath.empty() && sim::CreateLink(options.link, newPath, linked, records)) {
        message += "; " + linked;
      }
    }
    std::printf("%s\n%s\n", message.c_str(), newPath.empty() ? "no terminal" : newPath.c_str());
    std::fflush(stdout);
  };
  if (server.Start(error) != 0) {
    std::fprintf(stderr, "hartsim: cannot open a pseudo-terminal: %s\n", error.c_str());
    return 1;
  }
  if (!options.link.empty()) {
    std::string message;
    if (!sim::CreateLink(options.link, server.SlavePath(), message, records)) {
      std::fprintf(stderr, "hartsim: %s\n", message.c_str());
      return 1;
    }
    std::printf("%s\n", message.c_str());
  }
  // Last of the start-up steps, so that a start that fails leaves the file
  // as it was.
  if (!options.trace.empty() && !trace.Open(options.trace, error)) {
    std::fprintf(stderr, "hartsim: %s\n", error.c_str());
    server.Stop();
    if (!options.link.empty()) sim::RemoveLink(options.link, server.SlavePath(), records);
    return 2;
  }
  if (!server.SharedWithSerialGroup()) {
    std::fprintf(stderr,
                 "hartsim: note: %s could not be given to group dialout, so only you can "
                 "open it: run veltrop as yourself, or hartsim as root to share it\n",
                 server.SlavePath().c_str());
  }
  std::printf("%s\n", server.SlavePath().c_str());
  PrintDevices(segment);

  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  if (options.verbose) PrintCollisions(segment);
  trace.Finish();
  if (!options.link.empty()) sim::RemoveLink(options.link, server.SlavePath(), records);
  return trace.Failed() ? 1 : 0;
}
