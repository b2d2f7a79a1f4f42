#pragma once

// Points the DTM at a fresh application directory (TIVMATE_APPDIR) with a Resources/DTM.ini of
// the test's own, and forgets the kept trace mode on both ends.

#include <stdlib.h>

#include <fstream>
#include <optional>
#include <string>

#include "core/Trace.h"
#include "support/TempDir.h"

namespace tivmatetest {

class ScopedAppDir {
public:
    explicit ScopedAppDir(const std::string& ini = {}) {
        if (const char* old = ::getenv("TIVMATE_APPDIR")) previous_ = old;
        ::setenv("TIVMATE_APPDIR", dir_.path().c_str(), 1);
        std::filesystem::create_directories(dir_ / "Resources");
        if (!ini.empty()) writeIni(ini);
        tivmate::ResetTraceMode();
    }
    ~ScopedAppDir() {
        if (previous_)
            ::setenv("TIVMATE_APPDIR", previous_->c_str(), 1);
        else
            ::unsetenv("TIVMATE_APPDIR");
        tivmate::ResetTraceMode();
    }
    ScopedAppDir(const ScopedAppDir&) = delete;
    ScopedAppDir& operator=(const ScopedAppDir&) = delete;

    void writeIni(const std::string& text) const {
        std::ofstream(dir_ / "Resources" / "DTM.ini", std::ios::binary) << text;
    }
    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }

private:
    testsupport::TempDir dir_{"tivmate-app"};
    std::optional<std::string> previous_;
};

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace tivmatetest
