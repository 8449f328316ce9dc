#include "terminal/TerminalRun.h"

#include "base/Component.h"
#include "base/Exception.h"
#include "base/StopSignals.h"
#include "db/Database.h"
#include "run/ErrorText.h"
#include "run/ExitStatus.h"
#include "run/ReportFile.h"
#include "run/RestorationRun.h"
#include "text/Cp1251.h"
#include "text/Defuse.h"
#include "text/LocaleFormats.h"
#include "text/SystemText.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>

namespace od {

namespace {

constexpr auto kDrawInterval = std::chrono::milliseconds(100);
constexpr int kDefaultWidth = 80;
// Erases from the cursor to the end of the line.
constexpr char kClearLine[] = "\r\x1b[K";

// Columns a text takes: one per character in a UTF-8 locale, one per byte
// in the single-byte ones.
size_t Columns(const std::string& text, bool utf8) {
  if (!utf8) return text.size();
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The longest start of `text` that takes at most `columns`.
std::string CutToColumns(const std::string& text, size_t columns, bool utf8) {
  if (Columns(text, utf8) <= columns) return text;
  size_t kept = 0;
  size_t end = 0;
  while (end < text.size()) {
    size_t next = end + 1;
    if (utf8)
      while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
    if (++kept > columns) break;
    end = next;
  }
  return text.substr(0, end);
}

bool Utf8Terminal() {
  const std::string codeset = LocaleCodeset();
  return codeset == "UTF-8" || codeset == "utf8";
}

std::string Duration(double seconds) {
  const auto total = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (total >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  return text;
}

int TerminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultWidth;
}

void Write(std::FILE* stream, const std::string& text) {
  // A reader that has gone costs the text, not the run.
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
  std::clearerr(stream);
}

// Each line of a code page 1251 text made safe to print, `first` in front
// of the first and `rest` in front of the others; empty lines are dropped.
std::string TerminalLines(const std::string& text, const char* first, const char* rest) {
  std::string shown;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start)
      shown += (shown.empty() ? first : rest) + TerminalText(text.substr(start, end - start), 2000) + "\n";
    start = end + 1;
  }
  return shown;
}

} // namespace

std::string ProgressLine(const TProgress& progress, int width) {
  const bool utf8 = Utf8Terminal();
  const size_t room = width > 1 ? static_cast<size_t>(width - 1) : 0;
  if (progress.Total < 0) return CutToColumns(progress.Status, room, utf8);
  const std::int64_t done = std::clamp<std::int64_t>(progress.Done, 0, std::max<std::int64_t>(progress.Total, 0));
  const int percent = progress.Total > 0 ? static_cast<int>(done * 100 / progress.Total) : 0;

  char number[64];
  std::snprintf(number, sizeof number, "%3d%%", percent);
  const std::string percentText = number;
  const std::string counts = std::to_string(progress.Done) + "/" + std::to_string(progress.Total);
  std::string rate;
  if (progress.Seconds > 0 && progress.Done > 0) {
    const double perSecond = static_cast<double>(progress.Done) / progress.Seconds;
    std::snprintf(number, sizeof number, "%.0f/s", perSecond);
    rate = number;
    if (progress.Done < progress.Total)
      rate += " " + Duration(static_cast<double>(progress.Total - progress.Done) / perSecond) + " left";
  }
  const size_t barInside = std::clamp<size_t>(room / 5, 10, 30);
  const auto filled = static_cast<size_t>(
      progress.Total > 0 ? barInside * static_cast<size_t>(done) / static_cast<size_t>(progress.Total) : 0);
  const std::string bar = "[" + std::string(filled, '#') + std::string(barInside - filled, '-') + "]";

  // What must fit, the status text in whatever room is left; the parts go
  // in the order that a narrow terminal can spare them.
  bool withRate = !rate.empty();
  bool withCounts = true;
  bool withBar = true;
  auto fixedColumns = [&] {
    return (withBar ? bar.size() + 1 : 0) + percentText.size() + (withCounts ? 2 + counts.size() : 0) +
           (withRate ? 2 + rate.size() : 0);
  };
  constexpr size_t kShortestStatus = 12;
  const size_t statusColumns = Columns(progress.Status, utf8);
  auto statusFits = [&] {
    return statusColumns == 0 || fixedColumns() + 2 + std::min(statusColumns, kShortestStatus) <= room;
  };
  if (!statusFits()) withRate = false;
  if (!statusFits()) withCounts = false;
  if (!statusFits()) withBar = false;

  std::string line = (withBar ? bar + " " : std::string()) + percentText;
  if (withCounts) line += "  " + counts;
  if (statusColumns > 0 && fixedColumns() + 2 < room) {
    const size_t left = room - fixedColumns() - 2;
    std::string status = progress.Status;
    if (statusColumns > left) status = CutToColumns(status, left >= 3 ? left - 3 : 0, utf8) + (left >= 3 ? "..." : "");
    line += "  " + status;
  }
  if (withRate) line += "  " + rate;
  return CutToColumns(line, room, utf8);
}

TTerminalView::TTerminalView(bool drawProgress) : drawProgress_(drawProgress) {}

void TTerminalView::SetStatusText(const std::string& text) { status_ = text; }

void TTerminalView::SetBarMaximum(int maximum) {
  // The same refusal as the window's bar: the run must end the same way.
  if (maximum < 0) throw Exception(Format("%s property out of range", "TProgressBar"));
  maximum_ = maximum;
  counted_ = true;
  position_ = std::min(position_, maximum_);
}

void TTerminalView::StepBar() {
  if (done_++ == 0) firstStep_ = std::chrono::steady_clock::now();
  // Past the maximum the bar starts again, as the window's does.
  position_ = position_ + 1 > maximum_ ? 0 : position_ + 1;
}

void TTerminalView::ShowState() {
  nextDraw_ = {};
  RepaintNow();
}

void TTerminalView::RepaintNow() {
  if (!drawProgress_ || ended_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextDraw_) return;
  nextDraw_ = now + kDrawInterval;
  Draw();
}

void TTerminalView::Draw() {
  TProgress progress;
  progress.Done = done_;
  progress.Total = counted_ ? maximum_ : -1;
  progress.Status = TerminalText(status_);
  if (done_ > 0)
    progress.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - firstStep_).count();
  Write(stderr, kClearLine + ProgressLine(progress, TerminalWidth()));
  lineShown_ = true;
}

void TTerminalView::ClearLine() {
  if (!lineShown_) return;
  Write(stderr, kClearLine);
  lineShown_ = false;
}

void TTerminalView::EndProgram() {
  ClearLine();
  ended_ = true;
}

void TTerminalView::WriteReportLine(const std::string& line) {
  lastReportLine_ = line;
  ClearLine();
  Write(stderr, Defused(Utf8ToSystemText(line)) + "\n");
  // Drawn again at the next frame.
  nextDraw_ = {};
}

void TTerminalView::ShowFinalMessage(const std::string& text, const std::string& details) {
  // The lines of the window's box: a job's mail (cron sends standard
  // output) tells a total failure from a few failed orders, and where the
  // report is, without the report itself.
  ClearLine();
  std::string shown = TerminalText(text) + "\n";
  if (!details.empty()) shown += "\n" + TerminalLines(details, "", "");
  Write(stdout, shown);
}

void TTerminalView::ShowError(const std::exception& error) {
  if (dynamic_cast<const EAbort*>(&error) != nullptr) return;
  // The report's last line ("stopped before the commit ...: <the error>")
  // has said it already, whole, on the same stream: once is enough.
  const std::string said = ReportText(MessageOf(error), kReportMessageLimit);
  if (MessageOf(error).size() <= kReportMessageLimit && lastReportLine_.size() >= said.size() &&
      lastReportLine_.compare(lastReportLine_.size() - said.size(), said.size(), said) == 0)
    return;
  ClearLine();
  // The text the window's box would show; a message of several lines keeps
  // them, each made safe to print.
  Write(stderr, TerminalLines(ExceptionDisplayText(MessageOf(error)), "orderdates: ", "  "));
}

int RunWithoutWindow(const TRunSettings& settings, TReportFile& reportFile) {
  // What the toolkit does for the window: the user's locale for the C
  // library, so that the terminal's code set is known.
  std::setlocale(LC_ALL, "");
  TTerminalView view(::isatty(STDERR_FILENO) == 1);
  try {
    LoadLocaleFormats();
  } catch (const std::exception& e) {
    view.ShowError(e);
    return ExitStatus(kExitStartupFailed);
  }
  TRunState state = TRunState::Waiting;
  bool linesKept = false;
  bool noneRestored = false;
  {
    TComponent form;
    // Messages name the components as the window's run does.
    form.SetName("Form2");
    const TRunComponents components = CreateRunComponents(form, settings);
    // Should the client library put its own signal handlers in place on an
    // attach, ours go back at once.
    components.DB->AfterConnect() = [](TFbCustomDatabase&) { InstallStopSignalHandlers(); };
    TRestorationRun run(settings, components, view);
    reportFile.Attach(run.Report(), [&view](const std::string& line) { view.WriteReportLine(line); });
    if (ProcessStopRequested())
      run.EndedBeforeStart();
    else
      run.Execute();
    state = run.State();
    linesKept = run.Report().KeptLines() > 0;
    noneRestored = run.Report().NoneRestored(settings.DryRun);
    // See DrainStopWake: the detach must not find a wake-up byte unread.
    DrainStopWake();
    // Whatever the run left open is rolled back and detached here.
  }
  return RunExitStatus(state == TRunState::Committed, linesKept, noneRestored);
}

} // namespace od
