#include "db/ParamScan.h"

#include "base/Ascii.h"

#include <array>

namespace od {

namespace {

constexpr bool IsSpaceChar(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// What may stand right before a keyword for it to count as one.
constexpr bool IsKeywordLead(char c) noexcept { return IsSpaceChar(c) || c == '"' || c == ')'; }

// What may follow a keyword; the end of the text counts as well.
constexpr bool IsSeparator(char c) noexcept {
  return IsSpaceChar(c) || c == '"' || c == '(' || c == '-' || c == '/' || c == ';';
}

constexpr bool IsNameChar(char c) noexcept {
  return IsAlnum(c) || c == '_' || c == '$' || c == '#' || c == '%' || c == '.';
}

// Does the keyword (upper case) start at pos, followed by a separator or the end?
bool KeywordAt(std::string_view text, size_t pos, std::string_view keyword) noexcept {
  if (pos + keyword.size() > text.size()) return false;
  for (size_t i = 0; i < keyword.size(); ++i) {
    if (ToUpperAscii(text[pos + i]) != keyword[i]) return false;
  }
  const size_t after = pos + keyword.size();
  return after == text.size() || IsSeparator(text[after]);
}

// Skips blanks and comments from pos; returns the first position of anything else.
size_t SkipBlanksAndComments(std::string_view text, size_t pos) noexcept {
  const size_t n = text.size();
  while (pos < n) {
    const char c = text[pos];
    if (IsBlankOrControl(c)) {
      ++pos;
    } else if (c == '/' && pos + 1 < n && text[pos + 1] == '*') {
      const size_t end = text.find("*/", pos + 2);
      pos = end == std::string_view::npos ? n : end + 2;
    } else if (c == '-' && pos + 1 < n && text[pos + 1] == '-') {
      while (pos < n && text[pos] != '\r' && text[pos] != '\n') ++pos;
    } else {
      break;
    }
  }
  return pos;
}

// "first" then a run of blanks then "second", as in EXECUTE PROCEDURE.
bool KeywordPairAt(std::string_view text, size_t pos, std::string_view first, std::string_view second,
                   bool allowQuotesAndParens) noexcept {
  if (!KeywordAt(text, pos, first)) return false;
  size_t p = pos + first.size();
  const size_t start = p;
  while (p < text.size() && (IsSpaceChar(text[p]) || (allowQuotesAndParens && (text[p] == '"' || text[p] == ')')))) {
    ++p;
  }
  if (p == start) return false;
  return KeywordAt(text, p, second);
}

constexpr std::array<std::string_view, 6> kDdlKeywords = {"ALTER", "CREATE", "COMMENT", "DROP", "DECLARE", "RECREATE"};
constexpr std::array<std::string_view, 7> kWhereEndKeywords = {"FOR",  "GROUP", "HAVING", "ORDER",
                                                               "PLAN", "START", "UNION"};

// The operator test: true when after the name (and blanks) the text ends or
// goes on with something that is not an arithmetic or concatenation operator.
bool NotFollowedByOperator(std::string_view text, size_t after) noexcept {
  size_t p = after;
  while (p < text.size() && IsSpaceChar(text[p])) ++p;
  if (p >= text.size()) return true;
  const char c = text[p];
  const char next = p + 1 < text.size() ? text[p + 1] : '\0';
  if (c == '*' || c == '+' || c == '|') return false;
  if (c == '-' && next != '-') return false;
  if (c == '/' && next != '*') return false;
  return true;
}

} // namespace

TSqlKind ClassifySql(std::string_view text) noexcept {
  const size_t p = SkipBlanksAndComments(text, 0);
  if (p >= text.size()) return TSqlKind::None;
  if (KeywordAt(text, p, "SELECT")) return TSqlKind::Select;
  if (KeywordAt(text, p, "UPDATE")) return TSqlKind::Update;
  if (KeywordAt(text, p, "DELETE")) return TSqlKind::Delete;
  if (KeywordAt(text, p, "INSERT")) return TSqlKind::Insert;
  if (KeywordPairAt(text, p, "EXECUTE", "PROCEDURE", false)) return TSqlKind::Procedure;
  if (KeywordPairAt(text, p, "EXECUTE", "BLOCK", false)) return TSqlKind::ExecuteBlock;
  for (std::string_view keyword : kDdlKeywords) {
    if (KeywordAt(text, p, keyword)) return TSqlKind::DDL;
  }
  if (KeywordPairAt(text, p, "SET", "GENERATOR", true)) return TSqlKind::DDL;
  return TSqlKind::None;
}

bool HasParamMarkers(std::string_view text, char macroChar) noexcept {
  const size_t n = text.size();
  if (n <= 1) return false;
  size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '\'' || c == '"') {
      const size_t end = text.find(c, i + 1);
      if (end == std::string_view::npos) return false;
      i = end + 1;
    } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      const size_t end = text.find("*/", i + 2);
      if (end == std::string_view::npos) return false;
      i = end + 2;
    } else if (c == '-' && i + 1 < n && text[i + 1] == '-') {
      // The scan ends a line comment at CR, LF or NUL; so does this test, or
      // a text with bare LF line ends would hide its markers from the scan.
      const size_t end = text.find_first_of(std::string_view("\r\n\0", 3), i + 2);
      if (end == std::string_view::npos) return false;
      i = end + 1;
    } else if (c == ':' || c == '?' || c == macroChar) {
      return true;
    } else {
      ++i;
    }
  }
  return false;
}

const char* ParamScanErrorText(TParamScanError error) noexcept {
  switch (error) {
  case TParamScanError::None: return "";
  case TParamScanError::EofInString: return "EOF in string detected";
  case TParamScanError::EofInComment: return "EOF in comment detected";
  case TParamScanError::NameExpected: return "Parameter name expected";
  }
  return "";
}

TParamScanResult ScanParams(std::string_view text, TSqlKind kind, const TParamScanOptions& options) {
  TParamScanResult result;
  const size_t n = text.size();
  if (options.Generate) result.Processed.assign(text.data(), n);

  const bool trackWhere = kind != TSqlKind::Procedure && kind != TSqlKind::ExecuteBlock;
  bool searchOn = kind != TSqlKind::DDL;
  bool inWhere = false;
  int whereDepth = 0;
  // The last character of code (outside literals and comments) when only
  // blanks followed it; npos after a literal or a comment.
  constexpr size_t kNone = std::string_view::npos;
  size_t lastCode = kNone;

  auto fail = [&](TParamScanError error) {
    result.Error = error;
    result.Params.clear();
    result.Processed.clear();
    return result;
  };

  size_t i = 0;
  while (i < n) {
    const char c = text[i];
    const char next = i + 1 < n ? text[i + 1] : '\0';

    if (c == '\'' || c == '"') {
      // Quoted literal or identifier; a doubled quote character stays inside.
      size_t p = i + 1;
      for (;;) {
        if (p >= n) return fail(TParamScanError::EofInString);
        if (text[p] == c) {
          if (p + 1 < n && text[p + 1] == c) {
            p += 2;
            continue;
          }
          break;
        }
        ++p;
      }
      i = p + 1;
      lastCode = kNone;
      continue;
    }
    if (c == '-' && next == '-') {
      i += 2;
      while (i < n && text[i] != '\r' && text[i] != '\n' && text[i] != '\0') ++i;
      lastCode = kNone;
      continue;
    }
    if (c == '/' && next == '*') {
      const size_t end = text.find("*/", i + 2);
      if (end == std::string_view::npos) return fail(TParamScanError::EofInComment);
      i = end + 2;
      lastCode = kNone;
      continue;
    }

    if ((c == ':' || c == '?') && searchOn) {
      TParamOccurrence param;
      param.StartPos = static_cast<int>(i) + 1;
      size_t nameEnd; // one past the last character that belongs to the name
      if (next == '"') {
        const size_t close = text.find('"', i + 2);
        if (close == std::string_view::npos) return fail(TParamScanError::EofInString);
        if (close == i + 2) return fail(TParamScanError::NameExpected);
        param.Name.assign(text.substr(i + 2, close - (i + 2)));
        param.Quoted = true;
        nameEnd = close + 1;
      } else {
        size_t p = i + 1;
        while (p < n && IsNameChar(text[p])) ++p;
        if (p == i + 1) {
          if (options.QuietOnEmptyName) {
            TParamScanResult quiet;
            quiet.StoppedQuietly = true;
            return quiet;
          }
          return fail(TParamScanError::NameExpected);
        }
        param.Name = UpperAscii(text.substr(i + 1, p - (i + 1)));
        nameEnd = p;
      }
      param.EndPos = static_cast<int>(nameEnd);
      param.InWhere = inWhere;
      param.NotFollowedByOperator = NotFollowedByOperator(text, nameEnd);
      param.OperatorPos = lastCode == kNone ? 0 : static_cast<int>(lastCode) + 1;
      if (options.Generate) {
        result.Processed[i] = '?';
        for (size_t p = i + 1; p < nameEnd; ++p) result.Processed[p] = ' ';
      }
      result.Params.push_back(std::move(param));
      lastCode = nameEnd - 1;
      i = nameEnd;
      continue;
    }

    if (kind == TSqlKind::ExecuteBlock && searchOn && (c == 'A' || c == 'a') && (next == 'S' || next == 's') &&
        (i == 0 || IsKeywordLead(text[i - 1]))) {
      // The body of an EXECUTE BLOCK names its local variables with colons;
      // only the input list before AS holds parameters.
      const char after = i + 2 < n ? text[i + 2] : '\0';
      if (i + 2 >= n || after == '\0' || IsSeparator(after)) searchOn = false;
    }

    if (trackWhere && IsAlpha(c) && i > 0 && IsKeywordLead(text[i - 1])) {
      if (!inWhere && KeywordAt(text, i, "WHERE")) {
        inWhere = true;
        whereDepth = 0;
        i += 5;
        continue;
      }
      if (inWhere) {
        for (std::string_view keyword : kWhereEndKeywords) {
          if (KeywordAt(text, i, keyword)) {
            inWhere = false;
            break;
          }
        }
      }
      // Skip the rest of the word so that no keyword is found inside it.
      while (i < n && IsNameChar(text[i])) ++i;
      lastCode = i - 1;
      continue;
    }
    if (inWhere) {
      if (c == '(') {
        ++whereDepth;
      } else if (c == ')') {
        if (whereDepth == 0) {
          inWhere = false;
        } else {
          --whereDepth;
        }
      }
    }
    if (!IsSpaceChar(c)) lastCode = i;
    ++i;
  }
  return result;
}

std::string RewriteNullComparisons(std::string_view text, const std::vector<TParamOccurrence>& params,
                                   const std::vector<bool>& isNull, std::vector<bool>& rewritten) {
  std::string out(text);
  rewritten.assign(params.size(), false);
  // Back to front, so that the positions of the earlier occurrences stay valid.
  for (size_t k = params.size(); k-- > 0;) {
    const TParamOccurrence& param = params[k];
    if (k >= isNull.size() || !isNull[k] || !param.InWhere || !param.NotFollowedByOperator) continue;
    if (param.StartPos < 1 || static_cast<size_t>(param.EndPos) > out.size()) continue;
    // Only an operator in code counts: never one inside a comment or a
    // literal that happens to stand before the marker.
    if (param.OperatorPos < 1) continue;
    const size_t op = static_cast<size_t>(param.OperatorPos) - 1;
    size_t from;
    const char* replacement;
    const char before = op > 0 ? out[op - 1] : '\0';
    if (out[op] == '=') {
      if (before == '!' || before == '^' || before == '~') {
        from = op - 1;
        replacement = " IS NOT NULL ";
      } else if (before == '<' || before == '>') {
        continue;
      } else {
        from = op;
        replacement = " IS NULL ";
      }
    } else if (out[op] == '>' && before == '<') {
      from = op - 1;
      replacement = " IS NOT NULL ";
    } else {
      continue;
    }
    out.replace(from, static_cast<size_t>(param.EndPos) - from, replacement);
    rewritten[k] = true;
  }
  return out;
}

} // namespace od
