#pragma once

// The connections' one-value queries, run by the statement side: it owns
// the statements and the process-wide cache of them that the queries reuse.

#include <string>

#include "db/Database.h"

namespace od {

// Runs a one-row query in the connection's internal transaction (started
// and committed, or rolled back when the query fails) and returns the given
// column of its first row; null without columns.
TFbValue RunQueryValue(TFbCustomDatabase& database, const std::string& sql, int column);

} // namespace od
