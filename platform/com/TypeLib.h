#pragma once

#include <filesystem>
#include <string>

#include "com/HResult.h"
#include "com/Registry.h"
#include "com/TypeInfo.h"

namespace com {

// Registration of a type library description. Keys (lcid in hex, version "major.minor"):
//   HKEY_CLASSES_ROOT\TypeLib\{libid}\1.0                 @ = help string (else the name)
//   HKEY_CLASSES_ROOT\TypeLib\{libid}\1.0\409\linux       @ = module holding the description
//   HKEY_CLASSES_ROOT\TypeLib\{libid}\1.0\FLAGS           @ = "0"
//   HKEY_CLASSES_ROOT\TypeLib\{libid}\1.0\HELPDIR         @ = the module's directory
//   HKEY_CLASSES_ROOT\Interface\{iid}                     @ = interface name
//   HKEY_CLASSES_ROOT\Interface\{iid}\TypeLib             @ = {libid}, "Version" = "1.0"
// The module must export TivComGetTypeLib (TIV_COM_SERVER_EXPORTS does).

// Adds the keys to `data` (for a registration done in one update).
HRESULT addTypeLibKeys(RegistryData& data, const TypeLibDesc& lib,
                       const std::filesystem::path& modulePath);
// Removes the version's keys, the library key when no version is left, and the Interface keys
// that point at the library.
HRESULT removeTypeLibKeys(RegistryData& data, const TypeLibDesc& lib);

// The same on the process registry file. TYPE_E_REGISTRYACCESS when it cannot be written.
HRESULT RegisterTypeLib(const TypeLibDesc& lib, const std::filesystem::path& modulePath);
HRESULT UnRegisterTypeLib(const TypeLibDesc& lib);

// The registered description of a library: loads the module the registry names for it and asks
// its TivComGetTypeLib export. TYPE_E_LIBNOTREGISTERED when the registry has no such library
// (the lcid falls back to 0), E_FAIL when the module does not load or does not describe it.
HRESULT LoadRegTypeLib(const Guid& libid, std::uint16_t major, std::uint16_t minor,
                       std::uint32_t lcid, const TypeLibDesc** lib);

// Text for people (`tivctl members`), IDL-like:
//   library Tivlink {1F34840A-...} version 1.0 lcid 0x409 "Tivlink Bibliothek"
//   importlib stdole2
//   dual interface ITivDriver {4FE53426-...} "..."
//     0x00000001 method  LoadAdapter([out, retval] long* Param2)
//     0x0000000E propget BufferSize([out, retval] long* Value)
//     0x0000000E propput BufferSize([in] long)
//   dispinterface ITivDriverEvents {2689F981-...} "..."
//     0x00000001 method  OnOverrun()
//   coclass TivDriver {FEC124C9-...} "TivDriver Objekt"
//     [default] interface ITivDriver
//     [default, source] dispinterface ITivDriverEvents
std::string dumpTypeLib(const TypeLibDesc& lib);
std::string dumpInterface(const InterfaceDesc& itf);
// "[in, out] long* Bytes"
std::string describeParam(const ParamDesc& param);
// "long", "VARIANT_BOOL", "VARIANT*", ...
std::string_view autoTypeName(AutoType type);

}  // namespace com
