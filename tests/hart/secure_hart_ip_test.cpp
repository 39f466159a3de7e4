// Secure HART-IP end to end: the HART-IP transport against
// hartsim's server keyed by a pre-shared key, on loopback in real time.
// Each case ends on an event (a handshake's last flight, an alert, a
// closed connection), never on a timer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hart/hart_device.h"
#include "hartip/pdu.h"
#include "platform/posix_serial.h"
#include "platform/secure_channel.h"
#include "platform/services.h"
#include "serial/frame_trace.h"
#include "serial/hart_ip_transport.h"
#include "serial/transport.h"
#include "sim/hartsim/hart_ip_server.h"
#include "tests/support/scripted_operator.h"

namespace {

const std::vector<std::uint8_t> kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                        0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

class KeyFile {
 public:
  explicit KeyFile(const std::string& line) {
    char name[] = "/tmp/secure_hart_ip_test.XXXXXX";
    const int fd = ::mkstemp(name);
    path_ = name;
    ::close(fd);
    std::ofstream(path_) << line << "\n";
    ::chmod(path_.c_str(), 0600);
    serial::SetHartIpKeyFile(path_);
  }
  ~KeyFile() {
    serial::SetHartIpKeyFile({});
    ::unlink(path_.c_str());
  }

 private:
  std::string path_;
};

struct SecureGateway {
  SecureGateway() : server(segment) {
    segment.Add(sim::DeviceConfig{});
    server.Protect(platform::PreSharedKey("gateway-7", kKey));
    std::string error;
    EXPECT_EQ(server.Start({"127.0.0.1", "0"}, error), 0) << error;
  }
  std::string Name(const char* scheme) const {
    return std::string(scheme) + "127.0.0.1:" + std::to_string(server.Port());
  }
  sim::Segment segment;
  sim::HartIpServer server;
};

class SecurePoll : public testing::TestWithParam<const char*> {};

TEST_P(SecurePoll, RightKeyPollsThroughTheProtectedSession) {
  SecureGateway gateway;
  KeyFile key("gateway-7:00112233445566778899aabbccddeeff");
  platform::PosixSerialDriver driver({{"COM8:", gateway.Name(GetParam())}});
  platform::ScopedServices useIt({&driver, nullptr, nullptr});
  char path[] = "/tmp/secure_hart_ip_trace.XXXXXX";
  ::close(::mkstemp(path));
  std::string error;
  ASSERT_TRUE(serial::OpenFrameTrace(path, error)) << error;
  ASSERT_EQ(serial::OpenTransport(8, 1200), serial::LinkResult::kOk);

  // Command 0 at address 0, through the session: the answer is the device's.
  const std::uint8_t request[] = {0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
  EXPECT_EQ(serial::CurrentTransport().SendFrame(request, sizeof request), serial::LinkResult::kOk);
  std::uint8_t reply[serial::kReplyBufferSize] = {};
  EXPECT_EQ(serial::CurrentTransport().ReceiveFrame(reply), serial::LinkResult::kOk);
  EXPECT_EQ(reply[0], 0x06);  // a slave's short frame
  EXPECT_EQ(reply[2], 0x00);  // command 0
  serial::CloseTransport();
  serial::CloseFrameTrace();
  std::ifstream in(path, std::ios::binary);
  const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ::unlink(path);
  // The trace says the session was protected, and by which channel.
  const bool dtls = std::string_view(GetParam()).starts_with("hart-ip+dtls");
  EXPECT_NE(trace.find(std::string("note: session protected: HART-IP version 2 in ") +
                       (dtls ? "DTLSv1." : "TLSv1.")),
            std::string::npos)
      << trace;
}

INSTANTIATE_TEST_SUITE_P(TlsAndDtls, SecurePoll,
                         testing::Values("hart-ip+tls://", "hart-ip+dtls://"),
                         [](const auto& info) {
                           return std::string(info.param).find("dtls") != std::string::npos ? "Dtls"
                                                                                            : "Tls";
                         });

TEST(SecureHartIp, WrongKeyIsRefusedAndSaidSo) {
  SecureGateway gateway;
  KeyFile key("gateway-7:ffffffffffffffffffffffffffffffff");
  support::ScriptedOperator op;
  platform::ScopedServices quiet({nullptr, nullptr, &op});
  serial::HartIpTransport transport;
  EXPECT_EQ(transport.Open(1, gateway.Name("hart-ip+tls://"), 1200), serial::LinkResult::kFailure);
  EXPECT_EQ(transport.OpenError(), platform::kErrorAccessDenied);
  EXPECT_NE(transport.Advice().find("refused the pre-shared key"), std::string::npos)
      << transport.Advice();
}

TEST(SecureHartIp, VersionOneHostGetsNoSession) {
  SecureGateway gateway;
  // In the clear, as a version-1 host asks: the connection ends unanswered.
  {
    support::ScriptedOperator op;
    platform::ScopedServices quiet({nullptr, nullptr, &op});
    serial::HartIpTransport clear;
    EXPECT_NE(clear.Open(1, gateway.Name("hart-ip+tcp://"), 1200), serial::LinkResult::kOk);
  }

  // Inside the protected session but with a version-1 header: refused by
  // status, in a version-2 answer, and no session follows.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(gateway.server.Port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  pollfd p{fd, POLLOUT, 0};
  ::poll(&p, 1, 5000);
  std::string error;
  platform::SecureChannel channel(
      fd,
      platform::SecureSession::Create(platform::SecureProtocol::kTls, platform::SecureRole::kClient,
                                      platform::PreSharedKey("gateway-7", kKey), error));
  ASSERT_EQ(channel.Handshake(5000), platform::SecureResult::kOk);
  const auto initiate =
      hartip::Encode(hartip::kTypeRequest, hartip::kSessionInitiate, 0, 1,
                     hartip::SessionInitiateBody(hartip::kPrimaryHost, 60000), hartip::kVersion);
  ASSERT_EQ(channel.Send(initiate), platform::SecureResult::kOk);
  std::vector<std::uint8_t> answer;
  while (answer.size() < hartip::kHeaderSize &&
         channel.Receive(answer, 5000) == platform::SecureResult::kOk) {
  }
  hartip::Pdu pdu;
  std::size_t used = 0;
  ASSERT_EQ(hartip::ReadPdu(answer, pdu, used), hartip::ReadResult::kComplete);
  EXPECT_EQ(pdu.header.version, hartip::kSecureVersion);
  EXPECT_EQ(pdu.header.status, hartip::kStatusVersionNotSupported);

  // A request as if the session were open: a keep-alive goes unanswered by
  // a gateway without a session, while a second, good Initiate is answered.
  const auto keepAlive =
      hartip::Encode(hartip::kTypeRequest, hartip::kKeepAlive, 0, 2, {}, hartip::kSecureVersion);
  const auto good = hartip::Encode(hartip::kTypeRequest, hartip::kSessionInitiate, 0, 3,
                                   hartip::SessionInitiateBody(hartip::kPrimaryHost, 60000),
                                   hartip::kSecureVersion);
  ASSERT_EQ(channel.Send(keepAlive), platform::SecureResult::kOk);
  ASSERT_EQ(channel.Send(good), platform::SecureResult::kOk);
  answer.clear();
  while (answer.size() < hartip::kHeaderSize &&
         channel.Receive(answer, 5000) == platform::SecureResult::kOk) {
  }
  ASSERT_EQ(hartip::ReadPdu(answer, pdu, used), hartip::ReadResult::kComplete);
  EXPECT_EQ(pdu.header.sequence, 3);  // the keep-alive's 2 never came
  EXPECT_EQ(pdu.header.status, hartip::kStatusSuccess);
  channel.Close();
  ::close(fd);
}

}  // namespace
