#include "TestCalc.h"

#include <stdexcept>

namespace comtest {

namespace {

using com::AutoType;
using com::DispCall;
using com::inOutParam;
using com::inParam;
using com::MemberKind;
using com::retParam;

TestCalc& self(void* p) {
    return *static_cast<TestCalc*>(p);
}

constexpr com::MemberDesc kMembers[] = {
    {kDispAdd,
     "Add",
     MemberKind::Method,
     {inParam("A", AutoType::Long), inParam("B", AutoType::Long), retParam("Sum", AutoType::Long)},
     [](void* p, DispCall& c) { return self(p).Add(c.lng(0), c.lng(1), &c.lng(2)); }},
    {kDispTotal,
     "Total",
     MemberKind::PropertyGet,
     {retParam("Value", AutoType::Long)},
     [](void* p, DispCall& c) { return self(p).get_Total(&c.lng(0)); }},
    {kDispTotal,
     "Total",
     MemberKind::PropertyPut,
     {inParam("", AutoType::Long)},
     [](void* p, DispCall& c) { return self(p).put_Total(c.lng(0)); }},
    {kDispSwap,
     "Swap",
     MemberKind::Method,
     {inOutParam("A", AutoType::Long), inOutParam("B", AutoType::Variant),
      retParam("Old", AutoType::Long)},
     [](void* p, DispCall& c) { return self(p).Swap(&c.lng(0), c.varPtr(1), &c.lng(2)); }},
    {kDispFail,
     "Fail",
     MemberKind::Method,
     {inParam("Why", AutoType::BStr), retParam("Result", AutoType::Long)},
     [](void* p, DispCall& c) { return self(p).Fail(c.str(0), &c.lng(1)); }},
    {kDispFire,
     "Fire",
     MemberKind::Method,
     {inParam("EventId", AutoType::Long), retParam("Sinks", AutoType::Long)},
     [](void* p, DispCall& c) { return self(p).Fire(c.lng(0), &c.lng(1)); }},
    {kDispName,
     "Name",
     MemberKind::PropertyGet,
     {retParam("Value", AutoType::BStr)},
     [](void* p, DispCall& c) { return self(p).get_Name(&c.str(0)); }},
    {kDispName,
     "Name",
     MemberKind::PropertyPut,
     {inParam("", AutoType::BStr)},
     [](void* p, DispCall& c) { return self(p).put_Name(c.str(0)); }},
    {kDispScale,
     "Scale",
     MemberKind::Method,
     {inParam("Factor", AutoType::Double), inParam("Negate", AutoType::Bool),
      retParam("Result", AutoType::Double)},
     [](void* p, DispCall& c) { return self(p).Scale(c.dbl(0), c.boolean(1), &c.dbl(2)); }},
    {kDispFillBytes,
     "FillBytes",
     MemberKind::Method,
     {inParam("Count", AutoType::Long), inParam("Data", AutoType::VariantPtr),
      retParam("Result", AutoType::Long)},
     [](void* p, DispCall& c) { return self(p).FillBytes(c.lng(0), c.varPtr(1), &c.lng(2)); }},
    {kDispDescribe,
     "Describe",
     MemberKind::Method,
     {inParam("Text", AutoType::LpStr), inParam("Flags", AutoType::Int),
      retParam("Result", AutoType::BStr)},
     [](void* p, DispCall& c) { return self(p).Describe(c.lpstr(0), c.lng(1), &c.str(2)); }},
    {kDispThrow,
     "Throw",
     MemberKind::Method,
     {inParam("Code", AutoType::Long)},
     [](void* p, DispCall& c) { return self(p).Throw(c.lng(0)); }},
};

constexpr com::MemberDesc kEvents[] = {
    {1, "OnFirst", MemberKind::Method, {}},
    {2, "OnSecond", MemberKind::Method, {}},
};

constexpr com::InterfaceDesc kInterface{"ITestCalc", IID_ITestCalc, com::InterfaceKind::Dual,
                                        "Test calculator", kMembers};
constexpr com::InterfaceDesc kEventInterface{"ITestCalcEvents", DIID_ITestCalcEvents,
                                             com::InterfaceKind::DispInterface,
                                             "Test calculator events", kEvents};
constexpr const com::InterfaceDesc* kInterfaces[] = {&kInterface, &kEventInterface};
constexpr com::CoClassInterface kCoClassInterfaces[] = {{&kInterface, true, false},
                                                        {&kEventInterface, true, true}};
constexpr com::CoClassDesc kCoClasses[] = {
    {"TestCalc", CLSID_TestCalc, "Test calculator object", true, kCoClassInterfaces}};
constexpr std::string_view kImports[] = {"stdole2"};
constexpr com::TypeLibDesc kLibrary{"TivTestLib", LIBID_TestCalcLib, 1,        0,
                                    0x409,        "Test library",    kImports, kInterfaces,
                                    kCoClasses};

}  // namespace

const com::InterfaceDesc& testCalcInterface() {
    return kInterface;
}
const com::InterfaceDesc& testCalcEvents() {
    return kEventInterface;
}
const com::TypeLibDesc& testCalcLibrary() {
    return kLibrary;
}

TestCalc::TestCalc() : events_(*this, DIID_ITestCalcEvents) {}
TestCalc::~TestCalc() = default;

HRESULT TestCalc::Add(std::int32_t a, std::int32_t b, std::int32_t* sum) {
    if (!sum) return com::E_POINTER;
    *sum = static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
    return com::S_OK;
}

HRESULT TestCalc::get_Total(std::int32_t* value) {
    if (!value) return com::E_POINTER;
    *value = total_;
    return com::S_OK;
}

HRESULT TestCalc::put_Total(std::int32_t value) {
    total_ = value;
    return com::S_OK;
}

HRESULT TestCalc::Swap(std::int32_t* a, com::Variant* b, std::int32_t* result) {
    if (!a || !b || !result) return com::E_POINTER;
    *result = *a;
    *a *= 2;
    com::Variant text;
    if (com::FAILED(com::ChangeType(text, *b, com::VT_BSTR))) text = com::Variant("?");
    *b = com::Variant("was " + text.bstr());
    return com::S_OK;
}

HRESULT TestCalc::Fail(const std::string& why, std::int32_t* result) {
    if (result) *result = -1;
    return com::reportError(com::E_FAIL, IID_ITestCalc, "TivTest.Calc", why);
}

HRESULT TestCalc::Fire(std::int32_t eventId, std::int32_t* result) {
    if (!result) return com::E_POINTER;
    *result = static_cast<std::int32_t>(events_.count());
    events_.invoke(eventId);
    return com::S_OK;
}

HRESULT TestCalc::get_Name(std::string* value) {
    if (!value) return com::E_POINTER;
    *value = name_;
    return com::S_OK;
}

HRESULT TestCalc::put_Name(const std::string& value) {
    name_ = value;
    return com::S_OK;
}

HRESULT TestCalc::Scale(double factor, com::VARIANT_BOOL negate, double* result) {
    if (!result) return com::E_POINTER;
    *result = factor * total_ * (negate ? -1 : 1);
    return com::S_OK;
}

HRESULT TestCalc::FillBytes(std::int32_t count, com::Variant* data, std::int32_t* result) {
    if (!data || !result) return com::E_POINTER;
    if (count < 0 || count > 4096) return com::E_INVALIDARG;
    com::SafeArray a(com::VT_UI1, static_cast<std::uint32_t>(count));
    auto bytes = a.span<std::uint8_t>();
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
    *data = com::Variant(std::move(a));
    *result = count;
    return com::S_OK;
}

HRESULT TestCalc::Describe(const char* text, std::int32_t flags, std::string* result) {
    if (!text || !result) return com::E_POINTER;
    *result = std::string(text) + "/" + std::to_string(flags);
    return com::S_OK;
}

HRESULT TestCalc::Throw(std::int32_t code) {
    if (code == 0) throw std::runtime_error("plain exception");
    throw com::ComError(code, "thrown on purpose");
}

TestRefusing::TestRefusing() {
    throw com::ComError(kRefusal, "refused on purpose");
}

HRESULT TestCalc::EnumConnectionPoints(std::vector<com::ComPtr<com::IConnectionPoint>>* points) {
    com::ConnectionPoint* const all[] = {&events_};
    return com::enumConnectionPoints(all, points);
}

HRESULT TestCalc::FindConnectionPoint(const com::Guid& iid, com::IConnectionPoint** point) {
    com::ConnectionPoint* const all[] = {&events_};
    return com::findConnectionPoint(all, iid, point);
}

}  // namespace comtest
