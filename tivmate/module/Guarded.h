#pragma once

// The boundary of the DTM's interface members: a raised error becomes the failing HRESULT with
// the thread's error info (source "Tivmate.DTMMain"); results are written only on success.

#include <string>

#include "com/ErrorInfo.h"
#include "com/HResult.h"
#include "com/IDispatch.h"

namespace tivmate {

template <class F>
com::HRESULT GuardedCall(const com::Guid& iid, F&& body) noexcept {
    try {
        body();
        return com::S_OK;
    } catch (...) {
        return com::reportCurrentException(iid, "Tivmate.DTMMain");
    }
}

template <class F>
com::HRESULT Guarded(const com::Guid& iid, com::VARIANT_BOOL* result, F&& body) noexcept {
    if (!result) return com::E_POINTER;
    return GuardedCall(iid, [&] { *result = body() ? com::VARIANT_TRUE : com::VARIANT_FALSE; });
}

template <class F>
com::HRESULT GuardedText(const com::Guid& iid, std::string* result, F&& body) noexcept {
    if (!result) return com::E_POINTER;
    return GuardedCall(iid, [&] { *result = body(); });
}

}  // namespace tivmate
