#pragma once

#include <functional>

#include "com/ComObject.h"
#include "com/IDispatch.h"

namespace com {

// A client's sink for a dispinterface: answers IUnknown, IDispatch and the given event
// interface id, and hands every Invoke to a function. Useful for clients that take events by
// dispatch id (and for tests).
class EventSink final : public ComObject<EventSink, IDispatch> {
public:
    // Its return value is what Invoke returns.
    using Handler = std::function<HRESULT(DISPID id, const DispParams& params, Variant* result)>;

    EventSink(const Guid& eventIid, Handler handler);

    void* extraInterface(const Guid& iid);

    HRESULT GetTypeInfoCount(std::uint32_t* count) override;
    HRESULT GetTypeInfo(std::uint32_t index, LCID lcid, const InterfaceDesc** info) override;
    HRESULT GetIDsOfNames(std::span<const std::string_view> names, LCID lcid, DISPID* ids) override;
    HRESULT Invoke(DISPID dispId, std::uint16_t flags, const DispParams& params, Variant* result,
                   ExcepInfo* excepInfo, std::uint32_t* argErr) override;

private:
    const Guid eventIid_;
    Handler handler_;
};

}  // namespace com
