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

// One pass over a statement text: literals and comments are skipped, the
// WHERE condition is followed (for the NULL rewrite), and every parameter
// marker is collected. Each step looks at what starts at the current
// position and tells whether it took it.
class TParamScanner {
public:
  TParamScanner(std::string_view text, TSqlKind kind, const TParamScanOptions& options) noexcept
      : text_(text), n_(text.size()), kind_(kind), options_(options),
        trackWhere_(kind != TSqlKind::Procedure && kind != TSqlKind::ExecuteBlock), searchOn_(kind != TSqlKind::DDL) {}

  TParamScanResult Run() {
    if (options_.Generate) result_.Processed.assign(text_.data(), n_);
    while (i_ < n_) {
      const char c = text_[i_];
      const char next = i_ + 1 < n_ ? text_[i_ + 1] : '\0';
      TStep step = SkipLiteralOrComment(c, next);
      if (step == TStep::NotHere && (c == ':' || c == '?') && searchOn_) step = ReadMarker(next);
      if (step == TStep::Stop) break;
      if (step == TStep::Taken) continue;
      WatchBlockBody(c, next);
      if (SkipWord(c)) continue;
      WatchParentheses(c);
      if (!IsSpaceChar(c)) lastCode_ = i_;
      ++i_;
    }
    return std::move(result_);
  }

private:
  enum class TStep { NotHere, Taken, Stop };
  static constexpr size_t kNone = std::string_view::npos;

  TStep Fail(TParamScanError error) {
    result_.Error = error;
    result_.Params.clear();
    result_.Processed.clear();
    return TStep::Stop;
  }

  TStep SkipLiteralOrComment(char c, char next) {
    if (c == '\'' || c == '"') {
      // Quoted literal or identifier; a doubled quote character stays inside.
      size_t p = i_ + 1;
      for (;;) {
        if (p >= n_) return Fail(TParamScanError::EofInString);
        if (text_[p] == c) {
          if (p + 1 < n_ && text_[p + 1] == c) {
            p += 2;
            continue;
          }
          break;
        }
        ++p;
      }
      i_ = p + 1;
    } else if (c == '-' && next == '-') {
      i_ += 2;
      while (i_ < n_ && text_[i_] != '\r' && text_[i_] != '\n' && text_[i_] != '\0') ++i_;
    } else if (c == '/' && next == '*') {
      const size_t end = text_.find("*/", i_ + 2);
      if (end == std::string_view::npos) return Fail(TParamScanError::EofInComment);
      i_ = end + 2;
    } else {
      return TStep::NotHere;
    }
    lastCode_ = kNone;
    return TStep::Taken;
  }

  // A marker at i_ and its name, quoted or plain.
  TStep ReadMarker(char next) {
    TParamOccurrence param;
    param.StartPos = static_cast<int>(i_) + 1;
    size_t nameEnd; // one past the last character that belongs to the name
    if (next == '"') {
      const size_t close = text_.find('"', i_ + 2);
      if (close == std::string_view::npos) return Fail(TParamScanError::EofInString);
      if (close == i_ + 2) return Fail(TParamScanError::NameExpected);
      param.Name.assign(text_.substr(i_ + 2, close - (i_ + 2)));
      param.Quoted = true;
      nameEnd = close + 1;
    } else {
      size_t p = i_ + 1;
      while (p < n_ && IsNameChar(text_[p])) ++p;
      if (p == i_ + 1) return NoName();
      param.Name = UpperAscii(text_.substr(i_ + 1, p - (i_ + 1)));
      nameEnd = p;
    }
    param.EndPos = static_cast<int>(nameEnd);
    param.InWhere = inWhere_;
    param.NotFollowedByOperator = NotFollowedByOperator(text_, nameEnd);
    param.OperatorPos = lastCode_ == kNone ? 0 : static_cast<int>(lastCode_) + 1;
    if (options_.Generate) {
      result_.Processed[i_] = '?';
      for (size_t p = i_ + 1; p < nameEnd; ++p) result_.Processed[p] = ' ';
    }
    result_.Params.push_back(std::move(param));
    lastCode_ = nameEnd - 1;
    i_ = nameEnd;
    return TStep::Taken;
  }

  TStep NoName() {
    if (!options_.QuietOnEmptyName) return Fail(TParamScanError::NameExpected);
    result_ = TParamScanResult();
    result_.StoppedQuietly = true;
    return TStep::Stop;
  }

  void WatchBlockBody(char c, char next) {
    if (kind_ == TSqlKind::ExecuteBlock && searchOn_ && (c == 'A' || c == 'a') && (next == 'S' || next == 's') &&
        (i_ == 0 || IsKeywordLead(text_[i_ - 1]))) {
      // The body of an EXECUTE BLOCK names its local variables with colons;
      // only the input list before AS holds parameters.
      const char after = i_ + 2 < n_ ? text_[i_ + 2] : '\0';
      if (i_ + 2 >= n_ || after == '\0' || IsSeparator(after)) searchOn_ = false;
    }
  }

  // A word that starts at i_: WHERE opens the condition, the keywords that
  // follow one close it.
  bool SkipWord(char c) {
    if (!trackWhere_ || !IsAlpha(c) || i_ == 0 || !IsKeywordLead(text_[i_ - 1])) return false;
    if (!inWhere_ && KeywordAt(text_, i_, "WHERE")) {
      inWhere_ = true;
      whereDepth_ = 0;
      i_ += 5;
      return true;
    }
    if (inWhere_) {
      for (std::string_view keyword : kWhereEndKeywords) {
        if (KeywordAt(text_, i_, keyword)) {
          inWhere_ = false;
          break;
        }
      }
    }
    // Skip the rest of the word so that no keyword is found inside it.
    while (i_ < n_ && IsNameChar(text_[i_])) ++i_;
    lastCode_ = i_ - 1;
    return true;
  }

  // A closing parenthesis the condition did not open ends it.
  void WatchParentheses(char c) {
    if (!inWhere_) return;
    if (c == '(') {
      ++whereDepth_;
    } else if (c == ')') {
      if (whereDepth_ == 0) {
        inWhere_ = false;
      } else {
        --whereDepth_;
      }
    }
  }

  std::string_view text_;
  size_t n_;
  TSqlKind kind_;
  const TParamScanOptions& options_;
  bool trackWhere_;
  bool searchOn_;
  TParamScanResult result_;
  size_t i_ = 0;
  bool inWhere_ = false;
  int whereDepth_ = 0;
  // The last character of code (outside literals and comments) when only
  // blanks followed it; npos after a literal or a comment.
  size_t lastCode_ = kNone;
};

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
  return TParamScanner(text, kind, options).Run();
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
