// DTMMain's persistent values: initialisation from DTM.ini, restore from and save to a property
// bag. Every value is converted before any is taken, so a bad one leaves the DTM as it was.

#include <functional>
#include <variant>

#include "core/Settings.h"
#include "core/TextConversions.h"
#include "module/DTMMain.h"
#include "module/Guarded.h"

namespace tivmate {

namespace {

using Field = std::variant<std::string PersistentValues::*, std::int16_t PersistentValues::*,
                           bool PersistentValues::*>;

struct Persisted {
    std::string_view name;
    Field field;
};

// The bag names in the order they are read and written ("PresistentTrace" as the bag has it).
const Persisted kPersisted[] = {
    {"PresistentTrace", &PersistentValues::PresistentTrace},
    {"PersistentFilterTypeValue", &PersistentValues::PersistentFilterTypeValue},
    {"PersistentBufferSizeValue", &PersistentValues::PersistentBufferSizeValue},
    {"PersistentBufferModeValue", &PersistentValues::PersistentBufferModeValue},
    {"PersistentCommTimeoutValue", &PersistentValues::PersistentCommTimeoutValue},
    {"PersistentCommRetriesValue", &PersistentValues::PersistentCommRetriesValue},
    {"PersistentMaxStackValue", &PersistentValues::PersistentMaxStackValue},
    {"PersistentDelay", &PersistentValues::PersistentDelay},
    {"PersistentProtocolFilter", &PersistentValues::PersistentProtocolFilter},
    {"PersistentInterfaceFilter", &PersistentValues::PersistentInterfaceFilter},
    {"PersistentAdapterAddress", &PersistentValues::PersistentAdapterAddress},
    {"PersistentDisplayCyclicVal", &PersistentValues::PersistentDisplayCyclicVal},
    {"m_ChannelUUID", &PersistentValues::m_ChannelUUID},
};

[[noreturn]] void notA(std::string_view where, std::string_view name, std::string_view text,
                       std::string_view what) {
    throw com::ComError(com::DISP_E_TYPEMISMATCH, std::string(where) + " " + std::string(name) +
                                                      ": \"" + std::string(text) + "\" is not " +
                                                      std::string(what));
}

// Stores one value given as text into `into`; raises naming `where` and the property.
void assignText(PersistentValues& into, const Persisted& p, const std::string& text,
                std::string_view where) {
    std::visit(
        [&](auto member) {
            using T = std::remove_reference_t<decltype(into.*member)>;
            if constexpr (std::is_same_v<T, std::string>) {
                into.*member = text;
            } else if constexpr (std::is_same_v<T, bool>) {
                const auto b = ParseBoolText(text);
                if (!b) notA(where, p.name, text, "a boolean");
                into.*member = *b;
            } else {
                const auto n = ParseInt16(text);
                if (!n) notA(where, p.name, text, "a number");
                into.*member = *n;
            }
        },
        p.field);
}

std::string describeValue(const com::Variant& v) {
    com::Variant text;
    if (com::SUCCEEDED(com::ChangeType(text, v.value(), com::VT_BSTR))) return text.bstr();
    return v.describe();
}

}  // namespace

com::HRESULT DTMMain::GetClassID(com::Guid* classId) {
    if (!classId) return com::E_POINTER;
    *classId = CLSID_DTMMain;
    return com::S_OK;
}

com::HRESULT DTMMain::InitNew() {
    return GuardedCall(fdt::IID_IPersistPropertyBag, [&] {
        PersistentValues values = m_Persistent;
        for (const auto& p : kPersisted) {
            if (p.name == "m_ChannelUUID") continue;
            const bool trace = p.name == "PresistentTrace";
            const std::string_view section = trace ? "TimeCritical" : "InitialValues";
            const std::string text = ReadIniString(m_IniPath, section, p.name);
            assignText(values, p, text, "DTM.ini [" + std::string(section) + "]");
        }
        values.m_ChannelUUID = "TIVChannel1";
        m_Persistent = std::move(values);
        MarkAllChanged();
    });
}

com::HRESULT DTMMain::Load(fdt::IPropertyBag* bag, fdt::IErrorLog* errorLog) {
    if (!bag) return com::E_POINTER;
    return GuardedCall(fdt::IID_IPersistPropertyBag, [&] {
        PersistentValues values;  // the defaults for names the bag lacks
        for (const auto& p : kPersisted) {
            com::Variant value;
            if (bag->Read(p.name, &value, errorLog) != com::S_OK) continue;
            value = value.value();
            if (value.vt() == com::VT_BOOL &&
                std::holds_alternative<bool PersistentValues::*>(p.field)) {
                values.*std::get<bool PersistentValues::*>(p.field) = value.boolVal() != 0;
                continue;
            }
            try {
                assignText(values, p, describeValue(value), "property bag");
            } catch (const com::ComError& e) {
                if (errorLog) {
                    com::ExcepInfo info;
                    info.source = std::string(kDTMMainSource);
                    info.description = e.description();
                    info.scode = e.hr();
                    errorLog->AddError(p.name, info);
                }
                throw;
            }
        }
        m_Persistent = std::move(values);
    });
}

com::HRESULT DTMMain::Save(fdt::IPropertyBag* bag, bool clearDirty, bool) {
    if (!bag) return com::E_POINTER;
    return GuardedCall(fdt::IID_IPersistPropertyBag, [&] {
        for (const auto& p : kPersisted) {
            const com::Variant value = std::visit(
                [&](auto member) -> com::Variant {
                    using T = std::remove_reference_t<decltype(m_Persistent.*member)>;
                    if constexpr (std::is_same_v<T, std::string>)
                        return com::Variant(m_Persistent.*member);
                    else if constexpr (std::is_same_v<T, bool>)
                        return com::Variant(m_Persistent.*member);
                    else
                        return com::Variant(std::to_string(m_Persistent.*member));
                },
                p.field);
            com::throwIfFailed(bag->Write(p.name, value));
        }
        if (clearDirty) m_Dirty = false;
    });
}

com::HRESULT DTMMain::IsDirty() {
    return m_Dirty ? com::S_OK : com::S_FALSE;
}

}  // namespace tivmate
