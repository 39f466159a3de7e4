#include "hartip/pdu.h"

#include <gtest/gtest.h>

#include "tests/support/frames.h"

namespace {

using support::Hex;

// Session Initiate from a primary host asking for a 60 s inactivity timer,
// sequence 1: worked out by hand from the header layout.
TEST(HartIpPdu, SessionInitiateIsTheProtocolsBytes) {
  EXPECT_EQ(hartip::Encode(hartip::kTypeRequest, hartip::kSessionInitiate, 0, 1,
                           hartip::SessionInitiateBody(hartip::kPrimaryHost, 60'000)),
            Hex("01 00 00 00 00 01 00 0d 01 00 00 ea 60"));
}

TEST(HartIpPdu, DatagramIsOneWholeMessageOrNothing) {
  hartip::Pdu pdu;
  // A gateway's response: version 1, response, token-passing PDU, status 0,
  // sequence 0x0102, 13 bytes, frame 06 80 00 00 86.
  ASSERT_TRUE(hartip::ReadDatagram(Hex("01 01 03 00 01 02 00 0d 06 80 00 00 86"), pdu));
  EXPECT_EQ(pdu.header.messageType, hartip::kTypeResponse);
  EXPECT_EQ(pdu.header.messageId, hartip::kTokenPassingPdu);
  EXPECT_EQ(pdu.header.sequence, 0x0102);
  EXPECT_EQ(pdu.body, Hex("06 80 00 00 86"));
  for (const char* bad : {
           "01 01 03 00 01 02 00 0e 06 80 00 00 86",  // says one byte more than came
           "01 01 03 00 01 02 00 0c 06 80 00 00 86",  // one byte beyond its count
           "01 01 03 00 01 02 00 07 06 80 00 00 86",  // shorter than its own header
           "01 01 03 00 01 02 01 19",                 // 281: beyond the longest message
           "01 01 03 00 01 02 00",                    // a header cut short
       }) {
    EXPECT_FALSE(hartip::ReadDatagram(Hex(bad), pdu)) << bad;
  }
}

// Over TCP messages arrive in pieces of any size; a byte count out of range
// spoils the stream for good, and nothing of it is kept.
TEST(HartIpPdu, StreamCutsMessagesWhereverTheReadsSplitThem) {
  const auto stream =
      Hex("01 01 02 00 00 05 00 08"
          "01 01 03 00 00 06 00 0d 06 80 00 00 86");
  for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
    hartip::StreamReader reader;
    std::vector<std::uint16_t> sequences;
    hartip::Pdu pdu;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      reader.Feed({stream.data() + at, std::min(piece, stream.size() - at)});
      while (reader.Next(pdu) == hartip::ReadResult::kComplete) {
        sequences.push_back(pdu.header.sequence);
      }
    }
    EXPECT_EQ(sequences, (std::vector<std::uint16_t>{5, 6})) << "pieces of " << piece;
    EXPECT_EQ(reader.Pending(), 0u);
  }
  hartip::StreamReader reader;
  hartip::Pdu pdu;
  reader.Feed(Hex("01 01 03 00 00 06 ff ff 06 80"));
  EXPECT_EQ(reader.Next(pdu), hartip::ReadResult::kMalformed);
  EXPECT_FALSE(reader.Feed(Hex("01 01 02 00 00 05 00 08")));
  EXPECT_EQ(reader.Next(pdu), hartip::ReadResult::kMalformed);
  EXPECT_EQ(reader.Pending(), 0u);
}

}  // namespace
