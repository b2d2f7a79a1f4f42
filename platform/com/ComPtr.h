#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "com/IUnknown.h"

namespace com {

// Owning interface pointer: AddRef on copy, Release on destruction. Not thread-safe itself
// (like any value); the counts it touches are.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference (AddRef).
    ComPtr(T* p) noexcept : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& o) noexcept : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> ComPtr(const ComPtr<U>& o)
    noexcept : ComPtr(static_cast<T*>(o.get())) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> ComPtr(ComPtr<U>&& o)
    noexcept : p_(o.detach()) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(ComPtr o) noexcept {
        swap(o);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    // Takes over a reference the caller owns (no AddRef).
    static ComPtr attach(T* p) noexcept {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    // Gives up the reference without releasing it.
    T* detach() noexcept { return std::exchange(p_, nullptr); }

    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // For out-parameters: releases what is held and returns the slot to fill.
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

    // QueryInterface for U; null when the object does not have it (or this is null).
    template <class U>
    ComPtr<U> As() const noexcept {
        ComPtr<U> r;
        if (p_) p_->QueryInterface(U::iid, r.putVoid());
        return r;
    }
    template <class U>
    HRESULT As(ComPtr<U>* out) const noexcept {
        if (!out) return E_POINTER;
        if (!p_) {
            *out = nullptr;
            return E_POINTER;
        }
        return p_->QueryInterface(U::iid, out->putVoid());
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    T* p_ = nullptr;
};

// QueryInterface on a raw pointer into a ComPtr.
template <class U, class T>
ComPtr<U> queryInterface(T* p) noexcept {
    ComPtr<U> r;
    if (p) p->QueryInterface(U::iid, r.putVoid());
    return r;
}

}  // namespace com
