// The member table of the driver's interface against the documented one, the type library's
// identities, and what the table gives the dispatch and the virtual table.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "com/DispatchTable.h"
#include "com/TypeLib.h"
#include "tivlink/ITivDriver.h"
#include "tivlink/automation/TTivDriver.h"
#include "tivlink/automation/TivlinkTypeLib.h"

namespace {

// The documented members, typed from the interface documentation (numbered families written
// out): dispatch id, name, kind, parameters as documented, result.
struct Row {
    int dispId;
    const char* name;
    const char* kind;
    const char* params;
    const char* result;
};

// clang-format off
const Row kDocumented[] = {
{0x01, "LoadAdapter", "method", "", "long Param2"},
    {0x03, "IsAdapterPresent", "method", "", "VARIANT_BOOL Param1"},
    {0x04, "InitBuffer", "method", "", "long Param2"},
    {0x05, "StartRec", "method", "", "long Param1"},
    {0x06, "StopRec", "method", "", "long Param1"},
    {0x07, "WriteData", "method", "in/out VARIANT Data", "long Param2"},
    {0x09, "LastError", "get", "", "long Value"},
    {0x0A, "BufferPos", "get", "", "long Value"},
    {0x0B, "UsbTelCntr", "get", "", "long Value"},
    {0x0D, "BufferOverrun", "get", "", "VARIANT_BOOL Value"},
    {0x0E, "BufferSize", "get", "", "long Value"},
    {0x0E, "BufferSize", "put", "in long", ""},
    {0x0F, "BufferMode", "get", "", "long Value"},
    {0x0F, "BufferMode", "put", "in long", ""},
    {0x10, "ReadData", "method", "in long Pos, in/out long Bytes, in VARIANT* Data", "long Param2"},
    {0x11, "RecState", "get", "", "long Value"},
    {0x12, "OpenRecFile", "method", "in LPSTR Filename", "long Param1"},
    {0x13, "CloseRecFile", "method", "", "long Param1"},
    {0x14, "StartFileRec", "method", "", "long Param1"},
    {0x15, "StopFileRec", "method", "", "long Param1"},
    {0x17, "RecFileSize", "get", "", "long Value"},
    {0x18, "FileRecState", "get", "", "long Value"},
    {0x19, "IsDelayOn", "get", "", "VARIANT_BOOL Value"},
    {0x1A, "ShowTestForm", "method", "in int State", "long Param1"},
    {0x1B, "HideTestForm", "method", "", "long Param1"},
    {0x1C, "MsgType", "get", "", "long Value"},
    {0x1C, "MsgType", "put", "in long", ""},
    {0x1E, "IsFilterOn", "get", "", "VARIANT_BOOL Value"},
    {0x1F, "FilterType", "get", "", "long Value"},
    {0x1F, "FilterType", "put", "in long", ""},
    {0x20, "FilterOn", "method", "", "long Param1"},
    {0x21, "FilterOff", "method", "", "long Param1"},
    {0x22, "Value1", "get", "", "double Value"},
    {0x23, "IsFirmwareLoaded", "method", "in/out VARIANT SoftVer", "VARIANT_BOOL Param1"},
    {0x24, "DelayOn", "method", "", "long Param1"},
    {0x25, "DelayOff", "method", "", "long Param1"},
    {0x26, "ObjTypeMin", "get", "", "long Value"},
    {0x26, "ObjTypeMin", "put", "in long", ""},
    {0x27, "SubNrMin", "get", "", "long Value"},
    {0x27, "SubNrMin", "put", "in long", ""},
    {0x28, "ObjTypeMax", "get", "", "long Value"},
    {0x28, "ObjTypeMax", "put", "in long", ""},
    {0x29, "SubNrMax", "get", "", "long Value"},
    {0x29, "SubNrMax", "put", "in long", ""},
    {0x2B, "Value2", "get", "", "double Value"},
    {0x2C, "Value3", "get", "", "double Value"},
    {0x2D, "Value4", "get", "", "double Value"},
    {0x2E, "Value5", "get", "", "double Value"},
    {0x2F, "Value6", "get", "", "double Value"},
    {0x30, "Value7", "get", "", "double Value"},
    {0x31, "Value8", "get", "", "double Value"},
    {0x32, "Value9", "get", "", "double Value"},
    {0x33, "Value10", "get", "", "double Value"},
    {0x46, "AssignMvPara", "method", "in long Val, in long Msg, in long Obj", "long Param1"},
    {0x1D, "ValueNr", "get", "", "long Value"},
    {0x2A, "Filename", "get", "", "BSTR Value"},
    {0x2A, "Filename", "put", "in BSTR", ""},
    {0x34, "SendRequest", "method", "in/out VARIANT Data", "long Param2"},
    {0x35, "ReceiveResponse", "method", "in/out VARIANT Data", "long Param2"},
    {0x36, "ResponseState", "get", "", "long Value"},
    {0x37, "TraDelay", "get", "", "long Value"},
    {0x37, "TraDelay", "put", "in long", ""},
    {0x38, "GetNumAdapters", "method", "", "long Param1"},
    {0x39, "SelectAdapter", "method", "in long Number, in long Mode, in/out VARIANT VerStr", "long Param2"},
    {0x3B, "DrvFree", "method", "", "long Param1"},
    {0x3C, "ConnectAdapter", "method", "in long Mode", "long Param1"},
    {0x3D, "InitMemBuf", "method", "in long MemBlk", "long Param1"},
    {0x3E, "SetToken", "method", "in long AdapterToken, in long NextToken", "long Param1"},
    {0x3A, "TivSoftstart", "method", "", ""},
    {0x42, "TivReset", "method", "", ""},
    {0x3F, "GetAdapterToken", "method", "", "long Param1"},
    {0x40, "GetNextToken", "method", "", "long Param1"},
    {0x41, "GetAdapterAddr", "method", "", "long Param1"},
    {0x43, "GetAdapterName", "method", "in/out VARIANT Data", "long Param2"},
    {0x45, "GetNumDueAddr", "method", "in long Address", "long Param2"},
    {0x47, "SendAcyclic", "method", "in long TelType, in long DataSize, in long SubNo, in long ObjNo, in long Control, in VARIANT Data", "long Param4"},
    {0x48, "ReceiveAcyclic", "method", "in/out long TelType, in/out long DataSize, in/out long SubNo, in/out long ObjNo, in/out long Control, in/out VARIANT Data", "long Param7"},
    {0x4A, "FileRecMode", "get", "", "long Value"},
    {0x4A, "FileRecMode", "put", "in long", ""},
    {0x49, "Version", "get", "", "long Value"},
    {0x4B, "VID", "get", "", "long Value"},
    {0x4C, "PID", "get", "", "long Value"},
    {0x4D, "Status1", "get", "", "long Value"},
    {0x4E, "Status2", "get", "", "long Value"},
    {0x4F, "Status3", "get", "", "long Value"},
    {0x50, "Status4", "get", "", "long Value"},
    {0x51, "Status5", "get", "", "long Value"},
    {0x52, "Status6", "get", "", "long Value"},
    {0x53, "Status7", "get", "", "long Value"},
    {0x54, "Status8", "get", "", "long Value"},
    {0x55, "Status9", "get", "", "long Value"},
    {0x56, "Status10", "get", "", "long Value"},
    {0x57, "TimeStamp1", "get", "", "long Value"},
    {0x58, "TimeStamp2", "get", "", "long Value"},
    {0x59, "TimeStamp3", "get", "", "long Value"},
    {0x5A, "TimeStamp4", "get", "", "long Value"},
    {0x5B, "TimeStamp5", "get", "", "long Value"},
    {0x5C, "TimeStamp6", "get", "", "long Value"},
    {0x5D, "TimeStamp7", "get", "", "long Value"},
    {0x5E, "TimeStamp8", "get", "", "long Value"},
    {0x5F, "TimeStamp9", "get", "", "long Value"},
    {0x60, "TimeStamp10", "get", "", "long Value"},
    {0x65, "TelCnt", "get", "", "long Value"},
    {0x61, "LoadResult", "get", "", "long Value"},
    {0x02, "AdapterState", "get", "", "VARIANT_BOOL Value"},
    {0x02, "AdapterState", "put", "in VARIANT_BOOL", ""},
    {0x08, "GetAddrDueNum", "method", "in long Nr", "long Param2"},
    {0x62, "TivResetHw", "method", "", "long Param1"},
    {0x63, "ReceiveAcyclicDelayed", "method", "in/out long TelType, in/out long DataSize, in/out long SubNo, in/out long ObjNo, in/out long Control, in/out VARIANT Data", "long Param7"},
    {0x16, "DelayedResponseState", "get", "", "long Value"},
    {0x44, "IsTivConnected", "get", "", "VARIANT_BOOL Value"},
    {0x64, "IsUsbConnected", "get", "", "VARIANT_BOOL Value"},
    {0x66, "TimerIntervall", "get", "", "long Value"},
    {0x66, "TimerIntervall", "put", "in long", ""},
    {0x68, "AcyclicTransmission", "method", "in/out long TelType, in/out long DataSize, in/out long SubNo, in/out long ObjNo, in/out long Control, in/out VARIANT Data", "long Param7"},
    {0x67, "SetThreadPriority", "method", "in long myPriority", ""},
    {0x69, "LockAdapter", "method", "", "long Param1"},
    {0x6A, "UnlockAdapter", "method", "", "long Param1"},
    {0x6B, "SetMarker", "method", "in long Value", "long Param2"},
    {0x6C, "GetMarker", "method", "", "long Param2"},
    {0x0C, "SearchObjNr", "get", "", "long Value"},
    {0x0C, "SearchObjNr", "put", "in long", ""},
    {0x6D, "MarkedStartRec", "method", "", "long Param1"},
    {0x6E, "MarkedStopRec", "method", "", "long Param1"},
    {0x6F, "DlLoadAdapter", "method", "in long Len, in VARIANT* Data", "long Param4"},
    {0x71, "DlLockAdapter", "method", "", "long Param1"},
    {0x72, "DlUnlockAdapter", "method", "", "long Param1"},
    {0x73, "DlStart", "method", "in long StartAddr, in long StopAddr", "long Param4"},
    {0x74, "DlStop", "method", "", "long Param1"},
    {0x76, "DlGetState", "method", "in/out long LastAddr", "long Param2"},
    {0x70, "UlGetState", "method", "in/out long LastAddr", "long Param2"},
    {0x75, "UlStart", "method", "in long StartAddr, in long StopAddr", "long Param3"},
    {0x77, "UlStop", "method", "", "long Param1"},
    {0x78, "UlReadAdapter", "method", "in long StartAddr, in long Len, in/out VARIANT Data", "long Param3"},
    {0x79, "ReadControlData", "method", "in VARIANT* Data", "long Param2"},
    {0x7C, "CheckArrayCRC", "method", "in VARIANT* Data, in long Len", "long Param3"},
    {0x7E, "SetCheckMode", "method", "in long Value", "long Param1"},
    {0x7F, "GetCheckMode", "method", "", "VARIANT_BOOL Param1"},
    {0x80, "SetCheckMethod", "method", "in long Value", "long Param2"},
    {0x81, "GetCheckMethod", "method", "", "VARIANT_BOOL Param1"},
    {0x7B, "LogFileOn", "get", "", "VARIANT_BOOL Value"},
    {0x7B, "LogFileOn", "put", "in VARIANT_BOOL", ""},
    {0x7A, "Read_Data", "method", "in long Pos, in/out long Bytes, in/out VARIANT Data", "long Param1"},
    {0x7D, "Read_ControlData", "method", "in/out VARIANT Data", "long Param1"},
    {0x82, "DataReceivedThreshold", "get", "", "long Value"},
    {0x82, "DataReceivedThreshold", "put", "in long", ""},
    {0x84, "EnablePointerOverrunEvent", "get", "", "VARIANT_BOOL Value"},
    {0x84, "EnablePointerOverrunEvent", "put", "in VARIANT_BOOL", ""},
};
// clang-format on

std::string KindText(com::MemberKind k) {
    switch (k) {
        case com::MemberKind::Method:
            return "method";
        case com::MemberKind::PropertyGet:
            return "get";
        default:
            return "put";
    }
}

std::string TypeText(com::AutoType t) {
    switch (t) {
        case com::AutoType::Long:
            return "long";
        case com::AutoType::Int:
            return "int";
        case com::AutoType::Bool:
            return "VARIANT_BOOL";
        case com::AutoType::Double:
            return "double";
        case com::AutoType::BStr:
            return "BSTR";
        case com::AutoType::Variant:
            return "VARIANT";
        case com::AutoType::VariantPtr:
            return "VARIANT*";
        case com::AutoType::LpStr:
            return "LPSTR";
        default:
            return "?";
    }
}

// The parameters in the documentation's words: "in long Pos, in/out long Bytes".
std::string ParamsText(const com::MemberDesc& m) {
    std::string s;
    for (std::size_t i = 0; i < m.argCount(); ++i) {
        const auto& p = m.params[i];
        if (!s.empty()) s += ", ";
        s += p.dir == com::ParamDir::InOut ? "in/out " : p.dir == com::ParamDir::In ? "in " : "?";
        s += TypeText(p.type);
        if (!p.name.empty()) s += " " + std::string(p.name);
    }
    return s;
}

std::string ResultText(const com::MemberDesc& m) {
    if (!m.hasRetval()) return "";
    const auto& r = m.params[m.paramCount() - 1];
    return TypeText(r.type) + " " + std::string(r.name);
}

TEST(TTivDriverTable, FollowsTheDocumentedTableRowByRow) {
    const auto members = tivlink::ITivDriverDesc().members;
    ASSERT_EQ(members.size(), std::size(kDocumented));
    for (std::size_t i = 0; i < members.size(); ++i) {
        const auto& m = members[i];
        const Row& d = kDocumented[i];
        SCOPED_TRACE("row " + std::to_string(i + 1) + ": " + d.name);
        EXPECT_EQ(m.dispId, d.dispId);
        EXPECT_EQ(m.name, d.name);
        EXPECT_EQ(KindText(m.kind), d.kind);
        EXPECT_EQ(ParamsText(m), d.params);
        EXPECT_EQ(ResultText(m), d.result);
        EXPECT_NE(m.thunk, nullptr);
    }
    EXPECT_EQ(com::DispatchTable(tivlink::ITivDriverDesc()).validate(), "");
}

TEST(TTivDriverTable, EventsAndIdentitiesOfTheTypeLibrary) {
    const std::vector<std::pair<int, std::string>> documented = {
        {1, "OnOverrun"},          {2, "OnStdLoaded"},        {5, "OnDataWasSent"},
        {6, "OnMvAvailable"},      {7, "OnResponse"},         {8, "OnFree"},
        {9, "OnAdapterDiscon"},    {11, "OnTivConnected"},    {4, "OnFirmwareLoaded"},
        {10, "OnAdapterLoggedIn"}, {12, "OnDelayedResponse"}, {13, "OnAdapterLoggedOut"},
        {14, "OnMarked"},          {3, "OnDataReceived"},     {15, "OnPointerOverrun"}};
    const auto& events = tivlink::ITivDriverEventsDesc();
    std::vector<std::pair<int, std::string>> actual;
    for (const auto& e : events.members) {
        EXPECT_EQ(e.kind, com::MemberKind::Method);
        EXPECT_EQ(e.paramCount(), 0u) << e.name;
        actual.emplace_back(e.dispId, std::string(e.name));
    }
    EXPECT_EQ(actual, documented);
    EXPECT_EQ(events.kind, com::InterfaceKind::DispInterface);
    EXPECT_EQ(events.iid.toString(), "{2689F981-3E2B-4650-9F69-C18B1463CD4F}");
    EXPECT_EQ(events.helpString, "Ereignis-Schnittstelle für TivDriver-Objekt");

    const auto& itf = tivlink::ITivDriverDesc();
    EXPECT_EQ(itf.name, "ITivDriver");
    EXPECT_EQ(itf.kind, com::InterfaceKind::Dual);
    EXPECT_EQ(itf.iid.toString(), "{4FE53426-F8C8-4FFF-8302-A9EDB94EB0C4}");
    EXPECT_EQ(itf.helpString, "Dispatch-Schnittstelle für TivDriver-Objekt");

    const auto& lib = tivlink::TivlinkTypeLib();
    EXPECT_EQ(lib.name, "Tivlink");
    EXPECT_EQ(lib.libid.toString(), "{1F34840A-D156-48B0-922C-8A30A1E411E1}");
    EXPECT_EQ(lib.majorVersion, 1);
    EXPECT_EQ(lib.minorVersion, 0);
    EXPECT_EQ(lib.lcid, 0x409u);
    EXPECT_EQ(lib.helpString, "Tivlink Bibliothek");
    ASSERT_EQ(lib.importedLibs.size(), 1u);
    EXPECT_EQ(lib.importedLibs[0], "stdole2");
    ASSERT_EQ(lib.interfaces.size(), 2u);
    EXPECT_EQ(lib.interfaces[0], &itf);
    EXPECT_EQ(lib.interfaces[1], &events);

    ASSERT_EQ(lib.coclasses.size(), 1u);
    const auto& coclass = lib.coclasses[0];
    EXPECT_EQ(coclass.name, "TivDriver");
    EXPECT_EQ(coclass.clsid.toString(), "{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}");
    EXPECT_EQ(coclass.helpString, "TivDriver Objekt");
    EXPECT_TRUE(coclass.creatable);
    ASSERT_EQ(coclass.interfaces.size(), 2u);
    EXPECT_EQ(coclass.interfaces[0].itf, &itf);
    EXPECT_TRUE(coclass.interfaces[0].isDefault);
    EXPECT_FALSE(coclass.interfaces[0].isSource);
    EXPECT_EQ(coclass.interfaces[1].itf, &events);
    EXPECT_TRUE(coclass.interfaces[1].isDefault);
    EXPECT_TRUE(coclass.interfaces[1].isSource);

    // The client header carries the same identities and events.
    EXPECT_EQ(tivlink::CLSID_TivDriver, coclass.clsid);
    EXPECT_EQ(tivlink::kTivDriverProgId, "Tivlink.TivDriver");
    ASSERT_EQ(std::size(tivlink::kTivDriverEvents), documented.size());
    for (std::size_t i = 0; i < documented.size(); ++i) {
        EXPECT_EQ(tivlink::kTivDriverEvents[i].dispId, documented[i].first);
        EXPECT_EQ(tivlink::kTivDriverEvents[i].name, documented[i].second);
    }
    EXPECT_EQ(tivlink::TivDriverEventName(7), "OnResponse");
    EXPECT_EQ(tivlink::TivDriverEventName(16), "");
}

// The virtual-table slot of a member function pointer under the Itanium C++ ABI (used by g++
// and clang on Linux): the pointer word holds 1 + the slot's byte offset.
template <class M>
std::ptrdiff_t Slot(M member) {
    static_assert(sizeof(M) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof words);
    EXPECT_EQ(words[0] & 1, 1) << "not a virtual member";
    return (words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

TEST(TTivDriverTable, VirtualTableFollowsTheTableOrderBehindIDispatch) {
    using tivlink::ITivDriver;
    const auto first = Slot(&ITivDriver::LoadAdapter);
    EXPECT_EQ(first, Slot(&com::IDispatch::Invoke) + 1);
    // A few rows spread over the table, each at its row's offset from the first.
    EXPECT_EQ(Slot(&ITivDriver::IsAdapterPresent), first + 1);
    EXPECT_EQ(Slot(&ITivDriver::put_BufferSize), first + 11);
    EXPECT_EQ(Slot(&ITivDriver::ReadData), first + 14);
    EXPECT_EQ(Slot(&ITivDriver::get_Value10), first + 52);
    EXPECT_EQ(Slot(&ITivDriver::AssignMvPara), first + 53);
    EXPECT_EQ(Slot(&ITivDriver::TivSoftstart), first + 68);
    EXPECT_EQ(Slot(&ITivDriver::SendAcyclic), first + 75);
    EXPECT_EQ(Slot(&ITivDriver::get_TimeStamp10), first + 101);
    EXPECT_EQ(Slot(&ITivDriver::put_AdapterState), first + 105);
    EXPECT_EQ(Slot(&ITivDriver::SetThreadPriority), first + 115);
    EXPECT_EQ(Slot(&ITivDriver::put_EnablePointerOverrunEvent), first + 147);
}

TEST(TTivDriverTable, NamesResolveWithoutRegardToCaseWithTheirParameters) {
    const com::DispatchTable table(tivlink::ITivDriverDesc());
    com::DISPID ids[3] = {};
    const std::string_view readData[] = {"readdata", "BYTES", "pos"};
    EXPECT_EQ(table.getIDsOfNames(readData, ids), com::S_OK);
    EXPECT_EQ(ids[0], 0x10);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);

    // A property's getter and setter share the id.
    const std::string_view bufferSize[] = {"BufferSize"};
    EXPECT_EQ(table.getIDsOfNames(bufferSize, ids), com::S_OK);
    EXPECT_EQ(ids[0], 0x0E);
    EXPECT_NE(table.find(0x0E, com::MemberKind::PropertyGet), nullptr);
    EXPECT_NE(table.find(0x0E, com::MemberKind::PropertyPut), nullptr);

    const std::string_view unknown[] = {"ReadDta"};
    EXPECT_EQ(table.getIDsOfNames(unknown, ids), com::DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], com::DISPID_UNKNOWN);
    const std::string_view wrongParam[] = {"ReadData", "Length"};
    EXPECT_EQ(table.getIDsOfNames(wrongParam, ids), com::DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 0x10);
    EXPECT_EQ(ids[1], com::DISPID_UNKNOWN);
}

TEST(TTivDriverTable, TextDescriptionNamesEveryMemberAndEvent) {
    const std::string text = com::dumpTypeLib(tivlink::TivlinkTypeLib());
    EXPECT_THAT(text, ::testing::HasSubstr("Tivlink Bibliothek"));
    for (const Row& d : kDocumented) EXPECT_THAT(text, ::testing::HasSubstr(d.name));
    EXPECT_THAT(text, ::testing::HasSubstr("OnPointerOverrun"));
}

}  // namespace
