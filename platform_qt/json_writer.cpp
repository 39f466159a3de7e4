#include "platform_qt/json_writer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace platform {

struct JsonValue::Impl {
  QJsonValue value;
};
struct JsonArray::Impl {
  QJsonArray array;
};
struct JsonObject::Impl {
  QJsonObject object;
};

namespace {

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Written(const QJsonDocument& document, JsonLayout layout) {
  QByteArray bytes = document.toJson(layout == JsonLayout::Compact ? QJsonDocument::Compact
                                                                   : QJsonDocument::Indented);
  // Indented already ends its last line; a compact record gets its own.
  if (!bytes.endsWith('\n')) bytes.append('\n');
  return bytes.toStdString();
}

}  // namespace

JsonValue::JsonValue(std::nullptr_t) : impl_(new Impl{QJsonValue(QJsonValue::Null)}) {}
JsonValue::JsonValue(bool value) : impl_(new Impl{QJsonValue(value)}) {}
JsonValue::JsonValue(double value) : impl_(new Impl{QJsonValue(value)}) {}
JsonValue::JsonValue(std::int64_t value, Whole)
    : impl_(new Impl{QJsonValue(static_cast<qint64>(value))}) {}
JsonValue::JsonValue(std::string_view text) : impl_(new Impl{QJsonValue(Utf8(text))}) {}
JsonValue::JsonValue(const char* text) : JsonValue(std::string_view(text)) {}
JsonValue::JsonValue(const std::string& text) : JsonValue(std::string_view(text)) {}
JsonValue::JsonValue(const JsonArray& array) : impl_(new Impl{QJsonValue(array.impl_->array)}) {}
JsonValue::JsonValue(const JsonObject& object)
    : impl_(new Impl{QJsonValue(object.impl_->object)}) {}
JsonValue::~JsonValue() = default;
JsonValue::JsonValue(const JsonValue& other) : impl_(new Impl(*other.impl_)) {}
JsonValue& JsonValue::operator=(const JsonValue& other) {
  *impl_ = *other.impl_;
  return *this;
}

JsonArray::JsonArray() : impl_(new Impl) {}
JsonArray::~JsonArray() = default;
JsonArray::JsonArray(const JsonArray& other) : impl_(new Impl(*other.impl_)) {}
JsonArray& JsonArray::operator=(const JsonArray& other) {
  *impl_ = *other.impl_;
  return *this;
}

JsonArray& JsonArray::Append(const JsonValue& value) {
  impl_->array.append(value.impl_->value);
  return *this;
}

std::size_t JsonArray::Size() const {
  return static_cast<std::size_t>(impl_->array.size());
}

std::string JsonArray::Write(JsonLayout layout) const {
  return Written(QJsonDocument(impl_->array), layout);
}

JsonObject::JsonObject() : impl_(new Impl) {}
JsonObject::~JsonObject() = default;
JsonObject::JsonObject(const JsonObject& other) : impl_(new Impl(*other.impl_)) {}
JsonObject& JsonObject::operator=(const JsonObject& other) {
  *impl_ = *other.impl_;
  return *this;
}

JsonObject& JsonObject::Set(std::string_view key, const JsonValue& value) {
  impl_->object.insert(Utf8(key), value.impl_->value);
  return *this;
}

std::string JsonObject::Write(JsonLayout layout) const {
  return Written(QJsonDocument(impl_->object), layout);
}

}  // namespace platform
