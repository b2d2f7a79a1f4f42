#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/DriverEvents.h"
#include "tivlink/core/DriverState.h"
#include "tivlink/core/WorkerThread.h"
#include "tivlink/usb/AdapterTable.h"
#include "tivlink/usb/CommandPipe.h"
#include "tivlink/usb/UsbDevice.h"

namespace tivlink {

// Choosing an adapter, reading what it reports about itself, and the two-stage firmware
// download. Client calls, except LoadAdapter, which the worker runs for ConnectAdapter(1).
class AdapterLoader {
public:
    // Called after each of the 365 packets of the download's second stage, on the thread
    // that runs LoadAdapter (the worker thread for ConnectAdapter(1)).
    using LoadProgress = std::function<void(int packet)>;

    AdapterLoader(DriverState& state, const Diagnostics& diagnostics, EventPoster& events,
                  UsbDevice& usb, AdapterTable& adapters, CommandPipe& pipe, WorkerThread& worker,
                  std::span<const std::uint8_t> image)
        : state_(state),
          diagnostics_(diagnostics),
          events_(events),
          usb_(usb),
          adapters_(adapters),
          pipe_(pipe),
          worker_(worker),
          image_(image) {}

    // Makes entry `number`'s device the one every transfer talks to.
    void SetIntAdapterName(int number);
    int SelectedAdapter() const { return selected_.load(); }

    int GetNumAdapters();
    bool IsFirmwareLoaded(std::vector<std::uint8_t>& softVer);
    bool IsAdapterPresent();
    int SelectAdapter(int number, int mode, std::vector<std::uint8_t>& verStr);
    int ConnectAdapter(int mode);
    int LoadAdapter();
    int LoadResult() const { return loadResult_.load(); }
    void SetLoadProgress(LoadProgress progress);

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
    int VID();
    int PID();

    std::string Filename() const;
    // Also appends the name to the debug window's message list, shown or not.
    void SetFilename(const std::string& name);

private:
    int ReadAdapterInfo(int number, std::vector<std::uint8_t>& verStr);
    void Log(const std::string& line) const { diagnostics_.Log(line); }
    void Show(const std::string& text) const { diagnostics_.Show(text); }

    DriverState& state_;
    const Diagnostics& diagnostics_;
    EventPoster& events_;
    UsbDevice& usb_;
    AdapterTable& adapters_;
    CommandPipe& pipe_;
    WorkerThread& worker_;
    const std::span<const std::uint8_t> image_;

    std::atomic<int> selected_{1};
    std::atomic<int> loadResult_{0};
    mutable std::mutex mutex_;
    std::string filename_{"load.bix"};  // guarded by mutex_
    LoadProgress loadProgress_;         // guarded by mutex_
};

}  // namespace tivlink
