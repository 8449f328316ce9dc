#pragma once

#include <string>
#include <string_view>
#include <vector>

// Text processing between a statement's SQL with named parameters (":ID")
// and the positional form the server accepts ("?"). Pure functions over the
// text; the statement turns their findings into descriptor areas and their
// failures into client errors.
namespace od {

// What a statement text is, told by its first keyword.
enum class TSqlKind { None, Select, Update, Insert, Delete, Procedure, DDL, ExecuteBlock };

TSqlKind ClassifySql(std::string_view text) noexcept;

// True when the text holds a parameter marker (":" or "?") or the macro
// character outside literals and comments. Cheap enough to run on every text
// change; a text without markers goes to the server as it is.
bool HasParamMarkers(std::string_view text, char macroChar = '@') noexcept;

// One parameter occurrence in the text, in text order.
struct TParamOccurrence {
  std::string Name; // upper-cased (a-z only) unless quoted
  bool Quoted = false;
  int StartPos = 0; // 1-based position of the marker
  int EndPos = 0;   // 1-based position of the name's last character (the closing quote when quoted)
  bool InWhere = false;
  bool NotFollowedByOperator = false;
  // 1-based position of the last code character before the marker when only
  // blanks lie between them (not a literal or a comment); 0 otherwise.
  int OperatorPos = 0;
};

enum class TParamScanError { None, EofInString, EofInComment, NameExpected };

// The detail text of a scan failure ("EOF in string detected", ...); the
// statement puts it into its parse error message.
const char* ParamScanErrorText(TParamScanError error) noexcept;

struct TParamScanOptions {
  bool Generate = false;         // also build the processed text
  char MacroChar = '@';          // macros are left in the text unexpanded
  bool QuietOnEmptyName = false; // a marker without a name stops the scan without an error
};

struct TParamScanResult {
  TParamScanError Error = TParamScanError::None;
  bool StoppedQuietly = false;
  std::vector<TParamOccurrence> Params;
  // Generate only: the text with every marker turned into "?" and every name
  // (quotes included) into blanks, so it is exactly as long as the input.
  std::string Processed;
};

TParamScanResult ScanParams(std::string_view text, TSqlKind kind, const TParamScanOptions& options = {});

// Rewrites "= :P" into " IS NULL " and "<> :P" (also "!=", "^=", "~=") into
// " IS NOT NULL " for each occurrence whose isNull entry is true and that lies
// inside a WHERE condition without an operator after it. "<=" and ">=" are
// left alone. `params` are the occurrences of `text` in text order;
// `rewritten[i]` tells which of them were replaced.
std::string RewriteNullComparisons(std::string_view text, const std::vector<TParamOccurrence>& params,
                                   const std::vector<bool>& isNull, std::vector<bool>& rewritten);

} // namespace od
