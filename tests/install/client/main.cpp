// Creates the driver through the registry, as any client does, and prints what it says of
// itself and of the adapters it finds.

#include <cstdint>
#include <cstdio>

#include "com/CoCreate.h"
#include "com/ComPtr.h"
#include "com/ErrorInfo.h"
#include "tivlink/ITivDriver.h"
#include "tivlink/TelegramCodec.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        std::printf(
            "usage: %s\nCreates Tivlink.TivDriver through the registry ($TIV_REGISTRY) "
            "and prints its version and adapter count.\n",
            argv[0]);
        return 2;
    }
    com::Guid clsid;
    com::HRESULT hr = com::CLSIDFromProgID(tivlink::kTivDriverProgId, &clsid);
    com::ComPtr<tivlink::ITivDriver> driver;
    if (com::SUCCEEDED(hr))
        hr = com::CoCreateInstance(clsid, tivlink::ITivDriver::iid, driver.putVoid());
    if (com::FAILED(hr)) {
        std::fprintf(stderr, "cannot create Tivlink.TivDriver: %s\n", com::hresultText(hr).c_str());
        return 1;
    }
    std::int32_t version = 0;
    std::int32_t adapters = 0;
    if (com::FAILED(driver->get_Version(&version)) ||
        com::FAILED(driver->GetNumAdapters(&adapters))) {
        std::fprintf(stderr, "the driver failed a call\n");
        return 1;
    }
    // The codec comes with the client side; its CRC of the usual check string is 0x31C3.
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    std::printf("Tivlink.TivDriver version %d, %d adapter(s), codec %s\n",
                static_cast<int>(version), static_cast<int>(adapters),
                tivlink::Crc16(check) == 0x31C3 ? "ok" : "broken");
    return 0;
}
