// The veltrop program. A line with --poll, --scan, --monitor or --list-ports
// runs here, without a window, and never loads the toolkit's GUI libraries;
// every other line (the window, --help, --version, a mistake) is handed to the
// window program installed beside this one, which reads it the same way.
#include <cstdio>
#include <string>

#include "command_line/command_line.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/serial_ports.h"
#include "platform/services.h"
#include "serial/frame_trace.h"
#include "serial/hart_link.h"
#include "serial/link_trace.h"
#include "ui/headless/headless.h"
#include "ui/headless/list_ports.h"
#include "ui/headless/options.h"

namespace {

void Write(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// In the words the window program uses for a line it cannot run.
int UsageError(const std::string& error) {
  const std::string program = platform::ApplicationName();
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
               error.c_str(), program.c_str());
  return ui::kExitUsage;
}

ui::Console Streams() {
  return {[](std::string_view s) { Write(stdout, s); },
          [](std::string_view s) { Write(stderr, std::string(s) + "\n"); }, nullptr};
}

int RunWithoutWindow(const ui::HeadlessOptions& options, const platform::CommandLine& given) {
  const std::string program = platform::ApplicationName();
  std::string error;
  if (!ui::ApplySharedOptions(given, error)) return UsageError(error);
  if (!ui::OpenTraceOption(given, error)) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return ui::kExitUsage;
  }
  serial::LinkTrace trace;
  serial::HartLink::SetObserver(&trace);
  int status;
  {
    platform::InterruptGuard interrupts;
    platform::ScopedServices clock({nullptr, &platform::InterruptibleClock(), nullptr});
    hart::HartDevice device;
    ui::Console console = Streams();
    // Progress redraws its line in place, so only where someone watches.
    if (platform::StandardErrorIsTerminal()) {
      console.progress = [](std::string_view s) {
        Write(stderr, "\r" + std::string(s) + "\x1b[K");
      };
    }
    status = ui::RunHeadless(device, options, console);
  }
  serial::HartLink::SetObserver(nullptr);
  serial::CloseFrameTrace();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const platform::ParsedCommandLine parsed =
      platform::ParseCommandLine(argc, argv, ui::ProgramOptions());
  if (parsed.action == platform::CommandLineAction::Run) {
    ui::HeadlessOptions options;
    std::string error;
    if (!ui::ReadHeadlessOptions(parsed.given, options, error)) return UsageError(error);
    if (options.mode == ui::Mode::ListPorts) {
      return ui::ListPorts(platform::SystemSerialPorts(), options.json, Streams());
    }
    if (options.mode != ui::Mode::Window) return RunWithoutWindow(options, parsed.given);
  }
  const std::string why =
      platform::ReplaceProcess(platform::ProgramBeside(VELTROP_WINDOW_PROGRAM), argv);
  std::fprintf(stderr, "%s: cannot start the window: %s\n", platform::ApplicationName().c_str(),
               why.c_str());
  return 1;
}
