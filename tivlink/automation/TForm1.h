#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "os/MessageQueue.h"
#include "os/WindowTimer.h"
#include "tivlink/core/Diagnostics.h"

namespace tivlink {

class TForm1;

// A visible rendering of the debug window (the Qt tool window). All calls come on the thread
// that created the form; the view reads what it shows from the form.
class IDebugWindowView {
public:
    virtual ~IDebugWindowView() = default;
    virtual void ShowView() = 0;
    virtual void HideView() = 0;
    // Labels, lamp and new list lines. Called while the form's refreshing flag is set.
    virtual void Refresh() = 0;
    // The form is being destroyed on another thread; the view must not touch it any more.
    // It is destroyed later, on its own thread.
    virtual void Detach() {}
};

// Makes the view for a new form, or nullptr where the process shows no windows.
using DebugWindowViewFactory = std::function<std::unique_ptr<IDebugWindowView>(TForm1& form)>;

// The debug window. It exists for the driver object's whole life, shown or not: the model of
// labels, lamp and message list lives here, a view (when one is installed and wants this
// thread) only draws it. Create and destroy it on the client's thread; the counters, Tick and
// Add may come from any thread.
class TForm1 final : public IDebugWindow {
public:
    static constexpr const char* kCaption = "COM-Server - TIV-Adapter";
    static constexpr const char* kTrayHint = "TIV-Adapter";
    static constexpr std::uint32_t kRefreshIntervalMs = 150;  // Timer1
    static constexpr std::uintptr_t kTimer1Id = 1;

    enum class Lamp { Green, Red };

    struct Labels {
        std::string label2;  // USB telegram counter
        std::string label1;  // receive buffer position
        std::string label8;  // timer periods x 100 + "ms"
        std::string label9;  // the driver object's identity
    };

    // `identity` is what Label9 shows (the driver object's address).
    explicit TForm1(std::uintptr_t identity);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // The hook through which a GUI attaches its window; applies to forms created afterwards.
    static void SetViewFactory(DebugWindowViewFactory factory);

    // ---- IDebugWindow ----------------------------------------------------------------
    bool Visible() const override { return shown_.load(); }
    // Appends always, shown or hidden; callers decide (only Filename appends while hidden).
    void Add(std::string_view text) override;
    void Clear() override;
    // Counters and lamp; skipped, not queued, while a refresh runs.
    void Tick(std::uint32_t ticks, bool busy) override;
    void UsbTelegrams(std::int32_t count) override;
    void BufferPosition(std::int32_t pos) override;
    // Label6, taken only while the window is visible.
    void OversizeTelegram(std::int32_t dataSize) override;
    // DrvFree: Timer1 stopped, window and view gone; showing does nothing afterwards.
    void Close() override;

    // ---- driver members ---------------------------------------------------------------
    // Both return 0, also after Close(), when they do nothing.
    int ShowTestForm(int state);
    int HideTestForm();

    // ---- what the window shows ----------------------------------------------------------
    int State() const { return state_.load(); }
    bool Closed() const { return closed_.load(); }
    bool Refreshing() const { return refreshing_.load(); }
    bool Timer1Active() const;
    std::uintptr_t Identity() const { return identity_; }
    Labels CurrentLabels() const;
    std::string Label6() const;
    Lamp LampColour() const { return busy_.load() ? Lamp::Red : Lamp::Green; }
    std::vector<std::string> Lines() const;
    // Lines from `first` on (for a view that appends what is new).
    std::vector<std::string> LinesFrom(std::size_t first) const;
    std::size_t LineCount() const;
    // Changes when Clear() empties the list, so a view knows to start over.
    std::uint64_t ListGeneration() const;
    // The attached view, or nullptr (headless, or after Close()).
    IDebugWindowView* View() const { return view_.get(); }

private:
    enum : std::uint32_t { kMsgShow = os::WM_USER + 0x100, kMsgHide, kMsgClose };

    struct Link;
    void Procedure(const os::Message& m);
    bool OnOwnerThread() const;
    void DoShow();
    void DoHide();
    void DoClose();
    void Refresh();

    const std::uintptr_t identity_;
    std::atomic<bool> shown_{false};
    std::atomic<bool> refreshing_{false};
    std::atomic<bool> closed_{false};
    std::atomic<int> state_{0};

    // The three counters Timer1 writes into the labels, and the lamp.
    std::atomic<std::uint32_t> ticks_{0};
    std::atomic<std::int32_t> usbTelegrams_{0};
    std::atomic<std::int32_t> bufferPos_{0};
    std::atomic<bool> busy_{false};
    std::atomic<std::int64_t> oversize_{-1};  // -1: none seen

    mutable std::mutex labelsMutex_;
    Labels labels_;  // guarded by labelsMutex_

    mutable std::mutex linesMutex_;
    std::vector<std::string> lines_;  // guarded by linesMutex_; never trimmed
    std::uint64_t generation_ = 0;    // guarded by linesMutex_

    // Owner thread only.
    std::shared_ptr<Link> link_;
    std::unique_ptr<os::Window> window_;
    std::unique_ptr<os::WindowTimer> timer1_;
    std::unique_ptr<IDebugWindowView> view_;
};

}  // namespace tivlink
