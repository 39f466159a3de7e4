// The protected channel: both ends in one thread, their bytes carried by
// the test in turn, so every handshake runs by the order of its flights and
// never by the clock.
#include "platform/secure_channel.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/virtual_clock.h"

namespace {

using platform::PreSharedKey;
using platform::SecureProtocol;
using platform::SecureResult;
using platform::SecureRole;
using platform::SecureSession;

std::vector<std::uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

const std::vector<std::uint8_t> kKey = Bytes("0123456789abcdef0123456789abcdef");
const std::vector<std::uint8_t> kOtherKey = Bytes("0123456789abcdef0123456789abcdeX");

std::unique_ptr<SecureSession> Make(SecureProtocol p, SecureRole role, const PreSharedKey& key) {
  std::string error;
  auto s = SecureSession::Create(p, role, key, error);
  EXPECT_NE(s, nullptr) << error;
  return s;
}

struct Outcome {
  SecureResult client = SecureResult::kPending;
  SecureResult server = SecureResult::kPending;
};

// Carries each side's output to the other until neither has more to say.
Outcome Shuttle(SecureSession& client, SecureSession& server) {
  Outcome o;
  for (int round = 0; round < 20; ++round) {
    if (o.client == SecureResult::kPending) o.client = client.Handshake();
    server.Feed(client.TakeOutgoing());
    if (o.server == SecureResult::kPending) o.server = server.Handshake();
    const auto reply = server.TakeOutgoing();
    client.Feed(reply);
    if (reply.empty() && o.client != SecureResult::kPending) break;
  }
  // The client learns the end of a failed handshake from the last alert,
  // or from the silence that follows.
  if (o.client == SecureResult::kPending) o.client = client.Handshake();
  if (o.client == SecureResult::kPending) o.client = client.GiveUp();
  return o;
}

struct Case {
  const char* name;
  SecureProtocol protocol;
  const char* version;
};

class Handshake : public ::testing::TestWithParam<Case> {};

TEST_P(Handshake, RightKeyCarriesMessagesBothWays) {
  const PreSharedKey key("gateway-7", kKey);
  auto client = Make(GetParam().protocol, SecureRole::kClient, key);
  auto server = Make(GetParam().protocol, SecureRole::kServer, key);
  const Outcome o = Shuttle(*client, *server);
  ASSERT_EQ(o.client, SecureResult::kOk);
  ASSERT_EQ(o.server, SecureResult::kOk);
  EXPECT_EQ(client->Description().rfind(GetParam().version, 0), 0u) << client->Description();

  // A version-2 Session Initiate: long enough not to turn up in the
  // ciphertext by chance.
  const std::vector<std::uint8_t> request = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                                             0x0d, 0x01, 0x00, 0x00, 0xea, 0x60};
  ASSERT_EQ(client->Write(request), SecureResult::kOk);
  const auto wire = client->TakeOutgoing();
  // What crosses the wire is not the message.
  EXPECT_EQ(std::search(wire.begin(), wire.end(), request.begin(), request.end()), wire.end());
  server->Feed(wire);
  std::vector<std::uint8_t> got;
  ASSERT_EQ(server->Read(got), SecureResult::kOk);
  EXPECT_EQ(got, request);

  ASSERT_EQ(server->Write(Bytes("answer")), SecureResult::kOk);
  client->Feed(server->TakeOutgoing());
  got.clear();
  ASSERT_EQ(client->Read(got), SecureResult::kOk);
  EXPECT_EQ(got, Bytes("answer"));
}

// An identity the server does not know looks the same as a wrong key.
TEST_P(Handshake, WrongKeyIsNamed) {
  for (const PreSharedKey& key :
       {PreSharedKey("gateway-7", kOtherKey), PreSharedKey("someone", kKey)}) {
    SCOPED_TRACE(key.Identity());
    auto client = Make(GetParam().protocol, SecureRole::kClient, key);
    auto server = Make(GetParam().protocol, SecureRole::kServer, PreSharedKey("gateway-7", kKey));
    const Outcome o = Shuttle(*client, *server);
    EXPECT_EQ(o.client, SecureResult::kWrongKey);
    // A DTLS server drops the client's Finished unread and waits on.
    EXPECT_EQ(o.server, GetParam().protocol == SecureProtocol::kDtls ? SecureResult::kPending
                                                                     : SecureResult::kWrongKey);
    EXPECT_FALSE(client->Established());
    EXPECT_FALSE(server->Established());
  }
}

TEST_P(Handshake, TamperedRecordIsNeverData) {
  const PreSharedKey key("gateway-7", kKey);
  auto client = Make(GetParam().protocol, SecureRole::kClient, key);
  auto server = Make(GetParam().protocol, SecureRole::kServer, key);
  ASSERT_EQ(Shuttle(*client, *server).server, SecureResult::kOk);
  ASSERT_EQ(client->Write(Bytes("token-passing PDU")), SecureResult::kOk);
  auto wire = client->TakeOutgoing();
  wire[wire.size() - 3] ^= 0x40;
  server->Feed(wire);
  std::vector<std::uint8_t> got;
  const SecureResult r = server->Read(got);
  EXPECT_TRUE(got.empty());
  // TLS ends the session on a bad record; DTLS drops the datagram alone.
  EXPECT_EQ(r, GetParam().protocol == SecureProtocol::kDtls ? SecureResult::kPending
                                                            : SecureResult::kFailed);
}

INSTANTIATE_TEST_SUITE_P(Protocols, Handshake,
                         ::testing::Values(Case{"Tls13", SecureProtocol::kTls, "TLSv1.3"},
                                           Case{"Tls12", SecureProtocol::kTls12, "TLSv1.2"},
                                           Case{"Dtls12", SecureProtocol::kDtls, "DTLSv1.2"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that authenticates by certificate only, as a web server does.
class CertificateServer {
 public:
  explicit CertificateServer(int maxVersion) {
    EVP_PKEY* pkey = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, pkey);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("gateway"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, pkey, EVP_sha256());
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_max_proto_version(ctx_, maxVersion);
    SSL_CTX_use_certificate(ctx_, cert);
    SSL_CTX_use_PrivateKey(ctx_, pkey);
    X509_free(cert);
    EVP_PKEY_free(pkey);
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
  }
  ~CertificateServer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& bytes) {
    BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
    SSL_do_handshake(ssl_);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(BIO_ctrl_pending(out_)));
    if (!out.empty()) BIO_read(out_, out.data(), static_cast<int>(out.size()));
    return out;
  }

 private:
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
};

TEST(SecureSession, ServerWantingCertificatesIsNamed) {
  // TLS 1.3: the server ignores the key and shows a certificate; 1.2: it
  // has no suite of ours and refuses the hello.
  for (const int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
    SCOPED_TRACE(version);
    CertificateServer server(version);
    auto client = Make(SecureProtocol::kTls, SecureRole::kClient, PreSharedKey("gw", kKey));
    SecureResult r = SecureResult::kPending;
    for (int round = 0; round < 5 && r == SecureResult::kPending; ++round) {
      r = client->Handshake();
      client->Feed(server.Answer(client->TakeOutgoing()));
    }
    if (r == SecureResult::kPending) r = client->Handshake();
    EXPECT_EQ(r, SecureResult::kWantsCertificate);
    EXPECT_FALSE(client->Established());
  }
}

TEST(SecureSession, RefusesToStartWithoutAKey) {
  std::string error;
  EXPECT_EQ(SecureSession::Create(SecureProtocol::kTls, SecureRole::kClient, PreSharedKey(), error),
            nullptr);
  EXPECT_FALSE(error.empty());
}

// Over a socket, in virtual time: a silent peer ends the handshake at its
// bound, one that hangs up ends it at once.
TEST(SecureChannel, HandshakeWithAnAbsentPeerFails) {
  struct Case {
    int type;
    bool hangUp;
    std::uint32_t fromMs;
    std::uint32_t beforeMs;
  };
  for (const Case c : {Case{SOCK_STREAM, false, 3000, 3100}, Case{SOCK_DGRAM, false, 3000, 3100},
                       Case{SOCK_STREAM, true, 0, 3000}}) {
    SCOPED_TRACE(testing::Message() << c.type << (c.hangUp ? " hangs up" : " silent"));
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, c.type | SOCK_NONBLOCK, 0, fds), 0);
    if (c.hangUp) ::close(fds[1]);
    const auto protocol = c.type == SOCK_STREAM ? SecureProtocol::kTls : SecureProtocol::kDtls;
    support::VirtualClock clock;
    platform::ScopedServices services({nullptr, &clock, nullptr});
    platform::SecureChannel channel(fds[0],
                                    Make(protocol, SecureRole::kClient, PreSharedKey("gw", kKey)));
    EXPECT_EQ(channel.Handshake(3000), SecureResult::kHandshakeFailed);
    EXPECT_GE(clock.NowMillis(), c.fromMs);
    EXPECT_LT(clock.NowMillis(), c.beforeMs);
    if (!c.hangUp) {
      // The hello went out; nothing else was ever sent in the clear.
      std::uint8_t first = 0;
      EXPECT_GT(::recv(fds[1], &first, 1, 0), 0);
      EXPECT_EQ(first, 22);  // a handshake record
      ::close(fds[1]);
    }
    ::close(fds[0]);
  }
}

}  // namespace
