#pragma once

// How connections and transactions tell the objects that work through them
// about their life. Statements implement IFbStatementLink and register with
// their connection and their transaction; other listeners implement the
// listener interfaces (every operation has an empty default).

#include <cstdint>

namespace od {

class TFbCustomDatabase;
class TFbCustomTransaction;

// The client library's handles (database, transaction, statement) as this
// layer stores them: 32-bit values, 0 meaning "none".
using TFbHandle = std::uint32_t;

enum class TFbDatabaseEvent {
  Connecting,    // before the attach (Open)
  Connected,     // right after a successful attach
  Disconnecting, // before the detach: close any open result, free the server statement handle
  Disconnected,  // after the detach
};

enum class TFbTransactionEvent {
  Starting, // before the server transaction starts
  Started,  // after it started
  Ending,   // before commit/rollback; the transaction's EndState() tells which (2-5)
  Ended,    // after the server ended (or retained) it
};

class IFbStatementLink {
public:
  virtual void DatabaseEvent(TFbCustomDatabase& database, TFbDatabaseEvent event) = 0;
  // The connection is being destroyed: forget it (no server calls any more).
  virtual void DatabaseFreed(TFbCustomDatabase& database) noexcept = 0;
  virtual void TransactionEvent(TFbCustomTransaction& transaction, TFbTransactionEvent event) = 0;
  // The transaction is being destroyed: forget it.
  virtual void TransactionFreed(TFbCustomTransaction& transaction) noexcept = 0;

protected:
  ~IFbStatementLink() = default;
};

class IFbDatabaseListener {
public:
  virtual void AfterConnect(TFbCustomDatabase& /*database*/) {}
  virtual void BeforeDisconnect(TFbCustomDatabase& /*database*/) {}
  virtual void DatabaseDestroying(TFbCustomDatabase& /*database*/) noexcept {}

protected:
  ~IFbDatabaseListener() = default;
};

class IFbTransactionListener {
public:
  virtual void BeforeStart(TFbCustomTransaction& /*transaction*/) {}
  virtual void AfterStart(TFbCustomTransaction& /*transaction*/) {}
  virtual void BeforeEnd(TFbCustomTransaction& /*transaction*/) {}
  virtual void AfterEnd(TFbCustomTransaction& /*transaction*/) {}

protected:
  ~IFbTransactionListener() = default;
};

} // namespace od
