// One QApplication for a whole test program, on the offscreen platform
// unless the environment chose another.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

namespace support {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (QApplication::instance() == nullptr) app_ = new QApplication(argc_, argv_);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  int argc_ = 1;
  char name_[16] = "veltrop_tests";
  char* argv_[2] = {name_, nullptr};
  QApplication* app_ = nullptr;
};

}  // namespace support
