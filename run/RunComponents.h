#pragma once

#include "run/RunSettings.h"

#include <string>
#include <vector>

namespace od {

class TComponent;
class TFbDatabase;
class TFbTransaction;
class TFbQuery;

// The data components the run works with. Whoever shows the run owns them
// (the main window, or the terminal's holder), so that messages name them
// as "Form2.DB", "Form2.SQLUpdateID" however the program was started.
struct TRunComponents {
  TFbDatabase* DB = nullptr;
  TFbTransaction* Tr = nullptr;
  TFbQuery* SQLCount = nullptr;
  TFbQuery* SQLListZakaz = nullptr;
  TFbQuery* SQLUpdateID = nullptr;
};

// The components one at a time, for an owner that puts others between them
// (the window's timer comes after the count), configured from the settings.
TFbDatabase* CreateRunDatabase(TComponent& owner, const TRunSettings& settings);
TFbTransaction* CreateRunTransaction(TComponent& owner, TFbDatabase& db);
TFbQuery* CreateRunQuery(TComponent& owner, const char* name, const std::vector<std::string>& sql, TFbDatabase& db,
                         TFbTransaction& tr);
// All five, in the order the window creates them.
TRunComponents CreateRunComponents(TComponent& owner, const TRunSettings& settings);

} // namespace od
