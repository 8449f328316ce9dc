#include "tests/app/support/AppTestSupport.h"

#include "tests/db/support/TestDatabase.h"
#include "window/Application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>

namespace od::apptest {

TBoxWatcher::TBoxWatcher(TAnswer answer) : answer_(answer) { qApp->installEventFilter(this); }

TBoxWatcher::~TBoxWatcher() { qApp->removeEventFilter(this); }

bool TBoxWatcher::eventFilter(QObject* watched, QEvent* event) {
  auto* box = qobject_cast<QMessageBox*>(watched);
  if (box == nullptr || (event->type() != QEvent::Show && event->type() != QEvent::Hide)) return false;
  if (event->type() == QEvent::Hide) {
    --open_;
    return false;
  }
  ++open_;
  TShownBox shown;
  shown.Title = box->windowTitle();
  shown.Text = box->text();
  shown.Icon = box->icon();
  for (QAbstractButton* button : box->buttons()) shown.Buttons << button->text();
  if (QPushButton* def = box->defaultButton()) shown.DefaultButton = def->text();
  shown.EscapeIsDefault = box->escapeButton() != nullptr && box->escapeButton() == box->defaultButton();
  shown.ApplicationModal = box->isModal() || box->windowModality() == Qt::ApplicationModal;
  boxes_.push_back(shown);

  // Answered from the box's own event loop, once it runs.
  const TAnswer answer = answer_;
  QTimer::singleShot(0, box, [box, answer] {
    switch (answer) {
    case TAnswer::None: break;
    case TAnswer::Enter: QTest::keyClick(box, Qt::Key_Return); break;
    case TAnswer::Escape: QTest::keyClick(box, Qt::Key_Escape); break;
    case TAnswer::Click:
      if (QPushButton* def = box->defaultButton()) def->click();
      break;
    case TAnswer::Terminate:
      if (TApplication* app = Application()) app->Terminate();
      break;
    }
  });
  return false;
}

TForm2Description TestDescription(const std::string& dbName, const std::string& host) {
  TForm2Description description = Form2Description;
  description.DBName = dbName;
  description.ServiceHost = host;
  return description;
}

void CreateOrderSchema(const od::test::TestDatabase& db) {
  db.Execute("CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER NOT NULL PRIMARY KEY, ZAKAZ_ID INTEGER, "
             "DATA_TIME_SEND TIMESTAMP)");
  db.Execute("CREATE TABLE UPDATE_LOG (N INTEGER NOT NULL, ID INTEGER)");
  db.Execute("CREATE SEQUENCE UPDATE_LOG_N");
  db.Execute("CREATE TRIGGER TBL_ZAKAZ_TOVARS_AU FOR TBL_ZAKAZ_TOVARS AFTER UPDATE AS BEGIN "
             "INSERT INTO UPDATE_LOG (N, ID) VALUES (NEXT VALUE FOR UPDATE_LOG_N, NEW.ID); END");
}

void InsertGoods(const od::test::TestDatabase& db, const std::vector<std::pair<int, int>>& goods) {
  for (const auto& [id, order] : goods) {
    db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, DATA_TIME_SEND) VALUES (" + std::to_string(id) + ", " +
               std::to_string(order) + ", TIMESTAMP '2001-01-01 12:00:00')");
  }
}

std::map<int, std::string> SendDates(const od::test::TestDatabase& db) {
  std::map<int, std::string> dates;
  for (const auto& row :
       db.Query("SELECT ID, " + StoredDateExpression("DATA_TIME_SEND") + " FROM TBL_ZAKAZ_TOVARS ORDER BY ID"))
    dates[std::stoi(row.at(0))] = StoredDateText(row.at(1));
  return dates;
}

std::string StoredDateExpression(const std::string& column) {
  return "DATEDIFF(MILLISECOND FROM TIMESTAMP '2000-01-01 00:00:00' TO " + column + ")";
}

std::string StoredDateText(const std::string& milliseconds) {
  if (milliseconds == "<null>") return milliseconds;
  const QDateTime epoch(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);
  return epoch.addMSecs(std::stoll(milliseconds)).toString("yyyy-MM-dd HH:mm:ss.zzz").toStdString();
}

std::vector<int> UpdateLog(const od::test::TestDatabase& db) {
  std::vector<int> ids;
  for (const auto& row : db.Query("SELECT ID FROM UPDATE_LOG ORDER BY N")) ids.push_back(std::stoi(row.at(0)));
  return ids;
}

demo::TServiceReply ScriptedReply(const std::string& script) {
  if (script == "<close>") return {demo::TServiceReply::Close, {}};
  if (script == "<reset>") return {demo::TServiceReply::Reset, {}};
  if (script.rfind("404:", 0) == 0) return demo::TOrderService::TextReply(404, script.substr(4));
  return demo::TOrderService::TextReply(200, script);
}

demo::TOrderService::THandler ScriptedHandler(std::map<std::string, std::string> scripts) {
  return [scripts = std::move(scripts)](const std::string& target) {
    const auto found = scripts.find(demo::OrderOfTarget(target));
    if (found == scripts.end()) return demo::TOrderService::TextReply(404, "Not found\r\n");
    return ScriptedReply(found->second);
  };
}

QStringList TopLevelNames() {
  QStringList names;
  for (QWidget* widget : QApplication::topLevelWidgets())
    names << QString::fromLatin1(widget->metaObject()->className()) + "/" + widget->objectName();
  return names;
}

} // namespace od::apptest
