#pragma once

#include <cstdint>
#include <string>

#include "net/HttpText.h"

// Which redirects a GET follows: only those that name the same resource on
// another scheme, host or port. One that names another path or query is
// another resource (another order's answer, say) and is not followed; one
// from https to plain http would hand the answer to anyone on the way.
namespace od {

constexpr int kMaxRedirects = 5;

enum class TRedirectVerdict {
  Follow,        // the same path and query elsewhere
  OtherResource, // another path or query: the answer stands as it came
  Downgrade,     // from https to http: never followed
};

bool IsRedirectStatus(std::int32_t code) noexcept;
// True for a move for good (301, 308), after which the new place is where to ask.
bool IsPermanentRedirect(std::int32_t code) noexcept;

// The absolute URL a Location value names, read against the URL it came
// from (absolute, scheme-relative, absolute-path or relative); empty when
// it names no http or https URL.
std::string ResolveLocation(const TUrlParts& from, const std::string& location);

TRedirectVerdict JudgeRedirect(const TUrlParts& from, const TUrlParts& to);

// scheme://host:port of a URL, without its credentials.
std::string OriginText(const TUrlParts& url);
// The URL without its credentials, for messages.
std::string ShownUrl(const TUrlParts& url);

} // namespace od
