#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "com/ComObject.h"
#include "com/Variant.h"

namespace {

using namespace com;

struct Case {
    Variant from;
    VARTYPE to;
    HRESULT hr;
    Variant expected;  // when hr succeeds
};

void check(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from.describe() + " -> " + vartypeName(c.to));
        Variant out = Variant("sentinel");
        const HRESULT hr = ChangeType(out, c.from, c.to);
        EXPECT_EQ(hr, c.hr) << hresultText(hr);
        if (SUCCEEDED(hr))
            EXPECT_EQ(out, c.expected) << out.describe();
        else
            EXPECT_EQ(out, Variant("sentinel")) << "destination changed on failure";
    }
}

TEST(ComVariant, IntegerTargetsCheckRangeAndRoundHalfToEven) {
    check({
        {Variant::fromI4(255), VT_UI1, S_OK, Variant::fromUI1(255)},
        {Variant::fromI4(256), VT_UI1, DISP_E_OVERFLOW, {}},
        {Variant::fromI4(-1), VT_UI1, DISP_E_OVERFLOW, {}},
        {Variant::fromI4(-32768), VT_I2, S_OK, Variant::fromI2(-32768)},
        {Variant::fromI4(32768), VT_I2, DISP_E_OVERFLOW, {}},
        {Variant::fromUI4(0xFFFFFFFFu), VT_I4, DISP_E_OVERFLOW, {}},
        {Variant::fromUI4(0x7FFFFFFFu), VT_INT, S_OK, Variant::fromInt(0x7FFFFFFF)},
        {Variant::fromI2(-5), VT_I4, S_OK, Variant::fromI4(-5)},
        {Variant(2.5), VT_I4, S_OK, Variant::fromI4(2)},
        {Variant(3.5), VT_I4, S_OK, Variant::fromI4(4)},
        {Variant(-2.5), VT_I2, S_OK, Variant::fromI2(-2)},
        {Variant(255.4), VT_UI1, S_OK, Variant::fromUI1(255)},
        {Variant(255.6), VT_UI1, DISP_E_OVERFLOW, {}},
        {Variant(2147483648.0), VT_I4, DISP_E_OVERFLOW, {}},
        {Variant(std::numeric_limits<double>::quiet_NaN()), VT_I4, DISP_E_OVERFLOW, {}},
        {Variant(std::numeric_limits<double>::infinity()), VT_UI1, DISP_E_OVERFLOW, {}},
        {Variant::fromR4(1.5f), VT_I4, S_OK, Variant::fromI4(2)},
    });
}

TEST(ComVariant, BooleansAreMinusOneAndZero) {
    check({
        {Variant(true), VT_I4, S_OK, Variant::fromI4(-1)},
        {Variant(false), VT_I2, S_OK, Variant::fromI2(0)},
        {Variant(true), VT_UI1, S_OK, Variant::fromUI1(255)},
        {Variant::fromI4(7), VT_BOOL, S_OK, Variant(true)},
        {Variant::fromI4(0), VT_BOOL, S_OK, Variant(false)},
        {Variant(0.25), VT_BOOL, S_OK, Variant(true)},
        {Variant("TRUE"), VT_BOOL, S_OK, Variant(true)},
        {Variant(" false "), VT_BOOL, S_OK, Variant(false)},
        {Variant("0"), VT_BOOL, S_OK, Variant(false)},
        {Variant("yes"), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
        {Variant(true), VT_BSTR, S_OK, Variant("True")},
        {Variant(false), VT_R8, S_OK, Variant(0.0)},
    });
    EXPECT_EQ(Variant(true).boolVal(), VARIANT_TRUE);
    EXPECT_EQ(Variant::fromBool(false).boolVal(), VARIANT_FALSE);
}

std::vector<Case> textCases() {
    return {
        {Variant("  42 "), VT_I4, S_OK, Variant::fromI4(42)},
        {Variant("-7"), VT_I2, S_OK, Variant::fromI2(-7)},
        {Variant("&HFF"), VT_UI1, S_OK, Variant::fromUI1(255)},
        {Variant("&hFFFFFFFF"), VT_I4, S_OK, Variant::fromI4(-1)},
        {Variant("&H1FFFFFFFF"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Variant("1.5"), VT_R8, S_OK, Variant(1.5)},
        {Variant("2.5"), VT_I4, S_OK, Variant::fromI4(2)},
        {Variant("1e3"), VT_I4, S_OK, Variant::fromI4(1000)},
        {Variant("300"), VT_UI1, DISP_E_OVERFLOW, {}},
        {Variant("12abc"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Variant(""), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Variant("nan"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {Variant(std::string(1000, '9')), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {Variant::fromI4(-12), VT_BSTR, S_OK, Variant("-12")},
        {Variant::fromUI4(4000000000u), VT_BSTR, S_OK, Variant("4000000000")},
        {Variant(1.5), VT_BSTR, S_OK, Variant("1.5")},
        {Variant(0.1), VT_BSTR, S_OK, Variant("0.1")},
        {Variant(), VT_BSTR, S_OK, Variant("")},
        {Variant::fromR8(1e300), VT_R4, DISP_E_OVERFLOW, {}},
        {Variant("+7.25"), VT_R8, S_OK, Variant(7.25)},
        {Variant("-.5E-1"), VT_R8, S_OK, Variant(-0.05)},
        {Variant("1,5"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {Variant("+-1"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {Variant("1e400"), VT_I4, DISP_E_OVERFLOW, {}},
        {Variant("1e400"), VT_R8, S_OK, Variant(std::numeric_limits<double>::infinity())},
        {Variant("-1e-400"), VT_R8, S_OK, Variant(-0.0)},
        {Variant("0." + std::string(330, '0') + "1"), VT_R8, S_OK, Variant(0.0)},
        {Variant(-1234.5), VT_BSTR, S_OK, Variant("-1234.5")},
        {Variant(1e20), VT_BSTR, S_OK, Variant("1E+20")},
        {Variant(1.0 / 3), VT_BSTR, S_OK, Variant("0.333333333333333")},
        {Variant::fromR4(0.1f), VT_BSTR, S_OK, Variant("0.1")},
        {Variant::fromDate(2.25), VT_BSTR, S_OK, Variant("2.25")},
    };
}

TEST(ComVariant, TextConvertsBothWays) {
    check(textCases());
}

// The process locale as a Qt program leaves it: set from the environment, here German (decimal
// comma). Generated into the build tree when the system has none.
class GermanLocale {
public:
    GermanLocale() {
        const char* before = std::getenv("LOCPATH");
        if (before) savedPath_ = before;
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
            if ((active_ = std::setlocale(LC_ALL, name) != nullptr)) return;
        ::setenv("LOCPATH", TIV_TEST_LOCALE_DIR, 1);
        active_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    }
    ~GermanLocale() {
        std::setlocale(LC_ALL, "C");
        if (savedPath_)
            ::setenv("LOCPATH", savedPath_->c_str(), 1);
        else
            ::unsetenv("LOCPATH");
    }
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;

    bool active() const { return active_ && std::string(std::localeconv()->decimal_point) == ","; }

private:
    bool active_ = false;
    std::optional<std::string> savedPath_;
};

TEST(ComVariant, TextConversionIgnoresTheProcessLocale) {
    GermanLocale german;
    if (!german.active())
        GTEST_SKIP() << "no German locale here and none could be generated (package locales)";
    check(textCases());
}

TEST(ComVariant, NullObjectsAndBadTargetsAreRefused) {
    check({
        {Variant::null(), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Variant::null(), VT_BSTR, DISP_E_TYPEMISMATCH, {}},
        {Variant(), VT_I4, S_OK, Variant::fromI4(0)},
        {Variant::fromError(E_FAIL), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Variant::fromBytes(std::vector<std::uint8_t>{1, 2}), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {Variant::fromI4(1), VT_ARRAY | VT_UI1, DISP_E_TYPEMISMATCH, {}},
        {Variant::fromI4(1), VT_CY, DISP_E_BADVARTYPE, {}},
        {Variant::fromI4(1), VT_BYREF | VT_I4, DISP_E_BADVARTYPE, {}},
        {Variant::fromI4(1), 0x0FFF, DISP_E_BADVARTYPE, {}},
        {Variant::fromI4(1), VT_ARRAY | VT_CY, DISP_E_BADVARTYPE, {}},
    });
}

TEST(ComVariant, SixteenAndThirtyTwoBitArraysConvertElementByElement) {
    const std::int16_t shorts[] = {1, 255, -1};
    Variant out;
    EXPECT_EQ(ChangeType(out, Variant(SafeArray::fromInt16s(shorts)), VT_ARRAY | VT_UI1),
              DISP_E_OVERFLOW);
    const std::int32_t longs[] = {0, 17, 255};
    ASSERT_EQ(ChangeType(out, Variant(SafeArray::fromInt32s(longs)), VT_ARRAY | VT_UI1), S_OK);
    ASSERT_EQ(out.vt(), VT_ARRAY | VT_UI1);
    const auto bytes = out.array().span<std::uint8_t>();
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()),
              (std::vector<std::uint8_t>{0, 17, 255}));

    // 16- and 32-bit elements keep their width in storage, as the engine reads them.
    const SafeArray s = SafeArray::fromInt16s(shorts);
    EXPECT_EQ(s.elementSize(), 2u);
    EXPECT_EQ(static_cast<const std::int16_t*>(s.data())[2], -1);
    EXPECT_EQ(SafeArray::fromInt32s(longs).elementSize(), 4u);

    // A VARIANT array takes each element by its own type.
    SafeArray mixed(VT_VARIANT, 3);
    ASSERT_EQ(mixed.putElement(0, Variant("7")), S_OK);
    ASSERT_EQ(mixed.putElement(1, Variant(true)), S_OK);
    ASSERT_EQ(mixed.putElement(2, Variant(2.0)), S_OK);
    ASSERT_EQ(ChangeType(out, Variant(mixed), VT_ARRAY | VT_I2), S_OK);
    const auto i2 = out.array().span<std::int16_t>();
    EXPECT_EQ(std::vector<std::int16_t>(i2.begin(), i2.end()),
              (std::vector<std::int16_t>{7, -1, 2}));
}

TEST(ComVariant, SafeArrayBoundsTypesAndCopies) {
    SafeArray a(VT_I4, 3, 5);
    EXPECT_EQ(a.lowerBound(), 5);
    EXPECT_EQ(a.upperBound(), 7);
    EXPECT_EQ(a.putElement(4, Variant::fromI4(1)), DISP_E_BADINDEX);
    EXPECT_EQ(a.putElement(8, Variant::fromI4(1)), DISP_E_BADINDEX);
    EXPECT_EQ(a.putElement(7, Variant("300")), S_OK);
    EXPECT_EQ(a.putElement(6, Variant("x")), DISP_E_TYPEMISMATCH);
    Variant e;
    ASSERT_EQ(a.getElement(7, e), S_OK);
    EXPECT_EQ(e, Variant::fromI4(300));
    EXPECT_EQ(a.getElement(std::numeric_limits<std::int32_t>::min(), e), DISP_E_BADINDEX);
    EXPECT_THROW(a.span<std::int16_t>(), ComError);
    EXPECT_THROW(a.span<std::uint32_t>(), ComError);

    SafeArray empty(VT_UI1);
    EXPECT_EQ(empty.upperBound(), -1);
    EXPECT_EQ(empty.data(), nullptr);
    EXPECT_THROW(SafeArray(VT_CY, 1), ComError);
    EXPECT_THROW(SafeArray(VT_UI1, 2, std::numeric_limits<std::int32_t>::max()), ComError);

    // Copies are deep: changing one leaves the other.
    Variant v(a);
    Variant copy = v;
    copy.array().span<std::int32_t>()[0] = 99;
    EXPECT_EQ(v.array().span<std::int32_t>()[0], 0);
    EXPECT_NE(v, copy);
    Variant moved = std::move(copy);
    EXPECT_TRUE(copy.isEmpty());  // NOLINT(bugprone-use-after-move): moved-from is defined
    EXPECT_EQ(moved.array().span<std::int32_t>()[0], 99);
}

TEST(ComVariant, ByReferenceReadsAndWritesTheCallersStorage) {
    std::int32_t n = 5;
    const Variant ref = Variant::byRef(&n);
    EXPECT_EQ(ref.vt(), VT_BYREF | VT_I4);
    EXPECT_EQ(ref.toInt64(), 5);
    EXPECT_EQ(ref.value(), Variant::fromI4(5));
    EXPECT_EQ(ref.storeThroughRef(Variant("12")), S_OK);
    EXPECT_EQ(n, 12);
    EXPECT_EQ(ref.storeThroughRef(Variant(1e12)), DISP_E_OVERFLOW);
    EXPECT_EQ(n, 12) << "target changed by a failed store";

    std::int16_t flag = 0;
    EXPECT_EQ(Variant::byRef(&flag, VT_BOOL).storeThroughRef(Variant::fromI4(3)), S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);

    Variant target = Variant::fromI4(1);
    const Variant vref = Variant::byRef(&target);
    EXPECT_EQ(vref.storeThroughRef(Variant("text")), S_OK);
    EXPECT_EQ(target, Variant("text")) << "a VARIANT reference takes the value as it is";

    SafeArray bytes(VT_UI1, 1);
    const Variant aref = Variant::byRef(&bytes);
    const std::int32_t wide[] = {1, 2, 3};
    EXPECT_EQ(aref.storeThroughRef(Variant(SafeArray::fromInt32s(wide))), S_OK);
    ASSERT_EQ(bytes.elementType(), VT_UI1) << "the referenced array keeps its element type";
    EXPECT_EQ(bytes.count(), 3u);
    EXPECT_EQ(aref.arrayPtr(), &bytes);
    EXPECT_EQ(Variant::byRef(&target).arrayPtr(), nullptr);

    EXPECT_EQ(Variant::fromI4(1).storeThroughRef(Variant::fromI4(2)), E_INVALIDARG);
    EXPECT_THROW(Variant::byRef(&n, VT_BSTR), ComError);

    // A reference to a reference ends at the referenced value; a cycle does not hang.
    Variant inner = Variant::byRef(&n);
    const Variant outer = Variant::byRef(&inner);
    EXPECT_EQ(outer.toInt64(), 12);
    Variant loop;
    loop = Variant::byRef(&loop);
    EXPECT_EQ(loop.toInt64(), std::nullopt);
    Variant out;
    EXPECT_EQ(ChangeType(out, loop, VT_I4), E_POINTER);
}

TEST(ComVariant, NumberAccessorsReadAnyNumericType) {
    EXPECT_EQ(Variant::fromUI1(200).toInt64(), 200);
    EXPECT_EQ(Variant::fromI1(-3).toDouble(), -3.0);
    EXPECT_EQ(Variant(true).toInt64(), -1);
    EXPECT_EQ(Variant(2.5).toInt64(), 2);
    EXPECT_EQ(Variant::fromUI4(4000000000u).toInt64(), 4000000000);
    EXPECT_EQ(Variant(1e30).toInt64(), std::nullopt);
    EXPECT_EQ(Variant("5").toInt64(), std::nullopt) << "text is not a number here";
    EXPECT_EQ(Variant().toDouble(), std::nullopt);
    EXPECT_THROW(Variant::fromI2(1).i4(), ComError);
    EXPECT_THROW(Variant::fromI4(1).intVal(), ComError);
    EXPECT_EQ(Variant::missing().isMissing(), true);
}

class Counted final : public ComObject<Counted, IUnknown> {};

TEST(ComVariant, ObjectsAreReferenced) {
    auto obj = Counted::create();
    {
        Variant v(obj->identity());
        EXPECT_EQ(obj->refCount(), 2u);
        Variant copy = v;
        EXPECT_EQ(obj->refCount(), 3u);
        copy = Variant::fromI4(1);
        EXPECT_EQ(obj->refCount(), 2u);
        Variant out;
        EXPECT_EQ(ChangeType(out, v, VT_DISPATCH), DISP_E_TYPEMISMATCH);  // no IDispatch
    }
    EXPECT_EQ(obj->refCount(), 1u);
    EXPECT_EQ(Variant(static_cast<IUnknown*>(nullptr)).describe(), "VT_UNKNOWN null");
}

TEST(ComVariant, DescribesForPeople) {
    EXPECT_EQ(Variant::fromI4(5).describe(), "VT_I4 5");
    EXPECT_EQ(Variant("a").describe(), "VT_BSTR \"a\"");
    EXPECT_EQ(Variant::fromBytes(std::vector<std::uint8_t>{1, 0xAB}).describe(),
              "VT_ARRAY|VT_UI1 [01 AB]");
    EXPECT_EQ(vartypeName(VT_BYREF | VT_VARIANT), "VT_BYREF|VT_VARIANT");
    EXPECT_EQ(vartypeName(0x63), "VT_0x0063");
}

}  // namespace
