#include "window/Dialogs.h"

#include "base/Exception.h"
#include "text/Cp1251.h"
#include "window/Application.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace od {

namespace {

QString ToQt(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }

QString TitleText() {
  TApplication* app = Application();
  return app != nullptr ? ToQt(app->Title()) : QString();
}

// Message texts come from the database and the service too: they are shown
// as they are, never interpreted as markup.
void PrepareBox(QMessageBox& box, QMessageBox::Icon icon, const QString& caption, const std::string& text) {
  box.setIcon(icon);
  box.setWindowTitle(caption);
  box.setTextFormat(Qt::PlainText);
  box.setText(ToQt(text));
  QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  box.setDefaultButton(ok);
  box.setEscapeButton(ok);
}

} // namespace

void ShowExceptionBox(const std::string& text) {
  // Owned by the active window; exec() disables the other windows while it
  // is up and gives activation back when it closes.
  QMessageBox box(QApplication::activeWindow());
  PrepareBox(box, QMessageBox::Critical, TitleText(), text);
  box.exec();
}

void ShowMessage(const std::string& text, TMessageIcon icon) {
  QMessageBox box;
  PrepareBox(box, icon == TMessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, TitleText(), text);
  // The box wraps its text at a width of its own, about half the screen: a
  // line of counts or a file's path broken in two reads worse than a wider
  // box (the toolkit still keeps it within the screen).
  for (QLabel* label : box.findChildren<QLabel*>()) {
    if (label->text() != box.text()) continue;
    label->ensurePolished();
    const QFontMetrics metrics = label->fontMetrics();
    int widest = 0;
    for (const QString& line : box.text().split(QLatin1Char('\n')))
      widest = std::max(widest, metrics.horizontalAdvance(line));
    // A blank's width to spare: the label lays lines out a pixel wider
    // than their advance now and then.
    label->setMinimumWidth(widest + metrics.horizontalAdvance(QLatin1Char(' ')));
  }
  if (TApplication* app = Application()) {
    // Once the program has been asked to end, nobody waits for the user: the
    // window closes after the next event.
    QObject::connect(app, &TApplication::TerminateRequested, &box, &QDialog::reject, Qt::QueuedConnection);
    if (app->Terminated()) QMetaObject::invokeMethod(&box, &QDialog::reject, Qt::QueuedConnection);
  }
  box.exec();
}

std::string StartupErrorText(const std::string& className, const std::string& module, const void* address,
                             const std::string& message) {
  char where[2 * sizeof(void*) + 1];
  std::snprintf(where, sizeof where, "%0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)),
                reinterpret_cast<std::uintptr_t>(address));
  std::string text = "Exception " + className + " in module " + module + " at " + where + ".\n" + message;
  if (!message.empty() && message.back() != '.') text += '.';
  text += '\n';
  return text;
}

std::string ExceptionClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  // The class name alone, as the program's messages name classes.
  const auto colon = name.rfind("::");
  if (colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

void ShowStartupErrorBox(const std::string& text) {
  QMessageBox box;
  box.setWindowModality(Qt::ApplicationModal);
  PrepareBox(box, QMessageBox::Critical, QStringLiteral("Application Error"), text);
  box.exec();
}

} // namespace od
