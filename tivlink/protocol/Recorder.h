#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "os/MessageQueue.h"
#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/DriverEvents.h"
#include "tivlink/core/DriverState.h"
#include "tivlink/core/WorkerThread.h"
#include "tivlink/protocol/MeasuredValues.h"
#include "tivlink/protocol/ReceiveBuffer.h"
#include "tivlink/protocol/RecordFile.h"
#include "tivlink/protocol/TelegramFilter.h"
#include "tivlink/protocol/Transmitter.h"
#include "tivlink/usb/CommandPipe.h"
#include "tivlink/usb/UsbDevice.h"

namespace tivlink {

// The bus monitor: receive buffer, filter, markers, measured values and the record file.
// The client starts and stops recordings and drains the buffer; the worker hands it every
// packet's frames (or raw stream) and ends each packet with EndPacket.
class Recorder {
public:
    Recorder(DriverState& state, const Diagnostics& diagnostics, EventPoster& events,
             UsbDevice& usb, CommandPipe& pipe, Transmitter& transmitter, WorkerThread& worker,
             os::MessageQueue& clientQueue)
        : state_(state),
          diagnostics_(diagnostics),
          events_(events),
          usb_(usb),
          pipe_(pipe),
          transmitter_(transmitter),
          worker_(worker),
          clientQueue_(clientQueue) {}

    ReceiveBuffer& Buffer() { return buffer_; }
    const ReceiveBuffer& Buffer() const { return buffer_; }
    TelegramFilter& Filter() { return filter_; }
    MeasuredValues& Values() { return mv_; }
    const MeasuredValues& Values() const { return mv_; }
    RecordFile& File() { return recFile_; }
    const RecordFile& File() const { return recFile_; }
    std::uint32_t TelCnt() const { return telCnt_.load(); }

    // ---- client ---------------------------------------------------------------------------
    int InitBuffer();
    int InitMemBuf(int memBlk);
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
    int OpenRecFile(const std::string& name);
    void SetFileRecMode(int mode);
    // A released driver records nothing more and ends reception after the current packet.
    void Halt();

    // ---- worker thread ----------------------------------------------------------------------
    // A frame the matcher has seen: measured values, markers, filter, buffer.
    void RecordFrame(std::span<const std::uint8_t> frame);
    // Stream bytes of a packet while the filter is off.
    void StoreRaw(std::span<const std::uint8_t> stream);
    // A full linear buffer ended reception: the rest of the packet is dropped.
    bool BufferStopped() const { return bufferStopped_; }
    // The packet is done: its bytes become readable. True when a full linear buffer ended
    // reception with it.
    bool EndPacket();
    // Reports a marker the packet brought back.
    void ServeMarkers();
    // A stop marker came back: reception ends after this packet.
    bool MarkerStop() const { return markerStop_.load(); }

private:
    int StartRecCommon(const char* name, bool marked);
    int WaitTicks(int ticks, const std::function<bool()>& done);
    void StoreFrame(std::span<const std::uint8_t> frame);
    void Apply(const ReceiveBuffer::StoreResult& r);
    void Log(const std::string& line) const { diagnostics_.Log(line); }
    void Show(const std::string& text) const { diagnostics_.Show(text); }

    DriverState& state_;
    const Diagnostics& diagnostics_;
    EventPoster& events_;
    UsbDevice& usb_;
    CommandPipe& pipe_;
    Transmitter& transmitter_;
    WorkerThread& worker_;
    os::MessageQueue& clientQueue_;

    ReceiveBuffer buffer_;
    ReceiveBuffer::PacketWriter packet_{buffer_};  // worker only
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
};

}  // namespace tivlink
