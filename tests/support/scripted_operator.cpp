#include "tests/support/scripted_operator.h"

#include <gtest/gtest.h>

namespace support {

int ScriptedOperator::Message(std::string_view text, platform::Icon icon, platform::Buttons buttons,
                              std::string_view detail) {
  shown_.push_back({std::string(text), icon, buttons, std::string(detail)});
  if (whileShown) whileShown(shown_.back());
  if (buttons == platform::Buttons::Ok) return platform::kIdOk;
  if (answers_.empty()) {
    ADD_FAILURE() << "unexpected question: " << text;
    return platform::kIdNo;
  }
  const int answer = answers_.front();
  answers_.pop_front();
  return answer;
}

std::vector<std::string> ScriptedOperator::texts() const {
  std::vector<std::string> out;
  for (const auto& s : shown_) out.push_back(s.text);
  return out;
}

}  // namespace support
