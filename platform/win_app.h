// The application object and program start.
//
// The program defines one static object of a class derived from CWinApp and a
// main() that returns platform::RunApplication(argc, argv).
#pragma once

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

  // Called once by RunApplication. Returning false ends the program without
  // a message loop (exit code 0); true runs the event loop until the last
  // window closes. The default returns true.
  virtual bool InitInstance();

  // The application's main window, for the program's own use; the framework
  // does not close or destroy it.
  void SetMainWindow(CDialog* dialog) { mainWindow = dialog; }
  CDialog* MainWindow() const { return mainWindow; }

  CDialog* mainWindow = nullptr;
};

// The registered application object, or nullptr.
CWinApp* CurrentApp();

// Creates the QApplication (or uses the one that already exists), calls the
// registered application's InitInstance once and, if that returns true, runs
// the event loop. Returns the process exit code: 0 after InitInstance returns
// false, the loop's code otherwise, 1 if no application object is registered.
int RunApplication(int argc, char** argv);

// Prepares the platform's socket layer for use. Linux sockets need no such
// step, so this always succeeds.
bool InitSocketLayer();

}  // namespace platform
