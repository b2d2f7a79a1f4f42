#include "com/ErrorInfo.h"

#include <exception>

#include "com/ComObject.h"
#include "com/Runtime.h"

namespace com {

namespace {

class ErrorObject final : public UncountedComObject<ErrorObject, IErrorInfo> {
public:
    explicit ErrorObject(ErrorInfoData data) : data_(std::move(data)) {}

    HRESULT GetGUID(Guid* iid) override { return get(iid, data_.iid); }
    HRESULT GetSource(std::string* source) override { return get(source, data_.source); }
    HRESULT GetDescription(std::string* d) override { return get(d, data_.description); }
    HRESULT GetHelpFile(std::string* helpFile) override { return get(helpFile, data_.helpFile); }
    HRESULT GetHelpContext(std::uint32_t* context) override {
        return get(context, data_.helpContext);
    }

private:
    template <class T>
    static HRESULT get(T* out, const T& value) {
        if (!out) return E_POINTER;
        try {
            *out = value;
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    const ErrorInfoData data_;
};

}  // namespace

HRESULT SetErrorInfo(std::uint32_t reserved, IErrorInfo* info) {
    if (reserved != 0) return E_INVALIDARG;
    detail::runtime().setErrorInfo(info);
    return S_OK;
}

HRESULT GetErrorInfo(std::uint32_t reserved, IErrorInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (reserved != 0) return E_INVALIDARG;
    *info = detail::runtime().takeErrorInfo();
    return *info ? S_OK : S_FALSE;
}

ComPtr<IErrorInfo> CreateErrorInfo(const ErrorInfoData& data) {
    try {
        return ErrorObject::create(data);
    } catch (...) {
        return nullptr;
    }
}

HRESULT reportError(HRESULT hr, const Guid& iid, std::string_view source,
                    std::string_view description) {
    try {
        auto info = CreateErrorInfo(
            ErrorInfoData{iid, std::string(source), std::string(description), {}, 0});
        SetErrorInfo(0, info.get());
    } catch (...) {
        SetErrorInfo(0, nullptr);  // better none than a stale one
    }
    return hr;
}

HRESULT reportCurrentException(const Guid& iid, std::string_view source) noexcept {
    HRESULT hr = E_UNEXPECTED;
    std::string description = "unknown error";
    try {
        try {
            throw;
        } catch (const ComError& e) {
            if (FAILED(e.hr())) hr = e.hr();
            description = e.description();
        } catch (const std::exception& e) {
            description = e.what();
        } catch (...) {
        }
        return reportError(hr, iid, source, description);
    } catch (...) {
        return hr;
    }
}

std::optional<ErrorInfoData> takeErrorInfo() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info) return std::nullopt;
    ErrorInfoData d;
    info->GetGUID(&d.iid);
    info->GetSource(&d.source);
    info->GetDescription(&d.description);
    info->GetHelpFile(&d.helpFile);
    info->GetHelpContext(&d.helpContext);
    return d;
}

void clearErrorInfo() {
    SetErrorInfo(0, nullptr);
}

std::optional<ErrorInfoData> errorInfoFor(IUnknown* object, const Guid& iid) {
    auto support = queryInterface<ISupportErrorInfo>(object);
    if (!support || support->InterfaceSupportsErrorInfo(iid) != S_OK) {
        clearErrorInfo();
        return std::nullopt;
    }
    return takeErrorInfo();
}

void throwIfFailed(HRESULT hr) {
    if (SUCCEEDED(hr)) return;
    auto info = takeErrorInfo();
    throw ComError(hr, info && !info->description.empty() ? info->description : std::string());
}

}  // namespace com
