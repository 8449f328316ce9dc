#include "window/ToolkitStart.h"

#include "run/ExitStatus.h"
#include "text/Defuse.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace od {

namespace {

// While the toolkit starts: a display it cannot use ends the program with
// one line that says what to do, not with the toolkit's abort and its advice
// to reinstall. What else the toolkit says meanwhile is passed on once it
// has started.
class TToolkitStartGuard {
public:
  TToolkitStartGuard() { previous_ = qInstallMessageHandler(&TToolkitStartGuard::Handle); }
  ~TToolkitStartGuard() {
    qInstallMessageHandler(previous_);
    for (const THeld& held : held_) {
      const QMessageLogContext context;
      if (previous_ != nullptr)
        previous_(held.Type, context, held.Text);
      else
        std::fprintf(stderr, "%s\n", held.Text.toLocal8Bit().constData());
    }
    held_.clear();
  }
  TToolkitStartGuard(const TToolkitStartGuard&) = delete;
  TToolkitStartGuard& operator=(const TToolkitStartGuard&) = delete;

private:
  struct THeld {
    QtMsgType Type;
    QString Text;
  };

  static void Handle(QtMsgType type, const QMessageLogContext& /*context*/, const QString& text) {
    if (type != QtFatalMsg) {
      held_.push_back({type, text});
      return;
    }
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0') display = std::getenv("DISPLAY");
    const std::string why = display != nullptr && *display != '\0' ? "cannot connect to '" + Defused(display) + "'"
                                                                   : std::string("the toolkit's platform cannot start");
    std::fprintf(stderr, "%s\n", NoDisplayText(why).c_str());
    std::fflush(stderr);
    // Nothing has been opened yet; no exit handler has anything to do.
    std::_Exit(kExitStartupFailed);
  }

  static inline QtMessageHandler previous_ = nullptr;
  static inline std::vector<THeld> held_;
};

} // namespace

// Whether the environment names a display the toolkit can try: an X or
// Wayland one, or a platform chosen outright (offscreen, say).
bool DisplayNamed() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

std::string NoDisplayText(const std::string& why) {
  return "orderdates: no display to show the window on (" + why + "); --no-window runs without one";
}

std::unique_ptr<TApplication> StartToolkit(char** argv) {
  // The toolkit keeps a reference to the count for the program's life.
  static int toolkitArgc = 1;
  const TToolkitStartGuard guard;
  return std::make_unique<TApplication>(toolkitArgc, argv);
}

} // namespace od
