// Parameter kinds a member table declares with com/MemberTable.h: 16-bit and byte values,
// objects in and out, put-by-reference and optional parameters, through Invoke.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "TestCalc.h"
#include "com/DispatchThunk.h"
#include "com/MemberTable.h"
#include "com/TypeLib.h"

namespace {

using namespace com;

class ITestHolder : public IDispatch {
public:
    static constexpr Guid iid = makeGuid("{6B1D54A2-0C3E-4F7A-9D21-5E8A3C7B4F20}");
    using Base = IDispatch;

#define TIV_P(dir, type, name) TIV_COM_CT(dir, type) name
#define TIV_MEMBER(dispId, kind, name, params) virtual HRESULT TIV_COM_NAME(kind, name) params = 0;
#include "TestHolderMembers.def"
};

// Holds one object (put-ref) or one value (put) and says which way it came.
class TestHolder final : public ComObject<TestHolder, DispatchImpl<TestHolder, ITestHolder>> {
public:
    static const InterfaceDesc& interfaceDesc();

    HRESULT get_Item(IDispatch** value) override {
        *value = item_.get();
        if (*value) (*value)->AddRef();
        return S_OK;
    }
    HRESULT putref_Item(IDispatch* value) override {
        item_ = value;
        how_ = "ref";
        return S_OK;
    }
    HRESULT put_Item(const Variant& value) override {
        item_ = nullptr;
        how_ = "value " + value.describe();
        return S_OK;
    }
    HRESULT get_How(std::string* value) override {
        *value = how_;
        return S_OK;
    }
    HRESULT Pick(std::int16_t index, const Variant& fallback, Variant* spare,
                 std::string* seen) override {
        auto text = [](const Variant& v) { return v.isMissing() ? "missing" : v.describe(); };
        *seen = std::to_string(index) + "/" + text(fallback) + "/" + text(*spare);
        *spare = Variant("spare written");
        return S_OK;
    }
    HRESULT Shift(std::uint8_t value, std::int16_t* count, std::uint8_t* next) override {
        *count = static_cast<std::int16_t>(*count + value);
        *next = static_cast<std::uint8_t>(value + 1);
        return S_OK;
    }
    HRESULT Exchange(IDispatch** other, IDispatch** previous) override {
        IDispatch* incoming = *other;
        *previous = item_.get();
        if (*previous) (*previous)->AddRef();
        *other = item_.detach();
        item_ = incoming;
        if (incoming) incoming->Release();  // the reference *other held
        return S_OK;
    }
    HRESULT Holds(IUnknown* object, VARIANT_BOOL* result) override {
        auto a = queryInterface<IUnknown>(object);
        auto b = queryInterface<IUnknown>(item_.get());
        *result = a && a == b ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

private:
    ComPtr<IDispatch> item_;
    std::string how_;
};

constexpr MemberDesc kHolderMembers[] = {
// clang-format off
#define TIV_P(dir, type, name) TIV_COM_PARAM(dir, type, name)
#define TIV_MEMBER(dispId, kind, name, params)                                       \
    MemberDesc{dispId, #name, TIV_COM_KIND(kind), {{TIV_COM_UNPACK params}},          \
               &memberThunk<TestHolder, &ITestHolder::TIV_COM_NAME(kind, name)>},
// clang-format on
#include "TestHolderMembers.def"
};
constexpr InterfaceDesc kHolder{"ITestHolder", ITestHolder::iid, InterfaceKind::Dual, "",
                                kHolderMembers};

const InterfaceDesc& TestHolder::interfaceDesc() {
    return kHolder;
}

constexpr DISPID kItem = 1, kHow = 2, kPick = 3, kShift = 4, kExchange = 5, kHolds = 6;
constexpr std::uint32_t kSentinel = 0xDEADBEEF;

class ComDispatchKinds : public ::testing::Test {
protected:
    HRESULT call(DISPID id, std::uint16_t flags, std::span<const Variant> args,
                 std::span<const DISPID> named = {}, Variant* result = nullptr) {
        argErr = kSentinel;
        return holder->Invoke(id, flags, {args, named}, result, nullptr, &argErr);
    }
    std::string how() {
        Variant v;
        EXPECT_EQ(call(kHow, DISPATCH_PROPERTYGET, {}, {}, &v), S_OK);
        return v.vt() == VT_BSTR ? v.bstr() : "";
    }

    ComPtr<TestHolder> holder = TestHolder::create();
    ComPtr<comtest::TestCalc> object = comtest::TestCalc::create();
    std::uint32_t argErr = kSentinel;
};

TEST_F(ComDispatchKinds, TableIsConsistentAndDescribesTheNewKinds) {
    EXPECT_EQ(DispatchTable(kHolder).validate(), "");
    const auto text = dumpInterface(kHolder);
    for (const char* part :
         {"propputref Item([in] IDispatch*)", "propput Item([in] VARIANT)",
          "[in, optional] VARIANT Fallback", "[in, out, optional] VARIANT* Spare",
          "[in] unsigned char Value", "[in, out] short* Count",
          "[out, retval] IDispatch** Previous", "[in] IUnknown* Object"})
        EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
}

TEST_F(ComDispatchKinds, OptionalParametersLeftOutReachTheMemberAsMissing) {
    Variant spareVar = Variant(9);
    struct Case {
        const char* what;
        std::vector<Variant> args;  // reversed, as Invoke takes them
        std::vector<DISPID> named;
        HRESULT hr;
        const char* seen;
        std::uint32_t argErr = kSentinel;
    };
    const Case cases[] = {
        {"only the required one", {Variant::fromI2(3)}, {}, S_OK, "3/missing/missing"},
        {"missing markers",
         {Variant::missing(), Variant::missing(), Variant(3)},
         {},
         S_OK,
         "3/missing/missing"},
        {"fallback given", {Variant("x"), Variant(3)}, {}, S_OK, "3/VT_BSTR \"x\"/missing"},
        {"spare by reference",
         {Variant::byRef(&spareVar), Variant::missing(), Variant(3)},
         {},
         S_OK,
         "3/missing/VT_I4 9"},
        {"spare named, fallback left out",
         {Variant(7), Variant(3)},
         {2},
         S_OK,
         "3/missing/VT_I4 7"},
        {"required one left out by naming", {Variant(7)}, {1}, DISP_E_PARAMNOTOPTIONAL, nullptr},
        {"required one as a missing marker",
         {Variant(1), Variant::missing()},
         {},
         DISP_E_PARAMNOTOPTIONAL,
         nullptr,
         1},
        {"nothing", {}, {}, DISP_E_BADPARAMCOUNT, nullptr},
        {"one too many",
         {Variant(1), Variant(1), Variant(1), Variant(1)},
         {},
         DISP_E_BADPARAMCOUNT,
         nullptr},
        {"index beyond 16 bits", {Variant(70000)}, {}, DISP_E_OVERFLOW, nullptr, 0},
    };
    for (const auto& c : cases) {
        Variant seen("sentinel");
        EXPECT_EQ(call(kPick, DISPATCH_METHOD, c.args, c.named, &seen), c.hr) << c.what;
        EXPECT_EQ(argErr, c.argErr) << c.what;
        EXPECT_EQ(seen, Variant(c.seen ? c.seen : "sentinel")) << c.what;
    }
    EXPECT_EQ(spareVar, Variant("spare written")) << "a given in-out optional is written back";
}

TEST_F(ComDispatchKinds, PutRefAndPutEachReachTheirOwnMember) {
    const Variant obj(static_cast<IDispatch*>(object.get()));
    struct Case {
        std::uint16_t flags;
        Variant value;
        HRESULT hr;
        const char* how;
    };
    const Case cases[] = {
        {DISPATCH_PROPERTYPUTREF, obj, S_OK, "ref"},
        {DISPATCH_PROPERTYPUT, Variant(5), S_OK, "value VT_I4 5"},
        {DISPATCH_PROPERTYPUT, obj, S_OK, "value VT_DISPATCH object"},
        {DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF, obj, S_OK, "ref"},
        {DISPATCH_PROPERTYPUTREF, Variant(5), DISP_E_TYPEMISMATCH, "ref"},
    };
    for (const auto& c : cases) {
        const Variant args[] = {c.value};
        const DISPID named[] = {DISPID_PROPERTYPUT};
        EXPECT_EQ(call(kItem, c.flags, args, named), c.hr) << c.how;
        EXPECT_EQ(how(), c.how);
    }
    Variant item;
    ASSERT_EQ(call(kItem, DISPATCH_PROPERTYGET, {}, {}, &item), S_OK);
    EXPECT_EQ(item, obj) << "the object set by reference is the one read back";

    // A property without a put-ref does not take one in place of its put.
    const Variant args[] = {Variant(3)};
    const DISPID named[] = {DISPID_PROPERTYPUT};
    EXPECT_EQ(object->Invoke(comtest::kDispTotal, DISPATCH_PROPERTYPUTREF, {args, named}, nullptr,
                             nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    std::int32_t total = -1;
    object->get_Total(&total);
    EXPECT_EQ(total, 0);
}

TEST_F(ComDispatchKinds, ObjectsInAndOutKeepTheirReferencesBalanced) {
    auto other = comtest::TestCalc::create();
    const auto objectRefs = object->refCount(), otherRefs = other->refCount();
    {
        const Variant obj(static_cast<IDispatch*>(object.get()));
        const Variant args[] = {obj};
        const DISPID named[] = {DISPID_PROPERTYPUT};
        ASSERT_EQ(call(kItem, DISPATCH_PROPERTYPUTREF, args, named), S_OK);

        // Holds takes IUnknown: a dispatch argument converts, identity decides.
        struct Case {
            Variant arg;
            HRESULT hr;
            Variant result;
        };
        const Case cases[] = {
            {obj, S_OK, Variant(true)},
            {Variant(static_cast<IUnknown*>(object->identity())), S_OK, Variant(true)},
            {Variant(static_cast<IDispatch*>(other.get())), S_OK, Variant(false)},
            {Variant(static_cast<IDispatch*>(nullptr)), S_OK, Variant(false)},
            {Variant(5), DISP_E_TYPEMISMATCH, Variant("sentinel")},
        };
        for (const auto& c : cases) {
            Variant result("sentinel");
            const Variant holdsArgs[] = {c.arg};
            EXPECT_EQ(call(kHolds, DISPATCH_METHOD, holdsArgs, {}, &result), c.hr)
                << c.arg.describe();
            EXPECT_EQ(result, c.result) << c.arg.describe();
        }

        // In-out through VT_BYREF|VT_DISPATCH: the caller's pointer is swapped for the held one.
        IDispatch* mine = other.get();
        mine->AddRef();
        Variant previous;
        const Variant exchangeArgs[] = {Variant::byRef(&mine)};
        ASSERT_EQ(call(kExchange, DISPATCH_METHOD, exchangeArgs, {}, &previous), S_OK);
        EXPECT_EQ(mine, static_cast<IDispatch*>(object.get()));
        EXPECT_EQ(previous, obj);
        Variant now;
        ASSERT_EQ(call(kItem, DISPATCH_PROPERTYGET, {}, {}, &now), S_OK);
        EXPECT_EQ(now, Variant(static_cast<IDispatch*>(other.get())));
        mine->Release();

        // By value: the member's write is dropped, and so is its reference.
        const Variant byValue[] = {obj};
        ASSERT_EQ(call(kExchange, DISPATCH_METHOD, byValue, {}, &previous), S_OK);
    }
    holder = nullptr;
    EXPECT_EQ(object->refCount(), objectRefs);
    EXPECT_EQ(other->refCount(), otherRefs);
}

TEST_F(ComDispatchKinds, ByteAndShortParameters) {
    struct Case {
        Variant value;
        HRESULT hr;
        std::int16_t countAfter;
        Variant next;
        std::uint32_t argErr = kSentinel;
    };
    const Case cases[] = {
        {Variant::fromUI1(5), S_OK, 15, Variant::fromUI1(6)},
        {Variant("7"), S_OK, 17, Variant::fromUI1(8)},
        {Variant(254.5), S_OK, 264, Variant::fromUI1(255)},  // rounded to even
        {Variant(256), DISP_E_OVERFLOW, 10, Variant(), 1},
        {Variant(-1), DISP_E_OVERFLOW, 10, Variant(), 1},
    };
    for (const auto& c : cases) {
        std::int16_t count = 10;
        Variant next;
        const Variant args[] = {Variant::byRef(&count), c.value};
        EXPECT_EQ(call(kShift, DISPATCH_METHOD, args, {}, &next), c.hr) << c.value.describe();
        EXPECT_EQ(count, c.countAfter) << c.value.describe();
        EXPECT_EQ(next, c.next) << c.value.describe();
        EXPECT_EQ(argErr, c.argErr) << c.value.describe();
    }
}

}  // namespace
