#include "net/ReadAhead.h"

#include <algorithm>
#include <ostream>

namespace od {

void TReadAhead::Assign(std::string text, size_t offset) {
  data_ = std::move(text);
  start_ = std::min(offset, data_.size());
  if (empty()) clear();
}

void TReadAhead::clear() noexcept {
  data_.clear();
  start_ = 0;
}

void TReadAhead::Consume(size_t count) {
  start_ += std::min(count, size());
  if (empty()) {
    clear();
  } else if (start_ > 65536 && start_ > data_.size() / 2) {
    // Give back the consumed front now and then, so the buffer stays near
    // the size of what it holds.
    data_.erase(0, start_);
    start_ = 0;
  }
}

std::string TReadAhead::TakeAll() {
  std::string bytes = start_ == 0 ? std::move(data_) : data_.substr(start_);
  clear();
  return bytes;
}

std::ostream& operator<<(std::ostream& out, const TReadAhead& bytes) { return out << bytes.View(); }

} // namespace od
