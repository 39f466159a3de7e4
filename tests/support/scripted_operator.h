// An operator for tests: records every message and answers from a queue.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/services.h"

namespace support {

class ScriptedOperator final : public platform::Operator {
 public:
  struct Shown {
    std::string text;
    platform::Icon icon;
    platform::Buttons buttons;
    std::string detail;
  };

  int Message(std::string_view text, platform::Icon icon, platform::Buttons buttons,
              std::string_view detail) override;

  // Answers for Yes/No questions, taken in order. A question with no answer
  // queued fails the running test and is answered No.
  void Answer(int button) { answers_.push_back(button); }

  // Runs while a message is "open", as a real box's nested loop would run
  // timers; GUI tests use it to dispatch events.
  std::function<void(const Shown&)> whileShown;

  const std::vector<Shown>& shown() const { return shown_; }
  std::vector<std::string> texts() const;
  void Clear() { shown_.clear(); }

 private:
  std::vector<Shown> shown_;
  std::deque<int> answers_;
};

}  // namespace support
