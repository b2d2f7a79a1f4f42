#pragma once

#include <filesystem>
#include <span>
#include <string_view>

#include "com/ClassFactory.h"
#include "com/Runtime.h"
#include "com/TypeInfo.h"

namespace com {

// One creatable class of an in-process server module, described as data.
struct ClassEntry {
    Guid clsid;
    std::string_view progId;          // "Tivlink.TivDriver"; may be empty
    std::string_view description;     // the CLSID key's value
    std::string_view threadingModel;  // "Apartment", "Free", "Both"
    CreateFunction create = nullptr;
    const TypeLibDesc* typeLib = nullptr;  // registered with the class; may be null
    // Written under the CLSID with the type library; empty: the library's own version.
    std::string_view version = "1.0";
};

namespace server {

// What the four exports do for a module's class list.

// IClassFactory (or any interface the factory has) for a listed class;
// CLASS_E_CLASSNOTAVAILABLE for others, E_POINTER for a null out.
HRESULT getClassObject(std::span<const ClassEntry> classes, const Guid& clsid, const Guid& iid,
                       void** out) noexcept;
// Writes, in one registry update: for each class
//   HKEY_CLASSES_ROOT\CLSID\{clsid}                  @ = description
//   HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32   @ = module path, ThreadingModel
//   HKEY_CLASSES_ROOT\CLSID\{clsid}\ProgID           @ = progId
//   HKEY_CLASSES_ROOT\CLSID\{clsid}\TypeLib          @ = {libid}
//   HKEY_CLASSES_ROOT\CLSID\{clsid}\Version          @ = version
//   HKEY_CLASSES_ROOT\<progId>                       @ = description
//   HKEY_CLASSES_ROOT\<progId>\CLSID                 @ = {clsid}
// and the type libraries' keys (TypeLib.h). SELFREG_E_CLASS (with error info) when the registry
// cannot be written.
HRESULT registerServer(std::span<const ClassEntry> classes,
                       const std::filesystem::path& modulePath) noexcept;
// Removes those keys (ProgID keys only if they still point at the class). S_OK also when
// nothing was registered.
HRESULT unregisterServer(std::span<const ClassEntry> classes) noexcept;
// A listed class's type library with that id, or null.
const TypeLibDesc* findTypeLib(std::span<const ClassEntry> classes, const Guid& libid) noexcept;
// The absolute path of the module (executable or .so) holding `address`.
std::filesystem::path modulePathOf(const void* address);

}  // namespace server
}  // namespace com

#define TIV_COM_EXPORT extern "C" __attribute__((visibility("default")))

// Defines a server module's exports for a list of ClassEntry (anything that converts to
// std::span<const com::ClassEntry>, e.g. a static array). Use once per module, at namespace
// scope:
//   static const com::ClassEntry kClasses[] = {{...}};
//   TIV_COM_SERVER_EXPORTS(kClasses)
// Exports: DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer (all
// returning HRESULT), TivComAttachRuntime (see Runtime.h) and TivComGetTypeLib (the
// description of a type library the module registers, for LoadRegTypeLib).
#define TIV_COM_SERVER_EXPORTS(classes)                                                         \
    namespace {                                                                                 \
    const char tivComModuleAnchor = 0;                                                          \
    }                                                                                           \
    TIV_COM_EXPORT ::com::HRESULT DllGetClassObject(const ::com::Guid& clsid,                   \
                                                    const ::com::Guid& iid, void** out) {       \
        return ::com::server::getClassObject(classes, clsid, iid, out);                         \
    }                                                                                           \
    TIV_COM_EXPORT ::com::HRESULT DllCanUnloadNow() {                                           \
        return ::com::server::canUnloadNow();                                                   \
    }                                                                                           \
    TIV_COM_EXPORT ::com::HRESULT DllRegisterServer() {                                         \
        return ::com::server::registerServer(classes,                                           \
                                             ::com::server::modulePathOf(&tivComModuleAnchor)); \
    }                                                                                           \
    TIV_COM_EXPORT ::com::HRESULT DllUnregisterServer() {                                       \
        return ::com::server::unregisterServer(classes);                                        \
    }                                                                                           \
    TIV_COM_EXPORT void TivComAttachRuntime(::com::detail::Runtime* root) {                     \
        ::com::detail::attachRuntime(root);                                                     \
    }                                                                                           \
    TIV_COM_EXPORT const ::com::TypeLibDesc* TivComGetTypeLib(const ::com::Guid& libid) {       \
        return ::com::server::findTypeLib(classes, libid);                                      \
    }

// The exported entry points as a loader sees them.
namespace com::server {
using DllGetClassObjectFn = HRESULT (*)(const Guid& clsid, const Guid& iid, void** out);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();
using AttachRuntimeFn = void (*)(detail::Runtime* root);
using GetTypeLibFn = const TypeLibDesc* (*)(const Guid& libid);
}  // namespace com::server
