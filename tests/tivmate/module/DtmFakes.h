#pragma once

// Stand-ins for what a DTM meets: a recording driver registered in-process in place of
// Tivlink.TivDriver, a frame (container with IDtmEvents), and controls. Each records the
// calls it gets; the driver answers from a script the test sets before the DTM creates it.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ScopedAppDir.h"
#include "com/ClassFactory.h"
#include "com/CoCreate.h"
#include "com/ConnectionPoint.h"
#include "com/Registry.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"
#include "tivlink/ITivDriver.h"

namespace dtmtest {

// What the fake driver answers.
struct DriverScript {
    std::int32_t version = 0x0105;
    std::int32_t numAdapters = 1;
    std::int32_t selectResult = 0;
    std::vector<std::uint8_t> versionRecord = {'V', '2', '.', '2', '1', ' ', 0, 0, 0, 0};
    std::int32_t connectResult = 64;
    std::int32_t loadResult = 0;
    bool present = true;
    bool connected = true;
    bool firmwareLoaded = true;
    std::int32_t setTokenResult = 0;
    std::int32_t initBufferResult = 0;
};

class FakeDriver;

// The script, the calls made and whether the last driver made is gone.
struct DriverWorld {
    DriverScript script;
    std::vector<std::string> calls;
    FakeDriver* live = nullptr;  // not owned
    int made = 0;
    int destroyed = 0;
};
DriverWorld& World();

#define DTMTEST_P(dir, type, name) [[maybe_unused]] TIV_COM_CT(dir, type) name
#define DTMTEST_MEMBER(dispId, kind, name, params)               \
    com::HRESULT TIV_COM_NAME(kind, name)                        \
    params override {                                            \
        World().calls.push_back(TIV_COM_NAME_STR_##kind(#name)); \
        return com::S_OK;                                        \
    }
#define TIV_COM_NAME_STR_method(n) std::string(n)
#define TIV_COM_NAME_STR_propget(n) "get_" + std::string(n)
#define TIV_COM_NAME_STR_propput(n) "put_" + std::string(n)
#define TIV_COM_NAME_STR_propputref(n) "putref_" + std::string(n)

// Every member records its name and succeeds without touching its results.
class RecordingDriverBase : public tivlink::ITivDriver {
public:
#define TIV_P DTMTEST_P
#define TIV_MEMBER DTMTEST_MEMBER
#include "tivlink/ITivDriverMembers.def"

    com::HRESULT GetTypeInfoCount(std::uint32_t* count) override {
        *count = 0;
        return com::S_OK;
    }
    com::HRESULT GetTypeInfo(std::uint32_t, com::LCID, const com::InterfaceDesc**) override {
        return com::E_NOTIMPL;
    }
    com::HRESULT GetIDsOfNames(std::span<const std::string_view>, com::LCID,
                               com::DISPID*) override {
        return com::E_NOTIMPL;
    }
    com::HRESULT Invoke(com::DISPID, std::uint16_t, const com::DispParams&, com::Variant*,
                        com::ExcepInfo*, std::uint32_t*) override {
        return com::E_NOTIMPL;
    }
};

class FakeDriver final
    : public com::ComObject<FakeDriver, RecordingDriverBase, com::IConnectionPointContainer> {
public:
    FakeDriver();
    ~FakeDriver() override;

    // Raises an event on the advised sinks, as the driver's window would.
    void Fire(tivlink::TivDriverEvent event) { events_.invoke(static_cast<com::DISPID>(event)); }
    std::size_t SinkCount() const { return events_.count(); }

    com::HRESULT EnumConnectionPoints(
        std::vector<com::ComPtr<com::IConnectionPoint>>* points) override;
    com::HRESULT FindConnectionPoint(const com::Guid& iid, com::IConnectionPoint** point) override;

    com::HRESULT get_Version(std::int32_t* v) override;
    com::HRESULT GetNumAdapters(std::int32_t* n) override;
    com::HRESULT SelectAdapter(std::int32_t number, std::int32_t mode, com::Variant* verStr,
                               std::int32_t* result) override;
    com::HRESULT ConnectAdapter(std::int32_t mode, std::int32_t* result) override;
    com::HRESULT IsAdapterPresent(com::VARIANT_BOOL* present) override;
    com::HRESULT get_IsTivConnected(com::VARIANT_BOOL* connected) override;
    com::HRESULT IsFirmwareLoaded(com::Variant* softVer, com::VARIANT_BOOL* loaded) override;
    com::HRESULT get_LoadResult(std::int32_t* v) override;
    com::HRESULT SetToken(std::int32_t adapterToken, std::int32_t nextToken,
                          std::int32_t* result) override;
    com::HRESULT InitBuffer(std::int32_t* result) override;
    com::HRESULT GetCheckMode(com::VARIANT_BOOL* on) override;

private:
    com::ConnectionPoint events_;
};

// Registers FakeDriver in place of the real driver for the test's life, with a fresh world.
class ScopedFakeDriver {
public:
    ScopedFakeDriver();
    ~ScopedFakeDriver();

private:
    std::uint32_t cookie_ = 0;
};

// A frame: IFdtContainer and IDtmEvents, recording "Name(arg, …)".
class FakeFrame final
    : public com::ComObject<FakeFrame, fdt::DualImpl<FakeFrame, fdt::IFdtContainer>,
                            fdt::DualImpl<FakeFrame, fdt::IDtmEvents>> {
public:
    explicit FakeFrame(std::string schemaPath = {}) : schemaPath_(std::move(schemaPath)) {}
    std::vector<std::string> calls;

    com::HRESULT GetXmlSchemaPath(std::string* path) override {
        *path = schemaPath_;
        return com::S_OK;
    }
#define FDT_FAKE_X(itf, id, kind, name, params) \
    com::HRESULT TIV_COM_NAME(kind, name)       \
    params override {                           \
        calls.push_back(#name);                 \
        return com::S_OK;                       \
    }
#define FDT_FAKE_P(dir, type, name) [[maybe_unused]] TIV_COM_CT(dir, type) name
    FDT_MEMBERS_IDtmEvents(FDT_FAKE_X, FDT_FAKE_P)

        private : std::string schemaPath_;
};

// A control of every kind, recording what the DTM tells it.
class FakeControl final
    : public com::ComObject<FakeControl, fdt::DualImpl<FakeControl, fdt::IActiveXGUI>,
                            fdt::DualImpl<FakeControl, fdt::IMonitorView>,
                            fdt::DualImpl<FakeControl, fdt::IDiagnosisView>,
                            fdt::DualImpl<FakeControl, fdt::IControlCaptions>> {
public:
    struct Child {
        std::string name;
        com::Variant index;
        std::string caption;
        bool nameFails = false;
    };
    std::vector<std::string> calls;
    std::vector<Child> children;

    com::HRESULT UpdateLanguage() override {
        calls.push_back("UpdateLanguage");
        return com::S_OK;
    }
    com::HRESULT MessageLine(const std::string& line, std::int32_t color) override {
        calls.push_back("MessageLine(" + line + "," + std::to_string(color) + ")");
        return com::S_OK;
    }
    com::HRESULT SetDiagnosisStatus(std::int32_t status, const std::string& text,
                                    const std::string& info, std::int32_t, std::int32_t,
                                    std::int32_t, std::int32_t) override {
        calls.push_back("SetDiagnosisStatus(" + std::to_string(status) + "," + text + "," + info +
                        ")");
        return com::S_OK;
    }
    com::HRESULT put_MaxStackSize(const com::Variant& v) override {
        calls.push_back("MaxStackSize(" + v.converted(com::VT_BSTR).bstr() + ")");
        return com::S_OK;
    }
    com::HRESULT put_CommStackVal(const com::Variant& v) override {
        calls.push_back("CommStackVal(" + v.converted(com::VT_BSTR).bstr() + ")");
        return com::S_OK;
    }
    com::HRESULT put_ProgBarVal(const com::Variant& v) override {
        calls.push_back("ProgBarVal(" + v.converted(com::VT_BSTR).bstr() + ")");
        return com::S_OK;
    }
    com::HRESULT get_Count(std::int32_t* count) override {
        *count = static_cast<std::int32_t>(children.size());
        return com::S_OK;
    }
    com::HRESULT Name(std::int32_t i, std::string* name) override {
        if (children.at(i).nameFails) return com::E_FAIL;
        *name = children.at(i).name;
        return com::S_OK;
    }
    com::HRESULT Index(std::int32_t i, com::Variant* index) override {
        *index = children.at(i).index;
        return com::S_OK;
    }
    com::HRESULT SetCaption(std::int32_t i, const std::string& caption) override {
        children.at(i).caption = caption;
        return com::S_OK;
    }
};

// An application directory with the shipped data files and a DTM.ini of the test's own
// (the shipped one when empty).
class DtmAppDir : public tivmatetest::ScopedAppDir {
public:
    explicit DtmAppDir(const std::string& ini = {});
    static std::string ShippedIni();
};

}  // namespace dtmtest
