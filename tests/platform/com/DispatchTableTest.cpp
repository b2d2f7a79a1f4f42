#include <gtest/gtest.h>

#include "TestCalc.h"
#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"

namespace {

using namespace com;
using comtest::TestCalc;

constexpr std::uint32_t kArgErrSentinel = 0xDEADBEEF;

class ComDispatch : public ::testing::Test {
protected:
    void SetUp() override { clearErrorInfo(); }

    HRESULT call(DISPID id, std::uint16_t flags, const DispArgs& args, Variant* result = nullptr) {
        excep = ExcepInfo{};
        excep.description = "untouched";
        argErr = kArgErrSentinel;
        return calc->Invoke(id, flags, args.params(), result, &excep, &argErr);
    }

    ComPtr<TestCalc> calc = TestCalc::create();
    ExcepInfo excep;
    std::uint32_t argErr = kArgErrSentinel;
};

TEST_F(ComDispatch, NamesResolveWithoutRegardToCase) {
    for (const char* name : {"Add", "add", "ADD", "aDd"}) {
        DISPID id = 0;
        const std::string_view names[] = {name};
        EXPECT_EQ(calc->GetIDsOfNames(names, 0, &id), S_OK) << name;
        EXPECT_EQ(id, comtest::kDispAdd);
    }
    // Member and parameter names together: parameters by position.
    const std::string_view withParams[] = {"swap", "b", "A", "Nope"};
    DISPID ids[4] = {7, 7, 7, 7};
    EXPECT_EQ(calc->GetIDsOfNames(withParams, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], comtest::kDispSwap);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);
    EXPECT_EQ(ids[3], DISPID_UNKNOWN);

    const std::string_view unknown[] = {"Subtract"};
    DISPID id = 7;
    EXPECT_EQ(calc->GetIDsOfNames(unknown, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    EXPECT_EQ(calc->GetIDsOfNames({}, 0, &id), E_INVALIDARG);
}

TEST_F(ComDispatch, MethodWithRetvalTakesArgumentsInReverseOrder) {
    Variant result;
    ASSERT_EQ(call(comtest::kDispAdd, DISPATCH_METHOD, {Variant(40), Variant("2")}, &result), S_OK);
    EXPECT_EQ(result, Variant::fromI4(42));
    // Scripting callers set both flags.
    EXPECT_EQ(call(comtest::kDispAdd, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                   {Variant(1), Variant(2)}, &result),
              S_OK);
    EXPECT_EQ(result, Variant::fromI4(3));
    // A null result pointer is allowed.
    EXPECT_EQ(call(comtest::kDispAdd, DISPATCH_METHOD, {Variant(1), Variant(2)}), S_OK);
}

TEST_F(ComDispatch, WrongCountTypeOrKindLeavesOutputsAlone) {
    Variant result("sentinel");
    EXPECT_EQ(call(comtest::kDispAdd, DISPATCH_METHOD, {Variant(1)}, &result),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(
        call(comtest::kDispAdd, DISPATCH_METHOD, {Variant(1), Variant(2), Variant(3)}, &result),
        DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(argErr, kArgErrSentinel);

    // The first argument is args[1]: argErr counts in the reversed array.
    EXPECT_EQ(call(comtest::kDispAdd, DISPATCH_METHOD, {Variant("x"), Variant(2)}, &result),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);
    EXPECT_EQ(call(comtest::kDispAdd, DISPATCH_METHOD, {Variant(2), Variant::null()}, &result),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);
    EXPECT_EQ(call(comtest::kDispAdd, DISPATCH_METHOD, {Variant(1e10), Variant(2)}, &result),
              DISP_E_OVERFLOW);
    EXPECT_EQ(argErr, 1u);
    EXPECT_EQ(call(comtest::kDispAdd, DISPATCH_METHOD, {Variant(1), Variant::missing()}, &result),
              DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(argErr, 0u);

    argErr = kArgErrSentinel;
    EXPECT_EQ(call(999, DISPATCH_METHOD, {}, &result), DISP_E_MEMBERNOTFOUND);
    // A getter is not a method, and a method cannot be put.
    EXPECT_EQ(call(comtest::kDispTotal, DISPATCH_METHOD, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(
        call(comtest::kDispAdd, DISPATCH_PROPERTYPUT, DispArgs::propertyPut(Variant(1)), &result),
        DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(result, Variant("sentinel"));
    EXPECT_EQ(argErr, kArgErrSentinel);
    EXPECT_EQ(excep.description, "untouched");
}

TEST_F(ComDispatch, PropertyPutThenGet) {
    EXPECT_EQ(call(comtest::kDispTotal, DISPATCH_PROPERTYPUT, DispArgs::propertyPut(Variant("17"))),
              S_OK);
    Variant total;
    EXPECT_EQ(call(comtest::kDispTotal, DISPATCH_PROPERTYGET, {}, &total), S_OK);
    EXPECT_EQ(total, Variant::fromI4(17));
    // A put may also pass its value positionally.
    EXPECT_EQ(call(comtest::kDispName, DISPATCH_PROPERTYPUT, {Variant("calc")}), S_OK);
    Variant name;
    EXPECT_EQ(call(comtest::kDispName, DISPATCH_PROPERTYGET, {}, &name), S_OK);
    EXPECT_EQ(name, Variant("calc"));
    // A put without its value.
    EXPECT_EQ(call(comtest::kDispTotal, DISPATCH_PROPERTYPUT, {}), DISP_E_BADPARAMCOUNT);
    // Named arguments that name no parameter.
    const Variant args[] = {Variant(1)};
    const DISPID named[] = {5};
    argErr = kArgErrSentinel;
    EXPECT_EQ(calc->Invoke(comtest::kDispTotal, DISPATCH_PROPERTYPUT, {args, named}, nullptr,
                           nullptr, &argErr),
              DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(argErr, 0u);
}

TEST_F(ComDispatch, NamedArgumentsGoToTheirParameters) {
    // Scale(Factor, Negate): Negate named (id 1), Factor positional.
    calc->put_Total(10);
    const Variant args[] = {Variant(true), Variant(1.5)};
    const DISPID named[] = {1};
    Variant result;
    ASSERT_EQ(calc->Invoke(comtest::kDispScale, DISPATCH_METHOD, {args, named}, &result, nullptr,
                           nullptr),
              S_OK);
    EXPECT_EQ(result, Variant(-15.0));
    // The same parameter twice.
    const DISPID twice[] = {0, 0};
    EXPECT_EQ(calc->Invoke(comtest::kDispScale, DISPATCH_METHOD, {args, twice}, &result, nullptr,
                           nullptr),
              DISP_E_PARAMNOTFOUND);
}

TEST_F(ComDispatch, InOutArgumentsAreWrittenBackThroughReferences) {
    std::int32_t a = 21;
    Variant b = Variant::fromI2(7);
    Variant result;
    ASSERT_EQ(call(comtest::kDispSwap, DISPATCH_METHOD, {Variant::byRef(&a), Variant::byRef(&b)},
                   &result),
              S_OK);
    EXPECT_EQ(result, Variant::fromI4(21));
    EXPECT_EQ(a, 42);
    EXPECT_EQ(b, Variant("was 7"));

    // A reference of another type is converted both ways.
    std::int16_t small = 20000;
    std::string text = "t";
    EXPECT_EQ(call(comtest::kDispSwap, DISPATCH_METHOD,
                   {Variant::byRef(&small), Variant::byRef(&text)}, &result),
              DISP_E_OVERFLOW);
    EXPECT_EQ(small, 20000) << "40000 does not fit: the write-back fails and leaves it";
    EXPECT_EQ(argErr, 1u);

    small = 3;
    ASSERT_EQ(call(comtest::kDispSwap, DISPATCH_METHOD,
                   {Variant::byRef(&small), Variant::byRef(&text)}, &result),
              S_OK);
    EXPECT_EQ(small, 6);
    EXPECT_EQ(text, "was t");

    // By-value arguments are accepted; what the member writes is dropped.
    const DispArgs byValue{Variant(5), Variant("b")};
    ASSERT_EQ(call(comtest::kDispSwap, DISPATCH_METHOD, byValue, &result), S_OK);
    EXPECT_EQ(result, Variant::fromI4(5));
    EXPECT_EQ(byValue[0], Variant(5));
}

TEST_F(ComDispatch, VariantPointerParameterWritesIntoTheCallersVariant) {
    Variant data = Variant::fromI4(0);
    Variant result;
    ASSERT_EQ(call(comtest::kDispFillBytes, DISPATCH_METHOD, {Variant(3), Variant::byRef(&data)},
                   &result),
              S_OK);
    EXPECT_EQ(result, Variant::fromI4(3));
    EXPECT_EQ(data, Variant::fromBytes(std::vector<std::uint8_t>{0, 1, 2}));
}

TEST_F(ComDispatch, LpStrAndIntParameters) {
    Variant result;
    ASSERT_EQ(call(comtest::kDispDescribe, DISPATCH_METHOD, {Variant("abc"), Variant::fromUI1(9)},
                   &result),
              S_OK);
    EXPECT_EQ(result, Variant("abc/9"));
    // LPSTR takes any value that converts to text.
    ASSERT_EQ(call(comtest::kDispDescribe, DISPATCH_METHOD, {Variant(12), Variant(1)}, &result),
              S_OK);
    EXPECT_EQ(result, Variant("12/1"));
}

TEST_F(ComDispatch, FailuresBecomeExceptionsWithTheErrorInfo) {
    Variant result("sentinel");
    EXPECT_EQ(call(comtest::kDispFail, DISPATCH_METHOD, {Variant("bad thing")}, &result),
              DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_FAIL);
    EXPECT_EQ(excep.source, "TivTest.Calc");
    EXPECT_EQ(excep.description, "bad thing");
    EXPECT_EQ(result, Variant("sentinel"));
    EXPECT_FALSE(takeErrorInfo()) << "Invoke hands the error info over in ExcepInfo";

    EXPECT_EQ(call(comtest::kDispThrow, DISPATCH_METHOD, {Variant::fromI4(E_ACCESSDENIED)}),
              DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_ACCESSDENIED);
    EXPECT_EQ(excep.description, "thrown on purpose");
    EXPECT_EQ(call(comtest::kDispThrow, DISPATCH_METHOD, {Variant(0)}), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_UNEXPECTED);
    EXPECT_EQ(excep.description, "plain exception");
    // A success code in a ComError is still a failure once thrown.
    EXPECT_EQ(call(comtest::kDispThrow, DISPATCH_METHOD, {Variant(1)}), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_UNEXPECTED);
}

TEST_F(ComDispatch, TypeInfoDescribesTheInterface) {
    std::uint32_t n = 0;
    EXPECT_EQ(calc->GetTypeInfoCount(&n), S_OK);
    EXPECT_EQ(n, 1u);
    const InterfaceDesc* info = nullptr;
    EXPECT_EQ(calc->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    ASSERT_EQ(calc->GetTypeInfo(0, 0, &info), S_OK);
    EXPECT_EQ(info->iid, comtest::IID_ITestCalc);
    EXPECT_EQ(DispatchTable(*info).validate(), "");
}

TEST(ComDispatchTable, ValidateFindsTableMistakes) {
    using P = ParamDesc;
    const MemberDesc twice[] = {{1, "A", MemberKind::Method, {}}, {1, "A", MemberKind::Method, {}}};
    EXPECT_NE(DispatchTable(twice).validate(), "");
    const MemberDesc sharedId[] = {
        {1, "A", MemberKind::Method, {}},
        {1, "B", MemberKind::PropertyGet, {P{"Value", ParamDir::RetVal, AutoType::Long}}}};
    EXPECT_NE(DispatchTable(sharedId).validate(), "");
    const MemberDesc getterWithoutResult[] = {{1, "A", MemberKind::PropertyGet, {}}};
    EXPECT_NE(DispatchTable(getterWithoutResult).validate(), "");
    const MemberDesc retvalFirst[] = {
        {1,
         "A",
         MemberKind::Method,
         {retParam("R", AutoType::Long), inParam("X", AutoType::Long)}}};
    EXPECT_NE(DispatchTable(retvalFirst).validate(), "");
    const MemberDesc putWithTwo[] = {{1,
                                      "A",
                                      MemberKind::PropertyPut,
                                      {inParam("", AutoType::Long), inParam("", AutoType::Long)}}};
    EXPECT_NE(DispatchTable(putWithTwo).validate(), "");
    // Optional parameters: variants only, after the required ones, never a put's value.
    const MemberDesc optionalLong[] = {
        {1, "A", MemberKind::Method, {P{"X", ParamDir::In, AutoType::Long, true}}}};
    EXPECT_NE(DispatchTable(optionalLong).validate(), "");
    const MemberDesc requiredAfterOptional[] = {
        {1,
         "A",
         MemberKind::Method,
         {optParam("X", AutoType::Variant), inParam("Y", AutoType::Variant)}}};
    EXPECT_NE(DispatchTable(requiredAfterOptional).validate(), "");
    const MemberDesc optionalPutRef[] = {
        {1, "A", MemberKind::PropertyPutRef, {optParam("", AutoType::Variant)}}};
    EXPECT_NE(DispatchTable(optionalPutRef).validate(), "");
    EXPECT_EQ(DispatchTable(comtest::testCalcInterface()).validate(), "");

    // A description without thunks describes but does not call.
    const MemberDesc noThunk[] = {{1, "A", MemberKind::Method, {}}};
    EXPECT_EQ(
        DispatchTable(noThunk).invoke(nullptr, 1, DISPATCH_METHOD, {}, nullptr, nullptr, nullptr),
        E_NOTIMPL);
}

TEST(ComDispatchTable, ThunkAskingForTheWrongTypeIsReportedNotCrashed) {
    static constexpr MemberDesc members[] = {
        {1,
         "Bad",
         MemberKind::Method,
         {inParam("X", AutoType::Long)},
         [](void*, DispCall& c) -> HRESULT { return c.str(0).empty() ? S_OK : S_FALSE; }},
        {2,
         "Beyond",
         MemberKind::Method,
         {},
         [](void*, DispCall& c) -> HRESULT { return c.lng(3); }},
    };
    const DispatchTable table(members);
    ExcepInfo info;
    const DispArgs one{Variant(1)};
    EXPECT_EQ(table.invoke(nullptr, 1, DISPATCH_METHOD, one.params(), nullptr, &info, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, E_UNEXPECTED);
    EXPECT_EQ(table.invoke(nullptr, 2, DISPATCH_METHOD, {}, nullptr, &info, nullptr),
              DISP_E_EXCEPTION);
}

TEST(ComDispatchTable, InvokeByNameFromAClient) {
    auto calc = TestCalc::create();
    Variant result;
    ASSERT_EQ(invokeByName(calc.get(), "total", DISPATCH_PROPERTYPUT, {Variant(8)}, nullptr), S_OK);
    ASSERT_EQ(invokeByName(calc.get(), "TOTAL", DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result, Variant::fromI4(8));
    EXPECT_EQ(invokeByName(calc.get(), "nothing", DISPATCH_METHOD, {}, &result),
              DISP_E_UNKNOWNNAME);
    EXPECT_EQ(invokeByName(nullptr, "Total", DISPATCH_PROPERTYGET, {}, &result), E_POINTER);
}

}  // namespace
