#include "platform_qt/win_app.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/services.h"
#include "platform_qt/busy.h"
#include "platform_qt/message_box.h"

namespace platform {

namespace {

CWinApp*& Registered() {
  static CWinApp* app = nullptr;
  return app;
}

// What the toolkit said while it started, held back until it is known
// whether a display could be opened.
struct HeldMessage {
  QtMsgType type;
  std::string category;
  QString text;
};

struct Startup {
  std::string noDisplayLine;
  std::vector<HeldMessage> held;
};
Startup* startup = nullptr;

// Qt reports a display it cannot open (or a platform plugin that will not
// start) as a fatal message and then aborts, which leaves a core and an
// advice to reinstall. During start-up a fatal message means exactly that,
// so it becomes one line that says what to do, and status 1.
void StartupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "%s\n", startup->noDisplayLine.c_str());
    std::fflush(stderr);
    std::_Exit(1);
  }
  startup->held.push_back({type, context.category != nullptr ? context.category : "", text});
}

std::string NoDisplayLine(const std::string& program, const CommandLine& given) {
  std::string platform = given.Value("platform");
  if (platform.empty() && std::getenv("QT_QPA_PLATFORM") != nullptr) {
    platform = std::getenv("QT_QPA_PLATFORM");
  }
  std::string display = given.Value("display");
  if (display.empty() && std::getenv("DISPLAY") != nullptr) display = std::getenv("DISPLAY");
  std::string what;
  if (!platform.empty() && platform.rfind("xcb", 0) != 0) {
    what = "cannot open a display with Qt's platform '" + platform + "'";
  } else if (display.empty()) {
    what = "no display (DISPLAY is not set)";
  } else {
    what = "cannot open display '" + display + "'";
  }
  return program + ": " + what + "; log in to a desktop, set DISPLAY, or run it as 'xvfb-run -a " +
         program + "'";
}

// SIGTERM, SIGINT and SIGHUP reach the program through a pipe that the
// event loop watches: the handler itself may only write a byte, and the
// clean-up (closing the port, the trace) runs as an ordinary event. While a
// handler blocks (a poll, a scan) socket events wait, so the signal is acted
// on when it returns, or at once inside a message box's loop.
int signalPipe[2] = {-1, -1};

void OnSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

void EndOnSignal(CWinApp* app) {
  unsigned char number = 0;
  if (::read(signalPipe[0], &number, 1) != 1) return;
  if (app->onTerminate != nullptr) app->onTerminate();
  std::fflush(nullptr);
  // Not exit(): the windows and the toolkit are in the middle of a nested
  // loop, and tearing them down from here is not safe; everything that had
  // to be released has been.
  std::_Exit(128 + number);
}

void WatchTerminationSignals(CWinApp* app) {
  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier =
      new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [app] { EndOnSignal(app); });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
}

}  // namespace

CWinApp::CWinApp() {
  Registered() = this;
}

CWinApp::~CWinApp() {
  if (Registered() == this) Registered() = nullptr;
}

bool CWinApp::OnCommandLine(const CommandLine&, std::string&) {
  return true;
}

bool CWinApp::InitInstance() {
  return true;
}

CWinApp* CurrentApp() {
  return Registered();
}

int RunApplication(int argc, char** argv) {
  CWinApp* app = CurrentApp();
  if (app == nullptr) return 1;
  const std::string program = ApplicationName();

  const ParsedCommandLine parsed = ParseCommandLine(argc, argv, app->appOptions);
  switch (parsed.action) {
    case CommandLineAction::Help:
      std::fputs(UsageText(program, app->appSummary, app->appOptions).c_str(), stdout);
      return 0;
    case CommandLineAction::Version:
      std::printf("%s %s\n%s", program.c_str(), app->appVersion.c_str(), app->appNotice.c_str());
      return 0;
    case CommandLineAction::Error:
      std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
                   parsed.error.c_str(), program.c_str());
      return 2;
    case CommandLineAction::Run:
      break;
  }
  std::string error;
  if (!app->OnCommandLine(parsed.given, error)) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
                 error.c_str(), program.c_str());
    return 2;
  }

  // QApplication keeps a reference to argc for its whole life.
  int qtArgc = argc;
  std::unique_ptr<QApplication> owned;
  if (QCoreApplication::instance() == nullptr) {
    Startup state{NoDisplayLine(program, parsed.given), {}};
    startup = &state;
    const QtMessageHandler previous = qInstallMessageHandler(StartupMessageHandler);
    owned = std::make_unique<QApplication>(qtArgc, argv);
    qInstallMessageHandler(previous);
    startup = nullptr;
    // It started after all: what it said goes where it would have gone.
    for (const auto& m : state.held) {
      qt_message_output(m.type, QMessageLogContext(nullptr, 0, nullptr, m.category.c_str()),
                        m.text);
    }
  }
  // From here on a message is a box on the screen, not a line on stderr,
  // and the windows are painted while a handler waits.
  InstallServices({nullptr, &WindowServingClock(), &MessageBoxOperator()});
  WatchTerminationSignals(app);
  if (!app->InitInstance()) return app->exitCode;
  return QApplication::exec();
}

bool InitSocketLayer() {
  return true;
}

}  // namespace platform
