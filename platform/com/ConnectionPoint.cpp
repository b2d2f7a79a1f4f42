#include "com/ConnectionPoint.h"

namespace com {

ConnectionPoint::ConnectionPoint(IConnectionPointContainer& container, const Guid& iid,
                                 std::size_t maxSinks)
    : container_(container), iid_(iid), maxSinks_(maxSinks) {}

ConnectionPoint::~ConnectionPoint() = default;

HRESULT ConnectionPoint::QueryInterface(const Guid& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IUnknown::iid)
        *out = static_cast<IUnknown*>(this);
    else if (iid == IConnectionPoint::iid)
        *out = static_cast<IConnectionPoint*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

std::uint32_t ConnectionPoint::AddRef() {
    return container_.AddRef();
}
std::uint32_t ConnectionPoint::Release() {
    return container_.Release();
}

HRESULT ConnectionPoint::GetConnectionInterface(Guid* iid) {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) return E_POINTER;
    container_.AddRef();
    *container = &container_;
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, std::uint32_t* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    void* p = nullptr;
    if (FAILED(sink->QueryInterface(iid_, &p)) || !p) return CONNECT_E_CANNOTCONNECT;
    auto itf = ComPtr<IDispatch>::attach(static_cast<IDispatch*>(p));
    Observer observer;
    {
        std::lock_guard lock(mutex_);
        if (sinks_.size() >= maxSinks_) return CONNECT_E_ADVISELIMIT;
        if (nextCookie_ == 0) nextCookie_ = 1;  // after wrapping round, 0 stays invalid
        while (sinks_.count(nextCookie_)) ++nextCookie_;
        *cookie = nextCookie_++;
        sinks_.emplace(*cookie, itf);
        observer = observer_;
    }
    if (observer) observer(true, *cookie, itf.get());
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(std::uint32_t cookie) {
    ComPtr<IDispatch> released;  // let go outside the lock: its Release may call us back
    Observer observer;
    {
        std::lock_guard lock(mutex_);
        auto it = sinks_.find(cookie);
        if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
        released = std::move(it->second);
        sinks_.erase(it);
        observer = observer_;
    }
    if (observer) observer(false, cookie, released.get());
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(std::vector<ConnectData>* connections) {
    if (!connections) return E_POINTER;
    try {
        std::lock_guard lock(mutex_);
        connections->clear();
        for (const auto& [cookie, sink] : sinks_)
            connections->push_back(ConnectData{ComPtr<IUnknown>(sink.get()), cookie});
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

void ConnectionPoint::setObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

std::size_t ConnectionPoint::count() const {
    std::lock_guard lock(mutex_);
    return sinks_.size();
}

std::vector<ComPtr<IDispatch>> ConnectionPoint::sinks() const {
    std::lock_guard lock(mutex_);
    std::vector<ComPtr<IDispatch>> out;
    out.reserve(sinks_.size());
    for (const auto& [cookie, sink] : sinks_) out.push_back(sink);
    return out;
}

ComPtr<IDispatch> ConnectionPoint::sink(std::uint32_t cookie) const {
    std::lock_guard lock(mutex_);
    auto it = sinks_.find(cookie);
    return it == sinks_.end() ? nullptr : it->second;
}

HRESULT ConnectionPoint::invoke(DISPID id, const DispArgs& args) {
    HRESULT first = S_OK;
    for (const auto& s : sinks()) {
        const HRESULT hr = s->Invoke(id, DISPATCH_METHOD, args.params(), nullptr, nullptr, nullptr);
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    return first;
}

void ConnectionPoint::clear() {
    std::map<std::uint32_t, ComPtr<IDispatch>> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(sinks_);
}

HRESULT findConnectionPoint(std::span<ConnectionPoint* const> points, const Guid& iid,
                            IConnectionPoint** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (auto* p : points)
        if (p && p->connectionIid() == iid) {
            p->AddRef();
            *out = p;
            return S_OK;
        }
    return CONNECT_E_NOCONNECTION;
}

HRESULT enumConnectionPoints(std::span<ConnectionPoint* const> points,
                             std::vector<ComPtr<IConnectionPoint>>* out) {
    if (!out) return E_POINTER;
    try {
        out->clear();
        for (auto* p : points)
            if (p) out->emplace_back(p);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

namespace {

HRESULT pointOf(IUnknown* source, const Guid& iid, ComPtr<IConnectionPoint>& point) {
    if (!source) return E_POINTER;
    auto container = queryInterface<IConnectionPointContainer>(source);
    if (!container) return E_NOINTERFACE;
    return container->FindConnectionPoint(iid, point.put());
}

}  // namespace

HRESULT advise(IUnknown* source, const Guid& iid, IUnknown* sink, std::uint32_t* cookie) {
    ComPtr<IConnectionPoint> point;
    if (const HRESULT hr = pointOf(source, iid, point); FAILED(hr)) return hr;
    return point->Advise(sink, cookie);
}

HRESULT unadvise(IUnknown* source, const Guid& iid, std::uint32_t cookie) {
    ComPtr<IConnectionPoint> point;
    if (const HRESULT hr = pointOf(source, iid, point); FAILED(hr)) return hr;
    return point->Unadvise(cookie);
}

}  // namespace com
