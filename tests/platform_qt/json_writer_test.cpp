#include "platform_qt/json_writer.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using platform::JsonArray;
using platform::JsonObject;

// A port path or tag a technician typed is UTF-8 and must come back as the
// same bytes, not each byte taken for a Latin-1 character; control
// characters and quotes are escaped, everything else is left as it is.
TEST(JsonWriter, TextComesBackAsTheUtf8ItWasGiven) {
  struct Case {
    const char* text;
    const char* json;
  };
  for (const auto& c :
       {Case{"/tmp/j\xC3\xBCrgen/com8", R"({"t":"/tmp/j)"
                                        "\xC3\xBC"
                                        R"(rgen/com8"})"},
        Case{"\xE2\x82\xAC 5", "{\"t\":\"\xE2\x82\xAC 5\"}"}, Case{"a\"b\\c", R"({"t":"a\"b\\c"})"},
        Case{"line\nnext\x01", R"({"t":"line\nnext\u0001"})"},
        Case{"\xFF", "{\"t\":\"\xEF\xBF\xBD\"}"}}) {
    EXPECT_EQ(JsonObject().Set("t", c.text).Write(), std::string(c.json) + "\n") << c.text;
  }
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
