#include "db/XSQLDA.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/Ascii.h"
#include "db/FbErrors.h"
#include "db/Query.h"
#include "db/ibase_api.h"
#include "text/Cp1251.h"
#include "text/DateTimeParse.h"
#include "text/LocaleFormats.h"
#include "text/ValueText.h"

namespace od {

namespace {

XSQLVAR* Var(void* slot) noexcept { return static_cast<XSQLVAR*>(slot); }

constexpr std::int64_t kMsPerDay = 86'400'000;

[[noreturn]] void RaiseInvalidConversion() { RaiseClientError(fbceInvalidDataConversion); }

constexpr std::int64_t kPow10[19] = {1,
                                     10,
                                     100,
                                     1000,
                                     10000,
                                     100000,
                                     1000000,
                                     10000000,
                                     100000000,
                                     1000000000,
                                     10000000000,
                                     100000000000,
                                     1000000000000,
                                     10000000000000,
                                     100000000000000,
                                     1000000000000000,
                                     10000000000000000,
                                     100000000000000000,
                                     1000000000000000000};

// value x 10^scale truncated toward zero. Done in integer arithmetic: a
// floating product of 1300 and 0.01 may land just below 13 and truncate to 12.
std::int64_t ScaleTruncate(std::int64_t value, int scale) noexcept {
  if (scale == 0) return value;
  if (scale < 0) {
    if (scale < -18) return 0;
    return value / kPow10[-scale];
  }
  // Positive scales wrap like the 64-bit product they stand for.
  std::uint64_t result = static_cast<std::uint64_t>(value);
  for (int i = 0; i < scale; ++i) result *= 10u;
  return static_cast<std::int64_t>(result);
}

// value x 10^scale when that is a whole number inside the 64-bit range.
bool ScaleExact(std::int64_t value, int scale, std::int64_t& out) noexcept {
  if (scale < 0) {
    if (scale < -18) {
      if (value != 0) return false;
      out = 0;
      return true;
    }
    if (value % kPow10[-scale] != 0) return false;
    out = value / kPow10[-scale];
    return true;
  }
  for (int i = 0; i < scale; ++i) {
    if (__builtin_mul_overflow(value, 10, &value)) return false;
  }
  out = value;
  return true;
}

// The stored value of a SMALLINT, INTEGER or BIGINT buffer, before its scale.
std::int64_t StoredInteger(short type, const char* data) noexcept {
  switch (type) {
  case kSqlShort: {
    std::int16_t v;
    std::memcpy(&v, data, sizeof v);
    return v;
  }
  case kSqlLong: {
    std::int32_t v;
    std::memcpy(&v, data, sizeof v);
    return v;
  }
  default: {
    std::int64_t v;
    std::memcpy(&v, data, sizeof v);
    return v;
  }
  }
}

// A value that a 64-bit integer cannot carry exactly: a key read from it
// would name another row.
[[noreturn]] void RaiseNotExactInt64(const std::string& valueText) {
  throw EConvertError("'" + valueText + "' cannot be read exactly as a 64-bit integer");
}

double ScaleToDouble(std::int64_t value, int scale) noexcept {
  if (scale == 0) return static_cast<double>(value);
  if (scale < 0) return static_cast<double>(value) / std::pow(10.0, -scale);
  return static_cast<double>(value) * std::pow(10.0, scale);
}

std::int32_t Low32(std::int64_t value) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

bool KnownType(int type) noexcept {
  switch (type) {
  case kSqlVarying:
  case kSqlText:
  case kSqlDouble:
  case kSqlFloat:
  case kSqlLong:
  case kSqlShort:
  case kSqlTimestamp:
  case kSqlBlob:
  case kSqlDFloat:
  case kSqlArray:
  case kSqlQuad:
  case kSqlTypeTime:
  case kSqlTypeDate:
  case kSqlInt64:
  case kSqlBooleanIB:
  case kSqlBoolean:
  case kSqlNull: return true;
  default: return false;
  }
}

std::size_t BufferSizeFor(int type, short sqllen) noexcept {
  const std::size_t len = sqllen > 0 ? static_cast<std::size_t>(sqllen) : 0;
  if (type == kSqlVarying) return len + 2;
  return std::max<std::size_t>(len, 1);
}

} // namespace

// ---------------------------------------------------------------------------
// Date-time arithmetic

TIscTimestamp DateTimeToIscTimestamp(TDateTime value) noexcept {
  // Values the server cannot hold anyway are clamped so that the arithmetic
  // stays defined; the server rejects them at execution.
  constexpr double kLimitDays = 2'000'000'000.0 - kIscDateOfDayZero;
  double x = std::isfinite(value) ? value : 0.0;
  x = std::clamp(x, -kLimitDays, kLimitDays);
  const std::int64_t total = static_cast<std::int64_t>(std::nearbyint(x * static_cast<double>(kMsPerDay)));
  const std::int64_t magnitude = total < 0 ? -total : total;
  std::int64_t days = magnitude / kMsPerDay;
  const std::int64_t ms = magnitude % kMsPerDay;
  if (total < 0) days = -days;
  TIscTimestamp result;
  result.Date = static_cast<std::int32_t>(days + kIscDateOfDayZero);
  result.Time = static_cast<std::uint32_t>(ms * kIscTimeUnitsPerMs);
  return result;
}

TDateTime IscTimestampToDateTime(std::int32_t date, std::uint32_t time) noexcept {
  const std::int64_t days = static_cast<std::int64_t>(date) - kIscDateOfDayZero;
  const double fraction = static_cast<double>(time / kIscTimeUnitsPerMs) / static_cast<double>(kMsPerDay);
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

// ---------------------------------------------------------------------------
// TFbXSQLVAR

TFbXSQLVAR::TFbXSQLVAR(TFbXSQLDA& area, int index) : area_(&area), index_(index) {}

TFbXSQLVAR::~TFbXSQLVAR() = default;

short TFbXSQLVAR::SqlType() const noexcept { return slot_ ? Var(slot_)->sqltype : 0; }
short TFbXSQLVAR::SqlScale() const noexcept { return slot_ ? Var(slot_)->sqlscale : 0; }
short TFbXSQLVAR::SqlSubtype() const noexcept { return slot_ ? Var(slot_)->sqlsubtype : 0; }
short TFbXSQLVAR::SqlLen() const noexcept { return slot_ ? Var(slot_)->sqllen : 0; }

void TFbXSQLVAR::Bind(void* slot) noexcept {
  slot_ = slot;
  if (slot_ == nullptr) return;
  Var(slot_)->sqldata = data_.get();
  Var(slot_)->sqlind = indicator_.get();
}

void TFbXSQLVAR::ResizeBuffer(std::size_t size) {
  if (size == 0) size = 1;
  data_ = std::make_unique<char[]>(size); // zero-filled
  dataSize_ = size;
  if (slot_) Var(slot_)->sqldata = data_.get();
}

bool TFbXSQLVAR::IsNull() const {
  if (!area_->IsParameters()) {
    const TFbCustomQuery* statement = area_->Statement();
    if (statement != nullptr && statement->RecordCount() == 0 && statement->SQLType() != SQLExecProcedure) {
      return true;
    }
  }
  const short type = SqlType();
  if ((type & 1) != 0 && indicator_ && *indicator_ == -1) return true;
  return type < 2;
}

void TFbXSQLVAR::SetIsNullable(bool value) {
  XSQLVAR* v = Var(slot_);
  if (value) {
    v->sqltype = static_cast<short>(v->sqltype | 1);
    if (!indicator_) indicator_ = std::make_unique<short>(0);
  } else {
    v->sqltype = static_cast<short>(v->sqltype & ~1);
    indicator_.reset();
  }
  v->sqlind = indicator_.get();
}

void TFbXSQLVAR::DoSetIsNull(bool value) {
  XSQLVAR* v = Var(slot_);
  if (value) {
    if (v->sqltype < 2) {
      v->sqltype = static_cast<short>(kSqlText | (v->sqltype & 1));
      v->sqllen = 0;
      ResizeBuffer(1);
    }
    if ((v->sqltype & 1) == 0) SetIsNullable(true);
    *indicator_ = -1;
    assigned_ = true;
  } else {
    if ((v->sqltype & 1) != 0 && indicator_) {
      *indicator_ = 0;
      assigned_ = true;
    }
  }
}

template <typename Fn> void TFbXSQLVAR::Dispatch(Fn&& fn) {
  if (area_->HasEqualNames()) {
    const std::vector<int> indices = area_->EqualNameIndices(name_);
    if (!indices.empty()) {
      for (int i : indices) fn(area_->At(i));
      hasValue_ = true;
      return;
    }
  }
  fn(*this);
  hasValue_ = true;
}

void TFbXSQLVAR::SetIsNull(bool value) {
  Dispatch([value](TFbXSQLVAR& entry) { entry.DoSetIsNull(value); });
}

void TFbXSQLVAR::DoSetRawValue(short sqlType, int size, const void* bytes) {
  if (size < 0 || size > std::numeric_limits<short>::max()) RaiseInvalidConversion();
  if (IsNull()) DoSetIsNull(false);
  XSQLVAR* v = Var(slot_);
  v->sqlscale = 0;
  if (size == 0) {
    v->sqllen = 0;
    if (dataSize_ != 1) ResizeBuffer(1);
  } else if (size != v->sqllen || dataSize_ < static_cast<std::size_t>(size)) {
    v->sqllen = static_cast<short>(size);
    ResizeBuffer(static_cast<std::size_t>(size));
  }
  v->sqltype = static_cast<short>((sqlType & ~1) | (v->sqltype & 1));
  if (size > 0) std::memcpy(data_.get(), bytes, static_cast<std::size_t>(size));
  assigned_ = true;
}

void TFbXSQLVAR::SetRawValue(short sqlType, int size, const void* bytes) {
  Dispatch([&](TFbXSQLVAR& entry) { entry.DoSetRawValue(sqlType, size, bytes); });
}

void TFbXSQLVAR::SetAsInteger(std::int32_t value) { SetRawValue(kSqlLong, sizeof value, &value); }
void TFbXSQLVAR::SetAsInt64(std::int64_t value) { SetRawValue(kSqlInt64, sizeof value, &value); }
void TFbXSQLVAR::SetAsDouble(double value) { SetRawValue(kSqlDouble, sizeof value, &value); }

void TFbXSQLVAR::SetAsString(std::string_view value) {
  const TFbCustomQuery* statement = area_->Statement();
  if (statement != nullptr && statement->Utf8Names()) {
    const std::string converted = Cp1251ToUtf8(value);
    SetRawValue(kSqlText, static_cast<int>(std::min<size_t>(converted.size(), 0x8000)), converted.data());
  } else if (statement != nullptr && statement->Koi8Names()) {
    const std::string converted = Cp1251ToKoi8(value);
    SetRawValue(kSqlText, static_cast<int>(std::min<size_t>(converted.size(), 0x8000)), converted.data());
  } else {
    SetRawValue(kSqlText, static_cast<int>(std::min<size_t>(value.size(), 0x8000)), value.data());
  }
}

void TFbXSQLVAR::SetAsDateTime(TDateTime value) {
  // No day and time stand behind an infinity or a NaN; storing one as day 0
  // would write a date nobody gave.
  if (!std::isfinite(value)) RaiseInvalidConversion();
  const TIscTimestamp stamp = DateTimeToIscTimestamp(value);
  ISC_TIMESTAMP raw;
  raw.timestamp_date = stamp.Date;
  raw.timestamp_time = stamp.Time;
  SetRawValue(kSqlTimestamp, sizeof raw, &raw);
}

void TFbXSQLVAR::SetAsBoolean(bool value) {
  const unsigned char raw = value ? 1 : 0;
  SetRawValue(kSqlBoolean, sizeof raw, &raw);
}

std::int64_t TFbXSQLVAR::ScaledInt64() const {
  switch (DataType()) {
  case kSqlLong:
  case kSqlShort:
  case kSqlInt64: return ScaleTruncate(StoredInteger(DataType(), data_.get()), SqlScale());
  case kSqlDouble:
  case kSqlDFloat:
  case kSqlFloat: {
    double d;
    if (DataType() == kSqlFloat) {
      float f;
      std::memcpy(&f, data_.get(), sizeof f);
      d = f;
    } else {
      std::memcpy(&d, data_.get(), sizeof d);
    }
    // Out of the 64-bit range the truncation has no answer.
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) RaiseInvalidConversion();
    return static_cast<std::int64_t>(d);
  }
  case kSqlBooleanIB: {
    std::int16_t v;
    std::memcpy(&v, data_.get(), sizeof v);
    return v;
  }
  case kSqlBoolean: return static_cast<unsigned char>(data_[0]);
  case kSqlText:
  case kSqlVarying: {
    std::int64_t v;
    if (!ParseStrictInteger(AsString(), std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max(), v)) {
      RaiseInvalidConversion();
    }
    return v;
  }
  default: RaiseInvalidConversion();
  }
}

std::int32_t TFbXSQLVAR::AsInteger() const {
  if (IsNull()) return 0;
  const short type = DataType();
  if (type == kSqlText || type == kSqlVarying) {
    std::int64_t v;
    if (!ParseStrictInteger(AsString(), std::numeric_limits<std::int32_t>::min(),
                            std::numeric_limits<std::int32_t>::max(), v)) {
      RaiseInvalidConversion();
    }
    return static_cast<std::int32_t>(v);
  }
  return Low32(ScaledInt64());
}

std::int64_t TFbXSQLVAR::AsInt64() const {
  if (IsNull()) return 0;
  switch (DataType()) {
  case kSqlLong:
  case kSqlShort:
  case kSqlInt64: {
    std::int64_t value;
    if (!ScaleExact(StoredInteger(DataType(), data_.get()), SqlScale(), value)) RaiseNotExactInt64(AsString());
    return value;
  }
  case kSqlFloat:
  case kSqlDouble:
  case kSqlDFloat: {
    const double d = AsDouble();
    // The negated test also catches a NaN.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || d != std::trunc(d)) {
      RaiseNotExactInt64(AsString());
    }
    return static_cast<std::int64_t>(d);
  }
  case kSqlText:
  case kSqlVarying: {
    const std::string text = AsString();
    std::int64_t value;
    if (!ParseStrictInteger(TrimView(text), std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max(), value)) {
      RaiseNotExactInt64(text);
    }
    return value;
  }
  default: return ScaledInt64(); // booleans; any other type is an invalid conversion
  }
}

double TFbXSQLVAR::AsDouble() const {
  if (IsNull()) return 0;
  const int scale = SqlScale();
  switch (DataType()) {
  case kSqlLong:
  case kSqlShort:
  case kSqlInt64: return ScaleToDouble(StoredInteger(DataType(), data_.get()), scale);
  case kSqlFloat: {
    float f;
    std::memcpy(&f, data_.get(), sizeof f);
    return f;
  }
  case kSqlDouble:
  case kSqlDFloat: {
    double d;
    std::memcpy(&d, data_.get(), sizeof d);
    return d;
  }
  case kSqlTimestamp:
  case kSqlTypeDate:
  case kSqlTypeTime: return AsDateTime();
  case kSqlBooleanIB:
  case kSqlBoolean: return static_cast<double>(ScaledInt64());
  case kSqlText:
  case kSqlVarying: {
    std::string text = Trim(AsString());
    std::replace(text.begin(), text.end(), LocaleFormats.DecimalDelimiter, '.');
    double d = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), d);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size()) RaiseInvalidConversion();
    return d;
  }
  default: RaiseInvalidConversion();
  }
}

TDateTime TFbXSQLVAR::AsDateTime() const {
  if (IsNull()) return 0;
  switch (DataType()) {
  case kSqlTimestamp: {
    ISC_TIMESTAMP raw;
    std::memcpy(&raw, data_.get(), sizeof raw);
    return IscTimestampToDateTime(raw.timestamp_date, raw.timestamp_time);
  }
  case kSqlTypeDate: {
    ISC_DATE raw;
    std::memcpy(&raw, data_.get(), sizeof raw);
    return IscTimestampToDateTime(raw, 0);
  }
  case kSqlTypeTime: {
    ISC_TIME raw;
    std::memcpy(&raw, data_.get(), sizeof raw);
    return IscTimestampToDateTime(kIscDateOfDayZero, raw);
  }
  case kSqlText:
  case kSqlVarying: {
    TDateTime value;
    if (!TryParseDateTimeText(Trim(AsString()), value)) RaiseInvalidConversion();
    return value;
  }
  case kSqlLong:
  case kSqlShort:
  case kSqlInt64:
  case kSqlFloat:
  case kSqlDouble:
  case kSqlDFloat: return AsDouble();
  default: RaiseInvalidConversion();
  }
}

bool TFbXSQLVAR::AsBoolean() const {
  if (IsNull()) return false;
  switch (DataType()) {
  case kSqlText:
  case kSqlVarying: {
    const std::string text = Trim(AsString());
    if (EqualsIgnoreCaseAscii(text, "True")) return true;
    if (EqualsIgnoreCaseAscii(text, "False")) return false;
    return ScaledInt64() != 0;
  }
  case kSqlFloat:
  case kSqlDouble:
  case kSqlDFloat: return AsDouble() != 0;
  default: return ScaledInt64() != 0;
  }
}

std::string TFbXSQLVAR::TextValue() const {
  const XSQLVAR* v = Var(slot_);
  std::string text;
  if (DataType() == kSqlText) {
    const std::size_t len = std::min<std::size_t>(v->sqllen > 0 ? static_cast<std::size_t>(v->sqllen) : 0, dataSize_);
    text.assign(data_.get(), len);
  } else {
    std::uint16_t len;
    std::memcpy(&len, data_.get(), sizeof len);
    const std::size_t available = dataSize_ >= 2 ? dataSize_ - 2 : 0;
    text.assign(data_.get() + 2, std::min<std::size_t>(len, available));
  }
  const TFbCustomQuery* statement = area_->Statement();
  if (statement != nullptr) {
    const int charSet = v->sqlsubtype & 0xFF;
    if (statement->IsUtf8CharSet(charSet)) {
      text = Utf8ToCp1251(text);
    } else if (charSet == 63 || charSet == 64) {
      text = Koi8ToCp1251(text);
    }
    if ((statement->Options() & qoTrimCharFields) != 0) {
      while (!text.empty() && IsBlankOrControl(text.back())) text.pop_back();
    }
  }
  return text;
}

std::string TFbXSQLVAR::AsString() const {
  if (IsNull()) return std::string();
  const int scale = SqlScale();
  switch (DataType()) {
  case kSqlText:
  case kSqlVarying: return TextValue();
  case kSqlLong:
  case kSqlShort:
    if (scale == 0) return std::to_string(AsInteger());
    return FormatFloatGeneral(AsDouble());
  case kSqlFloat:
  case kSqlDouble:
  case kSqlDFloat: return FormatFloatGeneral(AsDouble());
  case kSqlInt64: {
    const std::int64_t v = StoredInteger(kSqlInt64, data_.get());
    return scale == 0 ? std::to_string(v) : FormatScaledInt64(v, scale);
  }
  case kSqlTimestamp: return FormatDateTimeValue(AsDateTime(), true, true);
  case kSqlTypeDate: return FormatDateTimeValue(AsDateTime(), true, false);
  case kSqlTypeTime: return FormatDateTimeValue(AsDateTime(), false, true);
  case kSqlBlob: {
    std::string contents;
    TFbCustomQuery* statement = area_->Statement();
    if (statement == nullptr || dataSize_ < sizeof(ISC_QUAD) || !statement->ReadBlob(data_.get(), contents)) {
      return "(BLOB)";
    }
    return contents;
  }
  case kSqlArray: return "(ARRAY)";
  case kSqlBooleanIB:
  case kSqlBoolean: return ScaledInt64() != 0 ? "True" : "False";
  default: RaiseInvalidConversion();
  }
}

void TFbXSQLVAR::InitialiseFromDescription() {
  XSQLVAR* v = Var(slot_);
  const short type = static_cast<short>(v->sqltype & ~1);
  savedType_ = type;
  savedLen_ = v->sqllen;
  savedScale_ = v->sqlscale;
  savedSubtype_ = v->sqlsubtype;
  hasValue_ = true;
  if (type == 0 && area_->IsParameters() && area_->Statement() != nullptr &&
      &area_->Statement()->ExecutionParams() != area_) {
    data_.reset();
    dataSize_ = 0;
    v->sqldata = nullptr;
  } else {
    if (!KnownType(type)) RaiseClientError(fbceUnknownSQLDataType, {static_cast<int>(type)});
    ResizeBuffer(BufferSizeFor(type, v->sqllen));
  }
  if ((v->sqltype & 1) != 0) {
    indicator_ = std::make_unique<short>(0);
  } else {
    indicator_.reset();
  }
  v->sqlind = indicator_.get();
}

void TFbXSQLVAR::CopyFrom(const TFbXSQLVAR& other) {
  XSQLVAR* v = Var(slot_);
  const XSQLVAR* o = Var(other.slot_);
  v->sqltype = o->sqltype;
  v->sqlscale = o->sqlscale;
  v->sqlsubtype = o->sqlsubtype;
  v->sqllen = o->sqllen;
  if (other.data_) {
    data_ = std::make_unique<char[]>(other.dataSize_);
    std::memcpy(data_.get(), other.data_.get(), other.dataSize_);
    dataSize_ = other.dataSize_;
  } else {
    data_.reset();
    dataSize_ = 0;
  }
  if (other.indicator_) {
    indicator_ = std::make_unique<short>(*other.indicator_);
  } else {
    indicator_.reset();
  }
  v->sqldata = data_.get();
  v->sqlind = indicator_.get();
  assigned_ = other.assigned_;
  hasValue_ = other.hasValue_;
  lastExecutedNull_ = other.lastExecutedNull_;
  savedType_ = other.savedType_;
  savedLen_ = other.savedLen_;
  savedScale_ = other.savedScale_;
  savedSubtype_ = other.savedSubtype_;
}

void TFbXSQLVAR::TakeDescribedType(const TFbXSQLVAR& described) {
  XSQLVAR* v = Var(slot_);
  const XSQLVAR* d = Var(described.slot_);
  const short nullable = static_cast<short>(v->sqltype & 1);
  v->sqltype = static_cast<short>((d->sqltype & ~1) | nullable);
  v->sqlscale = d->sqlscale;
  v->sqlsubtype = d->sqlsubtype;
  v->sqllen = d->sqllen;
  ResizeBuffer(BufferSizeFor(d->sqltype & ~1, d->sqllen));
  if (!indicator_) SetIsNullable(true);
  *indicator_ = -1;
}

void TFbXSQLVAR::Redescribe(short type) noexcept {
  XSQLVAR* v = Var(slot_);
  v->sqltype = type;
  v->sqlscale = 0;
  v->sqlsubtype = 0;
  v->sqllen = 0;
  assigned_ = false;
  hasValue_ = false;
  lastExecutedNull_ = false;
}

void TFbXSQLVAR::MakeNullText() {
  Redescribe(kSqlText | 1);
  ResizeBuffer(1);
  XSQLVAR* v = Var(slot_);
  indicator_ = std::make_unique<short>(-1);
  v->sqlind = indicator_.get();
}

void TFbXSQLVAR::MakeUnset() {
  Redescribe(0);
  data_.reset();
  dataSize_ = 0;
  indicator_.reset();
  XSQLVAR* v = Var(slot_);
  v->sqldata = nullptr;
  v->sqlind = nullptr;
}

void TFbXSQLVAR::ResetToNullKeepingNullable() {
  XSQLVAR* v = Var(slot_);
  if ((v->sqltype & 1) != 0) {
    if (!indicator_) SetIsNullable(true);
    *indicator_ = -1;
  } else if (v->sqltype < 2) {
    // Made NULL and given back its missing nullable bit: an empty text.
    v->sqltype = kSqlText;
    v->sqllen = 0;
    ResizeBuffer(1);
  }
  assigned_ = true;
}

} // namespace od
