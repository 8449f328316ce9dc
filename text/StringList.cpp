#include "text/StringList.h"

#include "base/Ascii.h"
#include "base/MemoryStream.h"

namespace od {

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw EStringListError(Format("List index out of bounds (%d)", index));
}

const std::string& TStringList::Get(int index) const {
  CheckIndex(index);
  return lines_[static_cast<size_t>(index)];
}

void TStringList::Put(int index, std::string line) {
  CheckIndex(index);
  lines_[static_cast<size_t>(index)] = std::move(line);
}

void TStringList::Insert(int index, std::string line) {
  if (index < 0 || index > Count()) throw EStringListError(Format("List index out of bounds (%d)", index));
  lines_.insert(lines_.begin() + index, std::move(line));
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  lines_.erase(lines_.begin() + index);
}

void TStringList::LoadFromStream(TMemoryStream& stream) {
  const std::string_view text = stream.Remaining();
  stream.Seek(0, TMemoryStream::Origin::End);
  SetText(text);
}

void TStringList::SetText(std::string_view text) {
  lines_.clear();
  ForEachLine(text, [this](std::string_view line) {
    lines_.emplace_back(line);
    return true;
  });
}

std::string TStringList::Text() const {
  std::string result;
  for (const std::string& line : lines_) {
    result += line;
    result += "\r\n";
  }
  return result;
}

std::string_view TStringList::NameOf(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? line : line.substr(0, eq);
}

std::string_view TStringList::ValueOf(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view{} : line.substr(eq + 1);
}

int TStringList::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string_view line = lines_[static_cast<size_t>(i)];
    if (line.find('=') != std::string_view::npos && EqualsIgnoreCaseAscii(NameOf(line), name)) return i;
  }
  return -1;
}

} // namespace od
