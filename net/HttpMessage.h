#pragma once

#include <cstdint>
#include <string>

#include "base/MemoryStream.h"
#include "net/HttpRoute.h"
#include "net/HttpText.h"
#include "text/StringList.h"

// The two halves of an exchange, kept apart: the request as the client
// sends it and the response as it reads it, so that a request can outlive
// the answer it got (to be sent again elsewhere) without the answer's lines
// and body overwriting it.
namespace od {

enum class THttpBodyFraming { UntilClose, ByLength, Chunked };

struct THttpRequest {
  // As the caller gave it: only the request line upper-cases it.
  std::string Method;
  TUrlParts Url;
  THttpRoute Route;
  bool Expect100 = false;
  // The request line and the header lines, the caller's own last, ending
  // with the empty line.
  TStringList Head;
  // What goes out in front of the body.
  std::string HeadBlock;
  // Not owned: the caller's body, sent as it stands; null or empty for none.
  const TMemoryStream* Body = nullptr;

  std::int64_t BodySize() const noexcept { return Body == nullptr ? 0 : static_cast<std::int64_t>(Body->Size()); }
};

struct THttpResponse {
  // The status line, then each header line unfolded.
  TStringList Headers;
  TMemoryStream Document;
  // Until a status line says otherwise: an answer that breaks off before it
  // reports a server failure.
  std::int32_t ResultCode = 500;
  std::string ResultString;
  // The last status line as it came; empty when none came.
  std::string StatusLine;
  std::string MimeType = "text/html";
  THttpBodyFraming BodyFraming = THttpBodyFraming::UntilClose;
  // What the head says about the body and the connection.
  std::int32_t ContentLength = -1;
  bool CloseAfter = false;
};

// The status code and reason of a status line such as "HTTP/1.1 404 Not
// Found"; code 0 when there is no number.
void ParseStatusLine(const std::string& line, std::int32_t& code, std::string& reason);

} // namespace od
