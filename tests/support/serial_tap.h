// A serial driver that lets another driver do the work and tells its owner
// about every read and write on the devices it opens, after the call, with
// the count moved. Tests count reads to tell a loop that gives up from one
// that spins, or act at a precise point of a conversation (pull the plug
// once the request has gone out); the benchmarks time the exchanges.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/serial_device.h"

namespace support {

class SerialTap final : public platform::SerialDriver {
 public:
  explicit SerialTap(platform::SerialDriver& inner) : inner_(inner) {}

  // Run on the caller's thread after each Write / Read, whatever its result.
  std::function<void(std::uint32_t written)> afterWrite;
  std::function<void(std::uint32_t read)> afterRead;

  std::uint32_t Open(std::string_view name,
                     std::unique_ptr<platform::SerialDevice>& device) override {
    std::unique_ptr<platform::SerialDevice> opened;
    const std::uint32_t e = inner_.Open(name, opened);
    if (e != 0) {
      device.reset();
      return e;
    }
    device = std::make_unique<Device>(std::move(opened), *this);
    return 0;
  }
  std::string OpenFailureAdvice(std::string_view name, std::uint32_t error) const override {
    return inner_.OpenFailureAdvice(name, error);
  }

 private:
  class Device final : public platform::SerialDevice {
   public:
    Device(std::unique_ptr<platform::SerialDevice> inner, SerialTap& tap)
        : inner_(std::move(inner)), tap_(tap) {}
    std::uint32_t SetQueueSizes(std::uint32_t in, std::uint32_t out) override {
      return inner_->SetQueueSizes(in, out);
    }
    std::uint32_t SetEventMask(std::uint32_t mask) override { return inner_->SetEventMask(mask); }
    std::uint32_t GetSettings(platform::LineSettings& s) override { return inner_->GetSettings(s); }
    std::uint32_t SetSettings(const platform::LineSettings& s) override {
      return inner_->SetSettings(s);
    }
    std::uint32_t GetTimeouts(platform::Timeouts& t) override { return inner_->GetTimeouts(t); }
    std::uint32_t SetTimeouts(const platform::Timeouts& t) override {
      return inner_->SetTimeouts(t);
    }
    std::uint32_t Write(const std::uint8_t* data, std::uint32_t length,
                        std::uint32_t& written) override {
      const std::uint32_t e = inner_->Write(data, length, written);
      if (tap_.afterWrite) tap_.afterWrite(written);
      return e;
    }
    std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) override {
      const std::uint32_t e = inner_->Read(data, length, read);
      if (tap_.afterRead) tap_.afterRead(read);
      return e;
    }
    std::uint32_t Purge(std::uint32_t flags) override { return inner_->Purge(flags); }
    std::uint32_t ClearErrors(std::uint32_t& errors) override {
      return inner_->ClearErrors(errors);
    }

   private:
    std::unique_ptr<platform::SerialDevice> inner_;
    SerialTap& tap_;
  };

  platform::SerialDriver& inner_;
};

}  // namespace support
