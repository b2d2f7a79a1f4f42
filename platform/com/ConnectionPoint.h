#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "com/ComPtr.h"
#include "com/IDispatch.h"
#include "com/IUnknown.h"

namespace com {

class IConnectionPointContainer;

struct ConnectData {
    ComPtr<IUnknown> sink;
    std::uint32_t cookie = 0;
};

// One outgoing interface of an object: clients advise sinks on it.
class IConnectionPoint : public IUnknown {
public:
    static constexpr Guid iid = makeGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;

    virtual HRESULT GetConnectionInterface(Guid* iid) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
    // Asks the sink for the outgoing interface and keeps that reference. A cookie (never 0)
    // in *cookie on success; CONNECT_E_CANNOTCONNECT when the sink lacks the interface,
    // CONNECT_E_ADVISELIMIT when the point is full, E_POINTER for null arguments.
    virtual HRESULT Advise(IUnknown* sink, std::uint32_t* cookie) = 0;
    // CONNECT_E_NOCONNECTION for a cookie not (or no longer) advised.
    virtual HRESULT Unadvise(std::uint32_t cookie) = 0;
    // The current connections (a snapshot), in advise order.
    virtual HRESULT EnumConnections(std::vector<ConnectData>* connections) = 0;
};

class IConnectionPointContainer : public IUnknown {
public:
    static constexpr Guid iid = makeGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;

    // All connection points (AddRef'ed).
    virtual HRESULT EnumConnectionPoints(std::vector<ComPtr<IConnectionPoint>>* points) = 0;
    // CONNECT_E_NOCONNECTION when the object has no point for the interface.
    virtual HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** point) = 0;
};

inline constexpr const Guid& IID_IConnectionPoint = IConnectionPoint::iid;
inline constexpr const Guid& IID_IConnectionPointContainer = IConnectionPointContainer::iid;

// A connection point held by value inside its container object. Its reference count is the
// container's (AddRef / Release forward to it); QueryInterface answers IUnknown and
// IConnectionPoint with the point itself. The outgoing interface must be IDispatch-based: the
// pointer a sink gives for it is used as an IDispatch*. Thread-safe; invoke() calls the sinks
// outside the lock, so a sink may advise or unadvise from inside an event.
class ConnectionPoint final : public IConnectionPoint {
public:
    static constexpr std::size_t kUnlimited = static_cast<std::size_t>(-1);

    // Called after a successful Advise / Unadvise, outside the lock, on the caller's thread.
    using Observer = std::function<void(bool advised, std::uint32_t cookie, IDispatch* sink)>;

    ConnectionPoint(IConnectionPointContainer& container, const Guid& iid,
                    std::size_t maxSinks = kUnlimited);
    ~ConnectionPoint() override;
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    HRESULT QueryInterface(const Guid& iid, void** out) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;

    HRESULT GetConnectionInterface(Guid* iid) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT Advise(IUnknown* sink, std::uint32_t* cookie) override;
    HRESULT Unadvise(std::uint32_t cookie) override;
    HRESULT EnumConnections(std::vector<ConnectData>* connections) override;

    // Owner side.
    const Guid& connectionIid() const { return iid_; }
    void setObserver(Observer observer);
    std::size_t count() const;
    std::vector<ComPtr<IDispatch>> sinks() const;  // snapshot in advise order
    ComPtr<IDispatch> sink(std::uint32_t cookie) const;
    // Invokes `id` as a method on every sink (snapshot). Returns S_OK, or the first failure
    // a sink returned (the others are still called).
    HRESULT invoke(DISPID id, const DispArgs& args = {});
    // Drops every connection (when the owner shuts down).
    void clear();

private:
    IConnectionPointContainer& container_;
    const Guid iid_;
    const std::size_t maxSinks_;
    mutable std::mutex mutex_;
    std::map<std::uint32_t, ComPtr<IDispatch>> sinks_;
    std::uint32_t nextCookie_ = 1;
    Observer observer_;
};

// IConnectionPointContainer methods over the points an object holds.
HRESULT findConnectionPoint(std::span<ConnectionPoint* const> points, const Guid& iid,
                            IConnectionPoint** out);
HRESULT enumConnectionPoints(std::span<ConnectionPoint* const> points,
                             std::vector<ComPtr<IConnectionPoint>>* out);

// Client side: finds the point for `iid` on `source` and advises / unadvises `sink`.
HRESULT advise(IUnknown* source, const Guid& iid, IUnknown* sink, std::uint32_t* cookie);
HRESULT unadvise(IUnknown* source, const Guid& iid, std::uint32_t cookie);

}  // namespace com
