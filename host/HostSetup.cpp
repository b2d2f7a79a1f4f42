#include "host/HostSetup.h"

#include <cstdlib>
#include <filesystem>

#include "com/CoCreate.h"
#include "com/ErrorInfo.h"
#include "com/Registry.h"
#include "simulator/SimTransport.h"
#include "usb/Transport.h"

namespace host {

namespace {

// The build registers modules into <build>/registry.reg, and programs live in folders below.
std::filesystem::path BuildRegistry() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    auto dir = exe.parent_path();
    for (int up = 0; up < 4 && !dir.empty(); ++up, dir = dir.parent_path()) {
        const auto candidate = dir / "registry.reg";
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
        if (dir == dir.root_path()) break;
    }
    return {};
}

}  // namespace

std::optional<std::string> TransportName(const TransportOptions& options, const char* environment,
                                         std::string& error) {
    if (options.scenario) {
        if (options.usb && *options.usb != "sim") {
            error =
                "--scenario works only with the simulated adapter (--usb sim), not with --usb " +
                *options.usb;
            return std::nullopt;
        }
        if (options.scenario->empty()) {
            error = "--scenario needs a file name";
            return std::nullopt;
        }
        return "sim:" + *options.scenario;
    }
    if (options.usb) {
        if (options.usb->empty()) {
            error = "--usb needs a transport (sim, sim:FILE, socket:DIR or libusb)";
            return std::nullopt;
        }
        return *options.usb;
    }
    if (environment && *environment) return std::string(environment);
    return std::string("sim");
}

bool InstallTransport(const TransportOptions& options, std::string& error) {
    const auto name = TransportName(options, std::getenv("TIV_USB"), error);
    if (!name) return false;
    sim::registerTransportBackend();
    auto transport = usbio::makeTransport(*name, error);
    if (!transport) {
        // The scenario's message already names its file.
        if (!options.scenario) error = *name + ": " + error;
        return false;
    }
    usbio::installProcessTransport(std::move(transport));
    return true;
}

void ChooseRegistry(const std::optional<std::string>& registry) {
    if (registry) {
        com::Registry::setPath(*registry);
        return;
    }
    if (const char* env = std::getenv("TIV_REGISTRY"); env && *env) return;
    if (const auto build = BuildRegistry(); !build.empty()) com::Registry::setPath(build);
}

std::string ErrorText(com::HRESULT hr) {
    std::string text = com::hresultText(hr);
    if (auto info = com::takeErrorInfo(); info && !info->description.empty())
        text += ": " + info->description;
    return text;
}

bool CreateByProgId(std::string_view progId, const com::Guid& iid, void** out, std::string& error) {
    com::Guid clsid;
    com::HRESULT hr = com::CLSIDFromProgID(progId, &clsid);
    if (com::FAILED(hr)) {
        error = std::string(progId) + " is not registered in " + com::Registry::path().string() +
                ": " + ErrorText(hr) + "; register its module with tivregsvr first";
        return false;
    }
    hr = com::CoCreateInstance(clsid, iid, out);
    if (com::FAILED(hr)) {
        error = "cannot create " + std::string(progId) + ": " + ErrorText(hr) +
                "; register its module with tivregsvr first";
        return false;
    }
    return true;
}

}  // namespace host
