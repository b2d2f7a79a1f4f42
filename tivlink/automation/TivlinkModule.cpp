// The exports of libtivlink.so: the class factory of TivDriver and its registration.

#include <mutex>

#include "com/ServerModule.h"
#include "simulator/SimTransport.h"
#include "tivlink/ITivDriver.h"
#include "tivlink/automation/QtDebugWindowInstall.h"
#include "tivlink/automation/TTivDriver.h"
#include "tivlink/automation/TivlinkTypeLib.h"

namespace {

com::HRESULT CreateTivDriver(const com::Guid& iid, void** out) {
    // Without a configured transport the driver runs on the embedded simulated adapter. In a
    // Qt host that installed the message pump the debug window of an object made on its
    // thread is a Qt window.
    static std::once_flag setUp;
    try {
        std::call_once(setUp, [] {
            sim::registerTransportBackend();
            tivlink::InstallQtDebugWindow();
        });
    } catch (...) {
        return com::E_UNEXPECTED;
    }
    return tivlink::TTivDriver::createInstance(iid, out);
}

const com::ClassEntry kClasses[] = {{
    tivlink::CLSID_TivDriver,
    tivlink::kTivDriverProgId,
    "TivDriver Objekt",
    "Apartment",
    &CreateTivDriver,
    &tivlink::TivlinkTypeLib(),
    "1.0",
}};

}  // namespace

TIV_COM_SERVER_EXPORTS(kClasses)
