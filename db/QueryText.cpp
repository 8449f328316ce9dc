// The statement's text: the SQL lines and their change protocol, the scan
// for named parameters, and the processed text that goes to the server
// ("?" markers, NULL comparisons rewritten, converted to the connection's
// character set).

#include <algorithm>
#include <optional>

#include "db/Database.h"
#include "db/FbErrors.h"
#include "db/Query.h"
#include "text/Cp1251.h"

namespace od {

namespace {

// A scan whose failure becomes the statement's parse error.
TParamScanResult ScanOrRaise(const TFbCustomQuery& query, std::string_view text, TSqlKind kind,
                             const TParamScanOptions& options) {
  TParamScanResult result = ScanParams(text, kind, options);
  if (result.Error != TParamScanError::None) {
    RaiseClientError(fbceSQLParseError, {query.FullName(), ParamScanErrorText(result.Error)});
  }
  return result;
}

// A fresh parameter area: one entry an occurrence, registered under its name,
// blank (unset, or NULL text for the server's area) unless `previous` has a
// parameter of that name, whose value it keeps.
std::unique_ptr<TFbXSQLDA> MakeParamArea(TFbCustomQuery* owner, const std::vector<TParamOccurrence>& params,
                                         bool nullText, TFbXSQLDA& previous) {
  auto area = std::make_unique<TFbXSQLDA>(owner, true);
  const int n = static_cast<int>(params.size());
  area->Resize(n);
  for (int i = 0; i < n; ++i) {
    const TParamOccurrence& param = params[static_cast<size_t>(i)];
    if (nullText) {
      area->At(i).MakeNullText();
    } else {
      area->At(i).MakeUnset();
    }
    area->RegisterName(param.Name, i, param.Quoted);
  }
  for (int i = 0; i < n; ++i) {
    TFbXSQLVAR& entry = area->At(i);
    const int old = previous.FindNameIndex(entry.Name());
    if (old >= 0) entry.CopyFrom(previous.At(old));
  }
  return area;
}

} // namespace

// ---------------------------------------------------------------------------
// TFbSQLLines

template <typename Fn> void TFbSQLLines::Change(Fn&& fn) {
  owner_.SQLChanging();
  fn();
  owner_.SQLChanged();
}

void TFbSQLLines::Add(std::string line) {
  Change([&] { lines_.Add(std::move(line)); });
}
void TFbSQLLines::Put(int index, std::string line) {
  Change([&] { lines_.Put(index, std::move(line)); });
}
void TFbSQLLines::Insert(int index, std::string line) {
  Change([&] { lines_.Insert(index, std::move(line)); });
}
void TFbSQLLines::Delete(int index) {
  Change([&] { lines_.Delete(index); });
}
void TFbSQLLines::Clear() {
  Change([&] { lines_.Clear(); });
}
void TFbSQLLines::SetText(std::string_view text) {
  Change([&] { lines_.SetText(text); });
}
void TFbSQLLines::Assign(std::initializer_list<std::string_view> lines) {
  Change([&] {
    lines_.Clear();
    for (std::string_view line : lines) lines_.Add(std::string(line));
  });
}
void TFbSQLLines::Assign(const TStringList& lines) {
  Change([&] { lines_ = lines; });
}

// ---------------------------------------------------------------------------
// text change protocol

void TFbCustomQuery::SetParamCheck(bool value) {
  if (value == paramCheck_) return;
  SQLChanging();
  paramCheck_ = value;
  SQLChanged();
}

void TFbCustomQuery::SQLChanging() {
  if (open_) RaiseClientError(fbceSQLOpen, {"change sql text", FullName()});
  if (OnSQLChanging) OnSQLChanging(*this);
  if (handle_ != 0) FreeHandle();
  regenerate_ = false;
}

void TFbCustomQuery::SQLChanged() {
  kind_ = ClassifySql(sql_.Text());
  if (changeLock_ > 0) return;
  ++changeCounter_;
  Rescan();
}

TFbXSQLDA& TFbCustomQuery::Params() {
  if (!scanned_) Rescan();
  return *userParams_;
}

// ---------------------------------------------------------------------------
// parameter scan

void TFbCustomQuery::Rescan() {
  const std::string text = sql_.Text();
  charSetConverted_ = false;
  textRefused_ = false;
  if (!paramCheck_ || sql_.Count() == 0 || !HasParamMarkers(text, macroChar_)) {
    userParams_->Resize(0);
    execParams_->Resize(0);
    occurrences_.clear();
    processed_ = text;
  } else {
    try {
      Scan();
    } catch (...) {
      // The parameter area of the earlier text stays readable, but nothing
      // of that text may be prepared or executed in place of the refused
      // one: Prepare scans again and raises again.
      textRefused_ = true;
      processed_.clear();
      throw;
    }
  }
  if (handle_ != 0) FreeHandle();
  scanned_ = true;
}

void TFbCustomQuery::Scan() {
  const std::string text = sql_.Text();
  TParamScanOptions options;
  options.MacroChar = macroChar_;
  options.QuietOnEmptyName = loading_;
  TParamScanResult result = ScanOrRaise(*this, text, kind_, options);
  if (result.StoppedQuietly) return;

  // Parameters that keep their name keep their value.
  userParams_ = MakeParamArea(this, result.Params, false, *userParams_);
  const bool hasParams = !result.Params.empty();
  occurrences_ = std::move(result.Params);
  processed_ = hasParams ? std::string() : text;
}

// ---------------------------------------------------------------------------
// processed text

std::optional<std::string> TFbCustomQuery::NullRewrittenText(const std::string& text) const {
  if (userParams_->Count() != static_cast<int>(occurrences_.size())) return std::nullopt;
  std::vector<bool> isNull(occurrences_.size());
  for (size_t i = 0; i < occurrences_.size(); ++i) isNull[i] = userParams_->At(static_cast<int>(i)).IsNull();
  std::vector<bool> rewritten;
  std::string changed = RewriteNullComparisons(text, occurrences_, isNull, rewritten);
  if (std::find(rewritten.begin(), rewritten.end(), true) == rewritten.end()) return std::nullopt;
  return changed;
}

void TFbCustomQuery::Generate(bool rewriteNulls) {
  const std::string text = sql_.Text();
  std::optional<std::string> rewritten;
  if (rewriteNulls && (options_ & qoNoForceIsNull) == 0) rewritten = NullRewrittenText(text);
  // A rewritten text has fewer markers than the user's parameters: the
  // server gets its own area, filled by name before each execution.
  useExecArea_ = rewritten.has_value();

  TParamScanOptions options;
  options.Generate = true;
  options.MacroChar = macroChar_;
  TParamScanResult result = ScanOrRaise(*this, rewritten ? *rewritten : text, kind_, options);
  execParams_ = MakeParamArea(this, result.Params, true, *execParams_);
  processed_ = std::move(result.Processed);
  charSetConverted_ = false;
}

void TFbCustomQuery::Regenerate() { Generate(executing_); }

void TFbCustomQuery::ConvertCharSet() {
  if (charSetConverted_) return;
  charSetConverted_ = true;
  if (database_ == nullptr) return;
  if (database_->Utf8Connection()) {
    processed_ = Cp1251ToUtf8(processed_);
  } else if (database_->Koi8Connection()) {
    processed_ = Cp1251ToKoi8(processed_);
  }
}

bool TFbCustomQuery::RegenerationDue() const {
  const int n = std::min(userParams_->Count(), static_cast<int>(occurrences_.size()));
  for (int i = 0; i < n; ++i) {
    if (!occurrences_[static_cast<size_t>(i)].NotFollowedByOperator) continue;
    const TFbXSQLVAR& param = userParams_->At(i);
    if (param.IsNull() != param.LastExecutedNull()) return true;
  }
  return false;
}

void TFbCustomQuery::PrepareText() {
  if (textRefused_) Rescan();
  if (ParamSearchActive() && Params().Count() > 0) {
    if (!prepared_ || regenerate_ || RegenerationDue()) {
      Generate(executing_);
      ConvertCharSet();
      regenerate_ = false;
      if (handle_ != 0) FreeHandle();
    }
  } else {
    ConvertCharSet();
  }
}

} // namespace od
