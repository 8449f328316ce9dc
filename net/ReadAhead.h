#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace od {

// Bytes received from the system but not yet handed out. Reads take them
// from the front by moving a start offset, so that many small reads out of
// one large packet cost what they take, not what is left behind them.
class TReadAhead {
public:
  bool empty() const noexcept { return start_ == data_.size(); }
  size_t size() const noexcept { return data_.size() - start_; }
  std::string_view View() const noexcept { return std::string_view(data_).substr(start_); }
  operator std::string_view() const noexcept { return View(); }
  std::string str() const { return std::string(View()); }

  TReadAhead& operator=(std::string bytes) {
    Assign(std::move(bytes));
    return *this;
  }
  // Holds the bytes of text from offset on.
  void Assign(std::string text, size_t offset = 0);
  void clear() noexcept;
  // Drops count bytes from the front.
  void Consume(size_t count);
  // Hands out every byte held and leaves the buffer empty.
  std::string TakeAll();

  friend bool operator==(const TReadAhead& a, std::string_view b) noexcept { return a.View() == b; }

private:
  std::string data_;
  size_t start_ = 0;
};

std::ostream& operator<<(std::ostream& out, const TReadAhead& bytes);

} // namespace od
