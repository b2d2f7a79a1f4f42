#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "os/MessageQueue.h"
#include "os/PeriodicTimer.h"
#include "tivlink/core/ArrayConversion.h"
#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/DriverEvents.h"
#include "tivlink/core/DriverState.h"
#include "tivlink/core/WorkerThread.h"
#include "tivlink/protocol/LoginCounter.h"
#include "tivlink/protocol/Reception.h"
#include "tivlink/protocol/Recorder.h"
#include "tivlink/protocol/ResponseMatcher.h"
#include "tivlink/protocol/TimerDuties.h"
#include "tivlink/protocol/Transmitter.h"
#include "tivlink/usb/AdapterLoader.h"
#include "tivlink/usb/AdapterLock.h"
#include "tivlink/usb/AdapterMemory.h"
#include "tivlink/usb/AdapterTable.h"
#include "tivlink/usb/CommandPipe.h"
#include "tivlink/usb/UsbDevice.h"
#include "usb/Transport.h"

namespace tivlink {

// The driver object's engine: owns the parts, wires them to one state block, and offers
// their calls as one object. Plain C++; the automation object wraps it. Create and call it
// on one thread (the client's): events arrive there, through that thread's message queue.
class DriverEngine {
public:
    struct Options {
        std::shared_ptr<usbio::Transport> transport;  // nullptr: the process transport
        std::span<const std::uint8_t> firmwareImage;  // the embedded image, empty if none
        std::shared_ptr<IDriverLog> log;              // nullptr: an in-memory log, off
        std::shared_ptr<IDebugWindow> window;         // nullptr: an in-memory window, hidden
    };

    explicit DriverEngine(Options options);
    ~DriverEngine();
    DriverEngine(const DriverEngine&) = delete;
    DriverEngine& operator=(const DriverEngine&) = delete;

    void ConnectSink(std::shared_ptr<IDriverEventSink> sink) { events_.Connect(std::move(sink)); }
    Diagnostics& Diag() { return diagnostics_; }

    // ---- telegrams and the acyclic transaction ----------------------------------------
    int SendAcyclic(int telType, int dataSize, int subNo, int objNo, int control,
                    const ByteArrayArg& data) {
        return transmitter_.SendAcyclic(telType, dataSize, subNo, objNo, control, data);
    }
    int SendRequest(const ByteArrayArg& data) { return transmitter_.SendRequest(data); }
    int ReceiveAcyclic(TelegramFields& out, std::vector<std::uint8_t>& data,
                       std::uint16_t dataVarType = kVtArray | kVtUi1) {
        return matcher_.ReceiveAcyclic(out, data, dataVarType);
    }
    int ReceiveResponse(std::vector<std::uint8_t>& data,
                        std::uint16_t dataVarType = kVtArray | kVtUi1) {
        return matcher_.ReceiveResponse(data, dataVarType);
    }
    int ReceiveAcyclicDelayed(TelegramFields& out, std::vector<std::uint8_t>& data) {
        return matcher_.ReceiveAcyclicDelayed(out, data);
    }
    // Sends `io` and waits for the answer, letting this thread's messages run meanwhile.
    // `dataVarType` is the variant type of the client's data, as the log reports it.
    int AcyclicTransmission(TelegramFields& io, const ByteArrayArg& dataIn,
                            std::vector<std::uint8_t>& dataOut,
                            std::uint16_t dataVarType = kVtArray | kVtUi1) {
        return transmitter_.AcyclicTransmission(io, dataIn, dataOut, dataVarType);
    }
    int WriteData(const ByteArrayArg& data) { return transmitter_.WriteData(data); }
    int CheckArrayCRC(const ByteArrayArg& data, int len) {
        return transmitter_.CheckArrayCRC(data, len);
    }
    int SetCheckMethod(int value) { return transmitter_.SetCheckMethod(value); }
    bool GetCheckMethod() const { return state_.checkMethod.load(); }
    int SetCheckMode(int value) { return transmitter_.SetCheckMode(value); }
    bool GetCheckMode() const { return state_.checkMode.load(); }
    int ResponseState() const { return state_.responseState.load(); }
    int DelayedResponseState() const { return state_.delayedResponseState.load(); }
    int TraDelay() const { return state_.traDelay.load(); }
    void SetTraDelay(int ms);

    // ---- worker thread, timer, connection ---------------------------------------------
    int SetThreadPriority(int priority);
    int TimerIntervall() const { return state_.timerIntervall.load(); }
    void SetTimerIntervall(int ticks);
    int LastError() const { return state_.lastError.load(); }
    int UsbTelCntr() const { return state_.usbTelCntr.load(); }
    bool IsTivConnected() const { return !state_.noConnection.load(); }
    bool IsUsbConnected() const { return state_.adapterPresent.load(); }
    bool AdapterState() const { return state_.loggedIn.load(); }
    void SetAdapterState(bool on);
    int DrvFree();

    // Reception with the filter on (frames assembled and matched) or off (raw stream):
    // FilterOn/FilterOff and StartRec; StopReception is StopRec.
    int StartReception(bool assembleFrames = true);
    void StopReception() { recorder_.StopRec(); }
    bool ReceptionRunning() const { return state_.threadCommand.load() == kThreadReceive; }

    // ---- receive buffer and recording -------------------------------------------------
    int InitBuffer() { return recorder_.InitBuffer(); }
    int InitMemBuf(int memBlk) { return recorder_.InitMemBuf(memBlk); }
    int BufferSize() const { return static_cast<int>(Buffer().SizeBytes() / 64); }
    void SetBufferSize(int units) { Buffer().SetSizeUnits(units); }
    int BufferMode() const { return Buffer().Mode(); }
    void SetBufferMode(int mode) { Buffer().SetMode(mode); }
    int BufferPos() const { return Buffer().BufferPos(); }
    bool BufferOverrun() const { return Buffer().Overrun(); }
    int RecState() const { return state_.recState.load(); }
    std::uint32_t TelCnt() const { return recorder_.TelCnt(); }
    int DataReceivedThreshold() const { return Buffer().Threshold(); }
    void SetDataReceivedThreshold(int bytes) { Buffer().SetThreshold(bytes); }
    bool EnablePointerOverrunEvent() const { return Buffer().PointerOverrunEvent(); }
    void SetEnablePointerOverrunEvent(bool on) { Buffer().SetPointerOverrunEvent(on); }
    int StartRec() { return recorder_.StartRec(); }
    int MarkedStartRec() { return recorder_.MarkedStartRec(); }
    int StopRec() { return recorder_.StopRec(); }
    int MarkedStopRec() { return recorder_.MarkedStopRec(); }
    int SetMarker(int value) { return recorder_.SetMarker(value); }
    int GetMarker() const { return recorder_.GetMarker(); }
    int ReadData(int pos, int& bytes, std::vector<std::uint8_t>& data) {
        return recorder_.ReadData(pos, bytes, data);
    }
    int ReadControlData(std::vector<std::uint8_t>& data) { return recorder_.ReadControlData(data); }
    int FilterOn() { return recorder_.FilterOn(); }
    int FilterOff() { return recorder_.FilterOff(); }
    bool IsFilterOn() const { return state_.filterOn.load(); }
    TelegramFilter& Filter() { return recorder_.Filter(); }
    int OpenRecFile(const std::string& name) { return recorder_.OpenRecFile(name); }
    int CloseRecFile() { return recorder_.File().Close(); }
    int StartFileRec() { return recorder_.File().Start(); }
    int StopFileRec() { return recorder_.File().Stop(); }
    std::int64_t RecFileSize() const { return recorder_.File().Size(); }
    int FileRecMode() const { return recorder_.File().Mode(); }
    void SetFileRecMode(int mode) { recorder_.SetFileRecMode(mode); }
    int FileRecState() const { return recorder_.File().State(); }
    int AssignMvPara(int val, int msg, int obj) { return recorder_.Values().Assign(val, msg, obj); }
    // Inside an OnMvAvailable handler, the slot as that event's update left it.
    MvSlot MeasuredValue(int n) const {
        if (const auto posted = DeliveredUpdate(); posted && posted->first == n)
            return posted->second;
        return recorder_.Values().Slot(n);
    }
    // Inside an OnMvAvailable handler, the slot that event stands for.
    int ValueNr() const {
        if (const auto posted = DeliveredUpdate()) return posted->first;
        return recorder_.Values().ValueNr();
    }
    std::optional<std::pair<int, MvSlot>> DeliveredUpdate() const {
        const auto sequence = static_cast<std::uint32_t>(events_.DeliveringParam());
        return sequence != 0 ? recorder_.Values().Posted(sequence) : std::nullopt;
    }

    // ---- adapter -----------------------------------------------------------------------
    bool IsDelayOn() const { return usb_.IsDelayOn(); }
    int DelayOn() { return usb_.DelayOn(); }
    int DelayOff() { return usb_.DelayOff(); }
    int GetNumAdapters() { return loader_.GetNumAdapters(); }
    AdapterEntry Adapter(int number) const { return adapters_.Entry(number); }
    int SelectedAdapter() const { return loader_.SelectedAdapter(); }
    int SelectAdapter(int number, int mode, std::vector<std::uint8_t>& verStr) {
        return loader_.SelectAdapter(number, mode, verStr);
    }
    bool IsFirmwareLoaded(std::vector<std::uint8_t>& softVer) {
        return loader_.IsFirmwareLoaded(softVer);
    }
    bool IsAdapterPresent() { return loader_.IsAdapterPresent(); }
    int ConnectAdapter(int mode) { return loader_.ConnectAdapter(mode); }
    int LoadAdapter() { return loader_.LoadAdapter(); }
    int LoadResult() const { return loader_.LoadResult(); }
    int VID() { return loader_.VID(); }
    int PID() { return loader_.PID(); }
    int GetAdapterAddr() { return loader_.GetAdapterAddr(); }
    int GetAdapterToken() { return loader_.GetAdapterToken(); }
    int GetNextToken() { return loader_.GetNextToken(); }
    int SetToken(int adapterToken, int nextToken) {
        return loader_.SetToken(adapterToken, nextToken);
    }
    int GetAdapterName(std::vector<std::uint8_t>& data) { return loader_.GetAdapterName(data); }
    int GetAddrDueNum(int nr) const { return loader_.GetAddrDueNum(nr); }
    int GetNumDueAddr(int address) const { return loader_.GetNumDueAddr(address); }
    int TivResetHw() { return loader_.TivResetHw(); }
    int TivReset() { return transmitter_.TivReset(); }
    int TivSoftstart() { return transmitter_.TivSoftstart(); }
    int Version() const { return kDriverVersion; }
    std::string Filename() const { return loader_.Filename(); }
    void SetFilename(const std::string& name) { loader_.SetFilename(name); }

    // The lock between programs, named after the selected adapter.
    int LockAdapter() { return lock_.Lock(adapters_.Entry(loader_.SelectedAdapter()).displayName); }
    int UnlockAdapter() { return lock_.Unlock(); }

    int DlLockAdapter() { return memory_.DlLockAdapter(); }
    int DlUnlockAdapter() { return memory_.DlUnlockAdapter(); }
    int DlStart(int startAddr, int stopAddr) { return memory_.DlStart(startAddr, stopAddr); }
    int DlStop() { return memory_.DlStop(); }
    int DlLoadAdapter(int len, const ByteArrayArg& data) {
        return memory_.DlLoadAdapter(len, data);
    }
    int DlGetState(std::int32_t& lastAddr) { return memory_.DlGetState(lastAddr); }
    int UlStart(int startAddr, int stopAddr) { return memory_.UlStart(startAddr, stopAddr); }
    int UlStop() { return memory_.UlStop(); }
    int UlGetState(std::int32_t& lastAddr) { return memory_.UlGetState(lastAddr); }
    int UlReadAdapter(int startAddr, int len, std::vector<std::uint8_t>& data) {
        return memory_.UlReadAdapter(startAddr, len, data);
    }

    using LoadProgress = AdapterLoader::LoadProgress;
    void SetLoadProgress(LoadProgress progress) { loader_.SetLoadProgress(std::move(progress)); }
    static constexpr int kDriverVersion = 545;

    DriverState& State() { return state_; }

    // Diagnostic tap: sees every assembled frame (0xFA..0xFB, unescaped) on the worker
    // thread, before matching. Set it while reception is off.
    using FrameTap = Reception::FrameTap;
    void SetFrameTap(FrameTap tap) { reception_.SetFrameTap(std::move(tap)); }

private:
    void Initialize();
    int CreateThread();
    void FreeThread();
    ReceiveBuffer& Buffer() { return recorder_.Buffer(); }
    const ReceiveBuffer& Buffer() const { return recorder_.Buffer(); }
    void Log(const std::string& line) const { diagnostics_.Log(line); }
    void Show(const std::string& text) const { diagnostics_.Show(text); }

    // Declared in the order they are wired: each part refers only to parts above it.
    Diagnostics diagnostics_;
    DriverState state_;
    EventPoster events_;
    std::shared_ptr<os::MessageQueue> clientQueue_;
    std::span<const std::uint8_t> image_;
    UsbDevice usb_;
    CommandPipe pipe_;
    AdapterTable adapters_;
    WorkerThread worker_;
    AdapterLoader loader_;
    AdapterLock lock_;
    ResponseMatcher matcher_;
    Transmitter transmitter_;
    Recorder recorder_;
    AdapterMemory memory_;
    LoginCounter login_;
    Reception reception_;
    TimerDuties timerDuties_;
    std::unique_ptr<os::PeriodicTimer> timer_;
};

}  // namespace tivlink
