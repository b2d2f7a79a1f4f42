#include "fdt/PropertyBag.h"

#include "fdt/Names.h"

namespace fdt {

const std::pair<std::string, com::Variant>* PropertyBag::find(std::string_view name) const {
    for (const auto& entry : entries_)
        if (sameName(entry.first, name)) return &entry;
    return nullptr;
}

com::HRESULT PropertyBag::Read(std::string_view name, com::Variant* value, IErrorLog* errorLog) {
    if (!value) return com::E_POINTER;
    const auto* entry = find(name);
    if (!entry) return com::E_INVALIDARG;
    if (value->vt() == com::VT_EMPTY) {
        *value = entry->second;
        return com::S_OK;
    }
    com::Variant converted;
    const com::HRESULT hr = com::ChangeType(converted, entry->second, value->vt());
    if (com::FAILED(hr)) {
        if (errorLog) {
            com::ExcepInfo info;
            info.source = "PropertyBag";
            info.description = "\"" + std::string(name) + "\": " + entry->second.describe() +
                               " cannot be read as the type asked for";
            info.scode = hr;
            errorLog->AddError(name, info);
        }
        return hr;
    }
    *value = std::move(converted);
    return com::S_OK;
}

com::HRESULT PropertyBag::Write(std::string_view name, const com::Variant& value) {
    if (name.empty()) return com::E_INVALIDARG;
    for (auto& entry : entries_) {
        if (sameName(entry.first, name)) {
            entry.second = value;
            return com::S_OK;
        }
    }
    entries_.emplace_back(std::string(name), value);
    return com::S_OK;
}

com::HRESULT ErrorLog::AddError(std::string_view propertyName, const com::ExcepInfo& info) {
    entries_.push_back({std::string(propertyName), info});
    return com::S_OK;
}

}  // namespace fdt
