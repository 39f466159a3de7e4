#include "ui/poll_dialog.h"

#include <QAccessible>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWindow>
#include <ostream>

#include "platform/errors.h"
#include "platform/posix_serial.h"
#include "sim/hartsim/hart_ip_server.h"
#include "tests/support/queued_input.h"
#include "tests/ui/gui_fixture.h"

namespace {

using support::Op;
using ui::PollDialog;

class PollDialogTest : public uitest::GuiTest {
 protected:
  void SetUp() override { ASSERT_TRUE(dialog.Create()); }

  std::string Text(int id) const { return dialog.GetDlgItemText(id); }
  void Poll() { Click(dialog, ui::kIdPoll); }

  PollDialog dialog;
};

TEST_F(PollDialogTest, OpensReadyToPoll) {
  EXPECT_EQ(Text(ui::kIdStatus), "Click Poll to start");
  EXPECT_EQ(Text(ui::kIdDeviceId), "0");
  EXPECT_TRUE(dialog.HasFocus(ui::kIdPoll));
  EXPECT_FALSE(dialog.IsControlVisible(ui::kIdPv));
  EXPECT_FALSE(fake.line.IsOpen());
}

TEST_F(PollDialogTest, DeviceAtAddressZeroPassesWithIdTagAndAddress) {
  AddDevice(0, {0x00, 0x01, 0x02});
  Poll();
  EXPECT_EQ(Text(ui::kIdDeviceId), "258");
  EXPECT_EQ(Text(ui::kIdTag), "PT-101  ");
  EXPECT_EQ(Text(ui::kIdAddresses), "0");
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, single device");
  EXPECT_TRUE(fake.op.shown().empty());
  EXPECT_FALSE(fake.line.IsOpen()) << "the link is closed after the press";
  // The simulator's default revision-7 device: manufacturer 0x1A, type 0x11.
  EXPECT_EQ(dialog.Control(ui::kIdDeviceId)->toolTip().toStdString(),
            "Identifier 000102 hex\nManufacturer 26 (0x1A), device type 17 (0x11), expanded "
            "0x1A11\nRevisions: universal 7, device 1, software 1, hardware 1");
}

// The same press with the port standing for a HART-IP gateway: hartsim's
// server on loopback, the real driver's gateway client.
TEST_F(PollDialogTest, DeviceBehindAGatewayPassesAsOnTheModem) {
  AddDevice(0, {0x00, 0x01, 0x02});
  sim::HartIpServer gateway(segment);
  std::string error;
  ASSERT_EQ(gateway.Start({"127.0.0.1", "0"}, error), 0) << error;
  platform::PosixSerialDriver driver(
      {{"COM8:", "hart-ip://127.0.0.1:" + std::to_string(gateway.Port())}});
  platform::ScopedServices useIt({&driver, nullptr, nullptr});
  Poll();
  EXPECT_EQ(Text(ui::kIdDeviceId), "258");
  EXPECT_EQ(Text(ui::kIdTag), "PT-101  ");
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, single device");
  EXPECT_TRUE(fake.op.shown().empty());
}

TEST_F(PollDialogTest, LegacyDeviceGivesItsTagByCommandFour) {
  sim::Device& old = AddDevice(0, {0x12, 0x34, 0x56}, 4, "FT-7");
  Poll();
  EXPECT_EQ(Text(ui::kIdDeviceId), std::to_string(0x123456));
  EXPECT_EQ(Text(ui::kIdTag), "FT-7    ");
  EXPECT_EQ(old.Seen(4), 1u);
  EXPECT_EQ(old.Seen(13), 0u);
}

TEST_F(PollDialogTest, IdentifierZeroShowsZeroAndPvIsRefused) {
  AddDevice(0, {0, 0, 0});
  Poll();
  EXPECT_EQ(Text(ui::kIdDeviceId), "0");
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, single device");
  ASSERT_TRUE(dialog.DispatchCommand(ui::kIdPv));
  ASSERT_EQ(fake.op.texts(), std::vector<std::string>{"Must Poll first"});
  EXPECT_EQ(fake.op.shown()[0].icon, platform::Icon::Error);
}

TEST_F(PollDialogTest, UnreadableTagLeavesTagEmptyWithThePassVerdict) {
  sim::Device& device = AddDevice(0);
  device.faults.dropNext = 0;
  // Command 0 answers; both tag requests (four attempts each) go unanswered.
  segment.onTransaction = [&](const sim::Transaction& t) {
    if (t.command == 0) device.faults.dropNext = 8;
  };
  Poll();
  EXPECT_EQ(Text(ui::kIdTag), "");
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, single device");
  EXPECT_EQ(device.Seen(13), 8u) << "the tag is asked for twice";
}

// A device that lacks command 13 answers it with code 64 and no data: the
// tag is not read (no "@@@@@@@@" made of bytes it never sent) and the
// verdict stands.
TEST_F(PollDialogTest, TagCommandNotImplementedLeavesTagEmptyWithThePassVerdict) {
  AddDevice(0).faults.notImplemented = {13};
  Poll();
  EXPECT_EQ(Text(ui::kIdTag), "");
  EXPECT_EQ(Text(ui::kIdDeviceId), "258");
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, single device");
}

TEST_F(PollDialogTest, NoToTheMultiDropQuestionFails) {
  fake.op.Answer(platform::kIdNo);
  Poll();
  ASSERT_EQ(fake.op.shown().size(), 1u);
  EXPECT_EQ(fake.op.shown()[0].text, "No devices at address 0.  Multi-drop Poll?");
  EXPECT_EQ(fake.op.shown()[0].icon, platform::Icon::Question);
  EXPECT_EQ(fake.op.shown()[0].buttons, platform::Buttons::YesNo);
  EXPECT_EQ(Text(ui::kIdTag), " ");
  EXPECT_EQ(Text(ui::kIdAddresses), " ");
  EXPECT_EQ(Text(ui::kIdDeviceId), "0");
  EXPECT_EQ(Text(ui::kIdStatus), "Test Failed");
  EXPECT_FALSE(fake.line.IsOpen());
}

TEST_F(PollDialogTest, MultiDropScanListsTheAnsweringAddresses) {
  AddDevice(2, {0, 0, 7});
  AddDevice(5, {0, 0, 9});
  AddDevice(15, {0, 0, 11});  // never scanned
  fake.op.Answer(platform::kIdYes);
  Poll();
  EXPECT_EQ(Text(ui::kIdAddresses), "2, 5");
  EXPECT_EQ(Text(ui::kIdTag), "Multi-Drop");
  EXPECT_EQ(Text(ui::kIdDeviceId), "0");
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, multi-drop network");
  EXPECT_EQ(segment.Find(15)->SeenTotal(), 0u);
  EXPECT_EQ(dialog.device.pollAddress, 14);
  EXPECT_EQ(dialog.device.Identifier(), 9u) << "the record holds the last device that answered";
}

// What the window shows each time an address answers during the scan.
struct Window {
  std::string status, tag, id, addr;
  bool operator==(const Window&) const = default;
};

void PrintTo(const Window& w, std::ostream* os) {
  *os << "{Status \"" << w.status << "\", Tag \"" << w.tag << "\", ID \"" << w.id << "\", Addr \""
      << w.addr << "\"}";
}

TEST_F(PollDialogTest, ScanShowsEachAnsweringAddressBesideNoEarlierIdentity) {
  sim::Device& first = AddDevice(0, {0x00, 0x01, 0x02}, 7, "PT-101");
  Poll();
  ASSERT_EQ(Text(ui::kIdDeviceId), "258");
  // The modem moves to a loop with devices at 2 and 5 only.
  first.faults.silent = true;
  AddDevice(2, {0, 0, 7}, 7, "TT-2");
  AddDevice(5, {0, 0, 9}, 7, "TT-5");
  fake.op.Answer(platform::kIdYes);
  bool scanning = false;
  fake.op.whileShown = [&](const support::ScriptedOperator::Shown&) { scanning = true; };
  std::vector<Window> shown;
  auto* addr = qobject_cast<QLineEdit*>(dialog.Control(ui::kIdAddresses));
  ASSERT_NE(addr, nullptr);
  QObject::connect(addr, &QLineEdit::textChanged, addr, [&] {
    if (scanning) {
      shown.push_back(
          {Text(ui::kIdStatus), Text(ui::kIdTag), Text(ui::kIdDeviceId), Text(ui::kIdAddresses)});
    }
  });
  Poll();
  // The tag and identifier of the device at 0 are not beside the addresses
  // found now, and nothing but Addr changes from one address to the next.
  EXPECT_EQ(shown,
            (std::vector<Window>{{"Polling...", "", "", "2"}, {"Polling...", "", "", "2, 5"}}));
  EXPECT_EQ(Text(ui::kIdTag), "Multi-Drop");
  EXPECT_EQ(Text(ui::kIdDeviceId), "0");
  EXPECT_TRUE(dialog.Control(ui::kIdDeviceId)->toolTip().isEmpty())
      << "the tool tip of the device the ID box no longer shows";
}

// Fourteen addresses do not fit the Addr box: it says so, and its tool tip
// and what a screen reader is told hold the whole list.
TEST_F(PollDialogTest, FullLoopListIsWholeInTheAddrBoxsToolTipAndToScreenReaders) {
  std::string list;
  for (std::uint8_t a = 1; a <= 14; ++a) {
    AddDevice(a, {0, 0, a}, 7, "D-" + std::to_string(a));
    list += (a == 1 ? "" : ", ") + std::to_string(a);
  }
  fake.op.Answer(platform::kIdYes);
  Poll();
  ASSERT_EQ(Text(ui::kIdAddresses), list);
  QWidget* box = dialog.Control(ui::kIdAddresses);
  EXPECT_EQ(box->toolTip().toStdString(), list);
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(box);
  ASSERT_NE(accessible, nullptr);
  EXPECT_EQ(accessible->text(QAccessible::Description).toStdString(), list);
}

// Input made while a poll blocks the window (a second click on Poll, a
// close request from the window manager) is queued by the toolkit; it must
// be dropped, not run once the poll is over.
TEST_F(PollDialogTest, ClickAndCloseRequestQueuedDuringAPollNeverRun) {
  sim::Device& device = AddDevice(0);
  bool queued = false;
  segment.onTransaction = [&](const sim::Transaction&) {
    if (queued) return;
    queued = true;
    support::QueueClickAndClose(dialog.Control(ui::kIdPoll), dialog.Window());
  };
  Poll();
  ASSERT_TRUE(queued);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(device.Seen(0), 1u) << "the click made during the poll ran as a second poll";
  EXPECT_TRUE(dialog.IsOpen()) << "the close request made during the poll closed the window";
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, single device");
}

TEST_F(PollDialogTest, EmptyScanFailsAndKeepsTheTag) {
  dialog.SetDlgItemText(ui::kIdTag, "OLD-TAG");
  fake.op.Answer(platform::kIdYes);
  Poll();
  EXPECT_EQ(Text(ui::kIdStatus), "Test Failed");
  EXPECT_EQ(Text(ui::kIdTag), "OLD-TAG");
  EXPECT_EQ(Text(ui::kIdAddresses), "");
}

TEST_F(PollDialogTest, SecondPressStartsFromAnEmptyAddressBox) {
  AddDevice(3);
  fake.op.Answer(platform::kIdYes);
  Poll();
  ASSERT_EQ(Text(ui::kIdAddresses), "3");
  AddDevice(0, {0, 0, 5});
  Poll();
  EXPECT_EQ(Text(ui::kIdAddresses), "0");
  EXPECT_EQ(Text(ui::kIdDeviceId), "5");
}

TEST_F(PollDialogTest, PortThatCannotBeOpenedIsReportedInTheStatusBox) {
  fake.line.Fail(Op::Open, 0, platform::kErrorFileNotFound);
  Poll();
  EXPECT_EQ(fake.op.texts(), (std::vector<std::string>{"COM8:", "Error opening COM port"}));
  EXPECT_EQ(fake.op.shown()[1].icon, platform::Icon::Error);
  EXPECT_EQ(Text(ui::kIdStatus), "Error opening COM port");
}

TEST_F(PollDialogTest, PortThatWillNotConfigureIsReleasedForTheNextPress) {
  AddDevice(0);
  // The first press's open writes the settings twice; the second write (the
  // HART line format) fails.
  fake.line.Fail(Op::SetSettings, 2, platform::kErrorInvalidParameter);
  Poll();
  EXPECT_EQ(fake.op.texts(), std::vector<std::string>{"Error opening COM port"});
  EXPECT_FALSE(fake.line.IsOpen());
  Poll();
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, single device");
}

TEST_F(PollDialogTest, NonNumberInTheIdBoxIsReportedAndThePollGoesOn) {
  AddDevice(0);
  dialog.SetDlgItemText(ui::kIdDeviceId, "12x");
  Poll();
  ASSERT_EQ(fake.op.shown().size(), 1u);
  EXPECT_NE(fake.op.shown()[0].text.find("integer"), std::string::npos);
  EXPECT_EQ(Text(ui::kIdStatus), "Test Pass, single device");
  EXPECT_EQ(Text(ui::kIdDeviceId), "258");
}

TEST_F(PollDialogTest, TheAboutButtonOpensTheAboutBox) {
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    seen = about->windowTitle() == "About";
    about->reject();
  });
  Click(dialog, ui::kIdAbout);
  EXPECT_TRUE(seen);
}

}  // namespace
