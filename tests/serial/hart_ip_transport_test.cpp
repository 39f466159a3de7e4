// The HART-IP transport against a scripted gateway on loopback: what
// it makes of answers that are late, for another request, in error, lying
// about their length, cut off, or drowned in a flood; of a gateway that
// moves the session to a port of its own, restarts, speaks another
// version or refuses; of a name whose first address serves nothing.
//
// The gateway has no thread: it is the transport's NetworkWait, and acts
// when the transport waits, moving virtual time to the next thing it has to
// do.
// Loopback hands a datagram over within the send, so event order is all
// the tests rely on.
#include "serial/hart_ip_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <optional>

#include "hartip/pdu.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "tests/support/frames.h"
#include "tests/support/scripted_operator.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using support::Hex;

// What the gateway sends for one pass-through request: chunks of bytes (one
// datagram each over UDP), each at its time after the request; then maybe a
// hang-up, or a restart that forgets the session.
struct Step {
  std::uint32_t afterMs = 0;
  Bytes bytes;
  bool close = false;
  bool restart = false;
};
// `n` counts the pass-through requests, from 1.
using Script = std::function<std::vector<Step>(std::uint16_t sequence, int n)>;

Bytes Response(std::uint16_t sequence, const Bytes& frame, std::uint8_t status = 0,
               std::uint8_t type = hartip::kTypeResponse) {
  return hartip::Encode(type, hartip::kTokenPassingPdu, status, sequence, frame);
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

int BoundSocket(int family, int type, const char* address, std::uint16_t port = 0) {
  const int fd = ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_storage a{};
  socklen_t len = sizeof(sockaddr_in);
  if (family == AF_INET6) {
    auto& six = reinterpret_cast<sockaddr_in6&>(a);
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(port);
    ::inet_pton(AF_INET6, address, &six.sin6_addr);
    len = sizeof six;
  } else {
    auto& four = reinterpret_cast<sockaddr_in&>(a);
    four.sin_family = AF_INET;
    four.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &four.sin_addr);
  }
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&a), len), 0) << address;
  return fd;
}

std::uint16_t PortOf(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(a).sin6_port
                                       : reinterpret_cast<sockaddr_in&>(a).sin_port);
}

struct GatewayConfig {
  bool tcp = false;
  std::uint32_t timerMs = 60'000;
  std::uint8_t initiateStatus = hartip::kStatusSuccess;
  std::uint8_t initiateVersion = hartip::kVersion;
  // Answers Session Initiate from a port of its own and serves the session
  // there; a restart closes that port.
  bool movePort = false;
  // Before the gateway's answer, a host beside it answers the initiate too.
  bool strangerFirst = false;
  // A host without a session gets an Error message instead of silence.
  bool errorWithoutSession = false;
  bool answerKeepAlives = true;
};

class ScriptedGateway final : public platform::NetworkWait {
 public:
  explicit ScriptedGateway(GatewayConfig config, Script script = {})
      : config_(config), script_(std::move(script)) {
    fd_ = BoundSocket(AF_INET, config.tcp ? SOCK_STREAM : SOCK_DGRAM, "127.0.0.1");
    if (config.tcp) ::listen(fd_, 1);
  }
  ~ScriptedGateway() override {
    for (const int fd : {fd_, conn_, sessionFd_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  std::uint16_t Port() const { return PortOf(fd_); }
  std::string Name() const {
    return (config_.tcp ? "hart-ip+tcp://127.0.0.1:" : "hart-ip://127.0.0.1:") +
           std::to_string(Port());
  }
  serial::HartIpOptions Options(serial::HartIpSettings settings = {}) {
    serial::HartIpOptions o;
    o.settings = settings;
    o.wait = this;
    return o;
  }

  std::uint32_t NowMs() override { return now_; }
  void Wait(int fd, short events, std::uint32_t ms) override {
    const std::uint32_t until = now_ + ms;
    for (;;) {
      Serve();
      pollfd p{fd, events, 0};
      if (::poll(&p, 1, 0) > 0) return;
      const std::uint32_t next = NextDue().value_or(until);
      if (next >= until) {
        now_ = until;
        Serve();
        return;
      }
      now_ = std::max<std::uint32_t>(now_, next);
    }
  }
  // Lets virtual time pass while the transport does nothing.
  void Advance(std::uint32_t ms) {
    now_ += ms;
    Serve();
  }
  // Answers what has come, and sends what is due.
  void Serve() {
    if (config_.tcp && conn_ < 0 && Readable(fd_)) {
      conn_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      // Two answers sent back to back arrive together, not one delayed ACK apart.
      const int on = 1;
      ::setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    for (const int fd : {config_.tcp ? conn_ : fd_, sessionFd_}) {
      while (fd >= 0 && Readable(fd)) {
        std::uint8_t buffer[1024];
        peerLength_ = sizeof peer_;
        const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr*>(&peer_), &peerLength_);
        if (n <= 0) break;
        stream_.Feed({buffer, static_cast<std::size_t>(n)});
        for (hartip::Pdu pdu; stream_.Next(pdu) == hartip::ReadResult::kComplete;) {
          Answer(fd, pdu);
        }
      }
    }
    while (!due_.empty() && due_.begin()->first <= now_) {
      const auto [from, step] = due_.begin()->second;
      due_.erase(due_.begin());
      Send(from, step.bytes);
      if (step.close) ::shutdown(conn_, SHUT_RDWR);
      if (step.restart) Restart();
    }
  }
  // Waits in real time, at most `ms`, for a message to come in, and serves it.
  void AwaitTraffic(int ms) {
    pollfd p{config_.tcp ? conn_ : fd_, POLLIN, 0};
    ::poll(&p, 1, ms);
    Serve();
  }
  // Forgets the session, as a gateway that lost power does.
  void Restart() {
    session_ = false;
    if (sessionFd_ >= 0) ::close(sessionFd_);
    sessionFd_ = -1;
  }

  int initiates = 0;
  int keepAlives = 0;
  int closes = 0;
  int requests = 0;
  std::optional<std::uint8_t> hostType;

 private:
  std::optional<std::uint32_t> NextDue() const {
    if (due_.empty()) return std::nullopt;
    return due_.begin()->first;
  }
  void Send(int from, const Bytes& b) {
    if (config_.tcp) {
      [[maybe_unused]] auto n = ::send(conn_, b.data(), b.size(), MSG_NOSIGNAL);
    } else if (from >= 0) {
      ::sendto(from, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&peer_), peerLength_);
    }
  }
  void Answer(int from, const hartip::Pdu& pdu) {
    const std::uint16_t seq = pdu.header.sequence;
    const std::uint8_t id = pdu.header.messageId;
    if (id == hartip::kSessionInitiate) {
      ++initiates;
      std::uint32_t timer = 0;
      std::uint8_t host = 0;
      if (hartip::ReadSessionInitiateBody(pdu.body, host, timer)) hostType = host;
      if (config_.strangerFirst) {
        const int stranger = BoundSocket(AF_INET, SOCK_DGRAM, "127.0.0.2");
        Send(stranger, hartip::Encode(hartip::kTypeResponse, id, hartip::kStatusSessionsInUse, seq,
                                      pdu.body));
        ::close(stranger);
      }
      if (config_.movePort && !config_.tcp) {
        if (sessionFd_ >= 0) ::close(sessionFd_);
        sessionFd_ = BoundSocket(AF_INET, SOCK_DGRAM, "127.0.0.1");
        from = sessionFd_;
      }
      Bytes answer = hartip::Encode(hartip::kTypeResponse, id, config_.initiateStatus, seq,
                                    hartip::SessionInitiateBody(host, config_.timerMs));
      answer[0] = config_.initiateVersion;
      Send(from, answer);
      session_ = config_.initiateStatus == hartip::kStatusSuccess;
      return;
    }
    if (!session_) {
      if (config_.errorWithoutSession) {
        Send(from, hartip::Encode(hartip::kTypeError, id, hartip::kStatusSuccess, seq, {}));
      }
      return;
    }
    if (id == hartip::kKeepAlive) {
      ++keepAlives;
      if (config_.answerKeepAlives)
        Send(from, hartip::Encode(hartip::kTypeResponse, id, 0, seq, {}));
    } else if (id == hartip::kSessionClose) {
      ++closes;
      Send(from, hartip::Encode(hartip::kTypeResponse, id, 0, seq, {}));
      session_ = false;
    } else if (id == hartip::kTokenPassingPdu) {
      ++requests;
      for (Step& s : script_(seq, requests)) due_.emplace(now_ + s.afterMs, std::pair{from, s});
    }
  }

  GatewayConfig config_;
  Script script_;
  int fd_ = -1;
  int conn_ = -1;
  int sessionFd_ = -1;
  bool session_ = false;
  std::atomic<std::uint32_t> now_{1000};
  std::multimap<std::uint32_t, std::pair<int, Step>> due_;
  hartip::StreamReader stream_;
  sockaddr_storage peer_{};
  socklen_t peerLength_ = 0;
};

const Bytes kRequest = Hex("FF FF FF FF FF 02 80 00 00 82");
const Bytes kFrame = Hex("06 80 00 02 00 00 84");
// The answer as the transport delivers it: delimiter, header, data.
const Bytes kDelivered = Hex("06 80 00 02 00 00");
const Bytes kOtherFrame = Hex("06 80 00 00 86");

std::vector<Step> Answer(std::uint16_t s, std::uint32_t afterMs = 0) {
  return {{afterMs, Response(s, kFrame)}};
}

// A transport opened on `gateway`, or null with the reason reported.
std::unique_ptr<serial::HartIpTransport> Open(ScriptedGateway& gateway,
                                              serial::HartIpSettings settings = {}) {
  auto transport = std::make_unique<serial::HartIpTransport>(gateway.Options(settings));
  if (transport->Open(1, gateway.Name(), 1200) == serial::LinkResult::kOk) return transport;
  ADD_FAILURE() << transport->Advice();
  return nullptr;
}

// One request and the answer that came back of it; empty when none did.
Bytes Ask(serial::Transport& transport, serial::LinkResult* result = nullptr) {
  serial::LinkResult r = transport.SendFrame(kRequest.data(), kRequest.size());
  std::uint8_t reply[serial::kReplyBufferSize] = {};
  if (r == serial::LinkResult::kOk) r = transport.ReceiveFrame(reply);
  if (result != nullptr) *result = r;
  if (r != serial::LinkResult::kOk) return {};
  return Bytes(reply,
               reply + 1 + serial::HeaderLength(reply[0]) + reply[serial::HeaderLength(reply[0])]);
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
    serial::HartIpAddress a;
    ASSERT_TRUE(serial::ParseHartIpName(c.name, a)) << c.name;
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
    serial::HartIpAddress a;
    EXPECT_FALSE(serial::ParseHartIpName(bad, a)) << bad;
  }
}

// Each bad answer ends the read with the right frame or with nothing, never
// with garbage. An error status or a NAK ends the wait: the good answer a
// gateway might send after it is not taken.
TEST(HartIpTransport, BadAnswersAreNeverData) {
  struct Case {
    const char* what;
    bool tcp;
    std::function<std::vector<Step>(std::uint16_t)> script;
    serial::LinkResult result;
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
         return std::vector<Step>{{0, Response(s - 1, kOtherFrame)}, {0, Response(s, kFrame)}};
       },
       serial::LinkResult::kOk},
      {"error status", false,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s, kFrame, 6)}, {50, Response(s, kFrame)}};
       },
       serial::LinkResult::kNoReply},
      {"NAK", false,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s, kFrame, 0, hartip::kTypeNak)},
                                  {50, Response(s, kFrame)}};
       },
       serial::LinkResult::kNoReply},
      {"length longer than the datagram, shorter, beyond any message", false,
       [&](std::uint16_t s) {
         return std::vector<Step>{
             {0, lying(s, 25)}, {0, lying(s, 12)}, {0, lying(s, 0xFFFF)}, {0, Response(s, kFrame)}};
       },
       serial::LinkResult::kOk},
      {"flood, then the answer", false, flood, serial::LinkResult::kOk},
      // The frame inside is checked as a modem's reply is, never passed on
      // as it came.
      {"a frame whose checksum does not match", false,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s, Hex("06 80 00 02 00 00 85"))}};
       },
       serial::LinkResult::kChecksumError},
      {"a frame shorter than its byte count", false,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s, Hex("06 80 00 02 00"))}};
       },
       serial::LinkResult::kDataIncomplete},
      {"TCP: another sequence first", true,
       [](std::uint16_t s) {
         return std::vector<Step>{{0, Response(s + 7, kOtherFrame)}, {0, Response(s, kFrame)}};
       },
       serial::LinkResult::kOk},
      {"TCP: length beyond any message", true,
       [&](std::uint16_t s) {
         return std::vector<Step>{{0, lying(s, 0xFFFF)}};
       },
       serial::LinkResult::kPortLost},
      {"TCP: closed in the middle of the answer", true,
       [](std::uint16_t s) {
         const Bytes r = Response(s, kFrame);
         return std::vector<Step>{{0, Bytes(r.begin(), r.begin() + 10), true}};
       },
       serial::LinkResult::kPortLost},
  };
  for (const Case& c : cases) {
    GatewayConfig config;
    config.tcp = c.tcp;
    ScriptedGateway gateway(config, [&](std::uint16_t s, int) { return c.script(s); });
    auto transport = Open(gateway);
    ASSERT_NE(transport, nullptr) << c.what;
    serial::LinkResult result = serial::LinkResult::kOk;
    EXPECT_EQ(Ask(*transport, &result), c.result == serial::LinkResult::kOk ? kDelivered : Bytes{})
        << c.what;
    EXPECT_EQ(result, c.result) << c.what;
    if (c.result == serial::LinkResult::kPortLost) {
      EXPECT_EQ(transport->SendFrame(kRequest.data(), kRequest.size()), c.result) << c.what;
    }
  }
}

// A gateway that answers after the response wait: the read gives up exactly
// when the wait is up, and the answer that comes after is not taken for the
// next request's. The setting lengthens the wait for a gateway that relays
// over a slow mesh.
TEST(HartIpTransport, ResponseWaitEndsTheReadAndLateAnswersStayLate) {
  const std::uint32_t loopMs = serial::HartIpResponseWaitMs(kRequest.size());
  struct Case {
    std::uint32_t settingMs;
    std::uint32_t waitedMs;  // until the read gives up or the answer is in
    bool firstTaken;
  };
  for (const Case c : {Case{0, loopMs, false}, Case{10'000, loopMs + 300, true}}) {
    ScriptedGateway gateway({}, [loopMs](std::uint16_t s, int n) {
      // The second answer comes after the first one's late answer.
      if (n == 1) return std::vector<Step>{{loopMs + 300, Response(s, kOtherFrame)}};
      return Answer(s, 400);
    });
    serial::HartIpSettings settings;
    settings.responseWaitMs = c.settingMs;
    auto transport = Open(gateway, settings);
    ASSERT_NE(transport, nullptr);
    ASSERT_EQ(transport->SendFrame(kRequest.data(), kRequest.size()), serial::LinkResult::kOk);
    const std::uint32_t sentAt = gateway.NowMs();
    std::uint8_t reply[serial::kReplyBufferSize] = {};
    EXPECT_EQ(transport->ReceiveFrame(reply),
              c.firstTaken ? serial::LinkResult::kOk : serial::LinkResult::kNoReply)
        << c.settingMs;
    EXPECT_EQ(gateway.NowMs() - sentAt, c.waitedMs) << c.settingMs;
    EXPECT_EQ(Ask(*transport), kDelivered) << c.settingMs;
  }
}

// The gateway serves the session from a port of its own: the transport
// talks to the port that answered. Only the gateway's host is heard: a host
// beside it that answers the initiate first is not taken for the gateway.
TEST(HartIpTransport, SessionMovesToThePortThatAnswered) {
  for (const bool stranger : {false, true}) {
    GatewayConfig config;
    config.movePort = true;
    config.strangerFirst = stranger;
    ScriptedGateway gateway(config, [](std::uint16_t s, int) { return Answer(s); });
    auto transport = Open(gateway);
    ASSERT_NE(transport, nullptr) << stranger;
    EXPECT_EQ(Ask(*transport), kDelivered) << stranger;
    EXPECT_EQ(Ask(*transport), kDelivered) << stranger;
    EXPECT_EQ(gateway.initiates, 1);
  }
}

// A request that goes unanswered is lost, and only that one: the next
// comes through. A device behind a live gateway that stays silent costs
// nothing more: the keep-alive that checks the session finds it there. A
// gateway that restarted forgets the session and ignores a host without one,
// or says so with an Error message, or its session port is gone (ICMP
// "unreachable"): the next request goes to a new session.
TEST(HartIpTransport, LostRequestCostsOnlyItself) {
  struct Case {
    const char* what;
    bool restart;
    bool movePort;
    bool errorWithoutSession;
    int initiates;
    int keepAlives;  // answered, in a session
  };
  for (const Case c : {Case{"silent device", false, false, false, 1, 1},
                       Case{"restart, silent", true, false, false, 2, 0},
                       Case{"restart, Error message", true, false, true, 2, 0},
                       Case{"restart, session port unreachable", true, true, false, 2, 0}}) {
    GatewayConfig config;
    config.movePort = c.movePort;
    config.errorWithoutSession = c.errorWithoutSession;
    ScriptedGateway gateway(config, [&c](std::uint16_t s, int n) {
      std::vector<Step> steps = Answer(s);
      if (c.restart) steps.back().restart = n == 1;
      if (!c.restart && n == 2) steps.clear();
      return steps;
    });
    auto transport = Open(gateway);
    ASSERT_NE(transport, nullptr) << c.what;
    EXPECT_EQ(Ask(*transport), kDelivered) << c.what;
    EXPECT_EQ(Ask(*transport), Bytes{}) << c.what;
    EXPECT_EQ(Ask(*transport), kDelivered) << c.what;
    EXPECT_EQ(Ask(*transport), kDelivered) << c.what;
    EXPECT_EQ(gateway.initiates, c.initiates) << c.what;
    EXPECT_EQ(gateway.keepAlives, c.keepAlives) << c.what;
  }
}

// A name whose first address serves no HART-IP (nothing there, or a host
// that drops it) reaches the gateway at the next one.
TEST(HartIpTransport, EachResolvedAddressIsTriedUntilOneAnswers) {
  for (const bool silent : {false, true}) {
    ScriptedGateway gateway({}, [](std::uint16_t s, int) { return Answer(s); });
    const std::uint16_t port = gateway.Port();
    // Where the IPv6 address is served by a host that drops HART-IP.
    const int drops = silent ? BoundSocket(AF_INET6, SOCK_DGRAM, "::1", port) : -1;
    serial::HartIpOptions options = gateway.Options();
    options.resolve = [port](const serial::HartIpAddress&, platform::NetworkWait&,
                             std::vector<platform::NetAddress>& addresses, std::string&) {
      addresses = {platform::NetAddress::Numeric("::1", port),
                   platform::NetAddress::Numeric("127.0.0.1", port)};
      return platform::kErrorSuccess;
    };
    serial::HartIpTransport transport(options);
    ASSERT_EQ(transport.Open(1, "hart-ip://gateway.plant.example:" + std::to_string(port), 1200),
              serial::LinkResult::kOk)
        << transport.Advice();
    EXPECT_EQ(Ask(transport), kDelivered) << silent;
    if (drops >= 0) ::close(drops);
  }
}

// An idle port keeps its session: keep-alives well inside the timer the
// gateway chose, and Session Close when the port closes. A keep-alive that
// goes unanswered means the session is gone: the next request opens a new
// one instead of being lost. The keeper runs on real time, so the test
// waits for the gateway to hear it (bounded in count, not in time asserted).
TEST(HartIpTransport, IdleSessionIsKeptAliveAndItsAnswersChecked) {
  for (const bool answered : {true, false}) {
    GatewayConfig config;
    config.timerMs = 300;
    config.answerKeepAlives = answered;
    ScriptedGateway gateway(config, [](std::uint16_t s, int) { return Answer(s); });
    auto transport = Open(gateway);
    ASSERT_NE(transport, nullptr);
    for (int i = 0; i < 100 && gateway.keepAlives < 2; ++i) gateway.AwaitTraffic(100);
    ASSERT_GE(gateway.keepAlives, 2);
    gateway.Advance(3000);
    EXPECT_EQ(Ask(*transport), kDelivered) << answered;
    EXPECT_EQ(gateway.initiates, answered ? 1 : 2) << answered;
    transport.reset();
    gateway.Serve();
    EXPECT_EQ(gateway.closes, 1) << answered;
  }
}

// Why an open failed, named for the operator: a refusal by a status it
// knows and by one it does not, another version, nothing there, no answer
// (which names secure HART-IP too).
TEST(HartIpTransport, OpenFailuresSayWhatIsWrong) {
  support::ScriptedOperator op;
  platform::ScopedServices useIt({nullptr, nullptr, &op});
  struct Case {
    const char* what;
    GatewayConfig config;
    platform::Error error;
    const char* says;
  };
  const auto refusing = [](std::uint8_t status) {
    GatewayConfig c;
    c.initiateStatus = status;
    return c;
  };
  GatewayConfig secure;
  secure.initiateVersion = 2;
  for (const Case& c : {
           Case{"all in use", refusing(hartip::kStatusSessionsInUse),
                platform::kErrorSharingViolation, "no free session"},
           Case{"unknown status", refusing(33), platform::kErrorGenFailure, "status 33"},
           Case{"another version", secure, platform::kErrorGenFailure, "version 2 (secure"},
       }) {
    ScriptedGateway gateway(c.config);
    serial::HartIpTransport transport(gateway.Options());
    EXPECT_EQ(transport.Open(1, gateway.Name(), 1200), serial::LinkResult::kFailure) << c.what;
    EXPECT_EQ(transport.OpenError(), c.error) << c.what;
    EXPECT_NE(transport.Advice().find(c.says), std::string::npos)
        << c.what << ": " << transport.Advice();
  }

  // A port nobody serves (ICMP "unreachable", also to an unconnected
  // socket), a host that drops HART-IP, a malformed name.
  ScriptedGateway clock({});
  const int nobody = BoundSocket(AF_INET, SOCK_DGRAM, "127.0.0.1");
  const std::string nobodyPort = std::to_string(PortOf(nobody));
  ::close(nobody);
  const int drops = BoundSocket(AF_INET, SOCK_DGRAM, "127.0.0.1");
  const std::string dropsPort = std::to_string(PortOf(drops));
  struct Named {
    std::string name;
    platform::Error error;
    const char* says;
  };
  for (const Named& c : {
           Named{"hart-ip://127.0.0.1:" + nobodyPort, platform::kErrorFileNotFound,
                 "Nothing serves"},
           Named{"hart-ip+tcp://127.0.0.1:" + nobodyPort, platform::kErrorFileNotFound,
                 "No HART-IP"},
           Named{"hart-ip://127.0.0.1:" + dropsPort, platform::kErrorTimeout,
                 "secure HART-IP (version 2"},
           Named{"hart-ip://[::1", platform::kErrorInvalidParameter, "not a gateway address"},
       }) {
    serial::HartIpTransport transport(clock.Options());
    EXPECT_EQ(transport.Open(1, c.name, 1200), serial::LinkResult::kFailure) << c.name;
    EXPECT_EQ(transport.OpenError(), c.error) << c.name;
    EXPECT_NE(transport.Advice().find(c.says), std::string::npos) << transport.Advice();
  }
  ::close(drops);
  ASSERT_EQ(op.shown().size(), 7u);
  EXPECT_EQ(op.shown().back().text, "COM8:");
  EXPECT_NE(op.shown().back().detail.find("not a gateway address"), std::string::npos);
}

// The host type asked for follows the setting: a control system often holds
// the gateway's primary session.
TEST(HartIpTransport, AsksAsTheHostTypeSet) {
  for (const bool secondary : {false, true}) {
    ScriptedGateway gateway({});
    serial::HartIpSettings settings;
    settings.secondaryHost = secondary;
    auto transport = Open(gateway, settings);
    EXPECT_EQ(gateway.hostType, secondary ? hartip::kSecondaryHost : hartip::kPrimaryHost);
  }
}

// A clock that records its sleeps and serves the gateway from them, as the
// window's clock paints it.
class ServingClock final : public platform::Clock {
 public:
  explicit ServingClock(ScriptedGateway& gateway) : gateway_(gateway) {}
  void Sleep(std::uint32_t) override {
    ++sleeps;
    gateway_.Serve();
  }
  std::uint32_t TickCount() override { return 0; }
  int sleeps = 0;

 private:
  ScriptedGateway& gateway_;
};

// The port "COM8:" names a gateway: the HART-IP transport carries it. Its
// waits (the look-up of a name, the session request, the answer) are the
// installed clock's sleeps, never one long block: the gateway here answers
// only from inside them, as a window is painted from inside them.
TEST(HartIpTransport, PortNamingAGatewayIsCarriedWaitingInTheClocksSleeps) {
  ScriptedGateway gateway({}, [](std::uint16_t s, int) { return Answer(s); });
  ServingClock clock(gateway);
  platform::PosixSerialDriver driver(
      {{"COM8:", "hart-ip://localhost:" + std::to_string(gateway.Port())}});
  support::ScriptedOperator op;
  platform::ScopedServices useIt({&driver, &clock, &op});
  ASSERT_EQ(serial::OpenTransport(8, 1200), serial::LinkResult::kOk) << op.shown().size();
  const int opened = clock.sleeps;
  EXPECT_GT(opened, 0);
  EXPECT_EQ(Ask(serial::CurrentTransport()), kDelivered);
  EXPECT_GT(clock.sleeps, opened);
  EXPECT_EQ(serial::CloseTransport(), platform::kErrorSuccess);
  gateway.Serve();
  EXPECT_EQ(gateway.closes, 1);
  EXPECT_TRUE(op.shown().empty());
}

}  // namespace
