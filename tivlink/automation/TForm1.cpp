#include "tivlink/automation/TForm1.h"

namespace tivlink {

namespace {

std::mutex& FactoryMutex() {
    static std::mutex mutex;
    return mutex;
}

DebugWindowViewFactory& Factory() {
    static DebugWindowViewFactory factory;
    return factory;
}

}  // namespace

// Lets the window's procedure outlive the form safely when the form dies off its thread.
struct TForm1::Link {
    std::recursive_mutex mutex;  // a view may pump messages while refreshing
    TForm1* form = nullptr;
};

void TForm1::SetViewFactory(DebugWindowViewFactory factory) {
    std::lock_guard lock(FactoryMutex());
    Factory() = std::move(factory);
}

TForm1::TForm1(std::uintptr_t identity) : identity_(identity), link_(std::make_shared<Link>()) {
    labels_ = {"0", "0", "0ms", std::to_string(identity)};
    link_->form = this;
    window_ = std::make_unique<os::Window>([link = link_](const os::Message& m) {
        std::lock_guard lock(link->mutex);
        if (link->form) link->form->Procedure(m);
    });
    DebugWindowViewFactory factory;
    {
        std::lock_guard lock(FactoryMutex());
        factory = Factory();
    }
    if (factory) view_ = factory(*this);
}

TForm1::~TForm1() {
    {
        std::lock_guard lock(link_->mutex);
        link_->form = nullptr;
    }
    if (timer1_) timer1_->stop();
    if (!window_ || window_->isOwnerThread()) return;
    // The window and the view belong to the creating thread; they end there.
    if (view_) view_->Detach();
    struct Parts {
        std::unique_ptr<os::WindowTimer> timer;
        std::unique_ptr<IDebugWindowView> view;
        std::unique_ptr<os::Window> window;
    };
    auto parts =
        std::make_shared<Parts>(Parts{std::move(timer1_), std::move(view_), std::move(window_)});
    auto& queue = parts->window->queue();
    queue.postTask([parts]() mutable { parts.reset(); });
}

bool TForm1::OnOwnerThread() const {
    return window_ && window_->isOwnerThread();
}

void TForm1::Procedure(const os::Message& m) {
    switch (m.msg) {
        case os::WM_TIMER:
            if (m.wParam == kTimer1Id && shown_) Refresh();
            break;
        case kMsgShow:
            DoShow();
            break;
        case kMsgHide:
            DoHide();
            break;
        case kMsgClose:
            DoClose();
            break;
        default:
            break;
    }
}

void TForm1::Add(std::string_view text) {
    if (closed_) return;
    std::lock_guard lock(linesMutex_);
    lines_.emplace_back(text);
}

void TForm1::Clear() {
    std::lock_guard lock(linesMutex_);
    lines_.clear();
    ++generation_;
}

void TForm1::Tick(std::uint32_t ticks, bool busy) {
    if (refreshing_) return;
    ticks_ = ticks;
    busy_ = busy;
}

void TForm1::UsbTelegrams(std::int32_t count) {
    if (!refreshing_) usbTelegrams_ = count;
}

void TForm1::BufferPosition(std::int32_t pos) {
    if (!refreshing_) bufferPos_ = pos;
}

void TForm1::OversizeTelegram(std::int32_t dataSize) {
    if (shown_) oversize_ = dataSize;
}

int TForm1::ShowTestForm(int state) {
    if (closed_) return 0;
    state_ = state;
    if (OnOwnerThread())
        DoShow();
    else if (window_)
        window_->post(kMsgShow);
    return 0;
}

int TForm1::HideTestForm() {
    if (closed_) return 0;
    if (OnOwnerThread())
        DoHide();
    else if (window_)
        window_->post(kMsgHide);
    return 0;
}

void TForm1::Close() {
    if (closed_.exchange(true)) return;
    shown_ = false;
    if (OnOwnerThread())
        DoClose();
    else if (window_)
        window_->post(kMsgClose);
}

void TForm1::DoShow() {
    if (closed_) return;
    if (timer1_)
        timer1_->start(kRefreshIntervalMs);
    else
        timer1_ = std::make_unique<os::WindowTimer>(*window_, kTimer1Id, kRefreshIntervalMs);
    shown_ = true;
    if (view_) view_->ShowView();
    Refresh();
}

void TForm1::DoHide() {
    if (timer1_) timer1_->stop();
    shown_ = false;
    if (view_) view_->HideView();
}

void TForm1::DoClose() {
    if (timer1_) timer1_->stop();
    timer1_.reset();
    view_.reset();
    // Destroying the window from inside its own procedure is safe: the queue keeps its
    // state alive until the call returns.
    window_.reset();
}

void TForm1::Refresh() {
    refreshing_ = true;
    {
        std::lock_guard lock(labelsMutex_);
        labels_.label2 = std::to_string(usbTelegrams_.load());
        labels_.label1 = std::to_string(bufferPos_.load());
        labels_.label8 = std::to_string(std::uint64_t{ticks_.load()} * 100) + "ms";
        labels_.label9 = std::to_string(identity_);
    }
    if (view_) view_->Refresh();
    refreshing_ = false;
}

bool TForm1::Timer1Active() const {
    return timer1_ && timer1_->isActive();
}

TForm1::Labels TForm1::CurrentLabels() const {
    std::lock_guard lock(labelsMutex_);
    return labels_;
}

std::string TForm1::Label6() const {
    const auto size = oversize_.load();
    return size < 0 ? std::string() : std::to_string(size);
}

std::vector<std::string> TForm1::Lines() const {
    std::lock_guard lock(linesMutex_);
    return lines_;
}

std::vector<std::string> TForm1::LinesFrom(std::size_t first) const {
    std::lock_guard lock(linesMutex_);
    if (first >= lines_.size()) return {};
    return {lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.end()};
}

std::size_t TForm1::LineCount() const {
    std::lock_guard lock(linesMutex_);
    return lines_.size();
}

std::uint64_t TForm1::ListGeneration() const {
    std::lock_guard lock(linesMutex_);
    return generation_;
}

}  // namespace tivlink
