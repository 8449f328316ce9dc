#include "app/RunReport.h"

#include "text/Cp1251.h"
#include "text/SystemText.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace od {

namespace {

constexpr char kPrefix[] = "orderdates: ";

// How each reason reads in the report and, in Russian, in the final message.
// The first three are always counted in the summary; the others only when
// they happened, so that the summary of an ordinary run reads as it always
// has.
struct TReasonWords {
  const char* English;
  const char* Russian; // UTF-8 here, code page 1251 once shown
  bool AlwaysCounted;
};
constexpr std::array<TReasonWords, kKeptReasonCount> kReasonWords{{
    {"request failed", "запрос к сервису не выполнен", true},
    {"answer without a date", "в ответе нет даты", true},
    {"update refused", "база данных отклонила запись", true},
    {"key not usable", "ключ строки нельзя передать точно", false},
    {"stopped", "прервано", false},
}};

const TReasonWords& WordsOf(TKeptReason reason) { return kReasonWords[static_cast<size_t>(reason)]; }

std::string GoodsLineCount(std::int64_t count) {
  return std::to_string(count) + (count == 1 ? " goods line" : " goods lines");
}

// Line breaks as one blank, control bytes as \xNN, cut after `limit` bytes.
// `isControl` says which bytes steer a terminal in the text's encoding.
template <typename IsControl> std::string Defused(std::string_view text, size_t limit, IsControl isControl) {
  std::string safe;
  const size_t length = std::min(text.size(), limit);
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\r' || byte == '\n') {
      // A message of several lines stays on its report line.
      if (!safe.empty() && safe.back() != ' ') safe += ' ';
    } else if (isControl(text, i)) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      safe += escaped;
    } else {
      safe += text[i];
    }
  }
  while (!safe.empty() && safe.back() == ' ') safe.pop_back();
  if (text.size() > limit) safe += "...";
  return safe;
}

bool IsC0Control(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

} // namespace

bool HasDatePart(TDateTime value) noexcept { return value <= -1.0 || value >= 1.0; }

std::string TerminalText(const std::string& cp1251, size_t limit) {
  // 0x98 is the one byte the code page leaves without a character.
  const std::string safe = Defused(cp1251, limit, [](std::string_view text, size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    return IsC0Control(byte) || byte == 0x98;
  });
  return Utf8ToSystemText(Cp1251ToUtf8(safe));
}

std::string ServiceTerminalText(const std::string& bytes, size_t limit) {
  if (IsAscii(bytes) || !IsWellFormedUtf8(bytes)) return TerminalText(bytes, limit);
  // Cut at a character's start, so that the cut leaves no broken sequence.
  while (limit < bytes.size() && (static_cast<unsigned char>(bytes[limit]) & 0xC0) == 0x80) --limit;
  // The C1 controls U+0080..U+009F (C2 80..C2 9F) steer a terminal as well.
  const std::string safe = Defused(bytes, limit, [](std::string_view text, size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (IsC0Control(byte)) return true;
    if (byte == 0xC2 && i + 1 < text.size()) return static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    return byte >= 0x80 && byte <= 0x9F && i > 0 && static_cast<unsigned char>(text[i - 1]) == 0xC2;
  });
  return Utf8ToSystemText(safe);
}

TRunReport::TRunReport()
    : sink_([](const std::string& line) {
        // A reader that has gone (a closed pipe) costs the line, not the run.
        std::fputs(line.c_str(), stderr);
        std::fputc('\n', stderr);
        std::clearerr(stderr);
      }) {}

void TRunReport::GoodsLine(const std::string* order, const TGoodsLineOutcome& outcome) {
  if (order != nullptr && (!orderOpen_ || *order != order_)) {
    FlushOrder();
    order_ = *order;
    orderOpen_ = true;
    orderLines_ = 0;
    orderKept_ = 0;
  }
  ++goodsLines_;
  ++orderLines_;
  if (outcome.Updated) {
    ++updated_;
    return;
  }
  ++kept_[static_cast<size_t>(outcome.Reason)];
  if (orderKept_++ == 0) orderFirstKept_ = outcome;
}

void TRunReport::FlushOrder() {
  if (!orderOpen_) return;
  orderOpen_ = false;
  if (orderKept_ == 0) return;
  std::string line = std::string(kPrefix) + "order " + TerminalText(order_, 40) + ": ";
  line += orderKept_ == orderLines_ ? GoodsLineCount(orderKept_)
                                    : std::to_string(orderKept_) + " of " + GoodsLineCount(orderLines_);
  line += " kept, ";
  line += WordsOf(orderFirstKept_.Reason).English;
  const std::string& text = orderFirstKept_.Text;
  switch (orderFirstKept_.Reason) {
  case TKeptReason::NoDate:
    line += text.empty() ? std::string(": the answer was empty") : ": \"" + ServiceTerminalText(text) + "\"";
    break;
  case TKeptReason::RequestFailed: line += ": " + ServiceTerminalText(text, 400); break;
  default:
    if (!text.empty()) line += ": " + TerminalText(text, 400);
    break;
  }
  sink_(line);
}

void TRunReport::Finish(bool dryRun) {
  FlushOrder();
  sink_(Summary(dryRun));
}

void TRunReport::Stopped(const std::string& message) {
  FlushOrder();
  sink_(std::string(kPrefix) + "stopped before the commit after " + GoodsLineCount(goodsLines_) +
        ", nothing saved: " + TerminalText(message, 400));
}

std::string TRunReport::Summary(bool dryRun) const {
  std::string line = std::string(kPrefix) + (dryRun ? "would update " : "updated ") + std::to_string(updated_) +
                     " of " + GoodsLineCount(goodsLines_);
  line += "; kept: ";
  bool first = true;
  for (int reason = 0; reason < kKeptReasonCount; ++reason) {
    const TReasonWords& words = kReasonWords[static_cast<size_t>(reason)];
    if (!words.AlwaysCounted && kept_[static_cast<size_t>(reason)] == 0) continue;
    if (!first) line += ", ";
    first = false;
    line += std::string(words.English) + " " + std::to_string(kept_[static_cast<size_t>(reason)]);
  }
  return line;
}

std::string TRunReport::Details(bool dryRun) const {
  std::string text = dryRun ? "Было бы обновлено строк товаров: " : "Обновлено строк товаров: ";
  text += std::to_string(updated_) + " из " + std::to_string(goodsLines_) + ".\n";
  text += "Не изменено: " + std::to_string(KeptLines()) + ", из них:\n";
  for (int reason = 0; reason < kKeptReasonCount; ++reason) {
    const TReasonWords& words = kReasonWords[static_cast<size_t>(reason)];
    if (!words.AlwaysCounted && kept_[static_cast<size_t>(reason)] == 0) continue;
    text += std::string("  ") + words.Russian + ": " + std::to_string(kept_[static_cast<size_t>(reason)]) + "\n";
  }
  text += "Подробности по каждому заказу выводятся в стандартный поток ошибок.";
  return Cp(text);
}

} // namespace od
