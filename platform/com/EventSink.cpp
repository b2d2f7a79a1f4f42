#include "com/EventSink.h"

namespace com {

EventSink::EventSink(const Guid& eventIid, Handler handler)
    : eventIid_(eventIid), handler_(std::move(handler)) {}

void* EventSink::extraInterface(const Guid& iid) {
    return iid == eventIid_ ? static_cast<void*>(static_cast<IDispatch*>(this)) : nullptr;
}

HRESULT EventSink::GetTypeInfoCount(std::uint32_t* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT EventSink::GetTypeInfo(std::uint32_t, LCID, const InterfaceDesc** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    return E_NOTIMPL;
}

HRESULT EventSink::GetIDsOfNames(std::span<const std::string_view> names, LCID, DISPID* ids) {
    if (!ids) return E_POINTER;
    for (std::size_t i = 0; i < names.size(); ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

HRESULT EventSink::Invoke(DISPID dispId, std::uint16_t, const DispParams& params, Variant* result,
                          ExcepInfo*, std::uint32_t*) {
    if (!handler_) return S_OK;
    try {
        return handler_(dispId, params, result);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace com
