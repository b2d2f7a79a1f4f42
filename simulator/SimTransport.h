#pragma once

#include <memory>

#include "Simulator.h"
#include "usb/Transport.h"

namespace sim {

// The in-process transport over a simulator.
std::shared_ptr<usbio::Transport> makeSimTransport(std::shared_ptr<Simulator> simulator);

// Registers the "sim" backend with the USB transport factory: "sim" runs the built-in
// demo scenario, "sim:FILE" the scenario in FILE ($TIV_SCENARIO also names a file for
// plain "sim"). Safe to call more than once.
void registerTransportBackend();

// The simulator behind the process transport when that is an in-process simulator made by
// the factory, else nullptr; lets tools and tests switch its faults.
std::shared_ptr<Simulator> processSimulator();

}  // namespace sim
