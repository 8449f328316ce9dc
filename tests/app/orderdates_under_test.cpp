// The program as the tests run it in a process of its own: the same start-up
// as orderdates, with the built-in database path and service host taken from
// the environment when it names them (the tests' service only knows its port
// once it listens, so it cannot be compiled in; options still override both).
// With ORDERDATES_TEST_ANSWER_BOXES set, every message box is written to
// standard output (its icon too, when it has one) and answered with its
// default button, and then the main window is closed, as a user would after
// an error, so that every run ends without a user; set to "hold", the boxes
// are written and left open, for a test that ends the program meanwhile.
// ORDERDATES_TEST_NOW (seconds since 1970) is the time the run starts at.
// ORDERDATES_TEST_SYSTEM_SETTINGS names the system's settings file; without
// it there is none, so that no test reads the machine's own.
#include "app/CommandLine.h"
#include "window/Form2Description.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool Hold() {
  const char* answer = std::getenv("ORDERDATES_TEST_ANSWER_BOXES");
  return answer != nullptr && std::strcmp(answer, "hold") == 0;
}

class TBoxAnswerer : public QObject {
public:
  using QObject::QObject;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (box == nullptr || event->type() != QEvent::Show) return false;
    std::printf("box: %s\n", box->text().toUtf8().constData());
    if (box->icon() != QMessageBox::NoIcon) std::printf("icon: %d\n", static_cast<int>(box->icon()));
    if (!box->detailedText().isEmpty()) std::printf("details: %s\n", box->detailedText().toUtf8().constData());
    std::fflush(stdout);
    if (Hold()) return false;
    QTimer::singleShot(0, box, [box] {
      if (QPushButton* button = box->defaultButton()) button->click();
      QTimer::singleShot(0, [] {
        for (QWidget* widget : QApplication::topLevelWidgets())
          if (widget->objectName() == QLatin1String("Form2")) widget->close();
      });
    });
    return false;
  }
};

void AnswerBoxes() {
  if (std::getenv("ORDERDATES_TEST_ANSWER_BOXES") == nullptr) return;
  QCoreApplication::instance()->installEventFilter(new TBoxAnswerer(QCoreApplication::instance()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(AnswerBoxes)

int main(int argc, char** argv) {
  od::TForm2Description description = od::Form2Description;
  if (const char* dbName = std::getenv("ORDERDATES_TEST_DB_NAME")) description.DBName = dbName;
  if (const char* host = std::getenv("ORDERDATES_TEST_SERVICE_HOST")) description.ServiceHost = host;
  od::TClock clock;
  if (const char* now = std::getenv("ORDERDATES_TEST_NOW"))
    clock = [seconds = static_cast<std::time_t>(std::atoll(now))] { return seconds; };
  const char* systemSettings = std::getenv("ORDERDATES_TEST_SYSTEM_SETTINGS");
  return od::RunCommandLine(argc, argv, description, clock, systemSettings != nullptr ? systemSettings : "");
}
