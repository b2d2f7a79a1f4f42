#pragma once

// What a program that hosts COM objects of this system sets up before it creates any: the
// process's USB transport (the simulated adapter unless told otherwise) and the registry its
// objects are found in. Shared by tivctl and the frame.

#include <optional>
#include <string>
#include <string_view>

#include "com/Guid.h"
#include "com/HResult.h"

namespace host {

struct TransportOptions {
    std::optional<std::string> usb;       // --usb: sim, sim:FILE, socket:DIR, libusb
    std::optional<std::string> scenario;  // --scenario FILE, for the simulated adapter
};

// The transport the options ask for: --scenario FILE is "sim:FILE", else --usb, else
// `environment` ($TIV_USB) when set, else "sim". Nullopt with `error` set for a conflict.
std::optional<std::string> TransportName(const TransportOptions& options, const char* environment,
                                         std::string& error);

// Makes the transport the options (or $TIV_USB) ask for and installs it as the process's, so
// that modules loaded later use it. False with `error` set when the options conflict, the
// transport is unknown or it cannot be opened (a scenario file's message names the file).
bool InstallTransport(const TransportOptions& options, std::string& error);

// The registry to use: `registry`, else $TIV_REGISTRY, else the build tree's registry.reg
// beside or up to four folders above the running program, else the runtime's default.
void ChooseRegistry(const std::optional<std::string>& registry);

// The HRESULT's text and, when the thread has error info, its description; takes the info.
std::string ErrorText(com::HRESULT hr);

// Creates the object registered as `progId` and asks it for `iid`. False with `error` set
// (naming the registry and the remedy when the ProgID is not in it).
bool CreateByProgId(std::string_view progId, const com::Guid& iid, void** out, std::string& error);

}  // namespace host
