#pragma once

// Many executions of one UPDATE in one round trip: an EXECUTE BLOCK whose
// input parameters are a number of lines, each with its own copy of the
// UPDATE's parameters, and whose body runs the UPDATE once per line. Each
// line's UPDATE is guarded on its own, so a line the database refuses keeps
// nothing of its work and leaves the other lines' work in place; the block
// answers which lines were refused. The block is built from the UPDATE's own
// text and the types the server describes for its parameters, never from
// values: the values travel as parameters.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/ParamScan.h"

namespace od {

class TFbCustomQuery;
class TFbQuery;

// The text of a block of `lines` copies of the UPDATE `updateText`, whose
// parameter occurrences (in text order) are `params`, declared with the SQL
// types `types`. Its first input parameter is the number of lines to run; the
// lines' parameters follow, line by line, in the order of `params`. Its one
// row holds a text with one character a line run: '0' when the line's UPDATE
// went through, '1' when the database refused it.
std::string UpdateBlockText(std::string_view updateText, const std::vector<TParamOccurrence>& params,
                            const std::vector<std::string>& types, int lines);

class TUpdateBatch {
public:
  // Blocks of up to `lines` goods lines of `update`, on its database and in
  // its transaction.
  TUpdateBatch(TFbCustomQuery& update, int lines);
  ~TUpdateBatch();
  TUpdateBatch(const TUpdateBatch&) = delete;
  TUpdateBatch& operator=(const TUpdateBatch&) = delete;

  // Prepares the UPDATE, then the block: of the lines asked for or, where the
  // server refuses a block that large (the length of its text, the number of
  // tables one statement may name), of half as many, down to one. Raises
  // what the server said when even a block of one line cannot be prepared,
  // or when a parameter's type cannot be declared in one.
  void Prepare();
  // The lines one block holds once prepared.
  int Capacity() const noexcept { return capacity_; }

  // Takes the UPDATE's parameter values as they are set now into `line`.
  void Take(int line);
  // Sets the UPDATE's parameters to the values `line` holds, to run it alone.
  void Give(int line);
  // Runs lines 0 to count - 1 in one execution. Returns for each line whether
  // the database refused it. Raises when the block failed as a whole (a value
  // its declared type cannot take, a lost connection): none of its work
  // stays then.
  std::vector<bool> Execute(int count);

private:
  std::vector<std::string> DeclaredTypes();
  void TryPrepare(const std::vector<std::string>& types, int lines);
  // The entry of the block's parameters for occurrence `param` of `line`.
  int Index(int line, int param) const noexcept { return 1 + line * perLine_ + param; }

  TFbCustomQuery& update_;
  const int wanted_;
  int capacity_ = 0;
  int perLine_ = 0;
  // Lines that have held values since the block was prepared: the lines of
  // a block that are not run still go to the server, and a NULL among them
  // would have the statement prepared anew.
  int filled_ = 0;
  std::vector<TParamOccurrence> params_;
  std::unique_ptr<TFbQuery> block_;
};

} // namespace od
