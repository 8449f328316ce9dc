#pragma once

// Connection and transaction options are written as name=value lines and
// encoded into the client library's binary parameter blocks here.

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "text/StringList.h"

namespace od {

// Ordered name=value lines that belong to a component (DBParams, TRParams).
// The owner may guard changes (refusing them while attached or active); the
// list remembers whether it changed since the block was last built.
class TFbParamList {
public:
  using TGuard = std::function<void()>;

  TFbParamList() = default;
  explicit TFbParamList(TGuard guard) : guard_(std::move(guard)) {}

  int Count() const noexcept { return lines_.Count(); }
  const std::string& Get(int index) const { return lines_.Get(index); }
  const std::string& operator[](int index) const { return lines_.Get(index); }
  void Put(int index, std::string line);
  void Add(std::string line);
  void Insert(int index, std::string line);
  void Delete(int index);
  void Clear();
  void SetText(std::string_view text);
  std::string Text() const { return lines_.Text(); }
  // Replaces every line at once (one guard check).
  void Assign(std::initializer_list<std::string_view> lines);

  int IndexOfName(std::string_view name) const { return lines_.IndexOfName(name); }
  // The value of the first line named `name` (ASCII case ignored), or "".
  std::string Value(std::string_view name) const;

  bool Changed() const noexcept { return changed_; }
  void ClearChanged() noexcept { changed_ = false; }

  // Unguarded access for the block builders, which write trimmed lines back.
  TStringList& Lines() noexcept { return lines_; }
  const TStringList& Lines() const noexcept { return lines_; }

private:
  void BeforeChange();

  TStringList lines_;
  TGuard guard_;
  bool changed_ = true;
};

using TDBParams = TFbParamList;

// The longest value a one-byte length can describe. Longer values are
// refused with a client error; silently cutting a password or a table name
// would attach or lock with something the user never wrote.
constexpr std::size_t kMaxParamValueLength = 255;
// isc_attach_database takes the block length as a signed 16-bit number.
constexpr std::size_t kMaxDpbLength = 32767;
constexpr std::size_t kMaxTpbLength = 65535;

// The name tables: code = position from 1 = the C API constant. 0 when the
// name (ASCII case ignored, without any isc_dpb_/isc_tpb_ prefix) is unknown.
int DpbCode(std::string_view name);
int TpbCode(std::string_view name);
std::string_view DpbName(int code); // "" outside 1..83
std::string_view TpbName(int code); // "" outside 1..21

// Encode the lines into a block; its length is the string's size. Each line
// is trimmed and written back first. Names that cannot be encoded raise the
// client errors of the table (8/9 for DPB, 10/11 for TPB); a bad number
// raises EConvertError-style "'%s' is not a valid integer value".
std::string BuildDPB(TStringList& lines);
std::string BuildTPB(TStringList& lines);

} // namespace od
