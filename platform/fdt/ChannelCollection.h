#pragma once

#include <string>
#include <vector>

#include "com/ComObject.h"
#include "com/ComPtr.h"
#include "fdt/FdtInterfaces.h"

namespace fdt {

// The named list of channels a DTM hands to the frame (GetChannels). Item takes a 1-based
// position or a name (names compare without regard to ASCII case); an unknown one is
// E_INVALIDARG. Add refuses a null item (E_POINTER) and a name already there (E_INVALIDARG).
// It keeps its items; a DTM adds a WeakChannel of itself so that the list never keeps the DTM
// alive.
class ChannelCollection final
    : public com::ComObject<ChannelCollection, DualImpl<ChannelCollection, IFdtChannelCollection>> {
public:
    com::HRESULT get_Count(std::int32_t* count) override;
    com::HRESULT Item(const com::Variant& index, com::IDispatch** item) override;
    com::HRESULT Add(com::IDispatch* item, const std::string& name) override;

    std::size_t size() const { return items_.size(); }
    com::IDispatch* at(std::size_t i) const { return items_.at(i).item.get(); }
    const std::string& nameAt(std::size_t i) const { return items_.at(i).name; }

private:
    struct Entry {
        com::ComPtr<com::IDispatch> item;
        std::string name;
    };
    std::vector<Entry> items_;
};

// An IFdtChannel that forwards to a channel it does not own: what an object puts into its own
// channel collection, so the collection's reference does not keep it alive. Given the channel's
// sub-topology as well, it answers IFdtChannelSubTopology too. The owner calls detach() before
// it goes; every call after that is E_UNEXPECTED.
class WeakChannel final : public com::ComObject<WeakChannel, DualImpl<WeakChannel, IFdtChannel>,
                                                DualImpl<WeakChannel, IFdtChannelSubTopology>> {
public:
    explicit WeakChannel(IFdtChannel* target, IFdtChannelSubTopology* subTopology = nullptr)
        : target_(target), subTopology_(subTopology), hasSubTopology_(subTopology != nullptr) {}
    void detach() {
        target_ = nullptr;
        subTopology_ = nullptr;
    }
    bool attached() const { return target_ != nullptr; }

    com::HRESULT QueryInterface(const com::Guid& iid, void** out) override;

    com::HRESULT GetChannelParameters(const std::string& parameterPath,
                                      const std::string& protocolId, std::string* result) override;
    com::HRESULT GetChannelPath(std::string* result) override;
    com::HRESULT SetChannelParameters(const std::string& parameterPath,
                                      const std::string& protocolId, const std::string& xmlDocument,
                                      com::VARIANT_BOOL* result) override;

    com::HRESULT ScanRequest(const std::string& protocolId, com::VARIANT_BOOL* result) override;
    com::HRESULT ValidateAddChild(const std::string& childTag, com::VARIANT_BOOL* result) override;
    com::HRESULT OnAddChild(const std::string& childTag, com::VARIANT_BOOL* result) override;
    com::HRESULT ValidateRemoveChild(const std::string& childTag,
                                     com::VARIANT_BOOL* result) override;
    com::HRESULT OnRemoveChild(const std::string& childTag, com::VARIANT_BOOL* result) override;

private:
    IFdtChannel* target_;
    IFdtChannelSubTopology* subTopology_;
    const bool hasSubTopology_;  // answered after detach() too, so QI stays stable
};

}  // namespace fdt
