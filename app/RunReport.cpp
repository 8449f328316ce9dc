#include "app/RunReport.h"

#include "text/Cp1251.h"
#include "text/SystemText.h"

#include <algorithm>
#include <cstdio>

namespace od {

namespace {

constexpr char kPrefix[] = "orderdates: ";

const char* ReasonText(TKeptReason reason) {
  switch (reason) {
  case TKeptReason::RequestFailed: return "request failed";
  case TKeptReason::NoDate: return "answer without a date";
  case TKeptReason::UpdateRefused: return "update refused";
  }
  return "";
}

std::string GoodsLineCount(std::int64_t count) {
  return std::to_string(count) + (count == 1 ? " goods line" : " goods lines");
}

} // namespace

bool HasDatePart(TDateTime value) noexcept { return value <= -1.0 || value >= 1.0; }

std::string TerminalText(const std::string& cp1251, size_t limit) {
  std::string safe;
  const size_t length = std::min(cp1251.size(), limit);
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(cp1251[i]);
    if (byte == '\r' || byte == '\n') {
      // A message of several lines stays on its report line.
      if (!safe.empty() && safe.back() != ' ') safe += ' ';
    } else if (byte < 0x20 || byte == 0x7F || byte == 0x98) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      safe += escaped;
    } else {
      safe += cp1251[i];
    }
  }
  while (!safe.empty() && safe.back() == ' ') safe.pop_back();
  if (cp1251.size() > limit) safe += "...";
  return Utf8ToSystemText(Cp1251ToUtf8(safe));
}

TRunReport::TRunReport()
    : sink_([](const std::string& line) {
        std::fputs(line.c_str(), stderr);
        std::fputc('\n', stderr);
      }) {}

void TRunReport::BeginGoodsLine() {
  lineOpen_ = true;
  lineOrderKnown_ = false;
  lineDateAccepted_ = false;
  lineUpdated_ = false;
  lineFailure_.clear();
}

void TRunReport::Order(const std::string& order) {
  lineOrderKnown_ = true;
  if (orderOpen_ && order == order_) return;
  FlushOrder();
  order_ = order;
  orderOpen_ = true;
  requestFailed_ = false;
  answerText_.clear();
  orderLines_ = 0;
  orderKept_ = 0;
  orderReasonSet_ = false;
  orderReasonText_.clear();
}

void TRunReport::Answered(const std::string& firstLine) {
  requestFailed_ = false;
  answerText_ = firstLine;
}

void TRunReport::RequestFailed(const std::string& error) {
  requestFailed_ = true;
  answerText_ = error;
}

void TRunReport::DateAccepted() { lineDateAccepted_ = true; }

void TRunReport::Updated() { lineUpdated_ = true; }

void TRunReport::Failed(const std::string& message) {
  if (lineFailure_.empty()) lineFailure_ = message;
}

void TRunReport::EndGoodsLine() {
  if (!lineOpen_) return;
  lineOpen_ = false;
  ++goodsLines_;
  ++orderLines_;
  if (lineUpdated_) {
    ++updated_;
    return;
  }
  // A goods line whose order could not even be read, or whose date was
  // accepted, leaves only the database to have refused; otherwise the order's
  // request or its answer is why.
  TKeptReason reason = TKeptReason::NoDate;
  std::string text = answerText_;
  if (!lineOrderKnown_ || lineDateAccepted_) {
    reason = TKeptReason::UpdateRefused;
    text = lineFailure_;
  } else if (requestFailed_) {
    reason = TKeptReason::RequestFailed;
  }
  ++kept_[static_cast<int>(reason)];
  ++orderKept_;
  if (!orderReasonSet_) {
    orderReasonSet_ = true;
    orderReason_ = reason;
    orderReasonText_ = std::move(text);
  }
}

void TRunReport::FlushOrder() {
  if (!orderOpen_) return;
  orderOpen_ = false;
  if (orderKept_ == 0) return;
  std::string line = std::string(kPrefix) + "order " + TerminalText(order_, 40) + ": ";
  line += orderKept_ == orderLines_ ? GoodsLineCount(orderKept_)
                                    : std::to_string(orderKept_) + " of " + GoodsLineCount(orderLines_);
  line += " kept, ";
  line += ReasonText(orderReason_);
  if (orderReason_ == TKeptReason::NoDate)
    line += orderReasonText_.empty() ? std::string(": the answer was empty")
                                     : ": \"" + TerminalText(orderReasonText_) + "\"";
  else
    line += ": " + TerminalText(orderReasonText_, 400);
  sink_(line);
}

void TRunReport::Emit(const std::string& line) { sink_(line); }

void TRunReport::Finish(bool dryRun) {
  EndGoodsLine();
  FlushOrder();
  Emit(Summary(dryRun));
}

void TRunReport::Stopped(const std::string& message) {
  EndGoodsLine();
  FlushOrder();
  Emit(std::string(kPrefix) + "stopped before the commit after " + GoodsLineCount(goodsLines_) +
       ", nothing saved: " + TerminalText(message, 400));
}

std::string TRunReport::Summary(bool dryRun) const {
  std::string line = std::string(kPrefix) + (dryRun ? "would update " : "updated ") + std::to_string(updated_) +
                     " of " + GoodsLineCount(goodsLines_);
  line += "; kept: ";
  for (int reason = 0; reason < 3; ++reason) {
    if (reason > 0) line += ", ";
    line += std::string(ReasonText(static_cast<TKeptReason>(reason))) + " " + std::to_string(kept_[reason]);
  }
  return line;
}

std::string TRunReport::Details(bool dryRun) const {
  std::string text = dryRun ? "Было бы обновлено строк товаров: " : "Обновлено строк товаров: ";
  text += std::to_string(updated_) + " из " + std::to_string(goodsLines_) + ".\n";
  text += "Не изменено: " + std::to_string(KeptLines()) + ", из них:\n";
  text += "  запрос к сервису не выполнен: " + std::to_string(kept_[0]) + "\n";
  text += "  в ответе нет даты: " + std::to_string(kept_[1]) + "\n";
  text += "  база данных отклонила запись: " + std::to_string(kept_[2]) + "\n";
  text += "Подробности по каждому заказу выводятся в стандартный поток ошибок.";
  return Cp(text);
}

} // namespace od
