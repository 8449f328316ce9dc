#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace od {

// A growable in-memory byte buffer with a read/write position and a size.
class TMemoryStream {
public:
  enum class Origin { Beginning, Current, End };

  // Copies up to `count` bytes from the position on into `buffer` and moves
  // the position past them; returns how many bytes were copied.
  size_t Read(void* buffer, size_t count);
  // Writes at the position, growing the size when the write passes the end.
  void Write(const void* buffer, size_t count);
  void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }

  // Moves the position; a target before the start is clamped to the start,
  // a target past the end is allowed (a later write fills the gap with zeros).
  size_t Seek(std::int64_t offset, Origin origin);

  size_t Position() const noexcept { return position_; }
  void SetPosition(size_t position) noexcept { position_ = position; }
  size_t Size() const noexcept { return data_.size(); }
  // Truncates or extends (with zeros); the position is clamped to the new size.
  void SetSize(size_t size);
  void Clear() noexcept;

  const std::uint8_t* Memory() const noexcept { return data_.data(); }
  // The bytes from the position to the end, without moving the position.
  std::string_view Remaining() const noexcept;
  // Every byte of the stream.
  std::string_view Bytes() const noexcept;

private:
  std::vector<std::uint8_t> data_;
  size_t position_ = 0;
};

} // namespace od
