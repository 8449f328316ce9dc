#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Exception.h"

namespace od {

class TMemoryStream;

class EStringListError : public Exception {
public:
  using Exception::Exception;
};

// An ordered list of single-byte text lines, indexed from 0. It is never
// sorted and accepts duplicates.
class TStringList {
public:
  TStringList() = default;

  void Clear() noexcept { lines_.clear(); }
  int Count() const noexcept { return static_cast<int>(lines_.size()); }
  // Raises EStringListError "List index out of bounds (%d)" outside 0..Count-1.
  const std::string& Get(int index) const;
  const std::string& operator[](int index) const { return Get(index); }
  void Put(int index, std::string line);
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void Insert(int index, std::string line);
  void Delete(int index);

  // Replaces the whole list with the lines of the bytes from the stream's
  // position to its end. CR LF, a lone CR and a lone LF each end a line; a
  // NUL byte ends the text.
  void LoadFromStream(TMemoryStream& stream);
  // The same split over bytes already in memory.
  void SetText(std::string_view text);
  // The same split without a list: `line` is called with each line in turn
  // until it returns false, so that a reader that keeps a few lines of a
  // large text never holds the rest.
  template <typename Line> static void ForEachLine(std::string_view text, Line line);
  // The lines joined, each followed by CR LF.
  std::string Text() const;

  // "name=value" helpers over the lines, names matched without regard to
  // ASCII case. IndexOfName gives -1 when no line has that name.
  int IndexOfName(std::string_view name) const;
  static std::string_view NameOf(std::string_view line);
  static std::string_view ValueOf(std::string_view line);

  auto begin() const noexcept { return lines_.begin(); }
  auto end() const noexcept { return lines_.end(); }

private:
  void CheckIndex(int index) const;

  std::vector<std::string> lines_;
};

template <typename Line> void TStringList::ForEachLine(std::string_view text, Line line) {
  size_t cursor = 0;
  const size_t end = text.size();
  while (cursor < end && text[cursor] != '\0') {
    const size_t start = cursor;
    while (cursor < end && text[cursor] != '\0' && text[cursor] != '\n' && text[cursor] != '\r') ++cursor;
    if (!line(text.substr(start, cursor - start))) return;
    if (cursor < end && text[cursor] == '\r') ++cursor;
    if (cursor < end && text[cursor] == '\n') ++cursor;
  }
}

} // namespace od
