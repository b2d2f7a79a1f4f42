#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "com/ComPtr.h"
#include "com/IUnknown.h"

namespace com {

// An automation error object: what failed, where, and in which interface.
class IErrorInfo : public IUnknown {
public:
    static constexpr Guid iid = makeGuid("{1CF2B120-547D-101B-8E65-08002B2BD119}");
    using Base = IUnknown;

    virtual HRESULT GetGUID(Guid* iid) = 0;
    virtual HRESULT GetSource(std::string* source) = 0;
    virtual HRESULT GetDescription(std::string* description) = 0;
    virtual HRESULT GetHelpFile(std::string* helpFile) = 0;
    virtual HRESULT GetHelpContext(std::uint32_t* context) = 0;
};

// Objects that set error info for an interface say so here.
class ISupportErrorInfo : public IUnknown {
public:
    static constexpr Guid iid = makeGuid("{DF0B3D60-548F-101B-8E65-08002B2BD119}");
    using Base = IUnknown;

    // S_OK when failures of `iid`'s members set the thread's error info, else S_FALSE.
    virtual HRESULT InterfaceSupportsErrorInfo(const Guid& iid) = 0;
};

inline constexpr const Guid& IID_IErrorInfo = IErrorInfo::iid;
inline constexpr const Guid& IID_ISupportErrorInfo = ISupportErrorInfo::iid;

struct ErrorInfoData {
    Guid iid;  // the interface whose member failed
    std::string source;
    std::string description;
    std::string helpFile;
    std::uint32_t helpContext = 0;
};

// The calling thread's current error object; one per thread, shared by every module of the
// process that the runtime loaded. `reserved` must be 0 (else E_INVALIDARG).
// SetErrorInfo replaces it (null clears). GetErrorInfo hands it over and clears the slot:
// S_OK with the object, or S_FALSE and null when there is none.
HRESULT SetErrorInfo(std::uint32_t reserved, IErrorInfo* info);
HRESULT GetErrorInfo(std::uint32_t reserved, IErrorInfo** info);

// A new error object (never null unless memory runs out).
ComPtr<IErrorInfo> CreateErrorInfo(const ErrorInfoData& data);

// Sets a new error object as the thread's current one and returns hr, for
//   return com::reportError(E_FAIL, IID_ITivDriver, "Tivlink.TivDriver", "what happened");
HRESULT reportError(HRESULT hr, const Guid& iid, std::string_view source,
                    std::string_view description);
// Inside a catch block at an interface boundary: sets error info from the exception being
// handled and returns its code: a ComError's code when it is a failure, else E_UNEXPECTED;
// the description is the exception's message ("unknown error" for non-standard exceptions).
HRESULT reportCurrentException(const Guid& iid, std::string_view source) noexcept;

// GetErrorInfo read out into plain data (and the slot cleared); nothing when none is set.
std::optional<ErrorInfoData> takeErrorInfo();
void clearErrorInfo();
// A client's check after a failed call on `object` through `iid`: if the object supports
// error info for it, the thread's error info (taken); else nothing (and the slot is cleared,
// since what is there came from someone else).
std::optional<ErrorInfoData> errorInfoFor(IUnknown* object, const Guid& iid);

// Throws ComError(hr, description) for a failure, the description from the thread's error info
// when set (taken), else hresultText(hr). Does nothing for success codes.
void throwIfFailed(HRESULT hr);

// ISupportErrorInfo for an object whose listed interfaces set error info:
//   class Driver : public ComObject<Driver, ..., SupportErrorInfoImpl<&IID_ITivDriver>>
template <const Guid*... Iids>
class SupportErrorInfoImpl : public ISupportErrorInfo {
public:
    HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override {
        return ((iid == *Iids) || ...) ? S_OK : S_FALSE;
    }
};

}  // namespace com
