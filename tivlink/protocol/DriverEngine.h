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
#include "tivlink/protocol/TOSInstantThread.h"
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
    int AcyclicTransmission(TelegramFields& io, const ByteArrayArg& dataIn,
                            std::vector<std::uint8_t>& dataOut);
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

    // Switches reception on (frames assembled and matched when `assembleFrames`) or asks
    // the worker to stop after the current packet. Returns 0, 1 no thread, 3 no adapter.
    int StartReception(bool assembleFrames = true);
    void StopReception();
    bool ReceptionRunning() const { return state_.threadCommand.load() == kThreadReceive; }

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

    // adapter
    int ReadAdapterInfo(int number, std::vector<std::uint8_t>& verStr);
    void SetIntAdapterName(int number);

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
    std::atomic<bool> freed_{false};

    std::unique_ptr<TOSInstantThread> thread_;
    std::unique_ptr<os::PeriodicTimer> timer_;
    FrameTap frameTap_;
    FrameAssembler assembler_;  // worker thread only
    std::atomic<bool> assemblerReset_{false};
    UsbPacket receiveArea_{};      // worker thread only
    UsbPacket timerStatusArea_{};  // timer only
    std::mutex sendMutex_;         // one telegram's blocks stay together
};

}  // namespace tivlink
