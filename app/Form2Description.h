#pragma once

#include <string>
#include <vector>

namespace od {

// Everything the main window is built from: its look, the settings of the
// connection, the transaction and the three statements, the start timer and
// the order service's host. The program has exactly one of these, fixed at
// build time (Form2Description); tests build the window from their own copy.
struct TForm2Description {
  // Window.
  std::string Caption; // code page 1251
  int ClientWidth = 482;
  int ClientHeight = 70;
  std::string FontName = "Tahoma";
  int FontHeight = 11;
  // Label1.
  int LabelFontHeight = 19;
  // ProgressBar1.
  int BarHeight = 34;
  int BarMin = 0;
  int BarMax = 100;
  int BarPosition = 0;
  int BarStep = 1;
  // DB.
  std::string DBName;
  std::vector<std::string> DBParams;
  int SQLDialect = 3;
  int Timeout = 0;
  int WaitForRestoreConnect = 0;
  // The three statements, one source line per entry.
  std::vector<std::string> SQLCount;
  std::vector<std::string> SQLListZakaz;
  std::vector<std::string> SQLUpdateID;
  // Timer1.
  int TimerInterval = 300;
  bool TimerEnabled = true;
  // Host (with optional ":port") of the order web service.
  std::string ServiceHost;
  // The run ends with a rollback instead of its commit: a preview of what it
  // would change.
  bool DryRun = false;
};

// The program's own description, with the database path and the service
// host fixed when the program was built.
extern const TForm2Description Form2Description;

// The program title: names the program and captions every message box.
std::string ProgramTitle();

} // namespace od
