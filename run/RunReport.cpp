#include "run/RunReport.h"

#include "base/Ascii.h"
#include "text/Cp1251.h"
#include "text/Defuse.h"
#include "text/LocaleFormats.h"
#include "text/SystemText.h"

#include <algorithm>
#include <clocale>
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
    {"order number not usable", "номер заказа не прочитан", false},
    {"not asked", "не запрошено: сервис перестал отвечать", false},
}};

const TReasonWords& WordsOf(TKeptReason reason) { return kReasonWords[static_cast<size_t>(reason)]; }

std::string GoodsLineCount(std::int64_t count) {
  return std::to_string(count) + (count == 1 ? " goods line" : " goods lines");
}

// A text on one report line: line breaks as one blank, cut after `limit`
// bytes (marked "..."), without blanks at its end.
std::string OnOneLine(std::string_view text, size_t limit) {
  std::string line;
  const size_t length = std::min(text.size(), limit);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      // A message of several lines stays on its report line.
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += text[i];
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (text.size() > limit) line += "...";
  return line;
}

} // namespace

bool HasDatePart(TDateTime value) noexcept { return value <= -1.0 || value >= 1.0; }

std::string ReportText(const std::string& cp1251, size_t limit) {
  std::string line = OnOneLine(cp1251, limit);
  // 0x98 is the one byte the code page leaves without a character: it is
  // shown, not converted into a stand-in.
  for (size_t at = line.find('\x98'); at != std::string::npos; at = line.find('\x98', at + 4))
    line.replace(at, 1, "\\x98");
  return Defused(Cp1251ToUtf8(line), TCodeSet::Utf8);
}

std::string TerminalText(const std::string& cp1251, size_t limit) {
  return Defused(Utf8ToSystemText(ReportText(cp1251, limit)));
}

std::string ServiceReportText(const std::string& bytes, size_t limit) {
  if (IsAscii(bytes) || !IsWellFormedUtf8(bytes)) return ReportText(bytes, limit);
  // Cut at a character's start, so that the cut leaves no broken sequence.
  while (limit < bytes.size() && (static_cast<unsigned char>(bytes[limit]) & 0xC0) == 0x80) --limit;
  return Defused(OnOneLine(bytes, limit), TCodeSet::Utf8);
}

void WriteToStandardError(const std::string& utf8Line) {
  // A reader that has gone (a closed pipe) costs the line, not the run.
  const std::string line = Defused(Utf8ToSystemText(utf8Line)) + "\n";
  std::fputs(line.c_str(), stderr);
  std::clearerr(stderr);
}

bool LooksLikeDate(std::string_view text) noexcept {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  char delimiter = 0;
  for (int group = 0; group < 3; ++group) {
    const size_t start = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    if (i == start || i - start > 4) return false;
    if (group == 2) break;
    if (i == text.size() || (text[i] != '.' && text[i] != '/' && text[i] != '-')) return false;
    if (delimiter != 0 && text[i] != delimiter) return false;
    delimiter = text[i++];
  }
  // A time may follow; nothing else.
  for (; i < text.size(); ++i)
    if (!IsDigit(text[i]) && text[i] != ' ' && text[i] != ':' && text[i] != '.') return false;
  return true;
}

TRunReport::TRunReport() : sink_(WriteToStandardError) {}

void TRunReport::SettingsFrom(const std::vector<std::string>& files) {
  if (files.empty()) return;
  std::string line = std::string(kPrefix) + "settings read from ";
  for (const std::string& file : files)
    line += (&file == &files.front() ? "" : ", ") + ReportText(SystemTextToCp1251(file), 400);
  sink_(line);
}

void TRunReport::GoodsLine(const std::string* order, const TGoodsLineOutcome& outcome) {
  const bool sameGroup = orderOpen_ && (order != nullptr ? !withoutOrder_ && *order == order_
                                                         : withoutOrder_ && outcome.Text == orderFirstKept_.Text);
  if (!sameGroup) {
    FlushOrder();
    order_ = order != nullptr ? *order : std::string();
    withoutOrder_ = order == nullptr;
    orderOpen_ = true;
    orderLines_ = 0;
    orderKept_ = 0;
  }
  ++goodsLines_;
  ++orderLines_;
  if (outcome.Updated) {
    ++updated_;
    if (outcome.NoTime) ++noTime_;
    return;
  }
  if (outcome.Reason == TKeptReason::NoDate && !outcome.LaterLine.empty()) ++emptyFirstLine_;
  ++kept_[static_cast<size_t>(outcome.Reason)];
  if (orderKept_++ == 0) orderFirstKept_ = outcome;
  if (outcome.Reason == TKeptReason::NoDate && dateLikeAnswer_.empty() && LooksLikeDate(outcome.Text))
    dateLikeAnswer_ = outcome.Text;
}

void TRunReport::FlushOrder() {
  if (!orderOpen_) return;
  orderOpen_ = false;
  if (orderKept_ == 0) return;
  if (orderFirstKept_.Reason == TKeptReason::NotAsked && orderKept_ == orderLines_) {
    // Every order after the service went silent would say the same.
    if (!notAskedSaid_)
      sink_(std::string(kPrefix) + "every order from order " + ReportText(order_, 40) +
            " on kept its value, not asked: " + ReportText(orderFirstKept_.Text, 400));
    notAskedSaid_ = true;
    return;
  }
  if (orderKept_ == orderLines_ && orderFirstKept_.Reason == TKeptReason::RequestFailed)
    for (auto& [text, orders] : serviceWide_)
      if (text == orderFirstKept_.Text) {
        ++orders;
        return;
      }
  std::string line = std::string(kPrefix) + (withoutOrder_ ? std::string() : "order " + ReportText(order_, 40) + ": ");
  line += orderKept_ == orderLines_ ? GoodsLineCount(orderKept_)
                                    : std::to_string(orderKept_) + " of " + GoodsLineCount(orderLines_);
  line += " kept, ";
  line += WordsOf(orderFirstKept_.Reason).English;
  if (orderFirstKept_.Tries > 1) line += " after " + std::to_string(orderFirstKept_.Tries) + " tries";
  const std::string& text = orderFirstKept_.Text;
  switch (orderFirstKept_.Reason) {
  case TKeptReason::NoDate:
    if (!orderFirstKept_.LaterLine.empty())
      line += ": the first line of the answer is empty; the first line with text: \"" +
              ServiceReportText(orderFirstKept_.LaterLine) + "\"";
    else
      line += text.empty() ? std::string(": the answer was empty") : ": \"" + ServiceReportText(text) + "\"";
    break;
  case TKeptReason::RequestFailed: line += ": " + ServiceReportText(text, 400); break;
  default:
    if (!text.empty()) line += ": " + ReportText(text, 400);
    break;
  }
  sink_(line);
}

void TRunReport::ServiceWide(const std::string& text) {
  for (const auto& known : serviceWide_)
    if (known.first == text) return;
  serviceWide_.emplace_back(text, 0);
}

void TRunReport::ServiceMoved(const std::string& service) {
  for (auto& [known, orders] : moves_)
    if (known == service) {
      ++orders;
      return;
    }
  moves_.emplace_back(service, 1);
}

void TRunReport::FlushServiceNotes() {
  for (auto& [text, orders] : serviceWide_)
    if (orders > 0)
      sink_(std::string(kPrefix) + std::to_string(orders) + (orders == 1 ? " order" : " orders") +
            " kept every goods line, request failed: " + ServiceReportText(text, 400));
  for (const auto& [service, orders] : moves_)
    sink_(std::string(kPrefix) + "the order service has moved for good to " + ServiceReportText(service, 400) + " (" +
          std::to_string(orders) + (orders == 1 ? " order was" : " orders were") + " answered there); give --service " +
          ServiceReportText(service, 400) + " next time");
  serviceWide_.clear();
  moves_.clear();
}

void TRunReport::Finish(bool dryRun) {
  FlushOrder();
  FlushLocaleHint();
  FlushEmptyFirstLineHint();
  FlushRetryNotes();
  FlushServiceNotes();
  sink_(Summary(dryRun));
}

void TRunReport::Stopped(const std::string& message) {
  FlushOrder();
  FlushLocaleHint();
  FlushRetryNotes();
  FlushServiceNotes();
  sink_(std::string(kPrefix) + "stopped before the commit after " + GoodsLineCount(goodsLines_) +
        ", nothing saved: " + ReportText(message, kReportMessageLimit));
}

void TRunReport::Note(const std::string& utf8Text) { sink_(std::string(kPrefix) + utf8Text); }

void TRunReport::FlushLocaleHint() {
  // Answers written in another locale's date form fail one by one, each
  // with a line of its own that does not say why; the cause is said once.
  // Under a Russian locale the advice would be no help.
  if (dateLikeAnswer_.empty() || LocaleFormats.PrimaryLanguage == kLangRussian) return;
  const char* locale = std::setlocale(LC_TIME, nullptr);
  sink_(std::string(kPrefix) + "answers such as \"" + ServiceReportText(dateLikeAnswer_) +
        "\" look like dates but do not read as dates under the regional settings in force (" +
        (locale != nullptr ? ReportText(locale, 40) : std::string("?")) + "), which expect dates as " +
        ReportText(LocaleFormats.ShortDatePattern, 40) +
        "; to read them the Russian way, run under a Russian locale: LC_ALL=ru_RU.UTF-8 orderdates ...");
  dateLikeAnswer_.clear();
}

void TRunReport::FlushEmptyFirstLineHint() {
  // Said once, when it is what most of the answers without a date have in
  // common: then it is the script, not the orders.
  if (emptyFirstLine_ == 0 || emptyFirstLine_ * 2 <= Kept(TKeptReason::NoDate)) return;
  sink_(std::string(kPrefix) +
        "answers start with an empty line, the text on a later one: the order script most likely prints a line "
        "break before the date (a blank line before '<?php', or after '?>' in a file it includes); the date is "
        "read from the first line only");
  emptyFirstLine_ = 0;
}

void TRunReport::FlushRetryNotes() {
  if (answeredOnRetry_ > 0)
    sink_(std::string(kPrefix) + std::to_string(answeredOnRetry_) +
          (answeredOnRetry_ == 1 ? " order was" : " orders were") + " answered only on a retry");
  if (retriesGivenUp_)
    sink_(std::string(kPrefix) +
          "retries were given up: the run's budget (one retry per ten orders asked, plus ten) was spent");
  answeredOnRetry_ = 0;
  retriesGivenUp_ = false;
}

std::string TRunReport::Summary(bool dryRun) const {
  std::string line = std::string(kPrefix) + (dryRun ? "would update " : "updated ") + std::to_string(updated_) +
                     " of " + GoodsLineCount(goodsLines_);
  if (noTime_ > 0) line += " (" + std::to_string(noTime_) + " with a date without a time, written as 00:00:00)";
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
  // "из 1 строки", "из 21 строки", but "из 11 строк", "из 5 строк".
  const bool one = goodsLines_ % 10 == 1 && goodsLines_ % 100 != 11;
  std::string text = dryRun ? "Было бы обновлено " : "Обновлено ";
  text += std::to_string(updated_) + " из " + std::to_string(goodsLines_) +
          (one ? " строки товаров\n" : " строк товаров\n");
  text += "Не изменено: " + std::to_string(KeptLines()) + ", из них:\n";
  for (int reason = 0; reason < kKeptReasonCount; ++reason) {
    const std::int64_t count = kept_[static_cast<size_t>(reason)];
    if (count > 0)
      text +=
          std::string("  ") + kReasonWords[static_cast<size_t>(reason)].Russian + ": " + std::to_string(count) + "\n";
  }
  std::string where = Cp(listFile_.empty() ? "Подробности по каждому заказу выводятся в стандартный поток ошибок."
                                           : "Подробности по каждому заказу записаны в файл:\n");
  if (!listFile_.empty()) where += SystemTextToCp1251(listFile_);
  // Some orders got their dates: the next run need ask only for the rest.
  if (!dryRun && updated_ > 0)
    where += Cp("\nПовторный запуск с --only-missing обработает только строки товаров без даты.");
  return Cp(text) + where;
}

} // namespace od
