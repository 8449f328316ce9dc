#include "run/OnlyMissing.h"

#include "base/Ascii.h"

#include <string_view>

namespace od {

namespace {

// Whether the line starts with the keyword, as a word of its own.
bool StartsWithKeyword(std::string_view line, std::string_view keyword) {
  line = TrimView(line);
  return line.size() >= keyword.size() && EqualsIgnoreCaseAscii(line.substr(0, keyword.size()), keyword) &&
         (line.size() == keyword.size() || IsBlankOrControl(line[keyword.size()]) || line[keyword.size()] == '(');
}

bool EndsClause(std::string_view line) {
  return StartsWithKeyword(line, "ORDER") || StartsWithKeyword(line, "GROUP") || StartsWithKeyword(line, "ROWS") ||
         StartsWithKeyword(line, "FOR");
}

} // namespace

std::vector<std::string> WithOnlyMissing(const std::vector<std::string>& sql) {
  std::vector<std::string> edited = sql;
  size_t where = 0;
  while (where < edited.size() && !StartsWithKeyword(edited[where], "WHERE")) ++where;
  if (where == edited.size()) {
    size_t end = 0;
    while (end < edited.size() && !EndsClause(edited[end])) ++end;
    edited.insert(edited.begin() + static_cast<std::ptrdiff_t>(end), std::string("WHERE ") + kOnlyMissingCondition);
    return edited;
  }
  size_t last = where + 1;
  while (last < edited.size() && !EndsClause(edited[last])) ++last;
  --last;
  // The clause's own condition keeps its meaning whatever ORs it holds.
  std::string& first = edited[where];
  size_t keyword = 0;
  while (IsBlankOrControl(first[keyword])) ++keyword;
  first.insert(keyword + 5, " (");
  std::string& end = edited[last];
  while (!end.empty() && IsBlankOrControl(end.back())) end.pop_back();
  end += std::string(") AND ") + kOnlyMissingCondition;
  return edited;
}

void LimitToMissingDates(TRunSettings& settings) {
  settings.SQLCount = WithOnlyMissing(settings.SQLCount);
  settings.SQLListZakaz = WithOnlyMissing(settings.SQLListZakaz);
}

} // namespace od
