#pragma once

#include "run/RunSettings.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace od {

struct TStartup;

// One option of the program: its name, the form of its value, its help and
// where its value goes. Reading the command line, judging the values and
// --help all read the one table, so a new option is one row of it.
struct TOption {
  // Without the leading "--".
  std::string_view Name;
  // The value's form in the help ("CONNECTION"); empty for a switch.
  std::string_view ValueForm;
  // The help's lines, joined by '\n'. "%s" stands for the built-in value.
  std::string_view Help;
  // The built-in value the help names; null when it names none.
  std::string (*BuiltIn)(const TRunSettings& builtIn) = nullptr;
  // Judges the value (empty for a switch) and puts it where it goes; the
  // refusal's words when it cannot be taken.
  std::optional<std::string> (*Take)(TStartup& startup, const std::string& value) = nullptr;

  bool TakesValue() const noexcept { return !ValueForm.empty(); }
};

// Every option, in the order the help lists them and their values are
// judged.
std::span<const TOption> Options();

// The option named `name` ("--database"); null when there is none.
const TOption* FindOption(std::string_view name);

// The options' part of the help, one row each, aligned in two columns.
std::string OptionsHelp(const TRunSettings& builtIn);

// HOST[:PORT], the host a name, an IPv4 address or a bracketed IPv6
// address, as --service takes it.
bool ValidServiceHost(std::string_view value);

// A credential that a connection's parameter line can carry as it is: the
// line is trimmed and ends at a line break, so a credential with such bytes
// would silently become another one.
bool ValidCredential(std::string_view value);

} // namespace od
