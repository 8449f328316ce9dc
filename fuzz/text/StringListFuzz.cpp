// Loads arbitrary bytes as lines and checks what every loaded list promises:
// no line holds CR, LF or NUL, and joining the lines back never yields more
// bytes than the input plus the added line breaks.
#include "base/MemoryStream.h"
#include "text/StringList.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  od::TMemoryStream stream;
  stream.Write(data, size);
  // The first byte picks where loading starts, so positions inside the data count too.
  stream.SetPosition(size > 0 ? data[0] % (size + 1) : 0);
  const size_t from = stream.Position();
  od::TStringList list;
  list.LoadFromStream(stream);
  size_t total = 0;
  for (const std::string& line : list) {
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) std::abort();
    total += line.size();
  }
  if (total > size - from) std::abort();
  if (stream.Position() != size) std::abort();
  return 0;
}
