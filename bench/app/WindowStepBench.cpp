// The window's share of one goods line: step the bar, set the status text
// (a new order every five goods lines), show what a frame needs, dispatch
// pending events. "Paced" is the run's way; "EveryLine" paints the bar and
// the whole window on every goods line, as the run once did, for comparison.
// Run it under the platform to measure: QT_QPA_PLATFORM=offscreen, or xcb
// with DISPLAY on an X server (Xvfb). The time per iteration is the cost per
// goods line.
#include <benchmark/benchmark.h>

#include <string>

#include "text/Cp1251.h"
#include "window/Application.h"
#include "window/Form2.h"
#include "window/ProgressBar.h"

namespace {

od::TForm2Description Unattached() {
  od::TForm2Description description = od::Form2Description;
  // The run never starts: the window is all that is measured.
  description.TimerEnabled = false;
  return description;
}

template <class Show> void WalkGoodsLines(benchmark::State& state, Show show) {
  od::TForm2 form(Unattached());
  form.ShowCentred();
  form.ProcessPendingEvents();
  form.SetBarMaximum(1 << 30);
  const std::string prefix = od::Cp("Заказ ");
  long line = 0;
  for (auto _ : state) {
    form.StepBar();
    show(form);
    form.ProcessPendingEvents();
    form.SetStatusText(prefix + std::to_string(++line / 5) + " - 05.03.2024 14:07:09");
  }
}

void Paced(benchmark::State& state) {
  WalkGoodsLines(state, [](od::TForm2& form) { form.RepaintNow(); });
}

void EveryLine(benchmark::State& state) {
  WalkGoodsLines(state, [](od::TForm2& form) {
    form.ShowState();
    form.ProgressBar1()->repaint();
    form.repaint();
  });
}

BENCHMARK(Paced)->MinTime(2.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(EveryLine)->MinTime(2.0)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
  od::TApplication app(argc, argv);
  app.SetTitle(od::ProgramTitle());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
