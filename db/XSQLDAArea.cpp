// The descriptor areas themselves: growth of the client's XSQLDA, the
// entries bound to its slots, and the names the statement looks them up by.
#include "db/XSQLDA.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "base/Ascii.h"
#include "db/FbErrors.h"
#include "db/Query.h"
#include "db/ibase_api.h"
#include "text/Cp1251.h"

namespace od {

namespace {

XSQLDA* Sqlda(void* descriptor) noexcept { return static_cast<XSQLDA*>(descriptor); }

int CompareIgnoreCase(std::string_view a, std::string_view b) noexcept {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(ToUpperAscii(a[i]));
    const unsigned char y = static_cast<unsigned char>(ToUpperAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

} // namespace

// ---------------------------------------------------------------------------
// TFbXSQLDA

void TFbXSQLDA::FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

TFbXSQLDA::TFbXSQLDA(TFbCustomQuery* statement, bool isParameters)
    : statement_(statement), isParameters_(isParameters) {}

TFbXSQLDA::~TFbXSQLDA() = default;

void TFbXSQLDA::Resize(int n) {
  if (n < 0) n = 0;
  if (n > std::numeric_limits<short>::max()) RaiseClientError(fbceXSQLDAIndexOutOfRange);
  names_.clear();
  equalNames_.clear();
  lookupCache_.clear();
  count_ = n;
  if (capacity_ < n) {
    const std::size_t newSize = XSQLDA_LENGTH(static_cast<std::size_t>(n));
    void* grown = std::calloc(1, newSize);
    if (grown == nullptr) throw std::bad_alloc();
    if (descriptor_) std::memcpy(grown, descriptor_.get(), XSQLDA_LENGTH(static_cast<std::size_t>(capacity_)));
    descriptor_.reset(grown);
    XSQLDA* da = Sqlda(grown);
    da->version = SQLDA_VERSION1;
    da->sqldabc = static_cast<ISC_LONG>(newSize);
    for (int i = capacity_; i < n; ++i) entries_.push_back(std::make_unique<TFbXSQLVAR>(*this, i));
    for (int i = 0; i < n; ++i) entries_[static_cast<size_t>(i)]->Bind(&da->sqlvar[i]);
    capacity_ = n;
  }
  if (capacity_ > 0) {
    Sqlda(descriptor_.get())->sqln = static_cast<short>(n);
    Sqlda(descriptor_.get())->sqld = static_cast<short>(n);
  }
}

int TFbXSQLDA::DescribedCount() const noexcept { return descriptor_ ? Sqlda(descriptor_.get())->sqld : 0; }

TFbXSQLVAR& TFbXSQLDA::At(int index) const {
  if (index < 0 || index >= count_) RaiseClientError(fbceXSQLDAIndexOutOfRange);
  return *entries_[static_cast<size_t>(index)];
}

std::string TFbXSQLDA::ColumnName(int index) const {
  const XSQLVAR& v = Sqlda(descriptor_.get())->sqlvar[index];
  const size_t limit =
      std::min<size_t>(v.aliasname_length > 0 ? static_cast<size_t>(v.aliasname_length) : 0, sizeof v.aliasname);
  const size_t len = strnlen(v.aliasname, limit);
  std::string name(v.aliasname, len);
  if (statement_ != nullptr && statement_->Utf8Names()) {
    name = Utf8ToCp1251(name);
  } else if (statement_ != nullptr && statement_->Koi8Names()) {
    name = Koi8ToCp1251(name);
  }
  return name;
}

void TFbXSQLDA::NameColumn(int index, int& unnamedCounter) {
  const std::string original = ColumnName(index);
  std::string name = original;
  if (name.empty()) name = "F_" + std::to_string(++unnamedCounter);
  if (FindNameIndex(name) >= 0) {
    const std::string base = name;
    for (int suffix = 1;; ++suffix) {
      const std::string digits = std::to_string(suffix);
      std::string candidate = base + digits;
      if (candidate.size() > 30) candidate = base.substr(0, 32 - std::min<size_t>(digits.size(), 32)) + digits;
      if (FindNameIndex(candidate) < 0) {
        name = candidate;
        break;
      }
    }
  }
  if (name != original) {
    XSQLVAR& v = Sqlda(descriptor_.get())->sqlvar[index];
    std::memset(v.aliasname, 0, sizeof v.aliasname);
    const size_t len = std::min(name.size(), sizeof v.aliasname);
    std::memcpy(v.aliasname, name.data(), len);
    v.aliasname_length = static_cast<short>(len);
  }
  RegisterName(name, index, true);
}

void TFbXSQLDA::InitialiseAfterDescribe() {
  const bool nameThem = names_.empty() && !isParameters_;
  int unnamed = 0;
  for (int i = 0; i < count_; ++i) {
    entries_[static_cast<size_t>(i)]->InitialiseFromDescription();
    if (nameThem) NameColumn(i, unnamed);
  }
}

int TFbXSQLDA::FindNameIndex(std::string_view name) const {
  auto it = std::lower_bound(names_.begin(), names_.end(), name, [](const auto& entry, std::string_view key) {
    return CompareIgnoreCase(entry.first, key) < 0;
  });
  if (it != names_.end() && CompareIgnoreCase(it->first, name) == 0) return it->second;
  return -1;
}

void TFbXSQLDA::RegisterName(std::string name, int index, bool keepCase) {
  if (!keepCase) name = UpperAscii(name);
  if (isParameters_) {
    bool listed = false;
    bool present = false;
    int earlier = -1;
    for (const auto& entry : equalNames_) {
      if (entry.first == name) listed = true;
    }
    for (const auto& entry : names_) {
      if (entry.first == name) {
        present = true;
        earlier = entry.second;
        break;
      }
    }
    if (present) {
      auto insertEqual = [this, &name](int i) {
        auto it = std::upper_bound(equalNames_.begin(), equalNames_.end(), name,
                                   [](const std::string& key, const auto& entry) { return key < entry.first; });
        equalNames_.insert(it, {name, i});
      };
      if (!listed) insertEqual(earlier);
      insertEqual(index);
    }
  }
  auto it = std::upper_bound(names_.begin(), names_.end(), name, [](const std::string& key, const auto& entry) {
    return CompareIgnoreCase(key, entry.first) < 0;
  });
  names_.insert(it, {name, index});
  if (index >= 0 && index < capacity_) entries_[static_cast<size_t>(index)]->SetNameAndIndex(std::move(name), index);
}

std::vector<int> TFbXSQLDA::EqualNameIndices(std::string_view name) const {
  std::vector<int> result;
  for (const auto& entry : equalNames_) {
    if (entry.first == name) result.push_back(entry.second);
  }
  return result;
}

TFbXSQLVAR* TFbXSQLDA::FindByName(std::string_view name) {
  auto cached = std::lower_bound(lookupCache_.begin(), lookupCache_.end(), name,
                                 [](const auto& entry, std::string_view key) { return entry.first < key; });
  if (cached != lookupCache_.end() && cached->first == name) return cached->second;

  std::string key;
  if (!name.empty() && name.front() == '"') {
    key = name.size() >= 2 ? std::string(name.substr(1, name.size() - 2)) : std::string();
  } else if (statement_ == nullptr || statement_->UpperCaseLookup(name)) {
    key = UpperAscii(name);
  } else {
    key = std::string(name);
  }

  TFbXSQLVAR* found = nullptr;
  const int index = FindNameIndex(key);
  if (index >= 0 && index < count_) found = entries_[static_cast<size_t>(index)].get();
  if (found == nullptr) {
    if (isParameters_ && statement_ != nullptr && &statement_->ExecutionParams() != this) {
      if (statement_->RegenerateDue()) statement_->Regenerate();
      return statement_->ExecutionParams().FindByName(name);
    }
    return nullptr;
  }
  lookupCache_.insert(cached, {std::string(name), found});
  return found;
}

void TFbXSQLDA::ResetToNull() {
  for (int i = 0; i < count_; ++i) entries_[static_cast<size_t>(i)]->ResetToNullKeepingNullable();
}

void TFbXSQLDA::ClearAssigned() noexcept {
  for (int i = 0; i < count_; ++i) entries_[static_cast<size_t>(i)]->ClearAssigned();
}

} // namespace od
