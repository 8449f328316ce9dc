// Runs the parameter scan in both modes over arbitrary text and checks what
// the statement relies on: generate keeps the text's length, changes only the
// bytes of the markers and names it reports, finds the same parameters as
// scan, and never finds one that the quick marker test would have missed.
#include "db/ParamScan.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const od::TSqlKind kind = od::ClassifySql(text);
  const bool hasMarkers = od::HasParamMarkers(text);

  const od::TParamScanResult scanned = od::ScanParams(text, kind);
  const od::TParamScanResult generated = od::ScanParams(text, kind, {.Generate = true});
  if (scanned.Error != generated.Error || scanned.Params.size() != generated.Params.size()) std::abort();
  if (generated.Error != od::TParamScanError::None) {
    if (!generated.Params.empty() || !generated.Processed.empty()) std::abort();
    return 0;
  }
  if (!generated.Params.empty() && !hasMarkers) std::abort();
  if (generated.Processed.size() != text.size()) std::abort();

  std::string expected(text);
  int previousEnd = 0;
  for (const od::TParamOccurrence& param : generated.Params) {
    if (param.StartPos <= previousEnd || param.EndPos <= param.StartPos) std::abort();
    if (static_cast<size_t>(param.EndPos) > text.size() || param.Name.empty()) std::abort();
    expected[static_cast<size_t>(param.StartPos) - 1] = '?';
    for (int p = param.StartPos; p < param.EndPos; ++p) expected[static_cast<size_t>(p)] = ' ';
    previousEnd = param.EndPos;
  }
  if (expected != generated.Processed) std::abort();

  // Rewriting every parameter as NULL must give a text that scans again.
  std::vector<bool> rewritten;
  const std::string rewrittenText =
      od::RewriteNullComparisons(text, generated.Params, std::vector<bool>(generated.Params.size(), true), rewritten);
  size_t count = 0;
  for (bool r : rewritten) count += r ? 1 : 0;
  const od::TParamScanResult again = od::ScanParams(rewrittenText, kind, {.Generate = true});
  if (again.Processed.size() != rewrittenText.size() && again.Error == od::TParamScanError::None) std::abort();
  if (again.Error == od::TParamScanError::None && again.Params.size() + count != generated.Params.size()) std::abort();
  return 0;
}
