#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace tivmate {

// The settings reader of DTM.ini: private-profile rules (os::Profile), read afresh at each call.
// A missing file or key gives "". The value comes through a buffer of 256 characters that is
// doubled while a read may have been cut (length = size - 1 or size - 2), so long values come
// whole.
std::string ReadIniString(const std::filesystem::path& file, std::string_view section,
                          std::string_view key);

// What one read through a buffer of `size` characters returns: at most size - 1 of them.
std::string ReadIniStringInto(const std::filesystem::path& file, std::string_view section,
                              std::string_view key, std::size_t size);

}  // namespace tivmate
