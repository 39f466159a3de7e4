// Opens a device the way veltrop opens its port and says what came of it:
// "opened", or the advice the operator would read beneath "COM8:". The pty
// tests run it as another user to see what an operator's veltrop could do
// with a simulator's terminal.
//
//   port_probe PATH     exit 0 opened, 1 refused (advice on stdout), 2 usage
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "platform/posix_serial.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: port_probe PATH\n");
    return 2;
  }
  platform::PosixSerialDriver driver(std::map<std::string, std::string>{{"COM8:", argv[1]}});
  std::unique_ptr<platform::SerialDevice> device;
  const platform::Error error = driver.Open("COM8:", device);
  if (error != platform::kErrorSuccess) {
    std::printf("%s\n", driver.OpenFailureAdvice("COM8:", error).c_str());
    return 1;
  }
  device.reset();  // closes it, dropping its exclusive hold on the terminal
  std::printf("opened\n");
  return 0;
}
