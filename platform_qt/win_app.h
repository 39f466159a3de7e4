// The application object and program start.
//
// The program defines one static object of a class derived from CWinApp and a
// main() that returns platform::RunApplication(argc, argv).
#pragma once

#include <string>
#include <vector>

#include "command_line/command_line.h"

namespace platform {

class CDialog;

class CWinApp {
 public:
  // Registers this object as the application; the most recently constructed
  // one wins. The destructor unregisters it.
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Takes the options given, before any window exists (so that a bad value
  // is reported without a display). Returning false refuses them: `error`
  // is printed after the program's name, with the pointer to --help that
  // every other command-line error gets, and the program ends with status 2.
  // The default accepts everything.
  virtual bool OnCommandLine(const CommandLine& given, std::string& error);

  // Called once by RunApplication. Returning false ends the program without
  // a message loop (with exitCode, 0 unless InitInstance set it); true runs
  // the event loop until the last window closes. The default returns true.
  virtual bool InitInstance();

  // The application's main window, for the program's own use; the framework
  // does not close or destroy it.
  void SetMainWindow(CDialog* dialog) { mainWindow = dialog; }
  CDialog* MainWindow() const { return mainWindow; }

  CDialog* mainWindow = nullptr;
  int exitCode = 0;

  // Run when SIGTERM, SIGINT or SIGHUP ends the program (logout, kill,
  // Ctrl+C), from the event loop, before it exits with 128 + the signal's
  // number: what must not be left behind (the port's exclusive lock, the
  // modem lines, the frame trace) is released here.
  void (*onTerminate)() = nullptr;

  // What --version prints after the program's name, the line --help gives
  // beneath its usage, and the program's options; set by the derived
  // constructor. Without options of its own, the program still takes
  // --help, --version and Qt's options.
  std::string appVersion;
  // Printed beneath the version line: copyright and licence, as GNU
  // programs give them.
  std::string appNotice;
  std::string appSummary;
  std::vector<CommandLineOption> appOptions;
};

// The registered application object, or nullptr.
CWinApp* CurrentApp();

// Reads the command line: --help prints the usage to standard output and
// --version the program's name and version, both ending with 0 and without
// a display; a line it cannot read (or OnCommandLine refuses) is reported
// on standard error and ends with 2. Then creates the QApplication (or uses
// the one that already exists); where no display can be opened it says so
// in one line on standard error and ends with 1. Then calls the registered
// application's InitInstance once and, if that returns true, runs the event
// loop. Returns the process exit code: 0 after InitInstance returns false,
// the loop's code otherwise, 1 if no application object is registered.
int RunApplication(int argc, char** argv);

// Prepares the platform's socket layer for use. Linux sockets need no such
// step, so this always succeeds.
bool InitSocketLayer();

}  // namespace platform
