#include "app/Program.h"

#include "app/Dialogs.h"
#include "app/Form2.h"
#include "base/Exception.h"
#include "text/LocaleFormats.h"

#include <QFileInfo>

#include <memory>

namespace od {

namespace {

std::string ModuleName() {
  return QFileInfo(QCoreApplication::applicationFilePath()).fileName().toLocal8Bit().toStdString();
}

std::string MessageOf(const std::exception& e) {
  const auto* own = dynamic_cast<const Exception*>(&e);
  return own != nullptr ? own->Message() : std::string(e.what());
}

} // namespace

int RunProgram(TApplication& app, const TForm2Description& description) {
  std::unique_ptr<TForm2> form;
  try {
    LoadLocaleFormats();
    app.SetTitle(ProgramTitle());
    form = std::make_unique<TForm2>(description);
    form->ShowCentred();
  } catch (const std::exception& e) {
    // The exception display is not there yet: the failure gets the plain
    // start-up box and the program ends.
    form.reset();
    ShowStartupErrorBox(StartupErrorText(ExceptionClassName(e), ModuleName(),
                                         reinterpret_cast<const void*>(&RunProgram), MessageOf(e)));
    return kExitStartupFailed;
  }
  app.Run();
  const TForm2::TRunState state = form->RunState();
  // Ended before the timer started the run: the report has not said a word.
  if (state == TForm2::TRunState::Waiting) form->Report().Stopped("the window was closed before the run started");
  form.reset();
  return state == TForm2::TRunState::Committed ? kExitCommitted : kExitNotCommitted;
}

} // namespace od
