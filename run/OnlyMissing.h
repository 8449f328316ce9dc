#pragma once

#include "run/RunSettings.h"

#include <string>
#include <vector>

namespace od {

// The condition --only-missing adds: goods lines that have no send date yet.
inline constexpr char kOnlyMissingCondition[] = "DATA_TIME_SEND IS NULL";

// `sql` (one source line per entry) with kOnlyMissingCondition added to its
// WHERE clause: the clause's own condition in parentheses, AND the new one,
// before an ORDER BY or GROUP BY that follows; a statement without a WHERE
// gets one there. Every other line stays as it is.
std::vector<std::string> WithOnlyMissing(const std::vector<std::string>& sql);

// The count and the list of `settings` take only goods lines without a send
// date, so that a second run asks only the orders still missing theirs; the
// UPDATE stays as it is.
void LimitToMissingDates(TRunSettings& settings);

} // namespace od
