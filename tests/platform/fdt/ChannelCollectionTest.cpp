#include <gtest/gtest.h>

#include <string>

#include "fdt/ChannelCollection.h"

namespace {

// A DTM in miniature: it keeps its channel collection and puts a weak view of itself into it,
// as DTMMain does.
class Owner final : public com::ComObject<Owner, fdt::DualImpl<Owner, fdt::IFdtChannel>> {
public:
    explicit Owner(bool* destroyed) : destroyed_(destroyed) {
        channels_ = fdt::ChannelCollection::create();
        self_ = fdt::WeakChannel::create(static_cast<fdt::IFdtChannel*>(this));
        channels_->Add(static_cast<fdt::IFdtChannel*>(self_.get()), "TIVChannel1");
    }
    ~Owner() override {
        self_->detach();
        *destroyed_ = true;
    }
    const com::ComPtr<fdt::ChannelCollection>& channels() const { return channels_; }

    com::HRESULT GetChannelParameters(const std::string&, const std::string&,
                                      std::string* result) override {
        *result = "<FDT/>";
        return com::S_OK;
    }
    com::HRESULT GetChannelPath(std::string* result) override {
        *result = "Top/TIVChannel1";
        return com::S_OK;
    }
    com::HRESULT SetChannelParameters(const std::string&, const std::string&, const std::string&,
                                      com::VARIANT_BOOL* result) override {
        *result = com::VARIANT_TRUE;
        return com::S_OK;
    }

private:
    bool* destroyed_;
    com::ComPtr<fdt::ChannelCollection> channels_;
    com::ComPtr<fdt::WeakChannel> self_;
};

com::ComPtr<fdt::IFdtChannel> item(fdt::ChannelCollection& c, const com::Variant& index,
                                   com::HRESULT expected = com::S_OK) {
    com::IDispatch* raw = reinterpret_cast<com::IDispatch*>(0x1);  // sentinel: must be cleared
    EXPECT_EQ(c.Item(index, &raw), expected) << index.describe();
    com::ComPtr<com::IDispatch> d = com::ComPtr<com::IDispatch>::attach(raw);
    com::ComPtr<fdt::IFdtChannel> channel;
    if (d) d->QueryInterface(fdt::IID_IFdtChannel, channel.putVoid());
    return channel;
}

TEST(FdtChannelCollection, ItemsByPositionOrNameAndTheCollectionNeverKeepsItsOwnerAlive) {
    bool destroyed = false;
    auto owner = Owner::create(&destroyed);
    com::ComPtr<fdt::ChannelCollection> channels = owner->channels();  // as the frame keeps it

    std::int32_t count = -1;
    ASSERT_EQ(channels->get_Count(&count), com::S_OK);
    EXPECT_EQ(count, 1);
    for (const com::Variant& index :
         {com::Variant(std::int32_t{1}), com::Variant(std::string("TIVChannel1")),
          com::Variant(std::string("tivchannel1")), com::Variant(1.0)}) {
        auto channel = item(*channels, index);
        ASSERT_TRUE(channel) << index.describe();
        std::string path;
        EXPECT_EQ(channel->GetChannelPath(&path), com::S_OK);
        EXPECT_EQ(path, "Top/TIVChannel1");
        // An owner without children below its channel offers no sub-topology.
        com::ComPtr<fdt::IFdtChannelSubTopology> topology;
        EXPECT_EQ(channel->QueryInterface(fdt::IFdtChannelSubTopology::iid, topology.putVoid()),
                  com::E_NOINTERFACE);
    }
    for (const com::Variant& index : {com::Variant(std::int32_t{0}), com::Variant(std::int32_t{2}),
                                      com::Variant(std::string("Other")), com::Variant()})
        EXPECT_FALSE(item(*channels, index, com::E_INVALIDARG));

    // Late-bound, as a frame's script asks: Item is the default member.
    com::Variant r;
    ASSERT_EQ(com::invokeByName(channels.get(), "Item", com::DISPATCH_METHOD,
                                {com::Variant(std::string("TIVChannel1"))}, &r),
              com::S_OK);
    EXPECT_EQ(r.vt(), com::VT_DISPATCH);
    r = com::Variant();

    EXPECT_EQ(channels->Add(nullptr, "X"), com::E_POINTER);
    auto other = fdt::WeakChannel::create(nullptr);
    EXPECT_EQ(channels->Add(static_cast<fdt::IFdtChannel*>(other.get()), "TIVCHANNEL1"),
              com::E_INVALIDARG);
    EXPECT_EQ(channels->Add(static_cast<fdt::IFdtChannel*>(other.get()), "Second"), com::S_OK);
    EXPECT_EQ(channels->size(), 2u);
    EXPECT_EQ(channels->nameAt(1), "Second");

    // The owner goes with its last reference although the frame still holds its channel.
    auto held = item(*channels, com::Variant(std::int32_t{1}));
    owner = nullptr;
    EXPECT_TRUE(destroyed);
    std::string path = "untouched";
    EXPECT_EQ(held->GetChannelPath(&path), com::E_UNEXPECTED);
    EXPECT_EQ(path, "untouched");
}

}  // namespace
