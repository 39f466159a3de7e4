// The checks a technician runs, once for every view: the Poll press (open,
// command 0, the tag, the multi-drop scan), the loop check, and a reading
// of loop current and the dynamic variables. The window and the runs
// without one call these and only present what comes back.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hart/device_info.h"
#include "hart/gateway.h"
#include "hart/hart_device.h"

namespace hart {

// How the link is opened and a press paced, whichever view runs it.
inline constexpr std::uint8_t kPortNumber = 8;  // "COM8:"
inline constexpr std::uint32_t kHartBaudRate = 1200;
// The modem settles after the port opens before it can carry a request.
inline constexpr std::uint32_t kModemSettleMs = 1000;
// A pause between the poll's answer and the tag request, so the device has
// finished with the first before it sees the second.
inline constexpr std::uint32_t kBeforeTagMs = 500;
inline constexpr std::uint8_t kPollAttempts = 2;
// The window's multi-drop scan covers 1 to 14 (15 is left out); devices of
// universal revision 6 and later take polling addresses up to 63.
inline constexpr std::uint8_t kFirstDropAddress = 1;
inline constexpr std::uint8_t kLastDropAddress = 14;
inline constexpr std::uint8_t kLastPollAddress = 63;
// The loop check's limit in percent of span: 0.25 % (0.04 mA) is the
// acceptance loop-check sheets commonly give a smart transmitter's analog
// output, a few times its own accuracy and well inside what a plant's
// control system notices.
inline constexpr float kLoopTolerance = 0.25f;

// How a Poll press ended. The verdict texts are the window's Status texts.
enum class PollOutcome {
  kSingleDevice,  // a device answered at the address polled
  kMultiDrop,     // nobody there, the scan found one or more
  kNobody,        // nobody answered (or the scan was declined)
  kPortError,     // the link did not open
  kPortLost,      // the port went away during the press
};
std::string_view Verdict(PollOutcome outcome);

// What command 48 adds to the field device status.
struct AdditionalStatus {
  std::vector<std::uint8_t> bytes;  // as the device sent them
  // Byte 6 from universal revision 6 on: the extended device status.
  std::optional<std::uint8_t> extended;
};

// Command 15's range of the primary variable, as the loop current maps it.
struct RangeValues {
  std::uint8_t unit = 0;
  float upper = 0;
  float lower = 0;
  std::uint8_t transferFunction = 0;  // 0: linear
};

enum class LoopVerdict {
  kPass,
  kFail,
  kNotChecked,  // the device lacks command 2, or holds its current fixed
};

// The loop check: the current the PV's percent of range asks for beside
// the current the device says it drives.
struct LoopCheck {
  LoopVerdict verdict = LoopVerdict::kNotChecked;
  std::string why;        // with kNotChecked: the reason
  bool answered = false;  // command 2 answered: the figures below are the device's
  std::optional<RangeValues> range;
  float measuredMa = 0;           // command 2's loop current
  float percent = 0;              // command 2's percent of range
  float expectedMa = 0;           // 4 + 16 x percent / 100
  float deviation = 0;            // measured - expected, in percent of the 16 mA span
  float tolerance = 0;            // the limit the verdict used, percent of span
  std::uint8_t deviceStatus = 0;  // with command 2's answer
};

struct FoundDevice {
  std::uint8_t address = 0;
  Identity identity;
  std::uint8_t responseCode = 0;
  std::uint8_t deviceStatus = 0;  // as the answer to command 0 gave it
  int pollRequests = 0;
  // Read for the device at the address polled, never in a scan; nullopt
  // when it was not asked or never answered (then tagRequests is not 0).
  std::optional<std::string> tag;
  int tagRequests = 0;
  // Read with `details` only.
  std::optional<AdditionalStatus> additionalStatus;
  std::optional<LoopCheck> loop;
};

// One device behind a gateway: what command 84 says of it, then what it
// answered itself through the gateway, by its long address.
struct SubDeviceRecord {
  std::uint16_t index = 0;  // command 84's
  // Command 84 answered for the index: the summary is the gateway's.
  std::optional<SubDeviceSummary> summary;
  std::optional<std::string> tag;      // command 13, padding kept
  std::optional<std::string> longTag;  // command 20, from revision 6 on
  // The gateway does not route by its long address: it was reached by
  // card and channel, inside the gateway's command 77.
  bool byChannel = false;
  bool read = false;      // command 3 answered: loopCurrent and pv hold it
  float loopCurrent = 0;  // mA
  std::uint8_t pvUnit = 0;
  float pv = 0;
  // Why the device, or part of what was asked of it, went unanswered;
  // empty when everything asked was answered.
  std::string why;
};

// What a gateway at address 0 says it holds, and every device it knows.
struct GatewayListing {
  IoCapabilities capabilities;
  std::vector<SubDeviceRecord> devices;  // index 1 on
};

struct PollResult {
  PollOutcome outcome = PollOutcome::kNobody;
  bool scanned = false;  // nobody at the address, and the hooks agreed to scan
  std::vector<FoundDevice> devices;
  // The device at address 0 answered command 74: a gateway, with these
  // devices behind it.
  std::optional<GatewayListing> gateway;
};

struct PollPlan {
  std::uint8_t address = 0;
  // The scan, when nobody answers at `address`: kFirstDropAddress to this.
  std::uint8_t scanLast = kLastDropAddress;
  // Command 48 when the device says more status is available, and the
  // loop check; the window shows neither and does not ask.
  bool details = false;
  float tolerance = kLoopTolerance;  // percent of span
  // Whether a device answering at address 0 is asked command 74 and, when
  // it answers as a gateway, the devices behind it are listed.
  bool gateway = false;
  // The device behind the gateway at address 0 with this identifier,
  // found through command 84, is polled instead (by its long address).
  std::optional<std::uint32_t> subDevice;
};

// What the view decides or shows while a press runs. Any may be empty.
struct PollHooks {
  // Nobody answered at the address: whether to scan.
  std::function<bool()> scan;
  // Before each address of the scan.
  std::function<void(std::uint8_t address)> polling;
  // After each address of the scan, with the device found there (or null);
  // false ends the scan there.
  std::function<bool(std::uint8_t address, const FoundDevice* found)> scanned;
  // Before each device behind a gateway, by command 84's index (1 to
  // `last`); false ends the listing there.
  std::function<bool(std::uint16_t index, std::uint16_t last)> subDevice;
  // Before each command the devices behind a gateway are asked together:
  // "tags of 60 sub-devices".
  std::function<void(const std::string& step)> reading;
};

// `device` after a Poll that answered: the identity it reported, its status
// and the requests the poll took.
FoundDevice Found(const HartDevice& device);

// The Poll press: open the link (closed again on failure), let the modem
// settle, command 0 at the plan's address, the tag (a second try if the
// first fails), or the scan the hooks agree to; the link is closed at the
// end. A lost port ends the press without a verdict on the devices.
PollResult RunPoll(HartDevice& device, const PollPlan& plan, const PollHooks& hooks = {});

// Commands 74 and 84 to the gateway `device` answers as, then for each
// sub-device command 13, 20 (from revision 6) and 3 by its long address,
// or by card and channel (command 77) where the gateway does not route by
// long address; nothing when the device does not answer 74 as a gateway.
std::optional<GatewayListing> ListSubDevices(HartDevice& device, const PollHooks& hooks = {});

// The identity summary of the device with `identifier` behind the gateway
// `device` answers as; nothing when it is no gateway or knows none such.
std::optional<SubDeviceSummary> FindSubDevice(HartDevice& device, std::uint32_t identifier);

// Command 2 (and 15 for the range, where the device has it) checked
// against `tolerance` percent of span.
LoopCheck CheckLoop(HartDevice& device, float tolerance);

// Loop current and the dynamic variables (PV, then SV, TV, QV as far as
// the device gives them), by command 3.
struct Variable {
  std::uint8_t unit = 0;
  float value = 0;
};
enum class ReadOutcome {
  kOk,
  kNotMonitored,  // universal revision 4 or below: nothing is sent
  kNoAnswer,
  kRefused,  // an error response code: see refusal
  kPortLost,
};
struct DynamicReading {
  ReadOutcome outcome = ReadOutcome::kNoAnswer;
  float loopCurrent = 0;  // mA
  std::vector<Variable> variables;
  std::uint8_t deviceStatus = 0;
  std::uint8_t refusal = 0;  // the response code with kRefused
  int requests = 0;
};
// Whether loop current and PV are read from this device at all.
bool Monitored(const HartDevice& device);
DynamicReading ReadDynamicVariables(HartDevice& device);

// Why a command got no usable answer, for people: "command 3 refused:
// 64 command not implemented", "no valid answer to command 3 in 4
// requests" ("command 3 through command 77" for a device its gateway
// reaches by card and channel).
std::string CommandFailure(const HartDevice& device, std::uint8_t command);

}  // namespace hart
