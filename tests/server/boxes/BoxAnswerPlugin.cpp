// The user in front of a program that runs in a process of its own on the
// offscreen platform: a Qt generic plugin that the program loads at start-up
// when the environment asks for it (QT_PLUGIN_PATH naming the folder above
// generic/, QT_QPA_GENERIC_PLUGINS=odboxanswer). Every message box shown is
// written down (icon, title and text, one line each in UTF-8, to the file
// named by ORDERDATES_TEST_BOX_LOG) and answered with Enter; once no box is
// open any more, the program's windows are closed, as a user closes the
// window after reading an error. The program itself is not changed.
#include <QApplication>
#include <QFile>
#include <QGenericPlugin>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

namespace {

class TBoxAnswerer : public QObject {
public:
  TBoxAnswerer() : log_(qEnvironmentVariable("ORDERDATES_TEST_BOX_LOG")) {}

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (box == nullptr) return false;
    if (event->type() == QEvent::Show) {
      Record(*box);
      // Answered from the box's own event loop, once it runs.
      QTimer::singleShot(0, box, [box] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(box, &press);
      });
    } else if (event->type() == QEvent::Hide) {
      QTimer::singleShot(0, this, &TBoxAnswerer::CloseWindowsWhenIdle);
    }
    return false;
  }

private:
  static QString OneLine(QString text) { return text.replace('\\', "\\\\").replace('\n', "\\n"); }

  void Record(const QMessageBox& box) {
    QFile file(log_);
    if (log_.isEmpty() || !file.open(QIODevice::Append)) return;
    const QString line = QString::number(static_cast<int>(box.icon())) + '\t' + OneLine(box.windowTitle()) + '\t' +
                         OneLine(box.text()) + '\n';
    file.write(line.toUtf8());
  }

  static void CloseWindowsWhenIdle() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (qobject_cast<QMessageBox*>(widget) != nullptr && widget->isVisible()) return;
    }
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->isVisible()) widget->close();
    }
  }

  QString log_;
};

} // namespace

class TBoxAnswerPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "BoxAnswerPlugin.json")

public:
  QObject* create(const QString& key, const QString& /*parameters*/) override {
    if (key.compare(QLatin1String("odboxanswer"), Qt::CaseInsensitive) != 0) return nullptr;
    // The application deletes the objects its generic plugins create when it
    // goes; the filter goes with it.
    auto* answerer = new TBoxAnswerer;
    QCoreApplication::instance()->installEventFilter(answerer);
    return answerer;
  }
};

#include "BoxAnswerPlugin.moc"
