// hartsim's HART-IP server: sessions, their timers and bounds, a gateway's
// sub-devices answering at once, and the faults it plays. Most cases drive
// the server in the test's own thread on a virtual clock; those about
// sockets (a moved port, connections, a TCP stream) talk to it on loopback.
#include "sim/hartsim/hart_ip_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/frames.h"

namespace {

using support::Hex;
constexpr std::uint64_t kMs = 1000;

struct Sent {
  std::uint16_t port;  // of the host it went to
  hartip::Pdu pdu;
};

sockaddr_storage Loopback(std::uint16_t port) {
  sockaddr_storage a{};
  auto* in = reinterpret_cast<sockaddr_in*>(&a);
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

std::vector<std::uint8_t> Message(std::uint8_t id, std::uint16_t sequence,
                                  std::vector<std::uint8_t> body = {}, std::uint8_t version = 1) {
  auto m = hartip::Encode(hartip::kTypeRequest, id, 0, sequence, body);
  m[0] = version;
  return m;
}

std::vector<std::uint8_t> InitiateBody(std::uint32_t timerMs = 60'000,
                                       std::uint8_t host = hartip::kPrimaryHost) {
  return hartip::SessionInitiateBody(host, timerMs);
}

// The server without its thread: datagrams from made-up hosts on
// 127.0.0.1, time moved by hand, and every message it sends recorded.
struct Driven {
  template <typename Behind>
  explicit Driven(Behind& behind, std::size_t sessions = 4) : server(behind, sessions) {
    server.clock = [this] { return now; };
    server.sent = [this](const sockaddr_storage& to, std::span<const std::uint8_t> message) {
      Sent s{ntohs(reinterpret_cast<const sockaddr_in*>(&to)->sin_port), {}};
      EXPECT_TRUE(hartip::ReadDatagram(message, s.pdu));
      out.push_back(std::move(s));
    };
  }
  void From(std::uint16_t port, const std::vector<std::uint8_t>& message) {
    const sockaddr_storage peer = Loopback(port);
    server.ReceiveDatagram(peer, sizeof(sockaddr_in), message);
  }
  // Opens a session for the host at `port`; true when it was granted.
  bool Open(std::uint16_t port, std::uint32_t timerMs = 60'000) {
    From(port, Message(hartip::kSessionInitiate, 100, InitiateBody(timerMs)));
    const auto answers = Take();
    return answers.size() == 1 && answers[0].pdu.header.status == hartip::kStatusSuccess;
  }
  void At(std::uint64_t micros) {
    now = micros;
    server.Advance();
  }
  std::vector<Sent> Take() { return std::exchange(out, {}); }

  std::uint64_t now = 0;
  sim::HartIpServer server;
  std::vector<Sent> out;
};

// The gateway of the routing cases: sub-device A answers in 300 ms, B in
// 100 ms.
struct TwoSubDevices {
  TwoSubDevices() {
    gateway.Add(sim::DeviceConfig{}, 300 * kMs);  // 9A 11 00 01 02
    sim::DeviceConfig b;
    b.deviceId = {0x00, 0x01, 0x03};
    gateway.Add(b, 100 * kMs);
  }
  sim::Gateway gateway;
};
const char* const kToA = "82 9A 11 00 01 02 00 00 0A";  // command 0 by long address
const char* const kToB = "82 9A 11 00 01 03 00 00 0B";
const char* const kToGateway = "02 80 00 00 82";  // answered at once

std::vector<std::uint8_t> AddressOf(const hartip::Pdu& response) {
  return {response.body.begin() + 1, response.body.begin() + 6};
}

TEST(HartIpServer, AnswersEachMessageAsTheSessionStateSays) {
  struct Case {
    const char* what;
    bool session;
    std::vector<std::uint8_t> message;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> answer;  // type, status
  };
  const Case cases[] = {
      {"an unknown message id is refused", true, Message(9, 7),
       std::pair{hartip::kTypeNak, hartip::kStatusSuccess}},
      {"another version is told so", true, Message(hartip::kKeepAlive, 7, {}, 2),
       std::pair{hartip::kTypeResponse, hartip::kStatusVersionNotSupported}},
      {"a second Initiate on the session", true,
       Message(hartip::kSessionInitiate, 7, InitiateBody()),
       std::pair{hartip::kTypeResponse, hartip::kStatusSessionExists}},
      {"a token-passing PDU without a frame", true, Message(hartip::kTokenPassingPdu, 7),
       std::pair{hartip::kTypeResponse, hartip::kStatusTooFewBytes}},
      {"a host type other than primary or secondary", false,
       Message(hartip::kSessionInitiate, 7, InitiateBody(60'000, 2)),
       std::pair{hartip::kTypeResponse, hartip::kStatusInvalidSelection}},
      {"no session: a keep-alive", false, Message(hartip::kKeepAlive, 7), std::nullopt},
      {"no session: a request", false, Message(hartip::kTokenPassingPdu, 7, Hex(kToGateway)),
       std::nullopt},
      {"no session: an unknown message id", false, Message(9, 7), std::nullopt},
      {"a response, not a request", true,
       hartip::Encode(hartip::kTypeResponse, hartip::kKeepAlive, 0, 7, {}), std::nullopt},
  };
  for (const Case& c : cases) {
    sim::Gateway gateway;
    Driven d(gateway);
    if (c.session) {
      ASSERT_TRUE(d.Open(5000)) << c.what;
    }
    d.From(5000, c.message);
    const auto answers = d.Take();
    if (!c.answer) {
      EXPECT_TRUE(answers.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(answers.size(), 1u) << c.what;
    EXPECT_EQ(answers[0].pdu.header.messageType, c.answer->first) << c.what;
    EXPECT_EQ(answers[0].pdu.header.status, c.answer->second) << c.what;
    EXPECT_EQ(answers[0].pdu.header.sequence, 7) << c.what;
  }
}

TEST(HartIpServer, AnIdleSessionExpiresAfterItsTimerAndEveryMessageRestartsIt) {
  sim::Gateway gateway;
  Driven d(gateway);
  ASSERT_TRUE(d.Open(5000, 1000));
  d.At(999 * kMs);
  d.From(5000, Message(hartip::kKeepAlive, 1));
  EXPECT_EQ(d.Take().size(), 1u);
  d.At(1998 * kMs);  // 999 ms after the keep-alive
  d.From(5000, Message(hartip::kKeepAlive, 2));
  EXPECT_EQ(d.Take().size(), 1u);
  d.At(2998 * kMs);  // its 1000 ms are up
  d.From(5000, Message(hartip::kKeepAlive, 3));
  EXPECT_TRUE(d.Take().empty());
  // Gone: a new Initiate is granted, not refused as a second one.
  EXPECT_TRUE(d.Open(5000));
}

TEST(HartIpServer, RequestsBeyondTenSecondsOfLoopAreDroppedTheEarliestServed) {
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  Driven d(segment);
  ASSERT_TRUE(d.Open(5000));
  constexpr std::uint16_t kSent = 80;  // some 30 s of loop at 1200 baud
  for (std::uint16_t seq = 1; seq <= kSent; ++seq) {
    d.From(5000, Message(hartip::kTokenPassingPdu, seq, Hex(kToGateway)));
  }
  d.At(200'000 * kMs);
  const auto answers = d.Take();
  ASSERT_GT(answers.size(), 10u);
  EXPECT_LT(answers.size(), kSent);
  for (std::size_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].pdu.header.sequence, i + 1);
  }
}

TEST(HartIpServer, PartOfAFrameIsNotCompletedByTheNextRequest) {
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  Driven d(segment);
  ASSERT_TRUE(d.Open(5000));
  d.From(5000, Message(hartip::kTokenPassingPdu, 1, Hex("02 80 00 05")));  // 5 data bytes to come
  d.From(5000, Message(hartip::kTokenPassingPdu, 2, Hex("82 9A 11 00 01 02 0D 00 07")));
  d.At(10'000 * kMs);
  const auto answers = d.Take();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].pdu.header.sequence, 2);
  EXPECT_EQ(AddressOf(answers[0].pdu), Hex("9A 11 00 01 02"));
  EXPECT_EQ(answers[0].pdu.body.at(6), 13);  // command 13's answer, not 0's
}

TEST(HartIpServer, SubDevicesAnswerTogetherEachAfterItsOwnLatencyToTheHostThatAsked) {
  TwoSubDevices two;
  Driven d(two.gateway);
  ASSERT_TRUE(d.Open(5000));
  ASSERT_TRUE(d.Open(6000));  // a second host, a session of its own
  d.From(5000, Message(hartip::kTokenPassingPdu, 1, Hex(kToA)));
  d.From(5000, Message(hartip::kTokenPassingPdu, 2, Hex(kToB)));
  d.From(6000, Message(hartip::kTokenPassingPdu, 1, Hex(kToA)));
  d.At(99 * kMs);
  EXPECT_TRUE(d.Take().empty());
  d.At(100 * kMs);
  auto answers = d.Take();
  ASSERT_EQ(answers.size(), 1u);  // B's, asked second, comes first
  EXPECT_EQ(answers[0].port, 5000);
  EXPECT_EQ(answers[0].pdu.header.sequence, 2);
  EXPECT_EQ(AddressOf(answers[0].pdu), Hex("9A 11 00 01 03"));
  d.At(300 * kMs);
  answers = d.Take();
  ASSERT_EQ(answers.size(), 2u);
  for (const auto& a : answers) {
    EXPECT_EQ(a.pdu.header.sequence, 1);
    EXPECT_EQ(AddressOf(a.pdu), Hex("9A 11 00 01 02"));
  }
  EXPECT_NE(answers[0].port, answers[1].port);
}

// A restart forgets every session: the host must initiate again. A
// gateway gone silent grants not even that.
TEST(HartIpServer, AfterARestartOrFallingSilentNoSessionIsServed) {
  struct Case {
    const char* what;
    sim::HartIpFaults faults;
    bool initiates;  // whether a new session is granted after
  };
  Case cases[] = {{"restart after one request", {}, true},
                  {"restart at 200 ms", {}, true},
                  {"silent after one request", {}, false}};
  cases[0].faults.restartAfter = 1;
  cases[1].faults.restartAtMicros = 200 * kMs;
  cases[2].faults.silentAfter = 1;
  for (const Case& c : cases) {
    TwoSubDevices two;
    Driven d(two.gateway);
    d.server.faults = c.faults;
    ASSERT_TRUE(d.Open(5000)) << c.what;
    d.From(5000, Message(hartip::kTokenPassingPdu, 1, Hex(kToGateway)));
    EXPECT_EQ(d.Take().size(), 1u) << c.what;
    // Lost as it finds the gateway restarting, or held (300 ms) when it does.
    d.From(5000, Message(hartip::kTokenPassingPdu, 2, Hex(kToA)));
    d.At(1000 * kMs);
    d.From(5000, Message(hartip::kTokenPassingPdu, 3, Hex(kToGateway)));
    d.From(5000, Message(hartip::kKeepAlive, 4));
    d.At(2000 * kMs);
    // Restarted, the next request and the keep-alive are a host's without
    // a session; silent, they go unanswered all the same.
    const auto lost = d.Take();
    EXPECT_TRUE(lost.empty()) << c.what << ": " << lost.size() << " answered";
    // The restarted gateway knows the host no more and grants it a new
    // session; the silent one grants not even a stranger one.
    ASSERT_EQ(d.Open(c.initiates ? 5000 : 6000), c.initiates) << c.what;
    if (!c.initiates) continue;
    d.From(5000, Message(hartip::kTokenPassingPdu, 5, Hex(kToGateway)));
    const auto again = d.Take();
    ASSERT_EQ(again.size(), 1u) << c.what;
    EXPECT_EQ(again[0].pdu.header.sequence, 5) << c.what;
  }
}

// --- on loopback -------------------------------------------------------

struct Served {
  explicit Served(std::size_t sessions = 4) : server(gateway, sessions) {
    server.clock = [this] { return now.load(); };
  }
  void Start() {
    std::string error;
    ASSERT_EQ(server.Start({"127.0.0.1", "0"}, error), 0) << error;
  }
  sim::Gateway gateway;
  std::atomic<std::uint64_t> now{0};
  sim::HartIpServer server;
};

struct Socket {
  explicit Socket(int type) : fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {}
  ~Socket() { ::close(fd); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  bool Connect(std::uint16_t port) const {
    const sockaddr_storage a = Loopback(port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(sockaddr_in)) == 0;
  }
  void SendTo(std::uint16_t port, const std::vector<std::uint8_t>& m) const {
    const sockaddr_storage a = Loopback(port);
    ASSERT_EQ(::sendto(fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                       sizeof(sockaddr_in)),
              static_cast<ssize_t>(m.size()));
  }
  void Send(const std::vector<std::uint8_t>& m) const {
    ASSERT_EQ(::send(fd, m.data(), m.size(), MSG_NOSIGNAL), static_cast<ssize_t>(m.size()));
  }
  // The next datagram and the port it came from; nothing within 2 s.
  std::optional<std::pair<std::uint16_t, hartip::Pdu>> Receive() const {
    if (!Readable()) return std::nullopt;
    std::uint8_t buffer[hartip::kMaxPduSize];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n =
        ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    hartip::Pdu pdu;
    if (n <= 0 || !hartip::ReadDatagram({buffer, static_cast<std::size_t>(n)}, pdu)) {
      return std::nullopt;
    }
    return std::pair{ntohs(from.sin_port), pdu};
  }
  // The next message on a stream; nothing when it closes (or 2 s pass).
  std::optional<hartip::Pdu> Next() {
    hartip::Pdu pdu;
    while (stream.Next(pdu) != hartip::ReadResult::kComplete) {
      std::uint8_t buffer[512];
      if (!Readable()) return std::nullopt;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return std::nullopt;
      stream.Feed({buffer, static_cast<std::size_t>(n)});
    }
    return pdu;
  }
  // Whether the server closed the connection (within 2 s).
  bool Closed() const {
    std::uint8_t byte = 0;
    return Readable() && ::recv(fd, &byte, 1, 0) <= 0;
  }
  bool Readable() const {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 2000) == 1;
  }
  int fd;
  hartip::StreamReader stream;
};

TEST(HartIpServerOnLoopback, AMovedSessionIsServedOnItsOwnPortOnly) {
  Served gw;
  gw.server.faults.movePort = true;
  gw.Start();
  Socket host(SOCK_DGRAM);
  host.SendTo(gw.server.Port(), Message(hartip::kSessionInitiate, 1, InitiateBody()));
  const auto initiated = host.Receive();
  ASSERT_TRUE(initiated);
  EXPECT_EQ(initiated->second.header.status, hartip::kStatusSuccess);
  const std::uint16_t moved = initiated->first;
  EXPECT_NE(moved, gw.server.Port());
  // A request to the old port is a host without a session there; the one
  // to the new port is answered, from it.
  host.SendTo(gw.server.Port(), Message(hartip::kTokenPassingPdu, 2, Hex(kToGateway)));
  host.SendTo(moved, Message(hartip::kTokenPassingPdu, 3, Hex(kToGateway)));
  const auto answer = host.Receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->first, moved);
  EXPECT_EQ(answer->second.header.sequence, 3);
}

TEST(HartIpServerOnLoopback, ConnectionsBeyondTheSessionsAndTwoSpareAreClosed) {
  Served gw(1);
  gw.Start();
  std::vector<std::unique_ptr<Socket>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<Socket>(SOCK_STREAM));
    ASSERT_TRUE(held.back()->Connect(gw.server.Port()));
  }
  Socket fourth(SOCK_STREAM);
  ASSERT_TRUE(fourth.Connect(gw.server.Port()));
  EXPECT_TRUE(fourth.Closed());
  // The three kept: one session is granted, the next told all are in use
  // and let go.
  held[0]->Send(Message(hartip::kSessionInitiate, 1, InitiateBody()));
  const auto granted = held[0]->Next();
  ASSERT_TRUE(granted);
  EXPECT_EQ(granted->header.status, hartip::kStatusSuccess);
  held[1]->Send(Message(hartip::kSessionInitiate, 1, InitiateBody()));
  const auto refused = held[1]->Next();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->header.status, hartip::kStatusSessionsInUse);
  EXPECT_TRUE(held[1]->Closed());
}

TEST(HartIpServerOnLoopback, AMalformedStreamLosesItsConnectionNotTheOtherSessions) {
  Served gw;
  gw.Start();
  Socket udp(SOCK_DGRAM);
  udp.SendTo(gw.server.Port(), Message(hartip::kSessionInitiate, 1, InitiateBody()));
  ASSERT_TRUE(udp.Receive());
  Socket tcp(SOCK_STREAM);
  ASSERT_TRUE(tcp.Connect(gw.server.Port()));
  tcp.Send(Message(hartip::kSessionInitiate, 1, InitiateBody()));
  ASSERT_TRUE(tcp.Next());
  // A byte count below the header's own size: no way to find the next one.
  tcp.Send(Hex("01 00 02 00 00 02 00 03"));
  EXPECT_TRUE(tcp.Closed());
  udp.SendTo(gw.server.Port(), Message(hartip::kKeepAlive, 2));
  const auto kept = udp.Receive();
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->second.header.sequence, 2);
}

TEST(HartIpServerOnLoopback, AnIdleConnectionIsClosedWhenItsTimerRunsOut) {
  Served gw;
  gw.Start();
  Socket tcp(SOCK_STREAM);
  ASSERT_TRUE(tcp.Connect(gw.server.Port()));
  tcp.Send(Message(hartip::kSessionInitiate, 1, InitiateBody(1000)));
  ASSERT_TRUE(tcp.Next());
  gw.now = 1001 * kMs;
  EXPECT_TRUE(tcp.Closed());
}

}  // namespace
