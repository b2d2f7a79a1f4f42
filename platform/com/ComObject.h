#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "com/ComPtr.h"
#include "com/ErrorInfo.h"
#include "com/IUnknown.h"

namespace com {

namespace server {

// Live objects and server locks of the module (executable or .so) this code is linked into;
// each module that links tiv_com has its own counts, as DllCanUnloadNow needs. Thread-safe.
void objectCreated() noexcept;
void objectDestroyed() noexcept;
void lockServer(bool lock) noexcept;  // IClassFactory::LockServer
std::uint32_t objectCount() noexcept;
std::uint32_t lockCount() noexcept;
// S_OK when no object lives and no lock is held, else S_FALSE.
HRESULT canUnloadNow() noexcept;

}  // namespace server

namespace detail {

// The pointer for `iid` if interface I or one of its bases has it, else nullptr.
// A helper base naming `Implemented` (DispatchImpl) stands for that interface.
template <class I>
void* castToIid(I* p, const Guid& iid) noexcept {
    if constexpr (requires { typename I::Implemented; }) {
        using T = typename I::Implemented;
        return castToIid<T>(static_cast<T*>(p), iid);
    } else if constexpr (std::is_same_v<I, IUnknown>) {
        return iid == I::iid ? static_cast<void*>(p) : nullptr;
    } else {
        if (iid == I::iid) return static_cast<void*>(p);
        return castToIid<typename I::Base>(static_cast<typename I::Base*>(p), iid);
    }
}

}  // namespace detail

// Reference counting and QueryInterface for a class implementing the listed interfaces:
//
//   class Driver final : public com::ComObject<Driver, ITivDriver, IConnectionPointContainer> {
//       ...
//   };
//   com::ComPtr<Driver> d = Driver::create(args...);
//
// QueryInterface answers IUnknown (always the same pointer: the first interface's), each listed
// interface and its bases (IDispatch for a dual interface). A class that answers more ids (a
// sink answering its dispinterface id with its IDispatch) defines
//   void* extraInterface(const Guid& iid);   // pointer cast to the interface asked for, or null
// The count is atomic; the object deletes itself when it drops to zero. Objects live on the heap
// only and are made by create(). ComObject counts towards the module's DllCanUnloadNow;
// UncountedComObject does not (class factories, error objects).
template <bool Counted, class Derived, class... Interfaces>
class ComObjectImpl : public Interfaces... {
    static_assert(sizeof...(Interfaces) > 0, "a COM object implements at least one interface");

public:
    ComObjectImpl(const ComObjectImpl&) = delete;
    ComObjectImpl& operator=(const ComObjectImpl&) = delete;

    HRESULT QueryInterface(const Guid& iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        void* p = nullptr;
        if (iid == IUnknown::iid) {
            p = static_cast<void*>(identity());
        } else {
            ((p = p ? p : detail::castToIid<Interfaces>(static_cast<Interfaces*>(this), iid)), ...);
            if constexpr (requires(Derived & d) { d.extraInterface(iid); }) {
                if (!p) p = static_cast<Derived*>(this)->extraInterface(iid);
            }
        }
        if (!p) return E_NOINTERFACE;
        AddRef();
        *out = p;
        return S_OK;
    }
    std::uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    std::uint32_t Release() override {
        const auto left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

    // A new object with one reference. Constructor exceptions propagate; nullptr only when
    // memory runs out.
    template <class... Args>
    static ComPtr<Derived> create(Args&&... args) {
        Derived* p = new (std::nothrow) Derived(std::forward<Args>(args)...);
        return ComPtr<Derived>(p);
    }

    // For class factories: a new object asked for `iid`. E_OUTOFMEMORY when it cannot be made,
    // E_NOINTERFACE (object discarded) when it lacks the interface. A constructor that throws
    // gives what reportCurrentException makes of it (a ComError's own failure code, else
    // E_UNEXPECTED), with the thread's error info set from the exception (no source; the class
    // factory fills in the ProgID).
    template <class... Args>
    static HRESULT createInstance(const Guid& iid, void** out, Args&&... args) noexcept {
        if (!out) return E_POINTER;
        *out = nullptr;
        try {
            auto obj = create(std::forward<Args>(args)...);
            if (!obj) return E_OUTOFMEMORY;
            return obj->QueryInterface(iid, out);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return reportCurrentException(GUID_NULL, {});
        }
    }

    // The object's IUnknown (identity) pointer; no AddRef.
    IUnknown* identity() noexcept {
        using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
        return static_cast<IUnknown*>(static_cast<First*>(this));
    }

    std::uint32_t refCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

protected:
    ComObjectImpl() noexcept {
        if constexpr (Counted) server::objectCreated();
    }
    ~ComObjectImpl() override {
        if constexpr (Counted) server::objectDestroyed();
    }

private:
    std::atomic<std::uint32_t> refs_{0};
};

template <class Derived, class... Interfaces>
using ComObject = ComObjectImpl<true, Derived, Interfaces...>;
template <class Derived, class... Interfaces>
using UncountedComObject = ComObjectImpl<false, Derived, Interfaces...>;

}  // namespace com
