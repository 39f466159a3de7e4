// Shared set-up for dialog tests: one QApplication on the offscreen
// platform, the platform doubles in virtual time, a simulated segment on
// the in-memory line, and a scripted operator.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <string>

#include "sim/segment.h"
#include "tests/support/fake_platform.h"
#include "tests/support/qt_environment.h"
#include "tests/support/sim_line.h"
#include "ui/resources.h"

namespace uitest {

// The application object, and the program's resources registered once.
class QtEnvironment : public support::QtEnvironment {
 public:
  void SetUp() override {
    support::QtEnvironment::SetUp();
    ui::RegisterResources();
  }
};

class GuiTest : public ::testing::Test {
 protected:
  sim::Device& AddDevice(std::uint8_t address, std::array<std::uint8_t, 3> id = {0, 1, 2},
                         std::uint8_t revision = 7, const std::string& tag = "PT-101") {
    sim::DeviceConfig config;
    config.pollAddress = address;
    config.deviceId = id;
    config.universalRevision = revision;
    config.tag = tag;
    config.legacyCommandZero = revision < 5;
    return segment.Add(config);
  }

  static void Click(platform::CDialog& dialog, int id) {
    QWidget* w = dialog.Control(id);
    ASSERT_NE(w, nullptr) << "control " << id;
    QTest::mouseClick(w, Qt::LeftButton);
  }

  support::FakePlatform fake;
  sim::Segment segment;
  support::SimLine simLine{fake.line, segment};
};

}  // namespace uitest
