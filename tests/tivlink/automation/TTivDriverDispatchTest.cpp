// The driver object's members as clients call them: late-bound calls against early-bound ones,
// the error rule with faults injected below the engine, and the conversion of client arrays.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "TTivDriverSupport.h"
#include "usb/IoctlCodes.h"

namespace {

using namespace comdrv;
using com::ComPtr;
using com::DispArgs;
using com::HRESULT;
using com::Variant;
using testsupport::FakeTransport;
using tivlink::ITivDriver;

constexpr com::DISPID kVersion = 0x49;
constexpr com::DISPID kTraDelay = 0x37;
constexpr com::DISPID kReceiveAcyclic = 0x48;
constexpr com::DISPID kSendAcyclic = 0x47;

// ---- late and early binding ------------------------------------------------------------------

class TTivDriverDispatch : public ::testing::Test {
protected:
    os::ScopedClock clock{std::make_shared<os::ScaledClock>(20.0)};
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    ComPtr<ITivDriver> driver = MakeDriver(transport);
};

TEST_F(TTivDriverDispatch, PropertiesByNameReachTheSameStateAsTheVirtualCalls) {
    Variant result;
    ASSERT_EQ(com::invokeByName(driver.get(), "version", com::DISPATCH_PROPERTYGET, {}, &result),
              com::S_OK);
    EXPECT_EQ(result.vt(), com::VT_I4);
    EXPECT_EQ(result.i4(), 545);
    std::int32_t version = 0;
    ASSERT_EQ(driver->get_Version(&version), com::S_OK);
    EXPECT_EQ(version, 545);

    // Written late-bound, read early-bound, and the other way round.
    ASSERT_EQ(com::invokeByName(driver.get(), "TraDelay", com::DISPATCH_PROPERTYPUT,
                                DispArgs{Variant::fromBStr("25")}, nullptr),
              com::S_OK);
    std::int32_t delay = 0;
    ASSERT_EQ(driver->get_TraDelay(&delay), com::S_OK);
    EXPECT_EQ(delay, 25);
    ASSERT_EQ(driver->put_TraDelay(0), com::S_OK);
    ASSERT_EQ(driver->Invoke(kTraDelay, com::DISPATCH_PROPERTYGET | com::DISPATCH_METHOD,
                             DispArgs{}.params(), &result, nullptr, nullptr),
              com::S_OK);
    EXPECT_EQ(result.i4(), 0);

    // Booleans cross as -1 / 0 both ways.
    ASSERT_EQ(com::invokeByName(driver.get(), "EnablePointerOverrunEvent",
                                com::DISPATCH_PROPERTYPUT, DispArgs{Variant(true)}, nullptr),
              com::S_OK);
    com::VARIANT_BOOL on = 0;
    ASSERT_EQ(driver->get_EnablePointerOverrunEvent(&on), com::S_OK);
    EXPECT_EQ(on, com::VARIANT_TRUE);
    ASSERT_EQ(com::invokeByName(driver.get(), "EnablePointerOverrunEvent",
                                com::DISPATCH_PROPERTYGET, {}, &result),
              com::S_OK);
    EXPECT_EQ(result.vt(), com::VT_BOOL);
    EXPECT_EQ(result.boolVal(), com::VARIANT_TRUE);

    // Strings, and the filter settings that only hold values.
    ASSERT_EQ(driver->put_Filename("other.bix"), com::S_OK);
    ASSERT_EQ(com::invokeByName(driver.get(), "Filename", com::DISPATCH_PROPERTYGET, {}, &result),
              com::S_OK);
    EXPECT_EQ(result.bstr(), "other.bix");
    ASSERT_EQ(com::invokeByName(driver.get(), "SearchObjNr", com::DISPATCH_PROPERTYPUT,
                                DispArgs{Variant(0x0F0F)}, nullptr),
              com::S_OK);
    std::int32_t mask = 0;
    ASSERT_EQ(driver->get_SearchObjNr(&mask), com::S_OK);
    EXPECT_EQ(mask, 0x0F0F);
}

TEST_F(TTivDriverDispatch, InOutArgumentsByReferenceAreLeftAloneWhileNoAnswerIsThere) {
    ASSERT_EQ(driver->put_TraDelay(0), com::S_OK);
    std::int32_t sent = -1;
    ASSERT_EQ(driver->SendAcyclic(5, 4, 29, 1217, 0xC0, Variant(), &sent), com::S_OK);
    ASSERT_EQ(sent, 0);

    // Sentinels in every by-reference argument: the answer is still awaited (result 1).
    std::int32_t fields[5] = {-7, -7, -7, -7, -7};
    Variant data = Variant::fromI4(-7);
    Variant result;
    DispArgs args{Variant::byRef(&fields[0]), Variant::byRef(&fields[1]),
                  Variant::byRef(&fields[2]), Variant::byRef(&fields[3]),
                  Variant::byRef(&fields[4]), Variant::byRef(&data)};
    ASSERT_EQ(driver->Invoke(kReceiveAcyclic, com::DISPATCH_METHOD, args.params(), &result, nullptr,
                             nullptr),
              com::S_OK);
    EXPECT_EQ(result.i4(), 1);
    for (auto f : fields) EXPECT_EQ(f, -7);
    EXPECT_EQ(data, Variant::fromI4(-7));

    // The early-bound call agrees.
    std::int32_t t = -7, n = -7, s = -7, o = -7, c = -7, r = -1;
    Variant direct = Variant::fromI4(-7);
    ASSERT_EQ(driver->ReceiveAcyclic(&t, &n, &s, &o, &c, &direct, &r), com::S_OK);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(t, -7);
    EXPECT_EQ(direct, Variant::fromI4(-7));
}

TEST_F(TTivDriverDispatch, CallsThatDoNotFitTheTableAreRefused) {
    Variant result;
    EXPECT_EQ(driver->Invoke(kVersion, com::DISPATCH_PROPERTYPUT,
                             DispArgs::propertyPut(Variant(1)).params(), nullptr, nullptr, nullptr),
              com::DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(driver->Invoke(0x7777, com::DISPATCH_METHOD, DispArgs{}.params(), &result, nullptr,
                             nullptr),
              com::DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(driver->Invoke(kSendAcyclic, com::DISPATCH_METHOD, DispArgs{Variant(5)}.params(),
                             &result, nullptr, nullptr),
              com::DISP_E_BADPARAMCOUNT);
    std::uint32_t argErr = 99;
    EXPECT_EQ(driver->Invoke(kSendAcyclic, com::DISPATCH_METHOD,
                             DispArgs{Variant("five"), Variant(4), Variant(1), Variant(1),
                                      Variant(0), Variant()}
                                 .params(),
                             &result, nullptr, &argErr),
              com::DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 5u);  // the first argument, counted from the end
    EXPECT_TRUE(transport->CommandPackets().empty());

    const com::InterfaceDesc* info = nullptr;
    EXPECT_EQ(driver->GetTypeInfo(0, 0, &info), com::S_OK);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->iid, tivlink::IID_ITivDriver);
    EXPECT_EQ(driver->GetTypeInfo(1, 0, &info), com::DISP_E_BADINDEX);
}

// ---- the error rule ---------------------------------------------------------------------------

enum class Fault { None, Runtime, ComFailure, ComSuccessCode };

class TTivDriverErrors : public ::testing::Test {
protected:
    // The transport fails on the test's thread only (the worker and the timer keep running on
    // a healthy one), by throwing what the test chose.
    TTivDriverErrors() {
        transport->BeforeCall([this, owner = std::this_thread::get_id()] {
            if (std::this_thread::get_id() != owner) return;
            switch (fault.load()) {
                case Fault::Runtime:
                    throw std::runtime_error("transport lost its device");
                case Fault::ComFailure:
                    throw com::ComError(com::E_ACCESSDENIED, "device access refused");
                case Fault::ComSuccessCode:
                    throw com::ComError(com::S_FALSE, "odd success");
                default:
                    return;
            }
        });
    }
    void SetUp() override { com::clearErrorInfo(); }
    void TearDown() override { com::clearErrorInfo(); }

    os::ScopedClock clock{std::make_shared<os::ScaledClock>(20.0)};
    std::atomic<Fault> fault{Fault::None};
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    ComPtr<ITivDriver> driver = MakeDriver(transport);
};

TEST_F(TTivDriverErrors, EscapingFaultsBecomeFailingResultsWithErrorInfo) {
    struct Case {
        Fault fault;
        HRESULT expected;
        const char* description;
    };
    const Case cases[] = {
        {Fault::Runtime, com::E_UNEXPECTED, "transport lost its device"},
        {Fault::ComFailure, com::E_ACCESSDENIED, "device access refused"},
        // A COM error without a failure code is no code to pass on.
        {Fault::ComSuccessCode, com::E_UNEXPECTED, "odd success"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        fault = c.fault;
        std::int32_t count = -5;
        EXPECT_EQ(driver->GetNumAdapters(&count), c.expected);
        EXPECT_EQ(count, -5);
        const auto info = com::errorInfoFor(driver.get(), tivlink::IID_ITivDriver);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->source, "Tivlink.TivDriver");
        EXPECT_EQ(info->description, c.description);
        EXPECT_EQ(info->iid, tivlink::IID_ITivDriver);

        // Late-bound, the same failure arrives as an exception report.
        com::ExcepInfo excep;
        Variant result;
        EXPECT_EQ(com::invokeByName(driver.get(), "GetNumAdapters", com::DISPATCH_METHOD, {},
                                    &result, &excep),
                  com::DISP_E_EXCEPTION);
        EXPECT_EQ(excep.scode, c.expected);
        EXPECT_EQ(excep.source, "Tivlink.TivDriver");
        EXPECT_EQ(excep.description, c.description);
    }

    // The object is still usable once the fault has gone.
    fault = Fault::None;
    std::int32_t count = -5;
    EXPECT_EQ(driver->GetNumAdapters(&count), com::S_OK);
    EXPECT_EQ(count, 1);
    std::int32_t version = 0;
    EXPECT_EQ(driver->get_Version(&version), com::S_OK);
    EXPECT_EQ(version, 545);
}

TEST_F(TTivDriverErrors, AFailingInnerMemberFailsTheOuterOneTheSameWay) {
    fault = Fault::ComFailure;
    Variant data = Variant::fromI4(3);
    std::int32_t r = -5;
    EXPECT_EQ(driver->ReadControlData(&data, &r), com::E_ACCESSDENIED);
    const auto inner = com::errorInfoFor(driver.get(), tivlink::IID_ITivDriver);
    EXPECT_EQ(driver->Read_ControlData(&data, &r), com::E_ACCESSDENIED);
    const auto outer = com::errorInfoFor(driver.get(), tivlink::IID_ITivDriver);
    ASSERT_TRUE(inner && outer);
    EXPECT_EQ(outer->description, inner->description);
    EXPECT_EQ(outer->source, "Tivlink.TivDriver");
    EXPECT_EQ(r, -5);
    EXPECT_EQ(data, Variant::fromI4(3));

    fault = Fault::None;
    EXPECT_EQ(driver->Read_ControlData(&data, &r), com::S_OK);
    EXPECT_EQ(BytesOf(data).size(), 64u);
}

TEST_F(TTivDriverErrors, MissingPointersAreRefusedNotFollowed) {
    // Like every other fault that escapes a member: 0x8000FFFF with the error object.
    EXPECT_EQ(driver->get_Version(nullptr), com::E_UNEXPECTED);
    const auto info = com::errorInfoFor(driver.get(), tivlink::IID_ITivDriver);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->source, "Tivlink.TivDriver");
    std::int32_t a = 0, b = 0, c = 0, d = 0, e = 0, r = 0;
    EXPECT_EQ(driver->ReceiveAcyclic(&a, &b, &c, &d, &e, nullptr, &r), com::E_UNEXPECTED);
    EXPECT_EQ(driver->SendRequest(nullptr, &r), com::E_UNEXPECTED);
    EXPECT_EQ(driver->OpenRecFile(nullptr, &r), com::S_OK);
    EXPECT_EQ(r, 1);  // no name, no file
    auto support = com::ComPtr<ITivDriver>(driver).As<com::ISupportErrorInfo>();
    ASSERT_TRUE(support);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(tivlink::IID_ITivDriver), com::S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(com::IID_IDispatch), com::S_FALSE);
}

// ---- client arrays ----------------------------------------------------------------------------

// The telegram record the three transmit blocks carried.
Bytes SentRecord(const std::vector<enginetest::Packet>& w) {
    Bytes record;
    if (w.size() != 3) {
        ADD_FAILURE() << w.size() << " blocks";
        return record;
    }
    record.insert(record.end(), w[0].begin() + 1, w[0].begin() + 55);
    record.insert(record.end(), w[1].begin() + 1, w[1].begin() + 49);
    record.insert(record.end(), w[2].begin() + 1, w[2].begin() + 33);
    return record;
}

TEST_F(TTivDriverDispatch, ArraysOfEveryAcceptedElementWidthSendTheSameTelegram) {
    ASSERT_EQ(driver->put_TraDelay(0), com::S_OK);
    const Bytes expected = {0x11, 0x22, 0x33, 0xF4};
    com::SafeArray byRefTarget = com::SafeArray::fromBytes(expected);
    com::Variant byRefVariant = ByteArray(expected);
    const std::vector<std::pair<std::string, Variant>> inputs = {
        {"bytes", ByteArray(expected)},
        {"16-bit", Variant(com::SafeArray::fromInt16s(
                       std::vector<std::int16_t>{0x0111, 0x7F22, -205, 0x00F4}))},
        {"32-bit", Variant(com::SafeArray::fromInt32s(
                       std::vector<std::int32_t>{0x12345611, 0x22, 0x33, -12}))},
        {"variants", VariantArray({0x11, 0x122, 0x33, 0xF4})},
        {"by reference", Variant::byRef(&byRefTarget)},
        {"variant by reference", Variant::byRef(&byRefVariant)},
    };
    for (const auto& [what, data] : inputs) {
        SCOPED_TRACE(what);
        transport->Clear();
        std::int32_t r = -1;
        ASSERT_EQ(driver->SendAcyclic(5, 8, 3, 0x0203, 0xC1, data, &r), com::S_OK);
        ASSERT_EQ(r, 0);
        const Bytes record = SentRecord(transport->CommandPackets());
        ASSERT_GE(record.size(), 10u);
        EXPECT_EQ(Bytes(record.begin(), record.begin() + 6), (Bytes{0xA2, 8, 3, 3, 2, 0xC1}));
        EXPECT_EQ(Bytes(record.begin() + 6, record.begin() + 10), expected);
    }

    // Late-bound with the same array gives the same record.
    transport->Clear();
    Variant result;
    ASSERT_EQ(com::invokeByName(driver.get(), "SendAcyclic", com::DISPATCH_METHOD,
                                DispArgs{Variant(5), Variant(8), Variant(3), Variant(0x0203),
                                         Variant(0xC1), inputs[1].second},
                                &result),
              com::S_OK);
    EXPECT_EQ(result.i4(), 0);
    const Bytes record = SentRecord(transport->CommandPackets());
    ASSERT_GE(record.size(), 10u);
    EXPECT_EQ(Bytes(record.begin() + 6, record.begin() + 10), expected);
}

TEST_F(TTivDriverDispatch, BooleanFloatAndErrorArraysAreReadByteByByte) {
    ASSERT_EQ(driver->put_TraDelay(0), com::S_OK);
    const std::int16_t bools[4] = {-1, 0, 0, -1};
    const float floats[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    const std::int32_t errors[4] = {static_cast<std::int32_t>(0x80004005), 1, 2, 3};
    const struct {
        const char* what;
        com::VARTYPE type;
        const void* storage;
        Bytes expected;  // the first four bytes of the storage, whatever the element width
    } cases[] = {
        {"bool", com::VT_BOOL, bools, {0xFF, 0xFF, 0x00, 0x00}},
        {"float", com::VT_R4, floats, {0x00, 0x00, 0x80, 0x3F}},
        {"error", com::VT_ERROR, errors, {0x05, 0x40, 0x00, 0x80}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        com::SafeArray array(c.type, 4);
        std::memcpy(array.data(), c.storage, 4 * array.elementSize());
        transport->Clear();
        std::int32_t r = -1;
        ASSERT_EQ(driver->SendAcyclic(5, 8, 3, 0x0203, 0xC1, Variant(std::move(array)), &r),
                  com::S_OK);
        ASSERT_EQ(r, 0);
        const Bytes record = SentRecord(transport->CommandPackets());
        ASSERT_GE(record.size(), 10u);
        EXPECT_EQ(Bytes(record.begin() + 6, record.begin() + 10), c.expected);
    }
}

TEST_F(TTivDriverDispatch, NonArraysAndOddArraysSendZerosInsteadOfFailing) {
    ASSERT_EQ(driver->put_TraDelay(0), com::S_OK);
    const std::vector<std::pair<std::string, Variant>> inputs = {
        {"empty", Variant()},
        {"number", Variant(0x55)},
        {"text", Variant("0A0B")},
        {"empty array", ByteArray({})},
    };
    for (const auto& [what, data] : inputs) {
        SCOPED_TRACE(what);
        transport->Clear();
        std::int32_t r = -1;
        ASSERT_EQ(driver->SendAcyclic(5, 6, 1, 1, 0xC1, data, &r), com::S_OK);
        EXPECT_EQ(r, 0);
        const Bytes record = SentRecord(transport->CommandPackets());
        ASSERT_GE(record.size(), 8u);
        EXPECT_EQ(record[6], 0);
        EXPECT_EQ(record[7], 0);
    }

    // Strings inside a variant array count as the numbers they spell.
    transport->Clear();
    com::SafeArray texts(com::VT_BSTR, 2);
    ASSERT_EQ(texts.putElement(0, Variant("17")), com::S_OK);
    ASSERT_EQ(texts.putElement(1, Variant("x")), com::S_OK);
    std::int32_t r = -1;
    ASSERT_EQ(driver->SendAcyclic(5, 6, 1, 1, 0xC1, Variant(std::move(texts)), &r), com::S_OK);
    const Bytes record = SentRecord(transport->CommandPackets());
    ASSERT_GE(record.size(), 8u);
    EXPECT_EQ(record[6], 17);
    EXPECT_EQ(record[7], 0);

    // A record taken whole from 32-bit elements.
    transport->Clear();
    Variant whole(com::SafeArray::fromInt32s(
        std::vector<std::int32_t>{0x1A2, 0x104, 0x201, 0x302, 0x401, 0x5C0}));
    ASSERT_EQ(driver->SendRequest(&whole, &r), com::S_OK);
    EXPECT_EQ(r, 0);
    const Bytes sent = SentRecord(transport->CommandPackets());
    ASSERT_GE(sent.size(), 6u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 6), (Bytes{0xA2, 4, 1, 2, 1, 0xC0}));
}

TEST_F(TTivDriverDispatch, ArraysHandedOutAreBytesCountedFromZero) {
    // The stored response record, raw: nothing matched yet, so the size byte is invalid and
    // 136 zero bytes come back.
    Variant data = Variant(com::SafeArray::fromInt16s(std::vector<std::int16_t>{1, 2}));
    std::int32_t r = 0;
    ASSERT_EQ(driver->ReceiveResponse(&data, &r), com::S_OK);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(data.vt(), com::VT_ARRAY | com::VT_UI1);
    EXPECT_EQ(data.array().lowerBound(), 0);
    EXPECT_EQ(BytesOf(data), Bytes(136, 0));

    // Through Invoke into a by-reference byte array of the caller's.
    com::SafeArray target = com::SafeArray::fromBytes(Bytes{9});
    Variant result;
    ASSERT_EQ(com::invokeByName(driver.get(), "ReadControlData", com::DISPATCH_METHOD,
                                DispArgs{Variant::byRef(&target)}, &result),
              com::S_OK);
    EXPECT_EQ(result.i4(), 0);
    EXPECT_EQ(target.count(), 64u);
    EXPECT_EQ(target.lowerBound(), 0);

    // CheckArrayCRC reads a caller's array through the pointer, 16-bit elements included.
    Variant crcData(com::SafeArray::fromInt16s(std::vector<std::int16_t>{0x131, 0x132, 0x133}));
    Variant crcBytes = ByteArray({0x31, 0x32, 0x33});
    std::int32_t crcWide = 0, crcNarrow = 0;
    ASSERT_EQ(driver->CheckArrayCRC(&crcData, 3, &crcWide), com::S_OK);
    ASSERT_EQ(driver->CheckArrayCRC(&crcBytes, 3, &crcNarrow), com::S_OK);
    EXPECT_EQ(crcWide, crcNarrow);
    EXPECT_GT(crcWide, 0);
}

}  // namespace
