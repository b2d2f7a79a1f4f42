#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "TestCalc.h"
#include "com/ErrorInfo.h"

namespace {

using namespace com;

const Guid kIid = makeGuid("{11111111-2222-3333-4444-555555555555}");

TEST(ComErrorInfo, OnePerThreadAndTakenOnRead) {
    clearErrorInfo();
    EXPECT_EQ(reportError(E_FAIL, kIid, "Src", "main thread"), E_FAIL);
    std::optional<ErrorInfoData> other;
    std::thread([&] {
        other = takeErrorInfo();
        reportError(E_FAIL, kIid, "Src", "worker thread");
    }).join();
    EXPECT_FALSE(other) << "another thread's error info leaked";

    IErrorInfo* raw = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &raw), S_OK);
    auto info = ComPtr<IErrorInfo>::attach(raw);
    std::string text;
    Guid iid;
    info->GetDescription(&text);
    info->GetGUID(&iid);
    EXPECT_EQ(text, "main thread");
    EXPECT_EQ(iid, kIid);
    EXPECT_EQ(GetErrorInfo(0, &raw), S_FALSE) << "reading clears the slot";
    EXPECT_EQ(raw, nullptr);

    // Setting again replaces; null clears.
    SetErrorInfo(0, info.get());
    reportError(E_FAIL, kIid, "Src", "newer");
    EXPECT_EQ(takeErrorInfo()->description, "newer");
    SetErrorInfo(0, info.get());
    SetErrorInfo(0, nullptr);
    EXPECT_FALSE(takeErrorInfo());
    EXPECT_EQ(SetErrorInfo(1, nullptr), E_INVALIDARG);
}

TEST(ComErrorInfo, ExceptionsAtTheBoundaryBecomeCodesAndErrorInfo) {
    auto boundary = [](auto thrower) {
        try {
            thrower();
            return S_OK;
        } catch (...) {
            return reportCurrentException(kIid, "Tivlink.TivDriver");
        }
    };
    EXPECT_EQ(boundary([] { throw ComError(DISP_E_OVERFLOW, "too big"); }), DISP_E_OVERFLOW);
    auto info = takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, "too big");
    EXPECT_EQ(info->source, "Tivlink.TivDriver");
    EXPECT_EQ(info->iid, kIid);

    EXPECT_EQ(boundary([] { throw ComError(S_FALSE, "odd"); }), E_UNEXPECTED);
    EXPECT_EQ(takeErrorInfo()->description, "odd");
    EXPECT_EQ(boundary([] { throw std::out_of_range("index 9"); }), E_UNEXPECTED);
    EXPECT_EQ(takeErrorInfo()->description, "index 9");
    EXPECT_EQ(boundary([] { throw 42; }), E_UNEXPECTED);
    EXPECT_EQ(takeErrorInfo()->description, "unknown error");
}

TEST(ComErrorInfo, ClientsCheckSupportBeforeTrustingIt) {
    auto calc = comtest::TestCalc::create();
    std::int32_t r = 0;
    EXPECT_EQ(calc->Fail("from the member", &r), E_FAIL);
    auto info = errorInfoFor(calc->identity(), comtest::IID_ITestCalc);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, "from the member");

    // An interface the object does not support error info for: the slot is stale, dropped.
    reportError(E_FAIL, kIid, "Someone", "else");
    EXPECT_FALSE(errorInfoFor(calc->identity(), IDispatch::iid));
    EXPECT_FALSE(takeErrorInfo());

    reportError(E_FAIL, kIid, "Src", "described");
    try {
        throwIfFailed(E_FAIL);
        ADD_FAILURE() << "no exception";
    } catch (const ComError& e) {
        EXPECT_EQ(e.hr(), E_FAIL);
        EXPECT_EQ(e.description(), "described");
    }
    EXPECT_NO_THROW(throwIfFailed(S_FALSE));
    try {
        throwIfFailed(E_POINTER);
    } catch (const ComError& e) {
        EXPECT_EQ(e.description(), "E_POINTER (0x80004003)");
    }
}

}  // namespace
