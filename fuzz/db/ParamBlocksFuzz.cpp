// Arbitrary name=value lines through both parameter-block builders. The first
// byte picks the builder (even: DPB, odd: TPB); the rest is split into lines
// at LF. Every input must end in a block or in one of the builders' own
// errors, and a block must keep the shape the client library relies on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/Ascii.h"
#include "db/FbErrors.h"
#include "db/ParamBlocks.h"
#include "text/DateTime.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool tpb = (data[0] & 1) != 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  od::TStringList lines;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find('\n', start);
    lines.Add(std::string(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start)));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  const int count = lines.Count();

  try {
    const std::string block = tpb ? od::BuildTPB(lines) : od::BuildDPB(lines);
    Require(block.size() <= (tpb ? od::kMaxTpbLength : od::kMaxDpbLength));
    if (tpb) {
      Require(count == 0 ? block.empty() : block[0] == 3);
    } else {
      Require(!block.empty() && block[0] == 1);
    }
    // Every line was trimmed in place.
    Require(lines.Count() == count);
    for (const std::string& line : lines) Require(od::TrimView(line).size() == line.size());
  } catch (const od::EFbClientError& error) {
    Require(!error.Message().empty());
  } catch (const od::EConvertError& error) {
    Require(error.Message().find("is not a valid integer value") != std::string::npos);
  }
  return 0;
}
