// JSON for scripts, written with Qt Core's JSON classes so that text is
// UTF-8 and escaped as RFC 8259 asks. The header keeps Qt out of the code
// that builds the values.
//
//   platform::JsonObject device;
//   device.Set("address", 0).Set("tag", "PT-101").Set("manufacturer", nullptr);
//   platform::JsonObject record;
//   record.Set("devices", platform::JsonArray().Append(device));
//   std::string line = record.Write();  // {"devices":[{"address":0,...}]}
//
// Keys come out in Qt's order (sorted), whatever order they were set in; a
// key set twice keeps its last value. Text is taken as UTF-8; a byte that
// is not UTF-8 becomes U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform {

class JsonArray;
class JsonObject;

// One value: null, a boolean, a number, text, an array or an object.
class JsonValue {
 public:
  JsonValue(std::nullptr_t = nullptr);
  JsonValue(bool value);
  JsonValue(double value);
  // Whole numbers, exactly up to 2^53 as JSON readers take them.
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) JsonValue(T value)
      : JsonValue(static_cast<std::int64_t>(value), Whole{}) {}
  JsonValue(std::string_view text);
  JsonValue(const char* text);
  JsonValue(const std::string& text);
  JsonValue(const JsonArray& array);
  JsonValue(const JsonObject& object);
  ~JsonValue();
  JsonValue(const JsonValue& other);
  JsonValue& operator=(const JsonValue& other);

 private:
  friend class JsonArray;
  friend class JsonObject;
  struct Whole {};
  JsonValue(std::int64_t value, Whole);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

enum class JsonLayout {
  Compact,  // one line, no blanks: a JSON-lines record
  Indented  // four spaces a level, a line a member, for people to read
};

class JsonArray {
 public:
  JsonArray();
  ~JsonArray();
  JsonArray(const JsonArray& other);
  JsonArray& operator=(const JsonArray& other);

  JsonArray& Append(const JsonValue& value);
  std::size_t Size() const;
  // The array as UTF-8, ending with a line break.
  std::string Write(JsonLayout layout = JsonLayout::Compact) const;

 private:
  friend class JsonValue;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class JsonObject {
 public:
  JsonObject();
  ~JsonObject();
  JsonObject(const JsonObject& other);
  JsonObject& operator=(const JsonObject& other);

  JsonObject& Set(std::string_view key, const JsonValue& value);
  // The object as UTF-8, ending with a line break.
  std::string Write(JsonLayout layout = JsonLayout::Compact) const;

 private:
  friend class JsonValue;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
