#include "hart/check.h"

#include <cmath>

#include "hart/reply.h"
#include "platform/services.h"

namespace hart {

namespace {

constexpr std::uint8_t kMoreStatusAvailable = 0x10;
constexpr std::uint8_t kLoopCurrentFixed = 0x08;
// The extended device status byte is there from universal revision 6 on.
constexpr std::uint8_t kExtendedStatusRevision = 6;
// Devices before universal revision 5 are never sampled for loop current
// and PV: the window has always refused them, and every view keeps to it.
constexpr std::uint8_t kFirstMonitoredRevision = 5;
constexpr std::size_t kMostVariables = 4;  // PV, SV, TV, QV

// The 4-20 mA signal: 4 mA at 0 % of range, 16 mA of span.
constexpr double kZeroMa = 4.0;
constexpr double kSpanMa = 16.0;
// Deviations are compared in steps of 0.001 % of span (0.16 uA): a float's
// last digit of a current must not turn a reading at the limit into a fail.
constexpr double kDeviationSteps = 1000.0;

std::optional<std::string> ReadTagText(HartDevice& device, int& requests) {
  char text[kTagTextSize] = {};
  bool read = ReadTag(device, text);
  requests = device.LastRequests();
  if (!read) {
    read = ReadTag(device, text);
    requests += device.LastRequests();
  }
  if (!read) return std::nullopt;
  return std::string(text);
}

std::optional<AdditionalStatus> ReadAdditionalStatus(HartDevice& device) {
  std::uint8_t data[kCommandDataSize];
  if (!device.SendCommand(kCommandReadAdditionalStatus, data)) return std::nullopt;
  const HartDevice::Answer& answer = device.LastAnswer();
  AdditionalStatus status;
  status.bytes.assign(answer.data, answer.data + answer.dataLength);
  if (device.universalRevision >= kExtendedStatusRevision &&
      answer.dataLength > kExtendedStatusAt) {
    status.extended = answer.data[kExtendedStatusAt];
  }
  return status;
}

// The master's record of a sub-device: its long address is the expanded
// device type's two bytes and the identifier, as command 84 gives them.
HartDevice SubDevice(const SubDeviceSummary& summary) {
  HartDevice sub;
  sub.manufacturerCode = static_cast<std::uint8_t>(summary.expandedDeviceType >> 8);
  sub.deviceType = static_cast<std::uint8_t>(summary.expandedDeviceType);
  sub.deviceId[0] = static_cast<std::uint8_t>(summary.identifier >> 16);
  sub.deviceId[1] = static_cast<std::uint8_t>(summary.identifier >> 8);
  sub.deviceId[2] = static_cast<std::uint8_t>(summary.identifier);
  sub.universalRevision = summary.universalRevision;
  return sub;
}

// Tag, long tag and command 3 from one sub-device; a device that does not
// answer its tag is not asked the rest.
void ReadSubDevice(HartDevice& sub, SubDeviceRecord& record) {
  if (sub.universalRevision < kFirstMonitoredRevision) {
    // Before revision 5 a device has no long address to route by, and a
    // short frame to polling address 0 would reach the gateway itself.
    record.why = "universal revision " + std::to_string(sub.universalRevision) +
                 " has no long address to reach it by";
    return;
  }
  char text[kTagTextSize] = {};
  if (!ReadTag(sub, text)) {
    record.why = CommandFailure(sub, kCommandReadTag);
    return;
  }
  record.tag = std::string(text);
  std::uint8_t data[kCommandDataSize];
  if (sub.universalRevision >= kLongTagRevision) {
    if (sub.SendCommand(kCommandReadLongTag, data)) {
      record.longTag = DecodeLongTag(sub.LastAnswer().data, sub.LastAnswer().dataLength);
    } else {
      record.why = CommandFailure(sub, kCommandReadLongTag);
    }
  }
  if (sub.portLost) return;
  const DynamicReading reading = ReadDynamicVariables(sub);
  if (reading.outcome == ReadOutcome::kOk) {
    record.read = true;
    record.loopCurrent = reading.loopCurrent;
    record.pvUnit = reading.variables.front().unit;
    record.pv = reading.variables.front().value;
  } else {
    record.why +=
        (record.why.empty() ? "" : "; ") + CommandFailure(sub, kCommandReadCurrentAndVariables);
  }
}

}  // namespace

std::optional<GatewayListing> ListSubDevices(HartDevice& device, const PollHooks& hooks) {
  std::uint8_t data[kCommandDataSize];
  if (!device.SendCommand(kCommandReadIoCapabilities, data)) return std::nullopt;
  const auto capabilities =
      DecodeIoCapabilities(device.LastAnswer().data, device.LastAnswer().dataLength);
  if (!capabilities) return std::nullopt;
  GatewayListing listing{*capabilities, {}};
  // Index 0 is the gateway itself.
  const std::uint16_t last = capabilities->devicesKnown == 0 ? 0 : capabilities->devicesKnown - 1;
  for (std::uint16_t index = 1; index <= last && index != 0 && !device.portLost; ++index) {
    if (hooks.subDevice && !hooks.subDevice(index, last)) break;
    SubDeviceRecord record;
    record.index = index;
    const auto request = SubDeviceSummaryRequest(index);
    if (!device.SendCommand(kCommandReadSubDeviceSummary, data, request.data(),
                            static_cast<std::uint8_t>(request.size()))) {
      record.why = CommandFailure(device, kCommandReadSubDeviceSummary);
    } else if (!(record.summary = DecodeSubDeviceSummary(device.LastAnswer().data,
                                                         device.LastAnswer().dataLength))) {
      record.why = "command 84's answer is too short for an identity summary";
    } else {
      HartDevice sub = SubDevice(*record.summary);
      ReadSubDevice(sub, record);
      // The sub-device's record shares the gateway's link.
      if (sub.portLost) device.portLost = true;
    }
    listing.devices.push_back(record);
  }
  return listing;
}

std::string_view Verdict(PollOutcome outcome) {
  switch (outcome) {
    case PollOutcome::kSingleDevice:
      return "Test Pass, single device";
    case PollOutcome::kMultiDrop:
      return "Test Pass, multi-drop network";
    case PollOutcome::kNobody:
      return "Test Failed";
    case PollOutcome::kPortError:
      return "Error opening COM port";
    case PollOutcome::kPortLost:
      return "COM port lost";
  }
  return {};
}

FoundDevice Found(const HartDevice& device) {
  FoundDevice f;
  const auto& answer = device.LastAnswer();
  f.address = device.pollAddress;
  DecodeIdentity(answer.data, answer.dataLength, f.identity);
  f.responseCode = answer.responseCode;
  f.deviceStatus = answer.deviceStatus;
  f.pollRequests = device.LastRequests();
  return f;
}

PollResult RunPoll(HartDevice& device, const PollPlan& plan, const PollHooks& hooks) {
  PollResult result;
  if (device.Open(kPortNumber, kHartBaudRate) != serial::LinkResult::kOk) {
    // A port that opened but would not take the line settings is released
    // here, or every later press would find it still open.
    device.Close();
    result.outcome = PollOutcome::kPortError;
    return result;
  }
  HartDevice::Settle(kModemSettleMs);
  if (device.Poll(plan.address, kPollAttempts)) {
    FoundDevice found = Found(device);
    platform::Sleep(kBeforeTagMs);
    found.tag = ReadTagText(device, found.tagRequests);
    if (plan.gateway && plan.address == 0 && !device.portLost) {
      result.gateway = ListSubDevices(device, hooks);
    }
    if (plan.details && !device.portLost) {
      found.loop = CheckLoop(device, plan.tolerance);
      // Any answer may raise the flag; command 0's and command 2's are the
      // ones at hand.
      if (((found.deviceStatus | found.loop->deviceStatus) & kMoreStatusAvailable) != 0) {
        found.additionalStatus = ReadAdditionalStatus(device);
      }
    }
    result.devices.push_back(found);
    result.outcome = PollOutcome::kSingleDevice;
  } else if (!device.portLost && hooks.scan && hooks.scan()) {
    result.scanned = true;
    for (std::uint8_t address = kFirstDropAddress; address <= plan.scanLast && !device.portLost;
         ++address) {
      if (hooks.polling) hooks.polling(address);
      const FoundDevice* found = nullptr;
      if (device.Poll(address, 1)) {
        result.devices.push_back(Found(device));
        found = &result.devices.back();
      }
      if (hooks.scanned && !hooks.scanned(address, found)) break;
    }
    result.outcome = result.devices.empty() ? PollOutcome::kNobody : PollOutcome::kMultiDrop;
  } else {
    result.outcome = PollOutcome::kNobody;
  }
  // Nobody was asked whether a device is there once the port is gone: the
  // press has no verdict on the devices.
  if (device.portLost) result.outcome = PollOutcome::kPortLost;
  device.Close();
  return result;
}

LoopCheck CheckLoop(HartDevice& device, float tolerance) {
  LoopCheck check;
  check.tolerance = tolerance;
  std::uint8_t data[kCommandDataSize];
  if (device.SendCommand(kCommandReadDeviceInformation, data)) {
    RangeValues range;
    range.transferFunction = data[kTransferFunctionAt];
    range.unit = data[kRangeUnitAt];
    range.upper = ToHostFloat(data + kUpperRangeAt);
    range.lower = ToHostFloat(data + kLowerRangeAt);
    check.range = range;
  }
  if (!device.SendCommand(kCommandReadLoopCurrentAndPercent, data)) {
    check.why = CommandFailure(device, kCommandReadLoopCurrentAndPercent);
    return check;
  }
  check.answered = true;
  check.deviceStatus = device.LastAnswer().deviceStatus;
  check.measuredMa = ToHostFloat(data + kLoopCurrentAt);
  check.percent = ToHostFloat(data + kPercentOfRangeAt);
  const double expected = kZeroMa + kSpanMa * check.percent / 100.0;
  const double deviation = (check.measuredMa - expected) / kSpanMa * 100.0;
  check.expectedMa = static_cast<float>(expected);
  check.deviation = static_cast<float>(deviation);
  if (!std::isfinite(check.measuredMa) || !std::isfinite(check.percent)) {
    // A device sends NaN for a value it cannot give.
    check.why = "the device gives no number for its loop current or percent of range";
  } else if ((check.deviceStatus & kLoopCurrentFixed) != 0) {
    // In multi-drop or loop test the current does not follow the PV.
    check.why = "the device holds its loop current fixed";
  } else if (check.range && check.range->transferFunction != 0) {
    // The percent of range is the PV's; the current then follows a curve.
    check.why = "the transfer function is not linear";
  } else {
    const bool within = std::round(std::fabs(deviation) * kDeviationSteps) <=
                        std::round(double{tolerance} * kDeviationSteps);
    check.verdict = within ? LoopVerdict::kPass : LoopVerdict::kFail;
  }
  return check;
}

bool Monitored(const HartDevice& device) {
  return device.universalRevision >= kFirstMonitoredRevision;
}

DynamicReading ReadDynamicVariables(HartDevice& device) {
  DynamicReading reading;
  if (!Monitored(device)) {
    reading.outcome = ReadOutcome::kNotMonitored;
    return reading;
  }
  std::uint8_t data[kCommandDataSize];
  const bool ok = device.SendCommand(kCommandReadCurrentAndVariables, data);
  reading.requests = device.LastRequests();
  if (!ok) {
    reading.refusal = device.LastRefusal();
    reading.outcome = device.portLost        ? ReadOutcome::kPortLost
                      : reading.refusal != 0 ? ReadOutcome::kRefused
                                             : ReadOutcome::kNoAnswer;
    return reading;
  }
  const HartDevice::Answer& answer = device.LastAnswer();
  reading.outcome = ReadOutcome::kOk;
  reading.loopCurrent = ToHostFloat(data + kLoopCurrentAt);
  // The classifier has seen at least the PV; SV, TV and QV as far as the
  // answer carries them.
  for (std::size_t at = kPvUnitAt;
       at + kVariableSize <= answer.dataLength && reading.variables.size() < kMostVariables;
       at += kVariableSize) {
    reading.variables.push_back({data[at], ToHostFloat(data + at + 1)});
  }
  reading.deviceStatus = answer.deviceStatus;
  return reading;
}

std::string CommandFailure(const HartDevice& device, std::uint8_t command) {
  const std::string name = "command " + std::to_string(command);
  if (device.portLost) return name + ": COM port lost";
  if (device.LastRefusal() != 0) {
    return name + " refused: " + ResponseCodeText(device.LastRefusal());
  }
  return "no valid answer to " + name + " in " + std::to_string(device.LastRequests()) +
         " requests";
}

}  // namespace hart
