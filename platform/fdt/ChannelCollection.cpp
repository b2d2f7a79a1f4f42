#include "fdt/ChannelCollection.h"

#include "fdt/Names.h"

namespace fdt {

com::HRESULT ChannelCollection::get_Count(std::int32_t* count) {
    if (!count) return com::E_POINTER;
    *count = static_cast<std::int32_t>(items_.size());
    return com::S_OK;
}

com::HRESULT ChannelCollection::Item(const com::Variant& index, com::IDispatch** item) {
    if (!item) return com::E_POINTER;
    *item = nullptr;
    const Entry* found = nullptr;
    const com::Variant& v = index.value();
    if (v.vt() == com::VT_BSTR) {
        for (const auto& e : items_)
            if (sameName(e.name, v.bstr())) found = &e;
    } else if (const auto position = v.toInt64();
               position && *position >= 1 &&
               *position <= static_cast<std::int64_t>(items_.size())) {
        found = &items_[static_cast<std::size_t>(*position - 1)];
    }
    if (!found) return com::E_INVALIDARG;
    found->item->AddRef();
    *item = found->item.get();
    return com::S_OK;
}

com::HRESULT ChannelCollection::Add(com::IDispatch* item, const std::string& name) {
    if (!item) return com::E_POINTER;
    if (!name.empty())
        for (const auto& e : items_)
            if (sameName(e.name, name)) return com::E_INVALIDARG;
    item->AddRef();
    items_.push_back({com::ComPtr<com::IDispatch>::attach(item), name});
    return com::S_OK;
}

com::HRESULT WeakChannel::GetChannelParameters(const std::string& parameterPath,
                                               const std::string& protocolId, std::string* result) {
    return target_ ? target_->GetChannelParameters(parameterPath, protocolId, result)
                   : com::E_UNEXPECTED;
}

com::HRESULT WeakChannel::GetChannelPath(std::string* result) {
    return target_ ? target_->GetChannelPath(result) : com::E_UNEXPECTED;
}

com::HRESULT WeakChannel::SetChannelParameters(const std::string& parameterPath,
                                               const std::string& protocolId,
                                               const std::string& xmlDocument,
                                               com::VARIANT_BOOL* result) {
    return target_ ? target_->SetChannelParameters(parameterPath, protocolId, xmlDocument, result)
                   : com::E_UNEXPECTED;
}

com::HRESULT WeakChannel::QueryInterface(const com::Guid& iid, void** out) {
    if (iid == IFdtChannelSubTopology::iid && !hasSubTopology_) {
        if (out) *out = nullptr;
        return com::E_NOINTERFACE;
    }
    return ComObjectImpl::QueryInterface(iid, out);
}

#define FDT_WEAK_SUBTOPOLOGY(Name)                                                           \
    com::HRESULT WeakChannel::Name(const std::string& childTag, com::VARIANT_BOOL* result) { \
        return subTopology_ ? subTopology_->Name(childTag, result) : com::E_UNEXPECTED;      \
    }
FDT_WEAK_SUBTOPOLOGY(ScanRequest)
FDT_WEAK_SUBTOPOLOGY(ValidateAddChild)
FDT_WEAK_SUBTOPOLOGY(OnAddChild)
FDT_WEAK_SUBTOPOLOGY(ValidateRemoveChild)
FDT_WEAK_SUBTOPOLOGY(OnRemoveChild)
#undef FDT_WEAK_SUBTOPOLOGY

}  // namespace fdt
