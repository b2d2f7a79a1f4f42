#pragma once

// A small automation class used by the tests both in-process and from the test server module:
// a dual interface over a dispatch table, an event interface, error info and a type library.

#include <atomic>
#include <cstdint>
#include <string>

#include "com/ComObject.h"
#include "com/ConnectionPoint.h"
#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"
#include "com/TypeInfo.h"

namespace comtest {

using com::HRESULT;

inline constexpr com::Guid IID_ITestCalc = com::makeGuid("{6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F10}");
inline constexpr com::Guid DIID_ITestCalcEvents =
    com::makeGuid("{6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F11}");
inline constexpr com::Guid CLSID_TestCalc = com::makeGuid("{6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F12}");
inline constexpr com::Guid LIBID_TestCalcLib =
    com::makeGuid("{6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F13}");
inline constexpr const char* kProgId = "TivTest.Calc";
inline constexpr com::Guid CLSID_TestRefusing =
    com::makeGuid("{6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F14}");
inline constexpr const char* kRefusingProgId = "TivTest.Refusing";
inline constexpr HRESULT kRefusal = com::E_ACCESSDENIED;

inline constexpr com::DISPID kDispAdd = 1;
inline constexpr com::DISPID kDispTotal = 2;
inline constexpr com::DISPID kDispSwap = 3;
inline constexpr com::DISPID kDispFail = 4;
inline constexpr com::DISPID kDispFire = 5;
inline constexpr com::DISPID kDispName = 6;
inline constexpr com::DISPID kDispScale = 7;
inline constexpr com::DISPID kDispFillBytes = 8;
inline constexpr com::DISPID kDispDescribe = 9;
inline constexpr com::DISPID kDispThrow = 10;

class ITestCalc : public com::IDispatch {
public:
    static constexpr com::Guid iid = IID_ITestCalc;
    using Base = com::IDispatch;

    // *sum = a + b.
    virtual HRESULT Add(std::int32_t a, std::int32_t b, std::int32_t* sum) = 0;
    virtual HRESULT get_Total(std::int32_t* value) = 0;
    virtual HRESULT put_Total(std::int32_t value) = 0;
    // *a doubles; *b becomes the text "was <old b as text>"; *result = old *a.
    virtual HRESULT Swap(std::int32_t* a, com::Variant* b, std::int32_t* result) = 0;
    // Sets error info (source "TivTest.Calc", description `why`) and returns E_FAIL.
    virtual HRESULT Fail(const std::string& why, std::int32_t* result) = 0;
    // Invokes event `eventId` on the advised sinks; *result = how many sinks there were.
    virtual HRESULT Fire(std::int32_t eventId, std::int32_t* result) = 0;
    virtual HRESULT get_Name(std::string* value) = 0;
    virtual HRESULT put_Name(const std::string& value) = 0;
    // *result = factor * Total, negated when `negate`.
    virtual HRESULT Scale(double factor, com::VARIANT_BOOL negate, double* result) = 0;
    // *data becomes a byte array 0, 1, ..., count-1; *result = count.
    virtual HRESULT FillBytes(std::int32_t count, com::Variant* data, std::int32_t* result) = 0;
    // *result = text + "/" + flags.
    virtual HRESULT Describe(const char* text, std::int32_t flags, std::string* result) = 0;
    // Throws a ComError(code) from inside the member (through the dispatch path only).
    virtual HRESULT Throw(std::int32_t code) = 0;
};

const com::InterfaceDesc& testCalcInterface();
const com::InterfaceDesc& testCalcEvents();
const com::TypeLibDesc& testCalcLibrary();

class TestCalc final : public com::ComObject<TestCalc, com::DispatchImpl<TestCalc, ITestCalc>,
                                             com::IConnectionPointContainer,
                                             com::SupportErrorInfoImpl<&IID_ITestCalc>> {
public:
    TestCalc();
    ~TestCalc() override;

    static const com::InterfaceDesc& interfaceDesc() { return testCalcInterface(); }

    HRESULT Add(std::int32_t a, std::int32_t b, std::int32_t* sum) override;
    HRESULT get_Total(std::int32_t* value) override;
    HRESULT put_Total(std::int32_t value) override;
    HRESULT Swap(std::int32_t* a, com::Variant* b, std::int32_t* result) override;
    HRESULT Fail(const std::string& why, std::int32_t* result) override;
    HRESULT Fire(std::int32_t eventId, std::int32_t* result) override;
    HRESULT get_Name(std::string* value) override;
    HRESULT put_Name(const std::string& value) override;
    HRESULT Scale(double factor, com::VARIANT_BOOL negate, double* result) override;
    HRESULT FillBytes(std::int32_t count, com::Variant* data, std::int32_t* result) override;
    HRESULT Describe(const char* text, std::int32_t flags, std::string* result) override;
    HRESULT Throw(std::int32_t code) override;

    HRESULT EnumConnectionPoints(std::vector<com::ComPtr<com::IConnectionPoint>>* points) override;
    HRESULT FindConnectionPoint(const com::Guid& iid, com::IConnectionPoint** point) override;

    com::ConnectionPoint& events() { return events_; }

private:
    std::int32_t total_ = 0;
    std::string name_;
    com::ConnectionPoint events_;
};

// A class whose constructor always fails with ComError(kRefusal, "refused on purpose").
class TestRefusing final : public com::ComObject<TestRefusing, com::IUnknown> {
public:
    TestRefusing();
};

}  // namespace comtest
