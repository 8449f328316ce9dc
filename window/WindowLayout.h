#pragma once

#include <string>

namespace od {

// How the main window looks and when it starts the run. Sizes are in pixels
// at 96 pixels per inch.
struct TWindowLayout {
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
  // Timer1.
  int TimerInterval = 300;
  bool TimerEnabled = true;
};

} // namespace od
