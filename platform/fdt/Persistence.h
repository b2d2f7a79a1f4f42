#pragma once

// Property-bag persistence, with the standard interface ids. Plain C++ vtables (not dual): a
// frame calls them early-bound.

#include <string>
#include <string_view>

#include "com/IDispatch.h"
#include "com/IUnknown.h"
#include "com/Variant.h"
#include "fdt/FdtIds.h"

namespace fdt {

class IErrorLog : public com::IUnknown {
public:
    static constexpr com::Guid iid = IID_IErrorLog;
    using Base = com::IUnknown;
    // A property that could not be read or converted: its name and why.
    virtual com::HRESULT AddError(std::string_view propertyName, const com::ExcepInfo& info) = 0;
};

class IPropertyBag : public com::IUnknown {
public:
    static constexpr com::Guid iid = IID_IPropertyBag;
    using Base = com::IUnknown;
    // *value's type on entry is the type wanted (VT_EMPTY: as stored). E_INVALIDARG when the
    // name is absent (value untouched); a conversion failure's code (and an entry in errorLog,
    // which may be null) when the stored value does not convert.
    virtual com::HRESULT Read(std::string_view name, com::Variant* value, IErrorLog* errorLog) = 0;
    // Adds or replaces the named value.
    virtual com::HRESULT Write(std::string_view name, const com::Variant& value) = 0;
};

class IPersist : public com::IUnknown {
public:
    static constexpr com::Guid iid = IID_IPersist;
    using Base = com::IUnknown;
    virtual com::HRESULT GetClassID(com::Guid* classId) = 0;
};

class IPersistPropertyBag : public IPersist {
public:
    static constexpr com::Guid iid = IID_IPersistPropertyBag;
    using Base = IPersist;
    virtual com::HRESULT InitNew() = 0;
    virtual com::HRESULT Load(IPropertyBag* bag, IErrorLog* errorLog) = 0;
    virtual com::HRESULT Save(IPropertyBag* bag, bool clearDirty, bool saveAllProperties) = 0;
    // Ours, in place of a property-notify sink: S_OK when changed since the last clearing
    // Save, else S_FALSE.
    virtual com::HRESULT IsDirty() = 0;
};

}  // namespace fdt
