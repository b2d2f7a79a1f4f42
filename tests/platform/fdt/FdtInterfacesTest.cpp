#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/ComObject.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"

namespace {

std::vector<std::string> names(const com::InterfaceDesc& d) {
    std::vector<std::string> out;
    for (const auto& m : d.members) out.emplace_back(m.name);
    return out;
}

TEST(FdtInterfaces, TablesAreConsistentAndInFdtOrder) {
    const com::InterfaceDesc* all[] = {
        &fdt::IFdtContainerDescription::desc,
        &fdt::IDtmDescription::desc,
        &fdt::IDtmEventsDescription::desc,
        &fdt::IDtmInformationDescription::desc,
        &fdt::IFdtEventsDescription::desc,
        &fdt::IDtmActiveXInformationDescription::desc,
        &fdt::IFdtCommunicationDescription::desc,
        &fdt::IFdtCommunicationEventsDescription::desc,
        &fdt::IDtmDocumentationDescription::desc,
        &fdt::IDtmChannelDescription::desc,
        &fdt::IFdtChannelDescription::desc,
        &fdt::IFdtChannelSubTopologyDescription::desc,
        &fdt::IDtmParameterDescription::desc,
        &fdt::IDtmActiveXControlDescription::desc,
        &fdt::IFdtChannelCollectionDescription::desc,
        &fdt::IActiveXGUIDescription::desc,
        &fdt::IOfflineParamViewDescription::desc,
        &fdt::IDiagnosisViewDescription::desc,
        &fdt::IMonitorViewDescription::desc,
        &fdt::IControlCaptionsDescription::desc,
    };
    std::vector<com::Guid> iids;
    for (const auto* d : all) {
        EXPECT_EQ(com::DispatchTable(*d).validate(), "") << d->name;
        for (const auto& seen : iids) EXPECT_NE(seen, d->iid) << d->name;
        iids.push_back(d->iid);
    }
    EXPECT_EQ(names(fdt::IDtmDescription::desc),
              (std::vector<std::string>{
                  "Environment", "InitNew", "Config", "SetCommunication", "PrepareToRelease",
                  "PrepareToReleaseCommunication", "ReleaseCommunication", "PrepareToDelete",
                  "SetLanguage", "GetFunctions", "InvokeFunctionRequest", "PrivateDialogEnabled"}));
    EXPECT_EQ(names(fdt::IDtmEventsDescription::desc),
              (std::vector<std::string>{
                  "OnParameterChanged", "OnErrorMessage", "OnProgress", "OnUploadFinished",
                  "OnDownloadFinished", "OnApplicationClosed", "OnFunctionChanged",
                  "OnChannelFunctionChanged", "OnPrint", "OnNavigation", "OnOnlineStateChanged",
                  "OnPreparedToRelease", "OnPreparedToReleaseCommunication",
                  "OnInvokedFunctionFinished", "OnScanResponse"}));
    // A control reports its release through the sixth, with the invoke id alone.
    EXPECT_EQ(fdt::IDtmEventsDescription::desc.members[5].argCount(), 1u);
    EXPECT_EQ(names(fdt::IFdtCommunicationDescription::desc),
              (std::vector<std::string>{"Abort", "ConnectRequest", "DisconnectRequest",
                                        "TransactionRequest", "GetSupportedProtocols",
                                        "SequenceBegin", "SequenceStart", "SequenceEnd"}));
    EXPECT_EQ(names(fdt::IFdtCommunicationEventsDescription::desc),
              (std::vector<std::string>{"OnAbort", "OnConnectResponse", "OnDisconnectResponse",
                                        "OnTransactionResponse"}));
    EXPECT_EQ(fdt::IID_IDtmEvents, com::makeGuid("{F15BA42E-BBF1-42ED-8009-7F664A002CFB}"));
}

// One object with two dual interfaces: each IDispatch reaches its own members, also where the
// dispatch ids coincide.
class TwoFaces final
    : public com::ComObject<TwoFaces, fdt::DualImpl<TwoFaces, fdt::IDtmInformation>,
                            fdt::DualImpl<TwoFaces, fdt::IFdtChannel>> {
public:
    com::HRESULT GetInformation(std::string* result) override {
        *result = "info";
        return com::S_OK;
    }
    com::HRESULT GetChannelParameters(const std::string& path, const std::string& protocol,
                                      std::string* result) override {
        *result = path + "|" + protocol;
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
};

TEST(FdtInterfaces, EachDualInterfaceDispatchesItsOwnMembers) {
    auto object = TwoFaces::create();
    com::ComPtr<fdt::IDtmInformation> info;
    com::ComPtr<fdt::IFdtChannel> channel;
    ASSERT_EQ(object->QueryInterface(fdt::IID_IDtmInformation, info.putVoid()), com::S_OK);
    ASSERT_EQ(object->QueryInterface(fdt::IID_IFdtChannel, channel.putVoid()), com::S_OK);

    com::Variant r;
    ASSERT_EQ(com::invokeByName(info.get(), "GetInformation", com::DISPATCH_METHOD, {}, &r),
              com::S_OK);
    EXPECT_EQ(r.bstr(), "info");
    // Id 1 is GetInformation on one face and GetChannelParameters on the other.
    ASSERT_EQ(
        com::invokeByName(channel.get(), "GetChannelParameters", com::DISPATCH_METHOD,
                          {com::Variant(std::string("p")), com::Variant(std::string("x"))}, &r),
        com::S_OK);
    EXPECT_EQ(r.bstr(), "p|x");
    EXPECT_EQ(com::invokeByName(info.get(), "GetChannelPath", com::DISPATCH_METHOD, {}, &r),
              com::DISP_E_UNKNOWNNAME);
    const com::InterfaceDesc* type = nullptr;
    ASSERT_EQ(channel->GetTypeInfo(0, 0, &type), com::S_OK);
    EXPECT_EQ(type->name, "IFdtChannel");
}

}  // namespace
