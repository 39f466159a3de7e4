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

  platform::Error Open(std::string_view name,
                       std::unique_ptr<platform::SerialDevice>& device) override {
    std::unique_ptr<platform::SerialDevice> opened;
    const platform::Error e = inner_.Open(name, opened);
    if (e != platform::kErrorSuccess) {
      device.reset();
      return e;
    }
    device = std::make_unique<Device>(std::move(opened), *this);
    return platform::kErrorSuccess;
  }
  std::string OpenFailureAdvice(std::string_view name, platform::Error error) const override {
    return inner_.OpenFailureAdvice(name, error);
  }

 private:
  class Device final : public platform::SerialDevice {
   public:
    Device(std::unique_ptr<platform::SerialDevice> inner, SerialTap& tap)
        : inner_(std::move(inner)), tap_(tap) {}
    platform::Error SetQueueSizes(std::uint32_t in, std::uint32_t out) override {
      return inner_->SetQueueSizes(in, out);
    }
    platform::Error SetEventMask(std::uint32_t mask) override { return inner_->SetEventMask(mask); }
    platform::Error GetSettings(platform::LineSettings& s) override {
      return inner_->GetSettings(s);
    }
    platform::Error SetSettings(const platform::LineSettings& s) override {
      return inner_->SetSettings(s);
    }
    platform::Error GetTimeouts(platform::Timeouts& t) override { return inner_->GetTimeouts(t); }
    platform::Error SetTimeouts(const platform::Timeouts& t) override {
      return inner_->SetTimeouts(t);
    }
    platform::Error Write(const std::uint8_t* data, std::uint32_t length,
                          std::uint32_t& written) override {
      const platform::Error e = inner_->Write(data, length, written);
      if (tap_.afterWrite) tap_.afterWrite(written);
      return e;
    }
    platform::Error Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) override {
      const platform::Error e = inner_->Read(data, length, read);
      if (tap_.afterRead) tap_.afterRead(read);
      return e;
    }
    platform::Error Purge(std::uint32_t flags) override { return inner_->Purge(flags); }
    platform::Error ClearErrors(std::uint32_t& errors) override {
      return inner_->ClearErrors(errors);
    }
    platform::Error SetModemLine(platform::ModemLine line, bool raised) override {
      return inner_->SetModemLine(line, raised);
    }
    platform::Error GetModemStatus(std::uint32_t& status) override {
      return inner_->GetModemStatus(status);
    }

   private:
    std::unique_ptr<platform::SerialDevice> inner_;
    SerialTap& tap_;
  };

  platform::SerialDriver& inner_;
};

}  // namespace support
