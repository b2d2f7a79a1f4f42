#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "os/PeriodicTimer.h"
#include "tivlink/protocol/ArrayConversion.h"
#include "tivlink/protocol/Diagnostics.h"
#include "tivlink/protocol/DriverEvents.h"
#include "tivlink/protocol/DriverState.h"
#include "tivlink/protocol/FrameAssembler.h"
#include "tivlink/protocol/MeasuredValues.h"
#include "tivlink/protocol/ReceiveBuffer.h"
#include "tivlink/protocol/RecordFile.h"
#include "tivlink/protocol/TOSInstantThread.h"
#include "tivlink/protocol/TelegramFilter.h"
#include "tivlink/usb/AdapterTable.h"
#include "tivlink/usb/UsbDevice.h"
#include "usb/Transport.h"

namespace tivlink {

// The header fields of a telegram as clients exchange them.
struct TelegramFields {
    std::int32_t telType = 0;
    std::int32_t dataSize = 0;
    std::int32_t subNo = 0;
    std::int32_t objNo = 0;
    std::int32_t control = 0;
};

// The driver object's engine: device access, telegrams and the acyclic transaction, the
// worker thread, the timer and the events. Plain C++; the automation object wraps it.
// Create and call it on one thread (the client's): events arrive there, through that
// thread's message queue.
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
                    const ByteArrayArg& data);
    int SendRequest(const ByteArrayArg& data);
    int ReceiveAcyclic(TelegramFields& out, std::vector<std::uint8_t>& data,
                       std::uint16_t dataVarType = kVtArray | kVtUi1);
    int ReceiveResponse(std::vector<std::uint8_t>& data,
                        std::uint16_t dataVarType = kVtArray | kVtUi1);
    int ReceiveAcyclicDelayed(TelegramFields& out, std::vector<std::uint8_t>& data);
    // Sends `io` and waits for the answer, letting this thread's messages run meanwhile.
    // `dataVarType` is the variant type of the client's data, as the log reports it.
    int AcyclicTransmission(TelegramFields& io, const ByteArrayArg& dataIn,
                            std::vector<std::uint8_t>& dataOut,
                            std::uint16_t dataVarType = kVtArray | kVtUi1);
    int WriteData(const ByteArrayArg& data);
    int CheckArrayCRC(const ByteArrayArg& data, int len);
    int SetCheckMethod(int value);
    bool GetCheckMethod() const { return state_.checkMethod.load(); }
    int SetCheckMode(int value);
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
    void StopReception();
    bool ReceptionRunning() const { return state_.threadCommand.load() == kThreadReceive; }

    // ---- receive buffer and recording -------------------------------------------------
    int InitBuffer();
    int InitMemBuf(int memBlk);
    int BufferSize() const { return static_cast<int>(buffer_.SizeBytes() / 64); }
    void SetBufferSize(int units) { buffer_.SetSizeUnits(units); }
    int BufferMode() const { return buffer_.Mode(); }
    void SetBufferMode(int mode) { buffer_.SetMode(mode); }
    int BufferPos() const { return buffer_.BufferPos(); }
    bool BufferOverrun() const { return buffer_.Overrun(); }
    int RecState() const { return state_.recState.load(); }
    std::uint32_t TelCnt() const { return telCnt_.load(); }
    int DataReceivedThreshold() const { return buffer_.Threshold(); }
    void SetDataReceivedThreshold(int bytes) { buffer_.SetThreshold(bytes); }
    bool EnablePointerOverrunEvent() const { return buffer_.PointerOverrunEvent(); }
    void SetEnablePointerOverrunEvent(bool on) { buffer_.SetPointerOverrunEvent(on); }
    int StartRec();
    int MarkedStartRec();
    int StopRec();
    int MarkedStopRec();
    int SetMarker(int value);
    int GetMarker() const { return expectedMarker_.load(); }
    int ReadData(int pos, int& bytes, std::vector<std::uint8_t>& data);
    int ReadControlData(std::vector<std::uint8_t>& data);
    int FilterOn();
    int FilterOff();
    bool IsFilterOn() const { return state_.filterOn.load(); }
    TelegramFilter& Filter() { return filter_; }
    int OpenRecFile(const std::string& name);
    int CloseRecFile() { return recFile_.Close(); }
    int StartFileRec() { return recFile_.Start(); }
    int StopFileRec() { return recFile_.Stop(); }
    std::int64_t RecFileSize() const { return recFile_.Size(); }
    int FileRecMode() const { return recFile_.Mode(); }
    void SetFileRecMode(int mode);
    int FileRecState() const { return recFile_.State(); }
    int AssignMvPara(int val, int msg, int obj) { return mv_.Assign(val, msg, obj); }
    MvSlot MeasuredValue(int n) const { return mv_.Slot(n); }
    int ValueNr() const { return mv_.ValueNr(); }

    // ---- adapter -----------------------------------------------------------------------
    bool IsDelayOn() const { return usb_.IsDelayOn(); }
    int DelayOn() { return usb_.DelayOn(); }
    int DelayOff() { return usb_.DelayOff(); }
    int GetNumAdapters();
    AdapterEntry Adapter(int number) const { return adapters_.Entry(number); }
    int SelectedAdapter() const { return selected_.load(); }
    int SelectAdapter(int number, int mode, std::vector<std::uint8_t>& verStr);
    bool IsFirmwareLoaded(std::vector<std::uint8_t>& softVer);
    bool IsAdapterPresent();
    int ConnectAdapter(int mode);
    int LoadAdapter();
    int LoadResult() const { return loadResult_.load(); }
    int VID();
    int PID();
    // Fresh adapter-info read first; the read's error code (tokens: 4 x that code) otherwise.
    int GetAdapterAddr();
    int GetAdapterToken();
    int GetNextToken();
    // 0 or the bulk-write code; 128 when the firmware does not answer.
    int SetToken(int adapterToken, int nextToken);
    // 0 and the display name as 15 bytes, else the adapter-info error code (data untouched).
    int GetAdapterName(std::vector<std::uint8_t>& data);
    int GetAddrDueNum(int nr) const;
    int GetNumDueAddr(int address) const;
    int TivResetHw();
    int TivReset();
    int TivSoftstart();
    int Version() const { return kDriverVersion; }
    std::string Filename() const;
    // Also appends the name to the debug window's message list, shown or not.
    void SetFilename(const std::string& name);

    // The lock between programs: one named object per process, shared by all engines.
    // Lock: 0 taken, 1 this process holds it already, 2 another holder, 3 or an OS error code.
    // Unlock: 0, 1 nothing held, 2, or an OS error code.
    int LockAdapter();
    int UnlockAdapter();

    // Adapter memory. DlLoadAdapter: 0; 130 for Len outside 1..65536; 255 when the adapter
    // stopped answering (a state query could not be written or read); when a chunk stays
    // busy for 2 s (nominal) the last state the adapter reported. Missing data bytes are
    // sent as 0. The state queries: the reply's byte 0, 255 when nothing came (lastAddr
    // then untouched). UlReadAdapter: Len / 64, or 129, 130, 128.
    int DlLockAdapter();
    int DlUnlockAdapter();
    int DlStart(int startAddr, int stopAddr);
    int DlStop();
    int DlLoadAdapter(int len, const ByteArrayArg& data);
    int DlGetState(std::int32_t& lastAddr);
    int UlStart(int startAddr, int stopAddr);
    int UlStop();
    int UlGetState(std::int32_t& lastAddr);
    int UlReadAdapter(int startAddr, int len, std::vector<std::uint8_t>& data);

    // Called after each of the 365 packets of the download's second stage, on the thread
    // that runs LoadAdapter (the worker thread for ConnectAdapter(1)).
    using LoadProgress = std::function<void(int packet)>;
    void SetLoadProgress(LoadProgress progress);
    static constexpr int kDriverVersion = 545;

    DriverState& State() { return state_; }

    // Diagnostic tap: sees every assembled frame (0xFA..0xFB, unescaped) on the worker
    // thread, before matching. Set it while reception is off.
    using FrameTap = std::function<void(std::span<const std::uint8_t> frame)>;
    void SetFrameTap(FrameTap tap) { frameTap_ = std::move(tap); }

private:
    // start-up and release
    void Initialize();
    int CreateThread();
    void FreeThread();

    // worker thread
    void ThreadBody(TOSInstantThread& self);
    void ReceptionPass();
    void OnFrame(std::span<const std::uint8_t> frame);
    void CountLogin(bool loggedOnBit, const char* origin);

    // timer
    void TimerTick();

    // telegrams
    int SendAcyclicImpl(int telType, int dataSize, int subNo, int objNo, int control,
                        const ByteArrayArg& data, bool wholeRecord);
    std::size_t VariantToRecord(const ByteArrayArg& data, std::uint8_t* dest, std::size_t size);
    void MatchFrame(std::span<const std::uint8_t> frame);
    bool VerifyInto(std::span<const std::uint8_t> frame, GuardedRecord& target);
    int WriteCommand(std::initializer_list<std::uint8_t> bytes);
    // One packet on pipe 2 under sendMutex_: 0 or the bulk-write code.
    int WritePacket(std::span<const std::uint8_t> packet);

    // recording
    int StartRecCommon(const char* name, bool marked);
    int WaitTicks(int ticks, const std::function<bool()>& done);
    void RecordFrame(std::span<const std::uint8_t> frame);
    void StoreFrame(std::span<const std::uint8_t> frame);
    void Apply(const ReceiveBuffer::StoreResult& r);
    void ServeMarkers();

    // adapter
    int ReadAdapterInfo(int number, std::vector<std::uint8_t>& verStr);
    void SetIntAdapterName(int number);

    // adapter selection and memory
    int TransferState(std::uint8_t command, std::int32_t& lastAddr, int* transferCode);
    int SendRange(std::uint8_t command, int startAddr, int stopAddr);
    void StopReceptionAndWait();
    mutable std::mutex adapterMutex_;
    std::string filename_{"load.bix"};  // guarded by adapterMutex_
    LoadProgress loadProgress_;         // guarded by adapterMutex_

    void Log(const std::string& line) const { diagnostics_.Log(line); }
    void Show(const std::string& text) const { diagnostics_.Show(text); }

    Diagnostics diagnostics_;
    DriverState state_;
    EventPoster events_;
    UsbDevice usb_;
    AdapterTable adapters_;
    std::span<const std::uint8_t> image_;
    std::shared_ptr<os::MessageQueue> clientQueue_;

    std::atomic<int> selected_{1};
    std::atomic<int> loadResult_{0};

    std::unique_ptr<TOSInstantThread> thread_;
    std::unique_ptr<os::PeriodicTimer> timer_;
    ReceiveBuffer buffer_;
    TelegramFilter filter_;
    MeasuredValues mv_;
    RecordFile recFile_;
    std::atomic<std::uint32_t> telCnt_{0};
    std::atomic<int> expectedMarker_{88};
    std::atomic<std::uint32_t> markerSetTime_{0};
    std::atomic<bool> markerSeen_{false};
    std::atomic<bool> markerStop_{false};
    bool bufferStopped_ = false;      // worker only: a full linear buffer ended this packet
    int pendingMarker_ = 0;           // worker only: 49 start, 50 stop, to post after the packet
    std::uint32_t markerEchoMs_ = 0;  // worker only
    FrameTap frameTap_;
    FrameAssembler assembler_;  // worker thread only
    std::atomic<bool> assemblerReset_{false};
    WindowCache receptionWindow_{diagnostics_};  // worker thread only
    UsbPacket receiveArea_{};                    // worker thread only
    UsbPacket timerStatusArea_{};                // timer only
    // Every pipe-2 write takes it, so that the three blocks of a telegram stay together even
    // when the worker queries the firmware during a download.
    std::mutex sendMutex_;
};

}  // namespace tivlink
