// The HART-IP gateway client against a scripted gateway on loopback: what
// it makes of answers that are late, for another request, in error, lying
// about their length, cut off, or drowned in a flood.
#include "platform/hart_ip_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "hartip/pdu.h"
#include "platform/posix_serial.h"
#include "tests/support/frames.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using support::Hex;

// What the gateway sends for one pass-through request: chunks of bytes (one
// datagram each over UDP), each after its pause; then maybe a hang-up.
struct Step {
  int delayMs = 0;
  Bytes bytes;
  bool close = false;
};
using Script = std::function<std::vector<Step>(std::uint16_t sequence)>;

Bytes Response(std::uint16_t sequence, const Bytes& frame, std::uint8_t status = 0,
               std::uint8_t type = hartip::kTypeResponse) {
  return hartip::Encode(type, hartip::kTokenPassingPdu, status, sequence, frame);
}

class ScriptedGateway {
 public:
  ScriptedGateway(bool tcp, Script script, std::uint32_t timerMs = 60'000,
                  std::uint8_t initiateStatus = 0)
      : tcp_(tcp), script_(std::move(script)), timerMs_(timerMs), initiateStatus_(initiateStatus) {
    fd_ = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (tcp) ::listen(fd_, 1);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedGateway() {
    stop_ = true;
    thread_.join();
    if (conn_ >= 0) ::close(conn_);
    ::close(fd_);
  }
  std::string Name() const {
    return (tcp_ ? "hart-ip+tcp://127.0.0.1:" : "hart-ip://127.0.0.1:") + std::to_string(port_);
  }
  std::atomic<int> keepAlives{0};
  std::atomic<int> closes{0};

 private:
  void Send(const Bytes& b) {
    if (tcp_) {
      [[maybe_unused]] auto n = ::send(conn_, b.data(), b.size(), MSG_NOSIGNAL);
    } else {
      ::sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&peer_), peerLength_);
    }
  }
  void Run() {
    hartip::StreamReader stream;
    while (!stop_) {
      pollfd p{tcp_ && conn_ >= 0 ? conn_ : fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (tcp_ && conn_ < 0) {
        conn_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        continue;
      }
      std::uint8_t buffer[1024];
      peerLength_ = sizeof peer_;
      const ssize_t n = ::recvfrom(p.fd, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&peer_), &peerLength_);
      if (n <= 0) return;
      stream.Feed({buffer, static_cast<std::size_t>(n)});
      for (hartip::Pdu pdu; stream.Next(pdu) == hartip::ReadResult::kComplete;) Answer(pdu);
    }
  }
  void Answer(const hartip::Pdu& pdu) {
    const std::uint16_t seq = pdu.header.sequence;
    const std::uint8_t id = pdu.header.messageId;
    if (id == hartip::kSessionInitiate) {
      Send(hartip::Encode(hartip::kTypeResponse, id, initiateStatus_, seq,
                          hartip::SessionInitiateBody(1, timerMs_)));
    } else if (id == hartip::kKeepAlive || id == hartip::kSessionClose) {
      ++(id == hartip::kKeepAlive ? keepAlives : closes);
      Send(hartip::Encode(hartip::kTypeResponse, id, 0, seq, {}));
    } else {
      for (const Step& s : script_(seq)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(s.delayMs));
        Send(s.bytes);
        if (s.close) ::shutdown(conn_, SHUT_RDWR);
      }
    }
  }

  bool tcp_;
  Script script_;
  std::uint32_t timerMs_;
  std::uint8_t initiateStatus_;
  int fd_ = -1;
  int conn_ = -1;
  std::uint16_t port_ = 0;
  sockaddr_storage peer_{};
  socklen_t peerLength_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

const Bytes kRequest = Hex("FF FF FF FF FF 02 80 00 00 82");
const Bytes kFrame = Hex("06 80 00 02 00 00 84");
const Bytes kDelivered = Hex("FF FF FF FF FF 06 80 00 02 00 00 84");

// Reads as the link does after a request: until four reads come back empty.
platform::Error ReadReply(platform::SerialDevice& device, Bytes& got) {
  got.clear();
  for (int empty = 0; empty < 4;) {
    std::uint8_t b[64];
    std::uint32_t n = 0;
    const platform::Error e = device.Read(b, sizeof b, n);
    got.insert(got.end(), b, b + n);
    if (e != platform::kErrorSuccess) return e;
    if (n == 0) ++empty;
  }
  return platform::kErrorSuccess;
}

TEST(HartIpName, GatewayAddressesAndTheirTransport) {
  struct Case {
    const char* name;
    const char* host;
    const char* port;
    bool tcp;
  };
  for (const Case c : {
           Case{"hart-ip://127.0.0.1", "127.0.0.1", "5094", false},
           Case{"hart-ip+tcp://gw.plant.example:20004", "gw.plant.example", "20004", true},
           Case{"HART-IP://[::1]:5094/", "::1", "5094", false},
           Case{"hart-ip+tcp://[fe80::1%eth0]", "fe80::1%eth0", "5094", true},
       }) {
    platform::HartIpAddress a;
    ASSERT_TRUE(platform::ParseHartIpName(c.name, a)) << c.name;
    EXPECT_EQ(a.host, c.host) << c.name;
    EXPECT_EQ(a.port, c.port) << c.name;
    EXPECT_EQ(a.tcp, c.tcp) << c.name;
  }
  for (const char* bad : {
           "hart-ip://::1",          // an IPv6 address needs brackets
           "hart-ip://127.0.0.1:0",  // no port 0 to send to
           "hart-ip://127.0.0.1:65536",
           "hart-ip://host:50x4",
           "hart-ip://",
           "hart-ip://[::1",
           "hart-ip://user@host",
           "/dev/com8",
       }) {
    platform::HartIpAddress a;
    EXPECT_FALSE(platform::ParseHartIpName(bad, a)) << bad;
  }
}

// Each bad answer ends the read with the right frame or with nothing, never
// with garbage. An error status or a NAK ends the wait: the good answer a
// gateway might send after it is not taken.
TEST(HartIpClient, BadAnswersAreNeverData) {
  struct Case {
    const char* what;
    bool tcp;
    std::function<std::vector<Step>(std::uint16_t)> script;
    bool delivered;
    platform::Error error;
  };
  const auto lying = [](std::uint16_t seq, int count) {
    Bytes b = Response(seq, Hex("06 80 00 02 00 00 00"));
    b[6] = static_cast<std::uint8_t>(count >> 8);
    b[7] = static_cast<std::uint8_t>(count);
    return b;
  };
  const auto flood = [&](std::uint16_t seq) {
    std::vector<Step> steps;
    for (int i = 0; i < 3000; ++i) {
      steps.push_back({0, i % 2 ? Hex("01 01 03") : Response(seq + 1 + i, kFrame)});
    }
    steps.push_back({300, Response(seq, kFrame)});
    return steps;
  };
  const Case cases[] = {
      {"another sequence first", false,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s - 1, Hex("06 80 00 00 86"))},
                                  {0, Response(s, kFrame)}};
       },
       true, platform::kErrorSuccess},
      {"error status", false,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s, kFrame, 6)}, {50, Response(s, kFrame)}};
       },
       false, platform::kErrorSuccess},
      {"NAK", false,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s, kFrame, 0, hartip::kTypeNak)},
                                  {50, Response(s, kFrame)}};
       },
       false, platform::kErrorSuccess},
      {"length longer than the datagram, shorter, beyond any message", false,
       [&](std::uint16_t s) {
         return std::vector<Step>{
             {0, lying(s, 25)}, {0, lying(s, 12)}, {0, lying(s, 0xFFFF)}, {0, Response(s, kFrame)}};
       },
       true, platform::kErrorSuccess},
      {"flood, then the answer", false, flood, true, platform::kErrorSuccess},
      {"TCP: another sequence first", true,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s + 7, Hex("06 80 00 00 86"))},
                                  {0, Response(s, kFrame)}};
       },
       true, platform::kErrorSuccess},
      {"TCP: length beyond any message", true,
       [&](std::uint16_t s) {
         return std::vector<Step>{{0, lying(s, 0xFFFF)}};
       },
       false, platform::kErrorDeviceNotConnected},
      {"TCP: closed in the middle of the answer", true,
       [](std::uint16_t s) {
         const Bytes r = Response(s, kFrame);
         return std::vector<Step>{{0, Bytes(r.begin(), r.begin() + 10), true}};
       },
       false, platform::kErrorDeviceNotConnected},
  };
  for (const Case& c : cases) {
    ScriptedGateway gateway(c.tcp, c.script);
    platform::PosixSerialDriver driver;
    std::unique_ptr<platform::SerialDevice> device;
    ASSERT_EQ(driver.Open(gateway.Name(), device), platform::kErrorSuccess) << c.what;
    std::uint32_t written = 0;
    ASSERT_EQ(device->Write(kRequest.data(), kRequest.size(), written), platform::kErrorSuccess);
    Bytes got;
    EXPECT_EQ(ReadReply(*device, got), c.error) << c.what;
    EXPECT_EQ(got, c.delivered ? kDelivered : Bytes{}) << c.what;
    if (c.error == platform::kErrorDeviceNotConnected) {
      EXPECT_EQ(device->Write(kRequest.data(), kRequest.size(), written), c.error) << c.what;
    }
  }
}

// A gateway that does not answer in time: the read gives up when the loop
// could have carried request and reply, and the answer that comes after
// is not taken for the next request's.
TEST(HartIpClient, AnswerAfterTheWaitIsNotTheNextRequestsAnswer) {
  const std::uint32_t waitMs = platform::HartIpResponseWaitMs(kRequest.size());
  int requests = 0;
  ScriptedGateway gateway(false, [&](std::uint16_t s) {
    if (++requests == 1) {
      return std::vector<Step>{
          {static_cast<int>(waitMs) + 300, Response(s, Hex("06 80 00 00 86"))}};
    }
    return std::vector<Step>{{0, Response(s, kFrame)}};
  });
  platform::PosixSerialDriver driver;
  std::unique_ptr<platform::SerialDevice> device;
  ASSERT_EQ(driver.Open(gateway.Name(), device), platform::kErrorSuccess);
  std::uint32_t written = 0;
  Bytes got;
  ASSERT_EQ(device->Write(kRequest.data(), kRequest.size(), written), platform::kErrorSuccess);
  const auto start = Clock::now();
  EXPECT_EQ(ReadReply(*device, got), platform::kErrorSuccess);
  const auto took = Clock::now() - start;
  EXPECT_TRUE(got.empty());
  EXPECT_GE(took, std::chrono::milliseconds(waitMs - 50));
  EXPECT_LT(took, std::chrono::milliseconds(waitMs + 1000));

  ASSERT_EQ(device->Write(kRequest.data(), kRequest.size(), written), platform::kErrorSuccess);
  EXPECT_EQ(ReadReply(*device, got), platform::kErrorSuccess);
  EXPECT_EQ(got, kDelivered);
}

// An idle port keeps its session: keep-alives well inside the timer the
// gateway chose, and Session Close when the port closes.
TEST(HartIpClient, IdleSessionIsKeptAliveAndClosedWithThePort) {
  ScriptedGateway gateway(
      false, [](std::uint16_t) { return std::vector<Step>{}; }, 300);
  platform::PosixSerialDriver driver;
  std::unique_ptr<platform::SerialDevice> device;
  ASSERT_EQ(driver.Open(gateway.Name(), device), platform::kErrorSuccess);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_GE(gateway.keepAlives.load(), 2);
  device.reset();
  for (int i = 0; i < 100 && gateway.closes == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(gateway.closes.load(), 1);
}

TEST(HartIpClient, OpenFailuresSayWhatIsWrong) {
  // A port nobody serves: bound, then given up.
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(probe, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(probe);
  const std::string port = std::to_string(ntohs(a.sin_port));
  ScriptedGateway full(false, {}, 60'000, hartip::kStatusSessionsInUse);

  struct Case {
    std::string name;
    platform::Error error;
    const char* says;
  };
  for (const Case& c : {
           Case{"hart-ip://127.0.0.1:" + port, platform::kErrorFileNotFound, "Nothing serves"},
           Case{"hart-ip+tcp://127.0.0.1:" + port, platform::kErrorFileNotFound, "No HART-IP"},
           Case{"hart-ip://[::1", platform::kErrorInvalidParameter, "not a gateway address"},
           Case{full.Name(), platform::kErrorSharingViolation, "no free session"},
       }) {
    platform::PosixSerialDriver driver;
    std::unique_ptr<platform::SerialDevice> device;
    EXPECT_EQ(driver.Open(c.name, device), c.error) << c.name;
    EXPECT_EQ(device, nullptr);
    EXPECT_NE(driver.OpenFailureAdvice(c.name, c.error).find(c.says), std::string::npos)
        << driver.OpenFailureAdvice(c.name, c.error);
  }
}

}  // namespace
