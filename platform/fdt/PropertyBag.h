#pragma once

#include <string>
#include <utility>
#include <vector>

#include "com/ComObject.h"
#include "fdt/Persistence.h"

namespace fdt {

// A property bag in memory, as a frame keeps one per object of a project. Names compare
// without regard to ASCII case; values keep their write order (a project file lists them so).
class PropertyBag final : public com::ComObject<PropertyBag, IPropertyBag> {
public:
    com::HRESULT Read(std::string_view name, com::Variant* value, IErrorLog* errorLog) override;
    com::HRESULT Write(std::string_view name, const com::Variant& value) override;

    const std::vector<std::pair<std::string, com::Variant>>& entries() const { return entries_; }
    bool contains(std::string_view name) const { return find(name) != nullptr; }

private:
    const std::pair<std::string, com::Variant>* find(std::string_view name) const;

    std::vector<std::pair<std::string, com::Variant>> entries_;
};

// An error log that keeps what it is told, for frames and tests.
class ErrorLog final : public com::ComObject<ErrorLog, IErrorLog> {
public:
    struct Entry {
        std::string propertyName;
        com::ExcepInfo info;
    };
    com::HRESULT AddError(std::string_view propertyName, const com::ExcepInfo& info) override;
    const std::vector<Entry>& entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

}  // namespace fdt
