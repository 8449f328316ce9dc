#include "window/Program.h"

#include "base/StopSignals.h"
#include "run/ReportFile.h"
#include "text/Cp1251.h"
#include "text/LocaleFormats.h"
#include "text/SystemText.h"
#include "window/Dialogs.h"
#include "window/Form2.h"
#include "window/StopWatcher.h"

#include <QFileInfo>

#include <memory>

namespace od {

namespace {

std::string ModuleName() {
  return Utf8ToCp1251(QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString());
}

} // namespace

int RunProgram(TApplication& app, const TForm2Description& description, TReportFile* reportFile) {
  // Before anything else: from here on a termination signal ends the
  // program cleanly, with 128 + its number.
  TStopWatcher stopWatcher(app);
  std::unique_ptr<TForm2> form;
  try {
    LoadLocaleFormats();
    app.SetTitle(ProgramTitle());
    form = std::make_unique<TForm2>(description);
    if (reportFile != nullptr) reportFile->Attach(form->Run().Report(), WriteToStandardError);
    stopWatcher.Watch(*form->DB());
    form->ShowCentred();
  } catch (const std::exception& e) {
    // The exception display is not there yet: the failure gets the plain
    // start-up box and the program ends.
    form.reset();
    ShowStartupErrorBox(StartupErrorText(ExceptionClassName(e), ModuleName(),
                                         reinterpret_cast<const void*>(&RunProgram), MessageOf(e)));
    return ExitStatus(kExitStartupFailed);
  }
  app.Run();
  const TForm2::TRunState state = form->RunState();
  const bool linesKept = form->Run().Report().KeptLines() > 0;
  const bool noneRestored = form->Run().Report().NoneRestored(description.DryRun);
  // Ended before the timer started the run: the report has not said a word
  // yet.
  form->Run().EndedBeforeStart();
  // See DrainStopWake: the detach must not find a wake-up byte unread.
  DrainStopWake();
  // Whatever the run left open is rolled back and detached here.
  form.reset();
  return RunExitStatus(state == TForm2::TRunState::Committed, linesKept, noneRestored);
}

} // namespace od
