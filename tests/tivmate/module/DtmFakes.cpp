#include "DtmFakes.h"

namespace dtmtest {

namespace fs = std::filesystem;

DriverWorld& World() {
    static DriverWorld world;
    return world;
}

FakeDriver::FakeDriver() : events_(*this, tivlink::DIID_ITivDriverEvents) {
    World().live = this;
    ++World().made;
}

FakeDriver::~FakeDriver() {
    if (World().live == this) World().live = nullptr;
    ++World().destroyed;
}

com::HRESULT FakeDriver::EnumConnectionPoints(
    std::vector<com::ComPtr<com::IConnectionPoint>>* points) {
    com::ConnectionPoint* all[] = {&events_};
    return com::enumConnectionPoints(all, points);
}

com::HRESULT FakeDriver::FindConnectionPoint(const com::Guid& iid, com::IConnectionPoint** point) {
    com::ConnectionPoint* all[] = {&events_};
    return com::findConnectionPoint(all, iid, point);
}

com::HRESULT FakeDriver::get_Version(std::int32_t* v) {
    World().calls.push_back("get_Version");
    *v = World().script.version;
    return com::S_OK;
}

com::HRESULT FakeDriver::GetNumAdapters(std::int32_t* n) {
    World().calls.push_back("GetNumAdapters");
    *n = World().script.numAdapters;
    return com::S_OK;
}

com::HRESULT FakeDriver::SelectAdapter(std::int32_t number, std::int32_t mode, com::Variant* verStr,
                                       std::int32_t* result) {
    World().calls.push_back("SelectAdapter(" + std::to_string(number) + "," + std::to_string(mode) +
                            ")");
    *verStr = com::Variant::fromBytes(World().script.versionRecord);
    *result = World().script.selectResult;
    return com::S_OK;
}

com::HRESULT FakeDriver::ConnectAdapter(std::int32_t mode, std::int32_t* result) {
    World().calls.push_back("ConnectAdapter(" + std::to_string(mode) + ")");
    *result = World().script.connectResult;
    return com::S_OK;
}

com::HRESULT FakeDriver::IsAdapterPresent(com::VARIANT_BOOL* present) {
    World().calls.push_back("IsAdapterPresent");
    *present = World().script.present ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    return com::S_OK;
}

com::HRESULT FakeDriver::get_IsTivConnected(com::VARIANT_BOOL* connected) {
    World().calls.push_back("get_IsTivConnected");
    *connected = World().script.connected ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    return com::S_OK;
}

com::HRESULT FakeDriver::IsFirmwareLoaded(com::Variant* softVer, com::VARIANT_BOOL* loaded) {
    World().calls.push_back("IsFirmwareLoaded");
    *softVer = com::Variant::fromBytes(World().script.versionRecord);
    *loaded = World().script.firmwareLoaded ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    return com::S_OK;
}

com::HRESULT FakeDriver::get_LoadResult(std::int32_t* v) {
    World().calls.push_back("get_LoadResult");
    *v = World().script.loadResult;
    return com::S_OK;
}

com::HRESULT FakeDriver::SetToken(std::int32_t adapterToken, std::int32_t nextToken,
                                  std::int32_t* result) {
    World().calls.push_back("SetToken(" + std::to_string(adapterToken) + "," +
                            std::to_string(nextToken) + ")");
    *result = World().script.setTokenResult;
    return com::S_OK;
}

com::HRESULT FakeDriver::InitBuffer(std::int32_t* result) {
    World().calls.push_back("InitBuffer");
    *result = World().script.initBufferResult;
    return com::S_OK;
}

com::HRESULT FakeDriver::GetCheckMode(com::VARIANT_BOOL* on) {
    World().calls.push_back("GetCheckMode");
    *on = com::VARIANT_TRUE;
    return com::S_OK;
}

ScopedFakeDriver::ScopedFakeDriver() {
    World() = DriverWorld{};
    auto factory = com::ClassFactory::create(com::createFunction<FakeDriver>);
    com::CoRegisterClassObject(tivlink::CLSID_TivDriver, factory->identity(), &cookie_);
}

ScopedFakeDriver::~ScopedFakeDriver() {
    com::CoRevokeClassObject(cookie_);
}

std::string DtmAppDir::ShippedIni() {
    return tivmatetest::readFile(fs::path(TIVMATE_DATA_DIR) / "Resources" / "DTM.ini");
}

DtmAppDir::DtmAppDir(const std::string& ini) : ScopedAppDir(ini.empty() ? ShippedIni() : ini) {
    for (const char* dir : {"XMLData", "XMLSchemas"})
        fs::copy(fs::path(TIVMATE_DATA_DIR) / dir, path() / dir, fs::copy_options::recursive);
}

}  // namespace dtmtest
