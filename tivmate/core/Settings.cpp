#include "core/Settings.h"

#include "os/Profile.h"

namespace tivmate {

std::string ReadIniStringInto(const std::filesystem::path& file, std::string_view section,
                              std::string_view key, std::size_t size) {
    if (size == 0) return {};
    std::string value = os::Profile(file).readString(section, key, "");
    if (value.size() > size - 1) value.resize(size - 1);
    return value;
}

std::string ReadIniString(const std::filesystem::path& file, std::string_view section,
                          std::string_view key) {
    std::size_t size = 256;
    std::string value = ReadIniStringInto(file, section, key, size);
    while (value.size() == size - 1 || value.size() == size - 2) {
        size *= 2;
        value = ReadIniStringInto(file, section, key, size);
    }
    return value;
}

}  // namespace tivmate
