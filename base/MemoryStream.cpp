#include "base/MemoryStream.h"

#include <algorithm>
#include <cstring>

namespace od {

size_t TMemoryStream::Read(void* buffer, size_t count) {
  if (position_ >= data_.size()) return 0;
  const size_t n = std::min(count, data_.size() - position_);
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, size_t count) {
  if (count == 0) return;
  if (position_ + count > data_.size()) data_.resize(position_ + count);
  std::memcpy(data_.data() + position_, buffer, count);
  position_ += count;
}

size_t TMemoryStream::Seek(std::int64_t offset, Origin origin) {
  std::int64_t base = 0;
  switch (origin) {
  case Origin::Beginning: base = 0; break;
  case Origin::Current: base = static_cast<std::int64_t>(position_); break;
  case Origin::End: base = static_cast<std::int64_t>(data_.size()); break;
  }
  const std::int64_t target = base + offset;
  position_ = target < 0 ? 0 : static_cast<size_t>(target);
  return position_;
}

void TMemoryStream::SetSize(size_t size) {
  data_.resize(size);
  position_ = std::min(position_, size);
}

void TMemoryStream::Clear() noexcept {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

std::string_view TMemoryStream::Remaining() const noexcept {
  if (position_ >= data_.size()) return {};
  return {reinterpret_cast<const char*>(data_.data()) + position_, data_.size() - position_};
}

std::string_view TMemoryStream::Bytes() const noexcept {
  return {reinterpret_cast<const char*>(data_.data()), data_.size()};
}

} // namespace od
