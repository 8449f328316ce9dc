#pragma once

#include <optional>
#include <string>

#include "app/CommandLine.h"

// The options and variables that say how the order service is reached:
// its URL, the certificates trusted for it, the proxies.
namespace od {

// --service as a URL, http[s]://[USER:PASSWORD@]HOST[:PORT][/PREFIX]; the
// refusal's words when it is not one (the password never in them).
std::optional<std::string> TakeServiceUrl(TStartup& startup, const std::string& value);
std::optional<std::string> TakeCaFile(TStartup& startup, const std::string& value);
std::optional<std::string> TakeProxy(TStartup& startup, const std::string& value);
std::optional<std::string> TakeNoProxy(TStartup& startup, const std::string& value);

// The proxy variables of the environment, where --proxy and --noproxy do
// not say otherwise.
std::optional<std::string> TakeProxyEnvironment(TStartup& startup, const TEnvironment& environment);

// The value with a user and password in it shown as "***".
std::string WithoutCredentials(const std::string& value);

} // namespace od
