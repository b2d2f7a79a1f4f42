#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/ComObject.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"

namespace {

// For every interface an implementation whose members note their own name: a late-bound call
// of each member must reach that member through the virtual table, with its parameters passed.
#define STUB_P(dir, type, name) TIV_COM_CT(dir, type)
#define STUB_X(itf, id, kind, name, params) \
    com::HRESULT TIV_COM_NAME(kind, name)   \
    params override {                       \
        last = #name;                       \
        return com::E_NOTIMPL;              \
    }
#define STUB(Itf)                                                                                  \
    class Itf##Stub final : public com::ComObject<Itf##Stub, fdt::DualImpl<Itf##Stub, fdt::Itf>> { \
    public:                                                                                        \
        std::string last;                                                                          \
        FDT_MEMBERS_##Itf(STUB_X, STUB_P)                                                          \
    };

STUB(IFdtContainer)
STUB(IDtm)
STUB(IDtmEvents)
STUB(IDtmInformation)
STUB(IFdtEvents)
STUB(IDtmActiveXInformation)
STUB(IFdtCommunication)
STUB(IFdtCommunicationEvents)
STUB(IDtmDocumentation)
STUB(IDtmChannel)
STUB(IFdtChannel)
STUB(IFdtChannelSubTopology)
STUB(IDtmParameter)
STUB(IDtmActiveXControl)
STUB(IActiveXGUI)
STUB(IOfflineParamView)
STUB(IDiagnosisView)
STUB(IMonitorView)
STUB(IControlCaptions)

com::Variant sample(com::AutoType type) {
    switch (type) {
        case com::AutoType::Short:
            return com::Variant::fromI2(0);
        case com::AutoType::Byte:
            return com::Variant::fromUI1(0);
        case com::AutoType::Bool:
            return com::Variant(false);
        case com::AutoType::Double:
            return com::Variant(0.0);
        case com::AutoType::BStr:
        case com::AutoType::LpStr:
            return com::Variant(std::string("x"));
        case com::AutoType::Variant:
        case com::AutoType::VariantPtr:
            return com::Variant(std::string("v"));
        case com::AutoType::Dispatch:
            return com::Variant(static_cast<com::IDispatch*>(nullptr));
        case com::AutoType::Unknown:
            return com::Variant(static_cast<com::IUnknown*>(nullptr));
        default:
            return com::Variant(std::int32_t{0});
    }
}

template <class Stub>
void callEveryMember() {
    auto stub = Stub::create();
    for (const auto& m : Stub::dualDesc().members) {
        std::vector<com::Variant> args;
        for (std::size_t i = 0; i < m.argCount(); ++i) args.push_back(sample(m.params[i].type));
        std::uint16_t flags = com::DISPATCH_METHOD;
        com::DispArgs dispArgs(args);
        if (m.kind == com::MemberKind::PropertyGet) flags = com::DISPATCH_PROPERTYGET;
        if (m.kind == com::MemberKind::PropertyPut) {
            flags = com::DISPATCH_PROPERTYPUT;
            dispArgs = com::DispArgs::propertyPut(args.at(0));
        }
        stub->last.clear();
        com::Variant result;
        com::ExcepInfo excep;
        const auto hr = stub->Invoke(m.dispId, flags, dispArgs.params(), &result, &excep, nullptr);
        EXPECT_EQ(hr, com::DISP_E_EXCEPTION) << Stub::dualDesc().name << "." << m.name;
        EXPECT_EQ(excep.scode, com::E_NOTIMPL) << Stub::dualDesc().name << "." << m.name;
        EXPECT_EQ(stub->last, m.name) << Stub::dualDesc().name;
    }
}

TEST(FdtInterfaces, EveryMemberOfEveryInterfaceIsReachableLateBound) {
    callEveryMember<IFdtContainerStub>();
    callEveryMember<IDtmStub>();
    callEveryMember<IDtmEventsStub>();
    callEveryMember<IDtmInformationStub>();
    callEveryMember<IFdtEventsStub>();
    callEveryMember<IDtmActiveXInformationStub>();
    callEveryMember<IFdtCommunicationStub>();
    callEveryMember<IFdtCommunicationEventsStub>();
    callEveryMember<IDtmDocumentationStub>();
    callEveryMember<IDtmChannelStub>();
    callEveryMember<IFdtChannelStub>();
    callEveryMember<IFdtChannelSubTopologyStub>();
    callEveryMember<IDtmParameterStub>();
    callEveryMember<IDtmActiveXControlStub>();
    callEveryMember<IActiveXGUIStub>();
    callEveryMember<IOfflineParamViewStub>();
    callEveryMember<IDiagnosisViewStub>();
    callEveryMember<IMonitorViewStub>();
    callEveryMember<IControlCaptionsStub>();
}

}  // namespace
