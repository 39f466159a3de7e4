// Draws the PV dialog monitoring a simulated device and saves it as a PNG:
//
//   pv_screenshot OUT.png
//
// The dialog opens only from the Poll dialog's hidden PV button, so this
// builds it the way that button does, on a device found by a poll, in
// virtual time: one tick shows a loop-current and PV reading.
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <cstdio>

#include "hart/hart_device.h"
#include "sim/segment.h"
#include "tests/support/fake_platform.h"
#include "tests/support/sim_line.h"
#include "ui/pv_dialog.h"
#include "ui/resources.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  ui::RegisterResources();

  support::FakePlatform fake;
  sim::Segment segment;
  support::SimLine simLine{fake.line, segment};
  sim::DeviceConfig config;
  config.tag = "PT-101";
  config.loopCurrent = 16.0f;
  config.variables = {{sim::kUnitBar, 12.5f}};
  segment.Add(config);

  hart::HartDevice device;
  if (device.Open(8, 1200) != serial::LinkResult::kOk || !device.Poll(0, 2)) {
    std::fprintf(stderr, "the simulated device did not answer\n");
    return 1;
  }
  device.Close();

  ui::PvDialog dialog;
  dialog.device = &device;
  dialog.tag = "PT-101  ";
  if (!dialog.Create()) {
    std::fprintf(stderr, "the PV dialog could not be built\n");
    return 1;
  }
  dialog.SetDlgItemText(ui::kIdCycles, "0");
  dialog.DispatchCommand(ui::kIdStart);
  dialog.DispatchTimer(1);
  QApplication::processEvents();

  const std::string current = dialog.GetDlgItemText(ui::kIdLoopCurrent);
  const std::string pv = dialog.GetDlgItemText(ui::kIdPvValue);
  if (current != "16.000 mA" || pv != "12.500") {
    std::fprintf(stderr, "unexpected reading: AO \"%s\", PV \"%s\"\n", current.c_str(), pv.c_str());
    return 1;
  }
  // Shown on the screen, so that a window manager frames it as the operator
  // sees it; the frame comes a moment after the window is mapped. The
  // picture is cut out of the screen with the frame; with no window
  // manager the frame is the window itself.
  QWidget* window = dialog.Window();
  window->show();
  QElapsedTimer shown;
  shown.start();
  while (shown.elapsed() < 1500) {
    QApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(20);
  }
  const QRect frame = window->frameGeometry();
  const QPixmap picture =
      window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  const bool saved = picture.save(QString::fromLocal8Bit(argv[1]), "PNG");
  dialog.DispatchCommand(ui::kIdStop);
  dialog.DestroyWindow();
  if (!saved) {
    std::fprintf(stderr, "could not write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
