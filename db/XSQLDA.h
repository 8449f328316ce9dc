#pragma once

// Descriptor areas: the parameter list or the result-column list of one
// statement, wrapped around the client library's own XSQLDA. Each entry owns
// its value buffer and null indicator and converts between the wire form and
// the program's values. The client library's structures stay private to db/:
// the area hands out an opaque pointer that the statement passes on.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/DateTime.h"

namespace od {

class TFbCustomQuery;
class TFbXSQLDA;

// SQL type codes of the descriptor (bit 0 cleared), as the client library numbers them.
enum : short {
  kSqlVarying = 448,
  kSqlText = 452,
  kSqlDouble = 480,
  kSqlFloat = 482,
  kSqlLong = 496,
  kSqlShort = 500,
  kSqlTimestamp = 510,
  kSqlBlob = 520,
  kSqlDFloat = 530,
  kSqlArray = 540,
  kSqlQuad = 550,
  kSqlTypeTime = 560,
  kSqlTypeDate = 570,
  kSqlInt64 = 580,
  kSqlBooleanIB = 590, // the 16-bit boolean of the older servers
  kSqlBoolean = 32764, // the one-byte boolean of this client library
  kSqlNull = 32766,    // a parameter the server cannot type ("? IS NULL")
};

// Days since 17 November 1858 at which the program's day 0 (30 December
// 1899) lies, and the client library's time unit per millisecond.
inline constexpr int kIscDateOfDayZero = 15018;
inline constexpr int kIscTimeUnitsPerMs = 10;

// The ISC timestamp for a date-time, by the layer's own arithmetic: the
// value rounded to the millisecond (ties to even), the time of day counted
// forward from midnight also before day 0.
struct TIscTimestamp {
  std::int32_t Date = 0;
  std::uint32_t Time = 0;
  friend bool operator==(const TIscTimestamp&, const TIscTimestamp&) = default;
};
TIscTimestamp DateTimeToIscTimestamp(TDateTime value) noexcept;
TDateTime IscTimestampToDateTime(std::int32_t date, std::uint32_t time) noexcept;

class TFbXSQLVAR {
public:
  TFbXSQLVAR(TFbXSQLDA& area, int index);
  ~TFbXSQLVAR();
  TFbXSQLVAR(const TFbXSQLVAR&) = delete;
  TFbXSQLVAR& operator=(const TFbXSQLVAR&) = delete;

  TFbXSQLDA& Area() const noexcept { return *area_; }
  int Index() const noexcept { return index_; }
  const std::string& Name() const noexcept { return name_; }

  // The raw descriptor fields (sqltype with its nullable bit 0).
  short SqlType() const noexcept;
  short SqlScale() const noexcept;
  short SqlSubtype() const noexcept;
  short SqlLen() const noexcept;
  // The type code with the nullable bit cleared.
  short DataType() const noexcept { return static_cast<short>(SqlType() & ~1); }
  const char* Data() const noexcept { return data_.get(); }
  std::size_t DataSize() const noexcept { return dataSize_; }

  // --- state -------------------------------------------------------------
  bool IsNull() const;
  bool IsNullable() const noexcept { return (SqlType() & 1) != 0; }
  // true: the entry becomes NULL (made nullable first); false: it stops being NULL.
  void SetIsNull(bool value);
  // Sets or clears the nullable bit, allocating or freeing the indicator.
  void SetIsNullable(bool value);
  // Set by every value change, cleared after each execution.
  bool Assigned() const noexcept { return assigned_; }
  void ClearAssigned() noexcept { assigned_ = false; }
  // Set when the server described the entry or a value was set.
  bool HasValue() const noexcept { return hasValue_; }
  // The NULL state at the last execution (for the statement's regeneration test).
  bool LastExecutedNull() const noexcept { return lastExecutedNull_; }
  void RecordExecuted() { lastExecutedNull_ = IsNull(); }

  // --- getters -----------------------------------------------------------
  // Numbers truncated toward zero, of which the low 32 bits are the result
  // (a value outside the 32-bit range wraps); text read strictly within it.
  std::int32_t AsInteger() const;
  // Exact, for keys: an integer column of any width with its scale applied,
  // a floating value that is a whole number inside the 64-bit range, or text
  // that is an integer after trimming blanks (as AsInteger reads it). Any
  // other value raises EConvertError "'<value>' cannot be read exactly as a
  // 64-bit integer" rather than giving a neighbouring number; booleans read
  // as 0 or 1, NULL as 0, dates and other types raise "Invalid data
  // conversion.".
  std::int64_t AsInt64() const;
  double AsDouble() const;
  std::string AsString() const;
  TDateTime AsDateTime() const;
  bool AsBoolean() const;

  // --- setters (each reaches every entry of the same name) ---------------
  void SetAsInteger(std::int32_t value);
  // Sent as BIGINT; the server converts it to the parameter's type and
  // rejects at execution what that type cannot hold.
  void SetAsInt64(std::int64_t value);
  void SetAsDouble(double value);
  void SetAsString(std::string_view value);
  void SetAsDateTime(TDateTime value);
  void SetAsBoolean(bool value);
  void SetRawValue(short sqlType, int size, const void* bytes);

  // --- for the area and the statement --------------------------------------
  void Bind(void* slot) noexcept;
  void SetNameAndIndex(std::string name, int index) {
    name_ = std::move(name);
    index_ = index;
  }
  // Saves the described type and allocates buffer and indicator for it.
  void InitialiseFromDescription();
  // Takes another entry's type, value and state (a scan carrying a parameter over).
  void CopyFrom(const TFbXSQLVAR& other);
  // Gives a parameter without a value the described type with an empty buffer, still NULL.
  void TakeDescribedType(const TFbXSQLVAR& described);
  // The entry as a NULL text of length 0 (the start of a generated parameter).
  void MakeNullText();
  // Forgets type and value: no type, reads as NULL (the start of a scanned parameter).
  void MakeUnset();
  void ResetToNullKeepingNullable();
  void SetHasValue(bool value) noexcept { hasValue_ = value; }

private:
  template <typename Fn> void Dispatch(Fn&& fn);
  void DoSetIsNull(bool value);
  void DoSetRawValue(short sqlType, int size, const void* bytes);
  void ResizeBuffer(std::size_t size);
  // Gives the entry an empty description of `type` and no value.
  void Redescribe(short type) noexcept;
  std::string TextValue() const;
  std::int64_t ScaledInt64() const;

  TFbXSQLDA* area_;
  int index_;
  std::string name_;
  void* slot_ = nullptr; // the XSQLVAR this entry is bound to
  std::unique_ptr<char[]> data_;
  std::size_t dataSize_ = 0;
  std::unique_ptr<short> indicator_;
  bool assigned_ = false;
  bool hasValue_ = false;
  bool lastExecutedNull_ = false;
  short savedType_ = 0, savedLen_ = 0, savedScale_ = 0, savedSubtype_ = 0;
};

class TFbXSQLDA {
public:
  TFbXSQLDA(TFbCustomQuery* statement, bool isParameters);
  ~TFbXSQLDA();
  TFbXSQLDA(const TFbXSQLDA&) = delete;
  TFbXSQLDA& operator=(const TFbXSQLDA&) = delete;

  TFbCustomQuery* Statement() const noexcept { return statement_; }
  bool IsParameters() const noexcept { return isParameters_; }
  int Count() const noexcept { return count_; }
  int Capacity() const noexcept { return capacity_; }

  // Empties the name lists; grows the descriptor to n entries when needed
  // (never shrinks); sqln = sqld = n.
  void Resize(int n);
  // After a describe: types saved, buffers and indicators allocated, columns named.
  void InitialiseAfterDescribe();
  void RegisterName(std::string name, int index, bool keepCase);
  // The entry for 0 <= i < Count(); else "XSQLDA index out of range.".
  TFbXSQLVAR& At(int index) const;
  TFbXSQLVAR& operator[](int index) const { return At(index); }
  // The entry with that name, or null.
  TFbXSQLVAR* FindByName(std::string_view name);
  // The indices registered under exactly that name when it occurs more than once.
  std::vector<int> EqualNameIndices(std::string_view name) const;
  bool HasEqualNames() const noexcept { return !equalNames_.empty(); }
  // The index registered under that name (ASCII case ignored), or -1; no cache, no fallback.
  int FindNameIndex(std::string_view name) const;
  // Every entry NULL, only nullable ones keep an indicator.
  void ResetToNull();
  void ClearAssigned() noexcept;

  // The XSQLDA to pass to the client calls (null while the capacity is 0).
  void* Descriptor() const noexcept { return descriptor_.get(); }
  // sqld as the server reported it after a describe.
  int DescribedCount() const noexcept;

private:
  struct FreeDeleter {
    void operator()(void* p) const noexcept;
  };
  std::string ColumnName(int index) const;
  void NameColumn(int index, int& unnamedCounter);

  TFbCustomQuery* statement_;
  bool isParameters_;
  int count_ = 0;
  int capacity_ = 0;
  std::unique_ptr<void, FreeDeleter> descriptor_;
  std::vector<std::unique_ptr<TFbXSQLVAR>> entries_;
  // Sorted ignoring ASCII case; duplicates allowed.
  std::vector<std::pair<std::string, int>> names_;
  // Only the names that occur more than once, with every index.
  std::vector<std::pair<std::string, int>> equalNames_;
  // Keyed by the name exactly as asked.
  std::vector<std::pair<std::string, TFbXSQLVAR*>> lookupCache_;
};

} // namespace od
