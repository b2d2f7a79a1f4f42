#pragma once

// The small conversions the DTM core makes between numbers, booleans and text, locale-free.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tivmate {

// DllVersionNumber from the driver's Version: high and low byte each as two upper-case hex
// digits, the high pair as a number without leading zeros, ".", the low pair as a number of at
// least two digits; a pair that is not two decimal digits stays as it is (0x0A0B → "0A.0B").
// nullopt for a Version outside 0..65535, which does not fit the two bytes.
std::optional<std::string> DllVersionText(std::int64_t version);

// A 16-bit integer from its text: decimal with an optional sign or "&H" hex, blanks around
// allowed; nullopt for anything else (floating text included) or a value out of range.
std::optional<std::int16_t> ParseInt16(std::string_view text);
// A boolean from its text: "True"/"False" in any case, or a whole number (non-zero is true).
std::optional<bool> ParseBoolText(std::string_view text);

// ASCII letters compared without case, as the described code's UCase comparisons do.
bool EqualsNoCase(std::string_view a, std::string_view b);

// A monitor line: the function name padded with blanks or cut to 50 characters, "- ", the message.
std::string MonitorLine(std::string_view FunctionName, std::string_view Message);

// The adapter's version record as text: the bytes from the first to the fourth-last, decoded
// from the ANSI code page, with control bytes left out.
std::string VersionRecordText(const std::vector<std::uint8_t>& record);

}  // namespace tivmate
