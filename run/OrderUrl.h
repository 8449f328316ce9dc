#pragma once

#include <string>

namespace od {

// The request URL of one order: the service's address (HOST[:PORT] for
// plain http, or a URL with its scheme and an optional path prefix), the
// order script's path and the order number as its query value.
std::string OrderUrl(const std::string& serviceHost, const std::string& order);

// The service value that names where an order URL was answered from:
// the URL up to the order script's path; empty when it holds none.
std::string ServiceOfOrderUrl(const std::string& url);

// An order number as it stands in the request's query: bytes that may not
// stand there (blanks, control bytes, bytes above 0x7F, '#', '%', '&', '+',
// ...) percent-encoded; an order number of digits goes out as it is.
std::string OrderQueryValue(const std::string& order);

} // namespace od
