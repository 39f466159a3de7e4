// A serial driver that records the exchanges on the devices it opens and
// lets another driver do the work. An exchange starts with a write (the
// request) and collects every byte read after it (the reply) until the next
// write; the byte counts give the wire time, the instants show when the reply
// really came in.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/serial_device.h"
#include "tests/support/serial_tap.h"

namespace timing {

struct Exchange {
  std::uint32_t requestBytes = 0;
  std::uint32_t replyBytes = 0;
  std::uint64_t writtenAtMicros = 0;   // when the write returned
  std::uint64_t lastByteAtMicros = 0;  // when the last reply byte was read; 0: none
};

class RecordingSerialDriver final : public platform::SerialDriver {
 public:
  // `nowMicros` defaults to the steady clock.
  explicit RecordingSerialDriver(platform::SerialDriver& inner,
                                 std::function<std::uint64_t()> nowMicros = {});

  platform::Error Open(std::string_view name,
                       std::unique_ptr<platform::SerialDevice>& device) override;

  const std::vector<Exchange>& exchanges() const { return exchanges_; }
  // Bytes read while no request had been written yet.
  std::uint64_t UnsolicitedBytes() const { return unsolicited_; }
  void Clear();

 private:
  void Wrote(std::uint32_t count);
  void Read(std::uint32_t count);

  support::SerialTap tap_;
  std::function<std::uint64_t()> now_;
  std::vector<Exchange> exchanges_;
  std::uint64_t unsolicited_ = 0;
};

}  // namespace timing
