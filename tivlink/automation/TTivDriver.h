#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "com/ComObject.h"
#include "com/ConnectionPoint.h"
#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"
#include "tivlink/ITivDriver.h"
#include "tivlink/automation/DriverObject.h"

namespace tivlink {

// The source every error object of the driver names.
inline constexpr const char* kTivDriverErrorSource = "Tivlink.TivDriver";

// The coclass TivDriver: the automation facade over one driver object. Create, call and release
// it on one thread (the client's apartment); events reach the advised sink there, through the
// engine's hidden window, while the thread processes its messages.
//
// Events: the connection point takes several sinks, but only the one advised last is current;
// unadvising any sink leaves none until the next advise. A sink's failures never reach the
// driver.
//
// Every member catches whatever escapes it: a com::ComError with a failure code becomes that
// code, anything else E_UNEXPECTED, each with error info (kTivDriverErrorSource, the
// description, IID_ITivDriver).
class TTivDriver final
    : public com::ComObject<TTivDriver, com::DispatchImpl<TTivDriver, ITivDriver>,
                            com::IConnectionPointContainer,
                            com::SupportErrorInfoImpl<&IID_ITivDriver>> {
public:
    using Options = DriverObject::Options;

    // The driver on the process transport with the embedded firmware image.
    TTivDriver();
    explicit TTivDriver(Options options);
    ~TTivDriver() override;

    static const com::InterfaceDesc& interfaceDesc();

    // Counting stops while the destructor runs, so a sink that takes and drops a reference
    // during the final OnFree cannot destroy the object a second time.
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;

    // IConnectionPointContainer
    com::HRESULT EnumConnectionPoints(
        std::vector<com::ComPtr<com::IConnectionPoint>>* points) override;
    com::HRESULT FindConnectionPoint(const com::Guid& iid, com::IConnectionPoint** point) override;

    // ITivDriver
// clang-format off
#define TIV_P(dir, type, name) TIV_COM_CT(dir, type) name
#define TIV_MEMBER(dispId, kind, name, params) \
    com::HRESULT TIV_COM_NAME(kind, name) params override;
// clang-format on
#include "tivlink/ITivDriverMembers.def"

private:
    using Base =
        com::ComObject<TTivDriver, com::DispatchImpl<TTivDriver, ITivDriver>,
                       com::IConnectionPointContainer, com::SupportErrorInfoImpl<&IID_ITivDriver>>;

    DriverObject& Live();
    DriverEngine& Engine() {
        return Live().Engine();
    }
    void OnConnection(bool advised, com::IDispatch* sink);

    // Runs `body` under the error rule.
    template <class Body>
    com::HRESULT Run(Body&& body) noexcept;
    // A property getter: `*value` = read(), under the error rule.
    template <class T, class Read>
    com::HRESULT Get(T* value, Read&& read) noexcept;
    // A method with a long result: `*result` = call(), under the error rule.
    template <class Call>
    com::HRESULT Result(std::int32_t* result, Call&& call) noexcept;

    com::ConnectionPoint eventsPoint_;
    std::unique_ptr<DriverObject> object_;
    std::atomic<bool> destroying_{false};
};

}  // namespace tivlink
