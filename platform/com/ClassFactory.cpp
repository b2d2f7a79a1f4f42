#include "com/ClassFactory.h"

#include <atomic>

#include "com/ErrorInfo.h"

namespace com {

namespace server {

namespace {
std::atomic<std::uint32_t> objects{0};
std::atomic<std::uint32_t> locks{0};
}  // namespace

void objectCreated() noexcept {
    objects.fetch_add(1, std::memory_order_relaxed);
}
void objectDestroyed() noexcept {
    objects.fetch_sub(1, std::memory_order_acq_rel);
}

void lockServer(bool lock) noexcept {
    if (lock) {
        locks.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // An unbalanced unlock must not wrap the count round.
    auto n = locks.load(std::memory_order_relaxed);
    while (n > 0 && !locks.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
    }
}

std::uint32_t objectCount() noexcept {
    return objects.load(std::memory_order_acquire);
}
std::uint32_t lockCount() noexcept {
    return locks.load(std::memory_order_acquire);
}

HRESULT canUnloadNow() noexcept {
    return objectCount() == 0 && lockCount() == 0 ? S_OK : S_FALSE;
}

}  // namespace server

HRESULT ClassFactory::CreateInstance(IUnknown* outer, const Guid& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (!create_) return E_UNEXPECTED;
    const HRESULT hr = create_(iid, out);
    if (FAILED(hr) && !progId_.empty()) {
        auto info = takeErrorInfo();
        if (info && info->source.empty()) info->source = progId_;
        if (info) SetErrorInfo(0, CreateErrorInfo(*info).get());
    }
    return hr;
}

HRESULT ClassFactory::LockServer(bool lock) {
    server::lockServer(lock);
    return S_OK;
}

}  // namespace com
