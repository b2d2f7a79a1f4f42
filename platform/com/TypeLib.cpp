#include "com/TypeLib.h"

#include <cstdio>

#include "com/ErrorInfo.h"
#include "com/Runtime.h"

namespace com {

namespace {

constexpr std::string_view kSource = "com";

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

std::string versionText(std::uint16_t major, std::uint16_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

std::string libKey(const Guid& libid) {
    return "HKEY_CLASSES_ROOT\\TypeLib\\" + libid.toString();
}

std::string interfaceKey(const Guid& iid) {
    return "HKEY_CLASSES_ROOT\\Interface\\" + iid.toString();
}

std::string_view kindText(MemberKind k) {
    switch (k) {
        case MemberKind::Method:
            return "method ";
        case MemberKind::PropertyGet:
            return "propget";
        case MemberKind::PropertyPut:
            return "propput";
        default:
            return "propputref";
    }
}

}  // namespace

std::string_view autoTypeName(AutoType type) {
    switch (type) {
        case AutoType::Long:
            return "long";
        case AutoType::Int:
            return "int";
        case AutoType::Short:
            return "short";
        case AutoType::Byte:
            return "unsigned char";
        case AutoType::Dispatch:
            return "IDispatch*";
        case AutoType::Unknown:
            return "IUnknown*";
        case AutoType::Bool:
            return "VARIANT_BOOL";
        case AutoType::Double:
            return "double";
        case AutoType::BStr:
            return "BSTR";
        case AutoType::Variant:
            return "VARIANT";
        case AutoType::VariantPtr:
            return "VARIANT*";
        case AutoType::LpStr:
            return "LPSTR";
        default:
            return "void";
    }
}

std::string describeParam(const ParamDesc& param) {
    std::string out;
    switch (param.dir) {
        case ParamDir::In:
            out = "[in";
            break;
        case ParamDir::Out:
            out = "[out";
            break;
        case ParamDir::InOut:
            out = "[in, out";
            break;
        case ParamDir::RetVal:
            out = "[out, retval";
            break;
    }
    out += param.optional ? ", optional] " : "] ";
    out += autoTypeName(param.type);
    if (param.dir != ParamDir::In) out += '*';
    if (!param.name.empty()) {
        out += ' ';
        out += param.name;
    }
    return out;
}

std::string dumpInterface(const InterfaceDesc& itf) {
    std::string out = itf.kind == InterfaceKind::Dual ? "dual interface " : "dispinterface ";
    out += std::string(itf.name) + " " + itf.iid.toString();
    if (!itf.helpString.empty()) out += " \"" + std::string(itf.helpString) + "\"";
    out += '\n';
    for (const auto& m : itf.members) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(m.dispId));
        out += "  " + std::string(id) + " " + std::string(kindText(m.kind)) + " " +
               std::string(m.name) + "(";
        for (std::size_t p = 0; p < m.paramCount(); ++p) {
            if (p) out += ", ";
            out += describeParam(m.params[p]);
        }
        out += ")\n";
    }
    return out;
}

std::string dumpTypeLib(const TypeLibDesc& lib) {
    std::string out = "library " + std::string(lib.name) + " " + lib.libid.toString() +
                      " version " + versionText(lib.majorVersion, lib.minorVersion) + " lcid 0x" +
                      hex(lib.lcid);
    if (!lib.helpString.empty()) out += " \"" + std::string(lib.helpString) + "\"";
    out += '\n';
    for (const auto& imp : lib.importedLibs) out += "importlib " + std::string(imp) + "\n";
    for (const auto* itf : lib.interfaces)
        if (itf) out += dumpInterface(*itf);
    for (const auto& c : lib.coclasses) {
        out += "coclass " + std::string(c.name) + " " + c.clsid.toString();
        if (!c.helpString.empty()) out += " \"" + std::string(c.helpString) + "\"";
        if (!c.creatable) out += " noncreatable";
        out += '\n';
        for (const auto& ci : c.interfaces) {
            if (!ci.itf) continue;
            std::string attrs;
            if (ci.isDefault) attrs = "default";
            if (ci.isSource) attrs += attrs.empty() ? "source" : ", source";
            out += "  ";
            if (!attrs.empty()) out += "[" + attrs + "] ";
            out += ci.itf->kind == InterfaceKind::Dual ? "interface " : "dispinterface ";
            out += std::string(ci.itf->name) + "\n";
        }
    }
    return out;
}

HRESULT addTypeLibKeys(RegistryData& data, const TypeLibDesc& lib,
                       const std::filesystem::path& modulePath) {
    const auto version = versionText(lib.majorVersion, lib.minorVersion);
    const auto key = libKey(lib.libid) + "\\" + version;
    HRESULT hr = data.setString(key, "", lib.helpString.empty() ? lib.name : lib.helpString);
    if (SUCCEEDED(hr))
        hr = data.setString(key + "\\" + hex(lib.lcid) + "\\linux", "", modulePath.string());
    if (SUCCEEDED(hr)) hr = data.setString(key + "\\FLAGS", "", "0");
    if (SUCCEEDED(hr))
        hr = data.setString(key + "\\HELPDIR", "", modulePath.parent_path().string());
    for (const auto* itf : lib.interfaces) {
        if (!itf || FAILED(hr)) continue;
        const auto ik = interfaceKey(itf->iid);
        hr = data.setString(ik, "", itf->name);
        if (SUCCEEDED(hr)) hr = data.setString(ik + "\\TypeLib", "", lib.libid.toString());
        if (SUCCEEDED(hr)) hr = data.setString(ik + "\\TypeLib", "Version", version);
    }
    return hr;
}

HRESULT removeTypeLibKeys(RegistryData& data, const TypeLibDesc& lib) {
    const auto key = libKey(lib.libid);
    data.deleteKey(key + "\\" + versionText(lib.majorVersion, lib.minorVersion));
    if (data.subKeys(key).empty()) data.deleteKey(key);
    for (const auto* itf : lib.interfaces) {
        if (!itf) continue;
        const auto ik = interfaceKey(itf->iid);
        const auto owner = data.string(ik + "\\TypeLib");
        if (!owner || Guid::parse(*owner) == lib.libid) data.deleteKey(ik);
    }
    return S_OK;
}

HRESULT RegisterTypeLib(const TypeLibDesc& lib, const std::filesystem::path& modulePath) {
    try {
        Registry registry;
        std::string error;
        const HRESULT hr = registry.update(
            [&](RegistryData& d) { return addTypeLibKeys(d, lib, modulePath); }, &error);
        if (FAILED(hr)) return reportError(TYPE_E_REGISTRYACCESS, GUID_NULL, kSource, error);
        return S_OK;
    } catch (...) {
        reportCurrentException(GUID_NULL, kSource);
        return TYPE_E_REGISTRYACCESS;
    }
}

HRESULT UnRegisterTypeLib(const TypeLibDesc& lib) {
    try {
        Registry registry;
        std::string error;
        const HRESULT hr =
            registry.update([&](RegistryData& d) { return removeTypeLibKeys(d, lib); }, &error);
        if (FAILED(hr)) return reportError(TYPE_E_REGISTRYACCESS, GUID_NULL, kSource, error);
        return S_OK;
    } catch (...) {
        reportCurrentException(GUID_NULL, kSource);
        return TYPE_E_REGISTRYACCESS;
    }
}

HRESULT LoadRegTypeLib(const Guid& libid, std::uint16_t major, std::uint16_t minor,
                       std::uint32_t lcid, const TypeLibDesc** lib) {
    if (!lib) return E_POINTER;
    *lib = nullptr;
    try {
        Registry registry;
        RegistryData data;
        std::string error;
        if (FAILED(registry.load(data, &error)))
            return reportError(TYPE_E_REGISTRYACCESS, GUID_NULL, kSource, error);
        const auto key = libKey(libid) + "\\" + versionText(major, minor) + "\\";
        auto path = data.string(key + hex(lcid) + "\\linux");
        if (!path) path = data.string(key + "0\\linux");
        if (!path || path->empty())
            return reportError(TYPE_E_LIBNOTREGISTERED, GUID_NULL, kSource,
                               "type library " + libid.toString() + " " +
                                   versionText(major, minor) + " is not registered");
        const void* desc = nullptr;
        if (const HRESULT hr = detail::runtime().loadTypeLibModule(*path, libid, &desc); FAILED(hr))
            return hr;
        *lib = static_cast<const TypeLibDesc*>(desc);
        return S_OK;
    } catch (...) {
        return reportCurrentException(GUID_NULL, kSource);
    }
}

}  // namespace com
