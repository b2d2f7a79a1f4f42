// libtivmate.so as a frame meets it: created by ProgID from the build's registry with the real
// driver on the simulated adapter, brought up, and destroyed with its driver when released.

#include <dlfcn.h>

#include <cstring>

#include <gtest/gtest.h>

#include "DtmFakes.h"
#include "com/CoCreate.h"
#include "com/ErrorInfo.h"
#include "com/Registry.h"
#include "com/ServerModule.h"
#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "tivmate/DTMMain.h"

namespace {

using com::ComPtr;

com::HRESULT CanUnloadNow(const char* module) {
    void* handle = ::dlopen(module, RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return com::E_FAIL;
    void* symbol = ::dlsym(handle, "DllCanUnloadNow");
    com::server::DllCanUnloadNowFn fn = nullptr;
    std::memcpy(&fn, &symbol, sizeof fn);
    const com::HRESULT hr = fn ? fn() : com::E_FAIL;
    ::dlclose(handle);
    return hr;
}

class DtmModule : public ::testing::Test {
protected:
    DtmModule() {
        com::Registry::setPath(std::filesystem::path(std::getenv("TIV_TEST_BINARY_DIR")) /
                               "registry.reg");
        os::setClock(std::make_shared<os::ScaledClock>(10));
    }
    ~DtmModule() override {
        os::setClock(nullptr);
        com::Registry::setPath({});
        com::clearErrorInfo();
    }

    ComPtr<tivmate::_DTMMain> Create() {
        com::Guid clsid;
        EXPECT_EQ(com::CLSIDFromProgID("Tivmate.DTMMain", &clsid), com::S_OK);
        com::HRESULT hr = com::S_OK;
        auto dtm = com::createInstance<tivmate::_DTMMain>(clsid, &hr);
        EXPECT_EQ(hr, com::S_OK);
        return dtm;
    }
};

TEST_F(DtmModule, ReleasedDtmsAreDestroyedWithTheirDriversOnceUp) {
    for (bool prepared : {true, false}) {
        {
            auto frame = dtmtest::FakeFrame::create();
            auto dtm = Create();
            ASSERT_TRUE(dtm);
            ComPtr<fdt::IDtm> idtm;
            ASSERT_EQ(dtm->QueryInterface(fdt::IDtm::iid, idtm.putVoid()), com::S_OK);
            com::VARIANT_BOOL ok = com::VARIANT_FALSE;
            ASSERT_EQ(idtm->Environment("Tiv1", static_cast<fdt::IFdtContainer*>(frame.get()), &ok),
                      com::S_OK);
            ASSERT_TRUE(ok);
            auto ready = [&] {
                com::Variant fw, bus;
                dtm->get_TIVAdapterFirmwareLoaded(&fw);
                dtm->get_TIVBusConnected(&bus);
                return fw.toInt64().value_or(0) && bus.toInt64().value_or(0);
            };
            EXPECT_TRUE(os::MessageQueue::current().runUntil(ready, std::chrono::seconds(60),
                                                             std::chrono::milliseconds(20)));
            if (prepared) {
                EXPECT_EQ(idtm->PrepareToRelease(&ok), com::S_OK);
                EXPECT_TRUE(ok);
            }
        }
        os::MessageQueue::current().processMessages();
        EXPECT_EQ(CanUnloadNow(TIVMATE_MODULE_PATH), com::S_OK) << "prepared=" << prepared;
        EXPECT_EQ(CanUnloadNow(TIVLINK_MODULE_PATH), com::S_OK) << "prepared=" << prepared;
    }
}

}  // namespace
