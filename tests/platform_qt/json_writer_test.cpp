#include "platform_qt/json_writer.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using platform::JsonArray;
using platform::JsonObject;

// A port path or tag a technician typed is UTF-8 and must come back as the
// same bytes, not each byte taken for a Latin-1 character.
TEST(JsonWriter, TextComesBackAsTheUtf8ItWasGiven) {
  EXPECT_EQ(JsonObject().Set("t", "/tmp/j\xC3\xBCrgen/com8").Write(),
            "{\"t\":\"/tmp/j\xC3\xBCrgen/com8\"}\n");
}

TEST(JsonWriter, EveryKindOfValueNestsInACompactLine) {
  JsonObject device;
  device.Set("address", 0).Set("tag", std::string("PT-101")).Set("manufacturer", nullptr);
  JsonObject record;
  record.Set("ok", false)
      .Set("devices", JsonArray().Append(device).Append(true))
      .Set("current", 12.5)
      .Set("empty", JsonArray())
      .Set("ok", true);  // the last value set wins
  EXPECT_EQ(record.Write(),
            R"({"current":12.5,"devices":[{"address":0,"manufacturer":null,"tag":"PT-101"},)"
            R"(true],"empty":[],"ok":true})"
            "\n");
}

// An identifier or a count must not pass through a float on its way out.
TEST(JsonWriter, WholeNumbersAreWrittenExactly) {
  EXPECT_EQ(JsonArray()
                .Append(std::uint8_t{255})
                .Append(-1)
                .Append(std::uint32_t{16777215})
                .Append(std::numeric_limits<std::int64_t>::max())
                .Write(),
            "[255,-1,16777215,9223372036854775807]\n");
}

}  // namespace
