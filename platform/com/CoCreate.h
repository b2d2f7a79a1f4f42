#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "com/ComPtr.h"
#include "com/Guid.h"
#include "com/HResult.h"

namespace com {

// Creation of registered classes. Everything here may be called from any thread; a module is
// loaded once per process and stays loaded. The threading model in the registry is recorded
// but not enforced: objects are called on whatever thread the caller uses.

// The class's factory for `iid`: a factory registered in-process with CoRegisterClassObject,
// else the module named by HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 in the registry file
// (dlopen'ed once, then its DllGetClassObject). Codes: REGDB_E_CLASSNOTREG for a class
// that is not registered (or has no InprocServer32), REGDB_E_READREGDB for a registry file that
// cannot be read, E_FAIL when the module does not load (error info: dlerror's message),
// CO_E_ERRORINDLL when it lacks DllGetClassObject, else what DllGetClassObject returns.
// Failures set the thread's error info with source "com".
HRESULT CoGetClassObject(const Guid& clsid, const Guid& iid, void** out);
// CoGetClassObject(IClassFactory) then CreateInstance(nullptr, iid, out). A class whose
// constructor fails gives its own code and error info (see ComObject::createInstance).
HRESULT CoCreateInstance(const Guid& clsid, const Guid& iid, void** out);

template <class T>
ComPtr<T> createInstance(const Guid& clsid, HRESULT* hr = nullptr) {
    ComPtr<T> p;
    const HRESULT r = CoCreateInstance(clsid, T::iid, p.putVoid());
    if (hr) *hr = r;
    return p;
}

// HKEY_CLASSES_ROOT\<progId>\CLSID. CO_E_CLASSSTRING for a malformed ProgID (empty, longer than
// 39 characters, starting with a digit, or with characters other than letters, digits, '.'
// and '_') and for one that is not registered; REGDB_E_READREGDB for an unreadable registry.
HRESULT CLSIDFromProgID(std::string_view progId, Guid* clsid);
// A "{...}" string as a CLSID, else CLSIDFromProgID.
HRESULT CLSIDFromString(std::string_view text, Guid* clsid);
// HKEY_CLASSES_ROOT\CLSID\{clsid}\ProgID. REGDB_E_CLASSNOTREG when there is none.
HRESULT ProgIDFromCLSID(const Guid& clsid, std::string* progId);

// A factory for `clsid` known to this process only (ahead of the registry), e.g. for a host
// program's own classes or tests. The factory is AddRef'ed until revoked. *cookie is never 0.
// E_INVALIDARG when the class is already registered here.
HRESULT CoRegisterClassObject(const Guid& clsid, IUnknown* factory, std::uint32_t* cookie);
// E_INVALIDARG for an unknown cookie.
HRESULT CoRevokeClassObject(std::uint32_t cookie);

}  // namespace com
