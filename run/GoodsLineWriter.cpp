#include "run/GoodsLineWriter.h"

#include "db/Query.h"
#include "db/UpdateBatch.h"
#include "run/ErrorText.h"

#include <vector>

namespace od {

TGoodsLineWriter::TGoodsLineWriter(TFbQuery& update, TRunReport& report, int batch)
    : update_(update), report_(report), batch_(batch) {}

TGoodsLineWriter::~TGoodsLineWriter() = default;

void TGoodsLineWriter::Start() {
  if (batch_ <= 1) return;
  block_ = std::make_unique<TUpdateBatch>(update_, batch_);
  try {
    block_->Prepare();
  } catch (...) {
    const std::string message = CurrentExceptionMessage();
    block_.reset();
    report_.Note("--batch " + std::to_string(batch_) +
                 ": the database cannot run the UPDATEs in blocks, each goods line is written on its own: " +
                 ReportText(message, 400));
  }
}

void TGoodsLineWriter::Execute() {
  if (!block_) {
    update_.ExecQuery();
    return;
  }
  block_->Take(pending_);
  taken_ = true;
}

void TGoodsLineWriter::GoodsLine(const std::string* order, const TGoodsLineOutcome& outcome) {
  const bool taken = taken_;
  taken_ = false;
  if (!taken && waiting_.empty()) {
    report_.GoodsLine(order, outcome);
    return;
  }
  waiting_.push_back({order != nullptr, order != nullptr ? *order : std::string(), outcome, taken ? pending_ : -1});
  if (taken) ++pending_;
  if ((block_ && pending_ == block_->Capacity()) || waiting_.size() >= kMaxWaiting) RunBlock();
}

void TGoodsLineWriter::Flush() {
  taken_ = false;
  RunBlock();
}

void TGoodsLineWriter::RunBlock() {
  if (pending_ > 0) {
    std::vector<bool> refused;
    try {
      refused = block_->Execute(pending_);
    } catch (...) {
      // Nothing of the block stays: each of its goods lines is run alone,
      // with what that one meets.
      refused.assign(static_cast<size_t>(pending_), true);
    }
    for (TWaiting& waiting : waiting_) {
      if (waiting.Line < 0 || !refused[static_cast<size_t>(waiting.Line)]) continue;
      block_->Give(waiting.Line);
      waiting.Outcome = RunAlone();
    }
    pending_ = 0;
  }
  ReportWaiting();
}

TGoodsLineOutcome TGoodsLineWriter::RunAlone() {
  try {
    update_.Close();
    update_.ExecQuery();
    return TGoodsLineOutcome::Written();
  } catch (...) {
    return TGoodsLineOutcome::Kept(TKeptReason::UpdateRefused, CurrentExceptionMessage());
  }
}

void TGoodsLineWriter::ReportWaiting() {
  for (const TWaiting& waiting : waiting_)
    report_.GoodsLine(waiting.HasOrder ? &waiting.Order : nullptr, waiting.Outcome);
  waiting_.clear();
}

} // namespace od
