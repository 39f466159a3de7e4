#include "hart/check.h"

#include <algorithm>
#include <cmath>
#include <functional>

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

// The tag, with a second try if the first fails; a device behind a
// gateway that does not answer by its long address is tried the second
// time by card and channel, `byChannel`, and stays reached that way.
std::optional<std::string> ReadTagText(HartDevice& device, int& requests,
                                       const std::optional<Relayed>& byChannel = std::nullopt) {
  char text[kTagTextSize] = {};
  bool read = ReadTag(device, text);
  requests = device.LastRequests();
  if (!read && byChannel && device.LastResult().outcome == Outcome::kNoAnswer) {
    device.relay = byChannel;
  }
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

// The devices of `records` that answered everything asked so far and
// are of revision `fromRevision` or later, each beside its record.
struct Asking {
  std::vector<HartDevice*> devices;
  std::vector<SubDeviceRecord*> records;
};
Asking StillAnswering(std::vector<HartDevice>& subs, std::vector<SubDeviceRecord>& records,
                      std::uint8_t fromRevision) {
  Asking asking;
  for (std::size_t i = 0; i < subs.size(); ++i) {
    if (records[i].why.empty() && subs[i].universalRevision >= fromRevision) {
      asking.devices.push_back(&subs[i]);
      asking.records.push_back(&records[i]);
    }
  }
  return asking;
}

void Failed(SubDeviceRecord& record, const HartDevice& sub, std::uint8_t command) {
  record.why += (record.why.empty() ? "" : "; ") + CommandFailure(sub, command);
}

// How the gateway carries a request to the sub-device on `summary`'s card
// and channel, inside its command 77.
Relayed ChannelOf(const HartDevice& gateway, const SubDeviceSummary& summary) {
  return {summary.card, summary.channel, gateway.LongAddress(), gateway.requestPreambles};
}

bool Unanswered(const HartDevice& sub) {
  return sub.LastResult().outcome == Outcome::kNoAnswer;
}

// Command 13 to each of `tags`, by long address or by card and channel.
// A gateway that routes only by card and channel leaves every long address
// unanswered, each at the cost of all its attempts: the first device asked
// shows which way the gateway routes, and the rest go that way. A device
// that does not answer the way it was asked is asked once more the other.
void ReachForTags(const Asking& tags, const std::vector<Relayed>& channels, std::size_t window) {
  if (tags.devices.empty()) return;
  const auto send = [&](const std::vector<std::size_t>& which) {
    std::vector<HartDevice*> devices;
    for (const std::size_t i : which) devices.push_back(tags.devices[i]);
    SendCommandToEach(devices, kCommandReadTag, nullptr, 0, window);
  };
  // Those of `which` left unanswered are asked once more the other way,
  // and keep the first failure only if that fails too.
  const auto askBothWays = [&](const std::vector<std::size_t>& which) {
    send(which);
    std::vector<std::size_t> again;
    for (const std::size_t i : which) {
      HartDevice& sub = *tags.devices[i];
      if (!Unanswered(sub)) continue;
      tags.records[i]->why = CommandFailure(sub, kCommandReadTag);
      sub.relay = sub.relay ? std::nullopt : std::optional(channels[i]);
      again.push_back(i);
    }
    send(again);
    for (const std::size_t i : again) {
      if (!Unanswered(*tags.devices[i])) tags.records[i]->why.clear();
    }
  };
  askBothWays({0});
  const bool byChannel = tags.devices.front()->relay && !Unanswered(*tags.devices.front());
  std::vector<std::size_t> rest;
  for (std::size_t i = 1; i < tags.devices.size(); ++i) {
    if (byChannel) tags.devices[i]->relay = channels[i];
    rest.push_back(i);
  }
  askBothWays(rest);
}

// Tag, long tag (revision 6 on) and command 3 from every sub-device, each
// command to all of them at once as far as `window` lets it; a device
// that does not answer its tag is not asked the rest.
void ReadSubDevices(const HartDevice& gateway, std::vector<HartDevice>& subs,
                    std::vector<SubDeviceRecord>& records, std::size_t window,
                    const PollHooks& hooks) {
  const auto step = [&](const char* what, std::size_t count) {
    if (hooks.reading && count != 0) {
      hooks.reading(std::string(what) + " of " + std::to_string(count) +
                    (count == 1 ? " sub-device" : " sub-devices"));
    }
  };
  for (std::size_t i = 0; i < subs.size(); ++i) {
    if (records[i].why.empty() && subs[i].universalRevision < kFirstMonitoredRevision) {
      // Before revision 5 a device has no long address to route by, and a
      // short frame to polling address 0 would reach the gateway itself.
      records[i].why = "universal revision " + std::to_string(subs[i].universalRevision) +
                       " has no long address to reach it by";
    }
  }
  Asking tags = StillAnswering(subs, records, kFirstMonitoredRevision);
  std::vector<Relayed> channels;
  for (const SubDeviceRecord* record : tags.records) {
    channels.push_back(ChannelOf(gateway, *record->summary));
  }
  step("tags", tags.devices.size());
  ReachForTags(tags, channels, window);
  for (std::size_t i = 0; i < tags.devices.size(); ++i) {
    const HartDevice& sub = *tags.devices[i];
    SubDeviceRecord& record = *tags.records[i];
    if (sub.LastResult().outcome != Outcome::kAnswered) {
      Failed(record, sub, kCommandReadTag);
      continue;
    }
    char text[kTagTextSize] = {};
    UnpackTag(sub.LastAnswer().data, text);
    record.tag = std::string(text);
    record.byChannel = sub.relay.has_value();
  }
  Asking longTags = StillAnswering(subs, records, kLongTagRevision);
  step("long tags", longTags.devices.size());
  SendCommandToEach(longTags.devices, kCommandReadLongTag, nullptr, 0, window);
  for (std::size_t i = 0; i < longTags.devices.size(); ++i) {
    const HartDevice& sub = *longTags.devices[i];
    if (sub.LastResult().outcome != Outcome::kAnswered) {
      Failed(*longTags.records[i], sub, kCommandReadLongTag);
      continue;
    }
    longTags.records[i]->longTag =
        DecodeLongTag(sub.LastAnswer().data, sub.LastAnswer().dataLength);
  }
  // Command 3 for every device whose tag came, its long tag or not.
  Asking readings;
  for (std::size_t i = 0; i < subs.size(); ++i) {
    if (records[i].tag) {
      readings.devices.push_back(&subs[i]);
      readings.records.push_back(&records[i]);
    }
  }
  step("loop current and PV", readings.devices.size());
  SendCommandToEach(readings.devices, kCommandReadCurrentAndVariables, nullptr, 0, window);
  for (std::size_t i = 0; i < readings.devices.size(); ++i) {
    const HartDevice& sub = *readings.devices[i];
    SubDeviceRecord& record = *readings.records[i];
    if (sub.LastResult().outcome != Outcome::kAnswered) {
      Failed(record, sub, kCommandReadCurrentAndVariables);
      continue;
    }
    // The classifier has seen at least the PV.
    const std::uint8_t* data = sub.LastAnswer().data;
    record.read = true;
    record.loopCurrent = ToHostFloat(data + kLoopCurrentAt);
    record.pvUnit = data[kPvUnitAt];
    record.pv = ToHostFloat(data + kPvAt);
  }
}

// Command 74, then command 84 for each index the gateway knows, each
// summary (or why there is none) handed to `each` until it returns false.
std::optional<IoCapabilities> ReadSummaries(
    HartDevice& device, const std::function<bool(SubDeviceRecord&&, std::uint16_t last)>& each) {
  std::uint8_t data[kCommandDataSize];
  if (!device.SendCommand(kCommandReadIoCapabilities, data)) return std::nullopt;
  const auto capabilities =
      DecodeIoCapabilities(device.LastAnswer().data, device.LastAnswer().dataLength);
  if (!capabilities) return std::nullopt;
  // Index 0 is the gateway itself.
  const std::uint16_t last = capabilities->devicesKnown == 0 ? 0 : capabilities->devicesKnown - 1;
  for (std::uint16_t index = 1; index <= last && index != 0 && !device.portLost; ++index) {
    SubDeviceRecord record;
    record.index = index;
    const auto request = SubDeviceSummaryRequest(index);
    if (!device.SendCommand(kCommandReadSubDeviceSummary, data, request.data(),
                            static_cast<std::uint8_t>(request.size()))) {
      record.why = CommandFailure(device, kCommandReadSubDeviceSummary);
    } else if (!(record.summary = DecodeSubDeviceSummary(device.LastAnswer().data,
                                                         device.LastAnswer().dataLength))) {
      record.why = "command 84's answer is too short for an identity summary";
    }
    if (!each(std::move(record), last)) break;
  }
  return capabilities;
}

// The sub-device's identity as command 84 gave it, for the record of a
// device polled: its long address has no polling address of its own.
FoundDevice FoundBehindGateway(const SubDeviceSummary& s, int requests) {
  FoundDevice f;
  f.identity.expanded = true;
  f.identity.manufacturer = s.manufacturer;
  f.identity.deviceType = static_cast<std::uint8_t>(s.expandedDeviceType);
  f.identity.expandedDeviceType = s.expandedDeviceType;
  f.identity.universalRevision = s.universalRevision;
  f.identity.deviceRevision = s.deviceRevision;
  f.identity.identifier = s.identifier;
  f.identity.requestPreambles = 5;
  f.pollRequests = requests;
  return f;
}

}  // namespace

std::optional<SubDeviceSummary> FindSubDevice(HartDevice& device, std::uint32_t identifier) {
  std::optional<SubDeviceSummary> found;
  ReadSummaries(device, [&](SubDeviceRecord&& record, std::uint16_t) {
    if (record.summary && record.summary->identifier == identifier) found = record.summary;
    return !found;
  });
  return found;
}

std::optional<GatewayListing> ListSubDevices(HartDevice& device, const PollHooks& hooks) {
  std::vector<HartDevice> subs;
  std::vector<SubDeviceRecord> records;
  const auto capabilities =
      ReadSummaries(device, [&](SubDeviceRecord&& record, std::uint16_t last) {
        if (hooks.subDevice && !hooks.subDevice(record.index, last)) return false;
        subs.push_back(record.summary ? SubDevice(*record.summary) : HartDevice());
        records.push_back(std::move(record));
        return true;
      });
  if (!capabilities) return std::nullopt;
  GatewayListing listing{*capabilities, std::move(records)};
  if (device.portLost) return listing;
  // The gateway answers one request more than it holds busy: never more
  // outstanding than it says.
  ReadSubDevices(device, subs, listing.devices,
                 std::max<std::size_t>(capabilities->maxOutstanding, 1), hooks);
  // The sub-devices' records share the gateway's link.
  if (std::any_of(subs.begin(), subs.end(), [](const HartDevice& d) { return d.portLost; })) {
    device.portLost = true;
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
    // The sub-device's card and channel, should its gateway not route by
    // long address.
    std::optional<Relayed> channel;
    if (plan.subDevice) {
      const auto summary = FindSubDevice(device, *plan.subDevice);
      // Before revision 5 there is no long address to reach it by.
      if (!summary || summary->universalRevision < kFirstMonitoredRevision) {
        result.outcome = device.portLost ? PollOutcome::kPortLost : PollOutcome::kNobody;
        device.Close();
        return result;
      }
      // From here on the record is the sub-device's, reached through the
      // gateway by its long address.
      const int requests = found.pollRequests;
      channel = ChannelOf(device, *summary);
      device = SubDevice(*summary);
      found = FoundBehindGateway(*summary, requests);
    }
    platform::Sleep(kBeforeTagMs);
    found.tag = ReadTagText(device, found.tagRequests, channel);
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
  const std::string name =
      "command " + std::to_string(command) + (device.relay ? " through command 77" : "");
  if (device.portLost) return name + ": COM port lost";
  if (device.LastRefusal() != 0) {
    return name + " refused: " + ResponseCodeText(device.LastRefusal());
  }
  return "no valid answer to " + name + " in " + std::to_string(device.LastRequests()) +
         " requests";
}

}  // namespace hart
