#include "tivlink/automation/TTivDriver.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

#include "tivlink/automation/ClientArray.h"
#include "tivlink/automation/TivlinkTypeLib.h"
#include "tivlink/usb/FirmwareResource.h"

namespace tivlink {

using com::HRESULT;
using com::Variant;
using com::VARIANT_BOOL;

// Both the engine's ids and the interface's table come from one list; each id must be there once.
static_assert([] {
    for (std::size_t i = 0; i < std::size(kTivDriverEvents); ++i)
        for (std::size_t j = i + 1; j < std::size(kTivDriverEvents); ++j)
            if (kTivDriverEvents[i].dispId == kTivDriverEvents[j].dispId) return false;
    return std::size(kTivDriverEvents) == kOnPointerOverrun;
}());

namespace {

// Hands events to the client's sink on the client's thread. Whatever the handler returns or
// reports is dropped: a failing handler must not change the driver.
class SinkBridge final : public IDriverEventSink {
public:
    explicit SinkBridge(com::ComPtr<com::IDispatch> sink) : sink_(std::move(sink)) {}

    void OnEvent(int dispId) override {
        try {
            Variant ignored;
            com::ExcepInfo excepInfo;
            std::uint32_t argErr = 0;
            const HRESULT hr = sink_->Invoke(dispId, com::DISPATCH_METHOD, com::DispParams{},
                                             &ignored, &excepInfo, &argErr);
            // What a failing handler reported is its own affair, not the driver's.
            if (com::FAILED(hr)) com::clearErrorInfo();
        } catch (...) {
            com::clearErrorInfo();
        }
    }

private:
    const com::ComPtr<com::IDispatch> sink_;
};

VARIANT_BOOL Bool(bool b) {
    return b ? com::VARIANT_TRUE : com::VARIANT_FALSE;
}

template <class... T>
void Require(T*... p) {
    if (((p == nullptr) || ...)) throw std::invalid_argument("a required pointer argument is null");
}

TelegramFields FieldsOf(const std::int32_t* telType, const std::int32_t* dataSize,
                        const std::int32_t* subNo, const std::int32_t* objNo,
                        const std::int32_t* control) {
    return {*telType, *dataSize, *subNo, *objNo, *control};
}

void StoreFields(const TelegramFields& f, std::int32_t* telType, std::int32_t* dataSize,
                 std::int32_t* subNo, std::int32_t* objNo, std::int32_t* control) {
    *telType = f.telType;
    *dataSize = f.dataSize;
    *subNo = f.subNo;
    *objNo = f.objNo;
    *control = f.control;
}

// Hands bytes to a client's variant as VT_ARRAY|VT_UI1 from 0. A variant that refers to the
// client's own storage (a by-reference array, say) gets them there when they fit its type.
void Store(Variant* target, const std::vector<std::uint8_t>& bytes) {
    Variant value = Variant::fromBytes(bytes);
    if (target->isByRef() && com::SUCCEEDED(target->storeThroughRef(value))) return;
    *target = std::move(value);
}

// The ReceiveAcyclic family writes its outputs only when it read a record.
bool ReadARecord(int code) {
    namespace rx = result::ReceiveAcyclic;
    return code == rx::kResponseOk || code == rx::kDelayed || code == rx::kDeviceError;
}

}  // namespace

TTivDriver::TTivDriver() : TTivDriver(Options{nullptr, FirmwareResource(), std::nullopt, {}}) {}

TTivDriver::TTivDriver(Options options)
    : eventsPoint_(*this, DIID_ITivDriverEvents),
      object_(std::make_unique<DriverObject>(std::move(options))) {
    eventsPoint_.setObserver(
        [this](bool advised, std::uint32_t, com::IDispatch* sink) { OnConnection(advised, sink); });
}

TTivDriver::~TTivDriver() {
    destroying_ = true;
    // The engine's destruction runs DrvFree, which may still tell the current sink OnFree.
    object_.reset();
    eventsPoint_.setObserver({});
}

const com::InterfaceDesc& TTivDriver::interfaceDesc() {
    return ITivDriverDesc();
}

std::uint32_t TTivDriver::AddRef() {
    return destroying_ ? 1 : Base::AddRef();
}

std::uint32_t TTivDriver::Release() {
    return destroying_ ? 1 : Base::Release();
}

DriverObject& TTivDriver::Live() {
    // A sink that calls back while the final DrvFree tells it OnFree finds the engine going.
    if (destroying_ || !object_)
        throw com::ComError(com::E_UNEXPECTED, "the driver object is being destroyed");
    return *object_;
}

void TTivDriver::OnConnection(bool advised, com::IDispatch* sink) {
    if (destroying_ || !object_) return;
    // The last advised sink is the current one; losing any sink loses the current one.
    if (advised && sink)
        Engine().ConnectSink(std::make_shared<SinkBridge>(com::ComPtr<com::IDispatch>(sink)));
    else
        Engine().ConnectSink(nullptr);
}

HRESULT TTivDriver::EnumConnectionPoints(std::vector<com::ComPtr<com::IConnectionPoint>>* points) {
    com::ConnectionPoint* const list[] = {&eventsPoint_};
    return com::enumConnectionPoints(list, points);
}

HRESULT TTivDriver::FindConnectionPoint(const com::Guid& iid, com::IConnectionPoint** point) {
    com::ConnectionPoint* const list[] = {&eventsPoint_};
    return com::findConnectionPoint(list, iid, point);
}

template <class Body>
HRESULT TTivDriver::Run(Body&& body) noexcept {
    try {
        body();
        return com::S_OK;
    } catch (...) {
        return com::reportCurrentException(IID_ITivDriver, kTivDriverErrorSource);
    }
}

template <class T, class Read>
HRESULT TTivDriver::Get(T* value, Read&& read) noexcept {
    return Run([&] {
        Require(value);
        *value = static_cast<T>(read());
    });
}

template <class Call>
HRESULT TTivDriver::Result(std::int32_t* result, Call&& call) noexcept {
    return Run([&] {
        Require(result);
        *result = static_cast<std::int32_t>(call());
    });
}

// ---- telegrams and the acyclic transaction ----------------------------------------------

HRESULT TTivDriver::SendAcyclic(std::int32_t TelType, std::int32_t DataSize, std::int32_t SubNo,
                                std::int32_t ObjNo, std::int32_t Control, const Variant& Data,
                                std::int32_t* Param4) {
    return Result(Param4, [&] {
        const ClientArray data(Data);
        return Engine().SendAcyclic(TelType, DataSize, SubNo, ObjNo, Control, data.Arg());
    });
}

HRESULT TTivDriver::SendRequest(Variant* Data, std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(Data);
        const ClientArray data(*Data);
        return Engine().SendRequest(data.Arg());
    });
}

HRESULT TTivDriver::ReceiveResponse(Variant* Data, std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(Data);
        std::vector<std::uint8_t> bytes;
        const int r = Engine().ReceiveResponse(bytes, Data->deref().vt());
        Store(Data, bytes);
        return r;
    });
}

HRESULT TTivDriver::ReceiveAcyclic(std::int32_t* TelType, std::int32_t* DataSize,
                                   std::int32_t* SubNo, std::int32_t* ObjNo, std::int32_t* Control,
                                   Variant* Data, std::int32_t* Param7) {
    return Result(Param7, [&] {
        Require(TelType, DataSize, SubNo, ObjNo, Control, Data);
        auto fields = FieldsOf(TelType, DataSize, SubNo, ObjNo, Control);
        std::vector<std::uint8_t> bytes;
        const int r = Engine().ReceiveAcyclic(fields, bytes, Data->deref().vt());
        StoreFields(fields, TelType, DataSize, SubNo, ObjNo, Control);
        if (ReadARecord(r)) Store(Data, bytes);
        return r;
    });
}

HRESULT TTivDriver::ReceiveAcyclicDelayed(std::int32_t* TelType, std::int32_t* DataSize,
                                          std::int32_t* SubNo, std::int32_t* ObjNo,
                                          std::int32_t* Control, Variant* Data,
                                          std::int32_t* Param7) {
    return Result(Param7, [&] {
        Require(TelType, DataSize, SubNo, ObjNo, Control, Data);
        auto fields = FieldsOf(TelType, DataSize, SubNo, ObjNo, Control);
        std::vector<std::uint8_t> bytes;
        const int r = Engine().ReceiveAcyclicDelayed(fields, bytes);
        StoreFields(fields, TelType, DataSize, SubNo, ObjNo, Control);
        if (r == 0 || r == 255) Store(Data, bytes);
        return r;
    });
}

HRESULT TTivDriver::AcyclicTransmission(std::int32_t* TelType, std::int32_t* DataSize,
                                        std::int32_t* SubNo, std::int32_t* ObjNo,
                                        std::int32_t* Control, Variant* Data,
                                        std::int32_t* Param7) {
    return Result(Param7, [&] {
        Require(TelType, DataSize, SubNo, ObjNo, Control, Data);
        auto fields = FieldsOf(TelType, DataSize, SubNo, ObjNo, Control);
        // A copy: event handlers run while the answer is awaited and may touch Data.
        const ClientArray dataIn(*Data);
        std::vector<std::uint8_t> bytes;
        const int r = Engine().AcyclicTransmission(fields, dataIn.Arg(), bytes, Data->deref().vt());
        StoreFields(fields, TelType, DataSize, SubNo, ObjNo, Control);
        if (ReadARecord(r)) Store(Data, bytes);
        return r;
    });
}

HRESULT TTivDriver::WriteData(Variant* Data, std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(Data);
        const ClientArray data(*Data);
        return Engine().WriteData(data.Arg());
    });
}

HRESULT TTivDriver::CheckArrayCRC(Variant* Data, std::int32_t Len, std::int32_t* Param3) {
    return Result(Param3, [&] {
        Require(Data);
        const ClientArray data(*Data);
        return Engine().CheckArrayCRC(data.Arg(), Len);
    });
}

HRESULT TTivDriver::SetCheckMode(std::int32_t Value, std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().SetCheckMode(Value); });
}

HRESULT TTivDriver::GetCheckMode(VARIANT_BOOL* Param1) {
    return Get(Param1, [&] { return Bool(Engine().GetCheckMode()); });
}

HRESULT TTivDriver::SetCheckMethod(std::int32_t Value, std::int32_t* Param2) {
    return Result(Param2, [&] { return Engine().SetCheckMethod(Value); });
}

HRESULT TTivDriver::GetCheckMethod(VARIANT_BOOL* Param1) {
    return Get(Param1, [&] { return Bool(Engine().GetCheckMethod()); });
}

HRESULT TTivDriver::get_ResponseState(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().ResponseState(); });
}

HRESULT TTivDriver::get_DelayedResponseState(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().DelayedResponseState(); });
}

HRESULT TTivDriver::get_TraDelay(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().TraDelay(); });
}

HRESULT TTivDriver::put_TraDelay(std::int32_t Value) {
    return Run([&] { Engine().SetTraDelay(Value); });
}

HRESULT TTivDriver::TivSoftstart() {
    return Run([&] { Engine().TivSoftstart(); });
}

HRESULT TTivDriver::TivReset() {
    return Run([&] { Engine().TivReset(); });
}

// ---- worker thread, timer, connection ------------------------------------------------------

HRESULT TTivDriver::SetThreadPriority(std::int32_t myPriority) {
    return Run([&] { Engine().SetThreadPriority(myPriority); });
}

HRESULT TTivDriver::get_TimerIntervall(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().TimerIntervall(); });
}

HRESULT TTivDriver::put_TimerIntervall(std::int32_t Value) {
    return Run([&] { Engine().SetTimerIntervall(Value); });
}

HRESULT TTivDriver::get_LastError(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().LastError(); });
}

HRESULT TTivDriver::get_UsbTelCntr(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().UsbTelCntr(); });
}

HRESULT TTivDriver::get_IsTivConnected(VARIANT_BOOL* Value) {
    return Get(Value, [&] { return Bool(Engine().IsTivConnected()); });
}

HRESULT TTivDriver::get_IsUsbConnected(VARIANT_BOOL* Value) {
    return Get(Value, [&] { return Bool(Engine().IsUsbConnected()); });
}

HRESULT TTivDriver::get_AdapterState(VARIANT_BOOL* Value) {
    return Get(Value, [&] { return Bool(Engine().AdapterState()); });
}

HRESULT TTivDriver::put_AdapterState(VARIANT_BOOL Value) {
    return Run([&] { Engine().SetAdapterState(Value != 0); });
}

HRESULT TTivDriver::DrvFree(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().DrvFree(); });
}

// ---- receive buffer and recording ------------------------------------------------------------

HRESULT TTivDriver::InitBuffer(std::int32_t* Param2) {
    return Result(Param2, [&] { return Engine().InitBuffer(); });
}

HRESULT TTivDriver::InitMemBuf(std::int32_t MemBlk, std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().InitMemBuf(MemBlk); });
}

HRESULT TTivDriver::get_BufferSize(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().BufferSize(); });
}

HRESULT TTivDriver::put_BufferSize(std::int32_t Value) {
    return Run([&] { Engine().SetBufferSize(Value); });
}

HRESULT TTivDriver::get_BufferMode(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().BufferMode(); });
}

HRESULT TTivDriver::put_BufferMode(std::int32_t Value) {
    return Run([&] { Engine().SetBufferMode(Value); });
}

HRESULT TTivDriver::get_BufferPos(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().BufferPos(); });
}

HRESULT TTivDriver::get_BufferOverrun(VARIANT_BOOL* Value) {
    return Get(Value, [&] { return Bool(Engine().BufferOverrun()); });
}

HRESULT TTivDriver::get_RecState(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().RecState(); });
}

HRESULT TTivDriver::get_TelCnt(std::int32_t* Value) {
    // The counter wraps at 2^32; clients see it as a signed 32-bit number.
    return Get(Value, [&] { return static_cast<std::int32_t>(Engine().TelCnt()); });
}

HRESULT TTivDriver::get_DataReceivedThreshold(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().DataReceivedThreshold(); });
}

HRESULT TTivDriver::put_DataReceivedThreshold(std::int32_t Value) {
    return Run([&] { Engine().SetDataReceivedThreshold(Value); });
}

HRESULT TTivDriver::get_EnablePointerOverrunEvent(VARIANT_BOOL* Value) {
    return Get(Value, [&] { return Bool(Engine().EnablePointerOverrunEvent()); });
}

HRESULT TTivDriver::put_EnablePointerOverrunEvent(VARIANT_BOOL Value) {
    return Run([&] { Engine().SetEnablePointerOverrunEvent(Value != 0); });
}

HRESULT TTivDriver::StartRec(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().StartRec(); });
}

HRESULT TTivDriver::StopRec(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().StopRec(); });
}

HRESULT TTivDriver::MarkedStartRec(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().MarkedStartRec(); });
}

HRESULT TTivDriver::MarkedStopRec(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().MarkedStopRec(); });
}

HRESULT TTivDriver::SetMarker(std::int32_t Value, std::int32_t* Param2) {
    return Result(Param2, [&] { return Engine().SetMarker(Value); });
}

HRESULT TTivDriver::GetMarker(std::int32_t* Param2) {
    return Result(Param2, [&] { return Engine().GetMarker(); });
}

HRESULT TTivDriver::ReadData(std::int32_t Pos, std::int32_t* Bytes, Variant* Data,
                             std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(Bytes, Data);
        std::vector<std::uint8_t> bytes;
        int count = *Bytes;
        const int r = Engine().ReadData(Pos, count, bytes);
        *Bytes = count;
        // Nothing at Pos leaves Data alone; otherwise it gets what was read, possibly nothing.
        if (r != 2) Store(Data, bytes);
        return r;
    });
}

HRESULT TTivDriver::Read_Data(std::int32_t Pos, std::int32_t* Bytes, Variant* Data,
                              std::int32_t* Param1) {
    return Run([&] {
        Require(Param1);
        com::throwIfFailed(ReadData(Pos, Bytes, Data, Param1));
    });
}

HRESULT TTivDriver::ReadControlData(Variant* Data, std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(Data);
        std::vector<std::uint8_t> bytes;
        const int r = Engine().ReadControlData(bytes);
        Store(Data, bytes);
        return r;
    });
}

HRESULT TTivDriver::Read_ControlData(Variant* Data, std::int32_t* Param1) {
    return Run([&] {
        Require(Param1);
        com::throwIfFailed(ReadControlData(Data, Param1));
    });
}

HRESULT TTivDriver::FilterOn(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().FilterOn(); });
}

HRESULT TTivDriver::FilterOff(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().FilterOff(); });
}

HRESULT TTivDriver::get_IsFilterOn(VARIANT_BOOL* Value) {
    return Get(Value, [&] { return Bool(Engine().IsFilterOn()); });
}

HRESULT TTivDriver::get_FilterType(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().Filter().filterType.load(); });
}

HRESULT TTivDriver::put_FilterType(std::int32_t Value) {
    return Run([&] { Engine().Filter().filterType = Value; });
}

HRESULT TTivDriver::get_MsgType(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().Filter().msgType.load(); });
}

HRESULT TTivDriver::put_MsgType(std::int32_t Value) {
    return Run([&] { Engine().Filter().msgType = Value; });
}

HRESULT TTivDriver::get_SearchObjNr(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().Filter().searchObjNr.load(); });
}

HRESULT TTivDriver::put_SearchObjNr(std::int32_t Value) {
    return Run([&] { Engine().Filter().searchObjNr = Value; });
}

HRESULT TTivDriver::get_ObjTypeMin(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().Filter().objTypeMin.load(); });
}

HRESULT TTivDriver::put_ObjTypeMin(std::int32_t Value) {
    return Run([&] { Engine().Filter().objTypeMin = Value; });
}

HRESULT TTivDriver::get_ObjTypeMax(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().Filter().objTypeMax.load(); });
}

HRESULT TTivDriver::put_ObjTypeMax(std::int32_t Value) {
    return Run([&] { Engine().Filter().objTypeMax = Value; });
}

HRESULT TTivDriver::get_SubNrMin(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().Filter().subNrMin.load(); });
}

HRESULT TTivDriver::put_SubNrMin(std::int32_t Value) {
    return Run([&] { Engine().Filter().subNrMin = Value; });
}

HRESULT TTivDriver::get_SubNrMax(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().Filter().subNrMax.load(); });
}

HRESULT TTivDriver::put_SubNrMax(std::int32_t Value) {
    return Run([&] { Engine().Filter().subNrMax = Value; });
}

HRESULT TTivDriver::OpenRecFile(const char* Filename, std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().OpenRecFile(Filename ? Filename : ""); });
}

HRESULT TTivDriver::CloseRecFile(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().CloseRecFile(); });
}

HRESULT TTivDriver::StartFileRec(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().StartFileRec(); });
}

HRESULT TTivDriver::StopFileRec(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().StopFileRec(); });
}

HRESULT TTivDriver::get_RecFileSize(std::int32_t* Value) {
    return Get(Value, [&] {
        return std::min<std::int64_t>(Engine().RecFileSize(),
                                      std::numeric_limits<std::int32_t>::max());
    });
}

HRESULT TTivDriver::get_FileRecMode(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().FileRecMode(); });
}

HRESULT TTivDriver::put_FileRecMode(std::int32_t Value) {
    return Run([&] { Engine().SetFileRecMode(Value); });
}

HRESULT TTivDriver::get_FileRecState(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().FileRecState(); });
}

HRESULT TTivDriver::AssignMvPara(std::int32_t Val, std::int32_t Msg, std::int32_t Obj,
                                 std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().AssignMvPara(Val, Msg, Obj); });
}

HRESULT TTivDriver::get_ValueNr(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().ValueNr(); });
}

// The ten measured-value slots, each with value, status and time stamp.
#define TIV_SLOT_GETTERS(n)                                                     \
    HRESULT TTivDriver::get_Value##n(double* Value) {                           \
        return Get(Value, [&] { return Engine().MeasuredValue(n).value; });     \
    }                                                                           \
    HRESULT TTivDriver::get_Status##n(std::int32_t* Value) {                    \
        return Get(Value, [&] { return Engine().MeasuredValue(n).status; });    \
    }                                                                           \
    HRESULT TTivDriver::get_TimeStamp##n(std::int32_t* Value) {                 \
        return Get(Value, [&] { return Engine().MeasuredValue(n).timeStamp; }); \
    }
TIV_SLOT_GETTERS(1)
TIV_SLOT_GETTERS(2)
TIV_SLOT_GETTERS(3)
TIV_SLOT_GETTERS(4)
TIV_SLOT_GETTERS(5)
TIV_SLOT_GETTERS(6)
TIV_SLOT_GETTERS(7)
TIV_SLOT_GETTERS(8)
TIV_SLOT_GETTERS(9)
TIV_SLOT_GETTERS(10)
#undef TIV_SLOT_GETTERS

// ---- adapter ----------------------------------------------------------------------------------

HRESULT TTivDriver::get_IsDelayOn(VARIANT_BOOL* Value) {
    return Get(Value, [&] { return Bool(Engine().IsDelayOn()); });
}

HRESULT TTivDriver::DelayOn(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().DelayOn(); });
}

HRESULT TTivDriver::DelayOff(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().DelayOff(); });
}

HRESULT TTivDriver::GetNumAdapters(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().GetNumAdapters(); });
}

HRESULT TTivDriver::SelectAdapter(std::int32_t Number, std::int32_t Mode, Variant* VerStr,
                                  std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(VerStr);
        std::vector<std::uint8_t> version;
        const int r = Engine().SelectAdapter(Number, Mode, version);
        if (!version.empty()) Store(VerStr, version);
        return r;
    });
}

HRESULT TTivDriver::IsFirmwareLoaded(Variant* SoftVer, VARIANT_BOOL* Param1) {
    return Get(Param1, [&] {
        Require(SoftVer);
        std::vector<std::uint8_t> version;
        const bool loaded = Engine().IsFirmwareLoaded(version);
        if (!version.empty()) Store(SoftVer, version);
        return Bool(loaded);
    });
}

HRESULT TTivDriver::IsAdapterPresent(VARIANT_BOOL* Param1) {
    return Get(Param1, [&] { return Bool(Engine().IsAdapterPresent()); });
}

HRESULT TTivDriver::ConnectAdapter(std::int32_t Mode, std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().ConnectAdapter(Mode); });
}

HRESULT TTivDriver::LoadAdapter(std::int32_t* Param2) {
    return Result(Param2, [&] { return Engine().LoadAdapter(); });
}

HRESULT TTivDriver::get_LoadResult(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().LoadResult(); });
}

HRESULT TTivDriver::get_VID(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().VID(); });
}

HRESULT TTivDriver::get_PID(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().PID(); });
}

HRESULT TTivDriver::GetAdapterAddr(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().GetAdapterAddr(); });
}

HRESULT TTivDriver::GetAdapterToken(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().GetAdapterToken(); });
}

HRESULT TTivDriver::GetNextToken(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().GetNextToken(); });
}

HRESULT TTivDriver::SetToken(std::int32_t AdapterToken, std::int32_t NextToken,
                             std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().SetToken(AdapterToken, NextToken); });
}

HRESULT TTivDriver::GetAdapterName(Variant* Data, std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(Data);
        std::vector<std::uint8_t> name;
        const int r = Engine().GetAdapterName(name);
        if (r == 0) Store(Data, name);
        return r;
    });
}

HRESULT TTivDriver::GetAddrDueNum(std::int32_t Nr, std::int32_t* Param2) {
    return Result(Param2, [&] { return Engine().GetAddrDueNum(Nr); });
}

HRESULT TTivDriver::GetNumDueAddr(std::int32_t Address, std::int32_t* Param2) {
    return Result(Param2, [&] { return Engine().GetNumDueAddr(Address); });
}

HRESULT TTivDriver::TivResetHw(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().TivResetHw(); });
}

HRESULT TTivDriver::get_Version(std::int32_t* Value) {
    return Get(Value, [&] { return Engine().Version(); });
}

HRESULT TTivDriver::get_Filename(std::string* Value) {
    return Get(Value, [&] { return Engine().Filename(); });
}

HRESULT TTivDriver::put_Filename(const std::string& Value) {
    return Run([&] { Engine().SetFilename(Value); });
}

HRESULT TTivDriver::LockAdapter(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().LockAdapter(); });
}

HRESULT TTivDriver::UnlockAdapter(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().UnlockAdapter(); });
}

// ---- adapter memory ---------------------------------------------------------------------------

HRESULT TTivDriver::DlLockAdapter(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().DlLockAdapter(); });
}

HRESULT TTivDriver::DlUnlockAdapter(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().DlUnlockAdapter(); });
}

HRESULT TTivDriver::DlStart(std::int32_t StartAddr, std::int32_t StopAddr, std::int32_t* Param4) {
    return Result(Param4, [&] { return Engine().DlStart(StartAddr, StopAddr); });
}

HRESULT TTivDriver::DlStop(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().DlStop(); });
}

HRESULT TTivDriver::DlLoadAdapter(std::int32_t Len, Variant* Data, std::int32_t* Param4) {
    return Result(Param4, [&] {
        Require(Data);
        // A copy: the transfer lets messages run, and their handlers may touch Data.
        const ClientArray data(*Data);
        return Engine().DlLoadAdapter(Len, data.Arg());
    });
}

HRESULT TTivDriver::DlGetState(std::int32_t* LastAddr, std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(LastAddr);
        return Engine().DlGetState(*LastAddr);
    });
}

HRESULT TTivDriver::UlStart(std::int32_t StartAddr, std::int32_t StopAddr, std::int32_t* Param3) {
    return Result(Param3, [&] { return Engine().UlStart(StartAddr, StopAddr); });
}

HRESULT TTivDriver::UlStop(std::int32_t* Param1) {
    return Result(Param1, [&] { return Engine().UlStop(); });
}

HRESULT TTivDriver::UlGetState(std::int32_t* LastAddr, std::int32_t* Param2) {
    return Result(Param2, [&] {
        Require(LastAddr);
        return Engine().UlGetState(*LastAddr);
    });
}

HRESULT TTivDriver::UlReadAdapter(std::int32_t StartAddr, std::int32_t Len, Variant* Data,
                                  std::int32_t* Param3) {
    return Result(Param3, [&] {
        Require(Data);
        std::vector<std::uint8_t> bytes;
        const int r = Engine().UlReadAdapter(StartAddr, Len, bytes);
        if (!bytes.empty()) Store(Data, bytes);
        return r;
    });
}

// ---- diagnostics ------------------------------------------------------------------------------

HRESULT TTivDriver::ShowTestForm(std::int32_t State, std::int32_t* Param1) {
    return Result(Param1, [&] { return Live().ShowTestForm(State); });
}

HRESULT TTivDriver::HideTestForm(std::int32_t* Param1) {
    return Result(Param1, [&] { return Live().HideTestForm(); });
}

HRESULT TTivDriver::get_LogFileOn(VARIANT_BOOL* Value) {
    return Get(Value, [&] { return Bool(Live().LogFileOn()); });
}

HRESULT TTivDriver::put_LogFileOn(VARIANT_BOOL Value) {
    return Run([&] { Live().SetLogFileOn(Value != 0); });
}

}  // namespace tivlink
