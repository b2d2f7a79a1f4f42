#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tivlink {

// Where the driver's log lines go. The driver formats the line; the log adds the time stamp.
class IDriverLog {
public:
    virtual ~IDriverLog() = default;
    virtual bool Enabled() const = 0;
    virtual void Line(std::string_view text) = 0;
};

// The debug window's message list and the little state the engine feeds it.
class IDebugWindow {
public:
    virtual ~IDebugWindow() = default;
    virtual bool Visible() const = 0;
    virtual void Add(std::string_view text) = 0;
    virtual void Clear() {}
    // Timer tick count and busy flag, shown as a counter and a lamp (timer thread).
    virtual void Tick(std::uint32_t /*ticks*/, bool /*busy*/) {}
    // Counters fed by the worker thread.
    virtual void UsbTelegrams(std::int32_t /*count*/) {}
    virtual void BufferPosition(std::int32_t /*pos*/) {}
    // The data size of the last acyclic telegram larger than a record can hold.
    virtual void OversizeTelegram(std::int32_t /*dataSize*/) {}
    // DrvFree closes the window for good; afterwards it shows nothing.
    virtual void Close() {}
};

// Keeps lines in memory; used until a real log or window is attached, and by tests.
class MemoryLog final : public IDriverLog {
public:
    explicit MemoryLog(bool enabled = false) : enabled_(enabled) {}
    bool Enabled() const override { return enabled_; }
    void SetEnabled(bool on) { enabled_ = on; }
    void Line(std::string_view text) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void Reset() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    std::atomic<bool> enabled_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class MemoryWindow final : public IDebugWindow {
public:
    explicit MemoryWindow(bool visible = false) : visible_(visible) {}
    bool Visible() const override { return visible_; }
    void SetVisible(bool on) { visible_ = on; }
    void Add(std::string_view text) override {
        std::lock_guard lock(mutex_);
        items_.emplace_back(text);
    }
    void Clear() override {
        std::lock_guard lock(mutex_);
        items_.clear();
    }
    std::vector<std::string> Items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }

private:
    std::atomic<bool> visible_;
    mutable std::mutex mutex_;
    std::vector<std::string> items_;
};

// The engine's access to log and window; both replaceable at any time.
class Diagnostics {
public:
    Diagnostics();
    void SetLog(std::shared_ptr<IDriverLog> log);
    void SetWindow(std::shared_ptr<IDebugWindow> window);
    std::shared_ptr<IDriverLog> LogSink() const;
    std::shared_ptr<IDebugWindow> WindowSink() const;
    // Changes whenever SetWindow replaces the window.
    std::uint64_t WindowGeneration() const { return windowGeneration_.load(); }

    bool LogOn() const;
    // Writes a log line when logging is on.
    void Log(std::string_view text) const;
    // Adds a text to the window when it is visible.
    void Show(std::string_view text) const;
    bool WindowVisible() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<IDriverLog> log_;
    std::shared_ptr<IDebugWindow> window_;
    std::atomic<std::uint64_t> windowGeneration_{0};
};

// The worker's copy of the window sink for every packet, fetched again only when the
// window was replaced: the shared lookup takes a lock. Dropped when reception ends.
class WindowCache {
public:
    explicit WindowCache(const Diagnostics& diagnostics) : diagnostics_(diagnostics) {}
    IDebugWindow& Get() {
        const auto generation = diagnostics_.WindowGeneration();
        if (!window_ || generation != generation_) {
            window_ = diagnostics_.WindowSink();
            generation_ = generation;
        }
        return *window_;
    }
    void Drop() { window_.reset(); }

private:
    const Diagnostics& diagnostics_;
    std::shared_ptr<IDebugWindow> window_;
    std::uint64_t generation_ = 0;
};

}  // namespace tivlink
