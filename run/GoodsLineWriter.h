#pragma once

#include "run/RunReport.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

namespace od {

class TFbQuery;
class TUpdateBatch;

// The write side of the walk: runs the UPDATE of each goods line, one at a
// time or, with batches, many in one round trip, and tells the report what
// became of every goods line in the walk's order. With batches, a goods
// line's UPDATE waits for its block, and so do the report's lines of every
// goods line walked after it; a line the block says was refused is run again
// alone, so that the report has the database's own words for it.
class TGoodsLineWriter {
public:
  // `batch` goods lines to a block at most; 1 runs every UPDATE at once.
  TGoodsLineWriter(TFbQuery& update, TRunReport& report, int batch);
  ~TGoodsLineWriter();
  TGoodsLineWriter(const TGoodsLineWriter&) = delete;
  TGoodsLineWriter& operator=(const TGoodsLineWriter&) = delete;

  // Before the first goods line: prepares the block. Where the database
  // cannot run one, every goods line gets an UPDATE of its own, and the
  // report says so in one line.
  void Start();
  // Runs the UPDATE with its parameters as they are set now, or takes them
  // into the next block. A failure here is the goods line's.
  void Execute();
  // What became of the goods line just walked: `outcome`, unless Execute took
  // its UPDATE into a block, whose run decides.
  void GoodsLine(const std::string* order, const TGoodsLineOutcome& outcome);
  // Runs the block's pending lines and reports everything waiting: before
  // the commit, and when the run stops, so that the report counts the goods
  // lines as it would have one at a time.
  void Flush();

  // Goods lines whose report waits for a block to run, at most: a block of
  // few UPDATEs among many goods lines without a date runs early.
  static constexpr std::size_t kMaxWaiting = 4096;

private:
  struct TWaiting {
    bool HasOrder = false;
    std::string Order;
    TGoodsLineOutcome Outcome;
    int Line = -1; // its line in the block, or -1 when its outcome is known
  };
  void RunBlock();
  // The UPDATE alone, with whatever the database says.
  TGoodsLineOutcome RunAlone();
  void ReportWaiting();

  TFbQuery& update_;
  TRunReport& report_;
  const int batch_;
  std::unique_ptr<TUpdateBatch> block_;
  bool taken_ = false;
  int pending_ = 0;
  std::deque<TWaiting> waiting_;
};

} // namespace od
