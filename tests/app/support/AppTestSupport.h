#pragma once

// Shared pieces of the window tests: a watcher that records and answers the
// message boxes the program shows, order databases on the embedded engine,
// and the window description pointed at a test's own database and service.

#include "demo/OrderService.h"
#include "window/Form2Description.h"

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace od::test {
class TestDatabase;
}

namespace od::apptest {

// A message box as it was shown.
struct TShownBox {
  QString Title;
  QString Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  QStringList Buttons;
  QString DefaultButton;
  bool EscapeIsDefault = false;
  bool ApplicationModal = false;
};

// How the watcher answers a box once it is shown.
enum class TAnswer {
  None,      // leaves it to the program
  Enter,     // presses Enter in it
  Escape,    // presses Escape in it
  Click,     // clicks its default button
  Terminate, // asks the program to end while it is shown
};

// Watches the whole application for message boxes being shown, records them
// and answers them. Lives for one test.
class TBoxWatcher : public QObject {
public:
  explicit TBoxWatcher(TAnswer answer = TAnswer::Enter);
  ~TBoxWatcher() override;

  void SetAnswer(TAnswer answer) noexcept { answer_ = answer; }
  const std::vector<TShownBox>& Boxes() const noexcept { return boxes_; }
  int Count() const noexcept { return static_cast<int>(boxes_.size()); }
  // Boxes still open (shown and not yet hidden).
  int Open() const noexcept { return open_; }

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  TAnswer answer_;
  std::vector<TShownBox> boxes_;
  int open_ = 0;
};

// UTF-8 literal to QString.
inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// The program's description with the database path and the service host of
// the test.
TForm2Description TestDescription(const std::string& dbName, const std::string& host);

// The goods line table and an update log filled by a trigger, one row per
// executed UPDATE.
void CreateOrderSchema(const od::test::TestDatabase& db);

// The send date every goods line starts with, as SendDates reads it.
inline constexpr const char* kOldDate = "2001-01-01 12:00:00.000";

// Goods lines: key -> order number (0 and negative never belong to an order).
void InsertGoods(const od::test::TestDatabase& db, const std::vector<std::pair<int, int>>& goods);

// Key -> DATA_TIME_SEND as "yyyy-MM-dd HH:mm:ss.zzz" ("<null>" for null).
// The server hands out milliseconds since 2000-01-01, so the text does not
// depend on its own date formats.
std::map<int, std::string> SendDates(const od::test::TestDatabase& db);
// The SQL expression and its conversion behind SendDates.
std::string StoredDateExpression(const std::string& column);
std::string StoredDateText(const std::string& milliseconds);
// Keys of the goods lines in the order their UPDATEs were executed.
std::vector<int> UpdateLog(const od::test::TestDatabase& db);

// A service answer: "<close>", "<reset>", "404:<body>" or the body of a 200
// answer.
demo::TServiceReply ScriptedReply(const std::string& script);

// An order service that answers every order with one date, except that it
// holds the chosen request (1-based; 0 holds none) until Release, so that a
// program can be caught inside its walk with earlier updates executed and
// not committed. Released when it goes, so that a failing test does not
// leave the service's thread waiting.
class HoldingService {
public:
  explicit HoldingService(int holdAt, std::string answer = "05.03.2024 14:07:09\r\n")
      : service_([this, holdAt, answer = std::move(answer)](const std::string&) {
          std::unique_lock lock(mutex_);
          if (++seen_ == holdAt) released_.wait(lock, [this] { return release_; });
          return ScriptedReply(answer);
        }) {}
  ~HoldingService() {
    Release();
    service_.Stop();
  }
  HoldingService(const HoldingService&) = delete;
  HoldingService& operator=(const HoldingService&) = delete;

  void Release() {
    std::lock_guard lock(mutex_);
    release_ = true;
    released_.notify_all();
  }
  demo::TOrderService& Service() { return service_; }

private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
  int seen_ = 0;
  // Last: its thread uses everything above.
  demo::TOrderService service_;
};
// A handler answering by order number from `scripts`; orders without a
// script get 404.
demo::TOrderService::THandler ScriptedHandler(std::map<std::string, std::string> scripts);

// The names of the top-level widgets still alive, for cleanup checks.
QStringList TopLevelNames();

} // namespace od::apptest
