#pragma once

#include <cstdint>
#include <string>

#include "com/Variant.h"

namespace tivmate {

// The communicator's connection state (ccsOffline … ccsDisconnecting).
enum CommunicatorCommState : std::int32_t {
    ccsOffline = 0,
    ccsValidConnected = 1,
    ccsConnecting = 2,
    ccsConnected = 3,
    ccsTransaction = 4,
    ccsDisconnecting = 5,
};

// What the DTM's lifecycle needs of the communicator: its connection state and the adapter's
// firmware version text. The call queue and cyclic recording build on it.
class clsCommunicator {
public:
    CommunicatorCommState ComState = ccsOffline;

    // True while a device DTM holds a connection.
    bool CommunicationIsActive() const { return ComState != ccsOffline; }

    const com::Variant& AdapterSWNumber() const { return m_AdapterSWNumber; }
    // A byte array (the adapter's version record) is stored as its text; anything else as given.
    void SetAdapterSWNumber(const com::Variant& value);

private:
    com::Variant m_AdapterSWNumber;
};

}  // namespace tivmate
