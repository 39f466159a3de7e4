#include "sim/device.h"

#include <algorithm>
#include <numeric>

namespace sim {

namespace {

// Consumes one use of a kEvery / next-N fault count.
bool Take(std::int32_t& count) {
  if (count == kEvery) return true;
  if (count > 0) {
    --count;
    return true;
  }
  return false;
}

void Append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& more) {
  out.insert(out.end(), more.begin(), more.end());
}

}  // namespace

bool Device::Matches(const Request& request) const {
  if (request.IsLong()) {
    const auto& a = request.address;
    return (a[0] & 0x3F) == (config.manufacturer & 0x3F) && a[1] == config.deviceType &&
           a[2] == config.deviceId[0] && a[3] == config.deviceId[1] && a[4] == config.deviceId[2];
  }
  return request.address.size() == 1 && (request.address[0] & 0x3F) == config.pollAddress;
}

std::uint32_t Device::SeenTotal() const {
  return std::accumulate(seen_.begin(), seen_.end(), std::uint32_t{0});
}

std::uint32_t Device::AnsweredTotal() const {
  return std::accumulate(answered_.begin(), answered_.end(), std::uint32_t{0});
}

bool Device::DropThisOne() {
  if (faults.dropNext > 0) {
    --faults.dropNext;
    return true;
  }
  if (faults.dropFraction <= 0.0) return false;
  if (!random_ || randomSeed_ != faults.seed) {
    random_.emplace(faults.seed);
    randomSeed_ = faults.seed;
  }
  // From the generator's raw output rather than a distribution, whose
  // results differ between standard libraries: a seed drops the same
  // requests everywhere.
  const double u = static_cast<double>((*random_)() >> 8) / 16777216.0;
  return u < faults.dropFraction;
}

std::optional<std::vector<std::uint8_t>> Device::Answer(const Request& request, Outcome& outcome) {
  ++seen_[request.command];
  if (!request.checksumOk) ++badChecksumRequests_;
  if (faults.silent) {
    outcome = Outcome::Silent;
    return std::nullopt;
  }
  if (DropThisOne()) {
    ++dropped_;
    outcome = Outcome::Dropped;
    return std::nullopt;
  }

  const std::uint8_t delimiter = request.IsLong() ? kDelimiterReplyLong : kDelimiterReplyShort;
  std::vector<std::uint8_t> frame;
  if (!request.checksumOk) {
    frame =
        Frame(delimiter, request.address, request.command, kCommError | kCommParityError, 0, {});
    outcome = Outcome::CommError;
  } else if (Take(faults.commErrors)) {
    frame = Frame(delimiter, request.address, request.command, kCommError | faults.commErrorBits, 0,
                  {});
    outcome = Outcome::CommError;
  } else if (faults.busy > 0) {
    --faults.busy;
    frame = Frame(delimiter, request.address, request.command, kRcBusy, config.deviceStatus, {});
    outcome = Outcome::Busy;
  } else if (faults.delayed > 0) {
    --faults.delayed;
    const std::uint8_t code = delayedStarted_ ? kRcDelayedRunning : kRcDelayedInitiated;
    delayedStarted_ = faults.delayed > 0;
    frame = Frame(delimiter, request.address, request.command, code, config.deviceStatus, {});
    outcome = Outcome::Delayed;
  } else if (std::find(faults.notImplemented.begin(), faults.notImplemented.end(),
                       request.command) != faults.notImplemented.end()) {
    frame = Frame(delimiter, request.address, request.command, kRcNotImplemented,
                  config.deviceStatus, {});
    outcome = Outcome::Answered;
  } else {
    std::uint8_t code = kRcSuccess;
    const auto data = CommandData(request.command, request.data, code);
    frame = Frame(delimiter, request.address, request.command, code, config.deviceStatus, data);
    outcome = Outcome::Answered;
  }

  if (Take(faults.badChecksums)) frame.back() ^= 0xFF;
  if (faults.truncateAfter > 0 && faults.truncateAfter < frame.size() && Take(faults.truncations)) {
    frame.resize(faults.truncateAfter);
  }
  // Noise half-way through the preambles: a master that counts from the
  // first 0xFF, or takes the byte after one 0xFF for a delimiter, loses the
  // reply; the preambles after it still make a frame.
  const auto middle = static_cast<std::ptrdiff_t>(
      std::min<std::size_t>(config.responsePreambles / 2, frame.size()));
  frame.insert(frame.begin() + middle, faults.noise.begin(), faults.noise.end());
  std::vector<std::uint8_t> out = faults.garbage;
  Append(out, frame);
  ++answered_[request.command];
  return out;
}

std::vector<std::uint8_t> Device::LongAddress(std::uint8_t masterBits) const {
  return {static_cast<std::uint8_t>((config.manufacturer & 0x3F) | masterBits), config.deviceType,
          config.deviceId[0], config.deviceId[1], config.deviceId[2]};
}

std::vector<std::uint8_t> Device::Frame(std::uint8_t delimiter,
                                        const std::vector<std::uint8_t>& address,
                                        std::uint8_t command, std::uint8_t status0,
                                        std::uint8_t status1,
                                        const std::vector<std::uint8_t>& data) const {
  std::vector<std::uint8_t> out(config.responsePreambles, kPreamble);
  const std::size_t start = out.size();
  out.push_back(delimiter);
  Append(out, address);
  out.push_back(command);
  out.push_back(static_cast<std::uint8_t>(2 + data.size()));
  out.push_back(status0);
  out.push_back(status1);
  Append(out, data);
  out.push_back(Checksum(out.data() + start, out.data() + out.size()));
  return out;
}

std::vector<std::uint8_t> Device::BurstFrame() {
  ++bursts_;
  std::uint8_t code = kRcSuccess;
  const auto data = CommandData(3, {}, code);
  const std::uint8_t masterBits =
      static_cast<std::uint8_t>((burstToPrimary_ ? kPrimaryMasterBit : 0) | kBurstModeBit);
  burstToPrimary_ = !burstToPrimary_;
  // From universal revision 5 on a device bursts in long frames.
  if (faults.burstLong || config.universalRevision >= 5) {
    return Frame(kDelimiterBurstLong, LongAddress(masterBits), 3, code, config.deviceStatus, data);
  }
  return Frame(kDelimiterBurstShort,
               {static_cast<std::uint8_t>(masterBits | (config.pollAddress & 0x3F))}, 3, code,
               config.deviceStatus, data);
}

std::vector<std::uint8_t> Device::OtherMasterFrame() const {
  // A handheld knows the device, and the preambles it needs.
  const std::size_t preambles = std::max<std::size_t>(5, config.requestPreambles);
  std::vector<std::uint8_t> out(preambles, kPreamble);
  out.push_back(kDelimiterRequestLong);
  Append(out, LongAddress(0));  // master bit clear: the secondary master
  out.push_back(1);
  out.push_back(0);
  out.push_back(Checksum(out.data() + preambles, out.data() + out.size()));
  return out;
}

std::vector<std::uint8_t> Device::OtherMasterAnswer() {
  ++answered_[1];
  std::uint8_t code = kRcSuccess;
  const auto data = CommandData(1, {}, code);
  return Frame(kDelimiterReplyLong, LongAddress(0), 1, code, config.deviceStatus, data);
}

std::vector<std::uint8_t> Device::CommandData(std::uint8_t command,
                                              const std::vector<std::uint8_t>& requestData,
                                              std::uint8_t& responseCode) const {
  responseCode = kRcSuccess;
  std::vector<std::uint8_t> d;
  const auto& c = config;
  switch (command) {
    case 0:
      if (c.legacyCommandZero) {
        d = {c.deviceType,
             c.requestPreambles,
             c.universalRevision,
             c.deviceRevision,
             c.softwareRevision,
             static_cast<std::uint8_t>(c.hardwareSignalling >> 3),
             0,
             c.deviceId[0],
             c.deviceId[1],
             c.deviceId[2],
             0,
             0};
        break;
      }
      // For revision 7, bytes 1-2 are the expanded device type. We put the
      // manufacturer code in byte 1 and the device type in byte 2, so a master
      // that reads them as manufacturer and type (the revision-5 meaning) gets
      // the same values that form the long address.
      d = {254,
           c.manufacturer,
           c.deviceType,
           c.requestPreambles,
           c.universalRevision,
           c.deviceRevision,
           c.softwareRevision,
           c.hardwareSignalling,
           0,  // flags
           c.deviceId[0],
           c.deviceId[1],
           c.deviceId[2]};
      if (c.universalRevision >= 6) {
        d.push_back(c.responsePreambles);
        d.push_back(static_cast<std::uint8_t>(c.variables.size()));
        d.push_back(static_cast<std::uint8_t>(c.configChangeCounter >> 8));
        d.push_back(static_cast<std::uint8_t>(c.configChangeCounter));
        d.push_back(0);  // extended field device status
      }
      if (c.universalRevision >= 7) {
        Append(d, {0, c.manufacturer, 0, c.manufacturer, 1});  // ids, process-device profile
      }
      break;
    case 1:
      d.push_back(c.variables.empty() ? kUnitBar : c.variables[0].unit);
      AppendFloat(d, c.variables.empty() ? 0.0f : c.variables[0].value);
      break;
    case 2: {
      AppendFloat(d, c.loopCurrent);
      const float pv = c.variables.empty() ? 0.0f : c.variables[0].value;
      AppendFloat(d, (pv - c.lowerRange) / (c.upperRange - c.lowerRange) * 100.0f);
      break;
    }
    case 3:
      AppendFloat(d, c.loopCurrent);
      for (std::size_t i = 0; i < c.variables.size() && i < 4; ++i) {
        d.push_back(c.variables[i].unit);
        AppendFloat(d, c.variables[i].value);
      }
      break;
    case 4:
      // The old devices' tag read: block 1 holds tag, descriptor and date.
      if (requestData.empty()) {
        responseCode = kRcTooFewDataBytes;
      } else if (requestData[0] != 1) {
        responseCode = kRcInvalidSelection;
      } else {
        d.push_back(1);
        Append(d, PackAscii(c.tag, 8));
        Append(d, PackAscii(c.descriptor, 16));
        Append(d, {c.day, c.month, c.year});
      }
      break;
    case 13:
      Append(d, PackAscii(c.tag, 8));
      Append(d, PackAscii(c.descriptor, 16));
      Append(d, {c.day, c.month, c.year});
      break;
    case 15:
      // Alarm selection high, transfer function linear, the range in the
      // PV's unit, damping 1 s, not write protected, a reserved byte.
      d.push_back(0);
      d.push_back(0);
      d.push_back(c.variables.empty() ? kUnitBar : c.variables[0].unit);
      AppendFloat(d, c.upperRange);
      AppendFloat(d, c.lowerRange);
      AppendFloat(d, 1.0f);
      d.push_back(0);
      d.push_back(250);
      if (c.universalRevision >= 6) d.push_back(0);  // analog channel flags
      break;
    case 48:
      d = c.additionalStatus;
      break;
    case 20:
      // Long tags came with revision 6.
      if (c.universalRevision < 6) {
        responseCode = kRcNotImplemented;
        break;
      }
      d.assign(c.longTag.begin(), c.longTag.begin() + std::min<std::size_t>(c.longTag.size(), 32));
      d.resize(32, 0x00);
      break;
    default:
      responseCode = kRcNotImplemented;
      break;
  }
  return d;
}

}  // namespace sim
