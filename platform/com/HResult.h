#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace com {

// Result codes: negative means failure. Names and values are the standard ones because the
// code built on this layer is written against them.
using HRESULT = std::int32_t;
using SCODE = HRESULT;

constexpr HRESULT makeHr(std::uint32_t v) {
    return static_cast<HRESULT>(v);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = makeHr(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = makeHr(0x80004002);
inline constexpr HRESULT E_POINTER = makeHr(0x80004003);
inline constexpr HRESULT E_ABORT = makeHr(0x80004004);
inline constexpr HRESULT E_FAIL = makeHr(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = makeHr(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = makeHr(0x80070005);
inline constexpr HRESULT E_HANDLE = makeHr(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = makeHr(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = makeHr(0x80070057);

inline constexpr HRESULT CLASS_E_NOAGGREGATION = makeHr(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = makeHr(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = makeHr(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = makeHr(0x80040151);
inline constexpr HRESULT REGDB_E_KEYMISSING = makeHr(0x80040152);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = makeHr(0x80040154);
inline constexpr HRESULT CO_E_CLASSSTRING = makeHr(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = makeHr(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = makeHr(0x800401F9);

inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = makeHr(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = makeHr(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = makeHr(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = makeHr(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = makeHr(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = makeHr(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = makeHr(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = makeHr(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = makeHr(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = makeHr(0x8002000B);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = makeHr(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = makeHr(0x8002000F);

inline constexpr HRESULT TYPE_E_REGISTRYACCESS = makeHr(0x8002801C);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = makeHr(0x8002801D);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = makeHr(0x8002802B);

inline constexpr HRESULT CONNECT_E_NOCONNECTION = makeHr(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = makeHr(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = makeHr(0x80040202);

inline constexpr HRESULT SELFREG_E_TYPELIB = makeHr(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = makeHr(0x80040201);

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

// "0x8000FFFF".
std::string hresultHex(HRESULT hr);
// The constant's name above ("E_UNEXPECTED"), empty for codes not listed. Codes shared by
// two names (CONNECT_E_NOCONNECTION / SELFREG_E_TYPELIB) give the first.
std::string_view hresultName(HRESULT hr);
// "E_UNEXPECTED (0x8000FFFF)" or just the hex form.
std::string hresultText(HRESULT hr);

// A failure carried as an exception inside a component; it never crosses an interface
// (see reportCurrentException in ErrorInfo.h for the boundary).
class ComError : public std::runtime_error {
public:
    // An empty description becomes hresultText(hr).
    explicit ComError(HRESULT hr, std::string description = {});

    HRESULT hr() const noexcept { return hr_; }
    const std::string& description() const noexcept { return description_; }

private:
    HRESULT hr_;
    std::string description_;
};

}  // namespace com
