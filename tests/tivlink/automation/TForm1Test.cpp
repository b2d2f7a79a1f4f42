// The debug window's model: list, counters, the refresh timer and its skip rule, show, hide
// and close, and the hook a view attaches through.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "support/Pump.h"
#include "tivlink/automation/TForm1.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testsupport::PumpUntil;
using tivlink::TForm1;

// A view that records what the form asks of it; it may act during a refresh.
struct SpyView final : tivlink::IDebugWindowView {
    struct Record {
        std::atomic<int> shows{0};
        std::atomic<int> hides{0};
        std::atomic<int> refreshes{0};
        std::atomic<bool> detached{false};
        std::atomic<bool> destroyed{false};
        std::thread::id destroyedOn;
        std::atomic<bool> refreshingSeen{false};
    };
    SpyView(TForm1& f, std::shared_ptr<Record> r) : form(f), record(std::move(r)) {}
    ~SpyView() override {
        record->destroyedOn = std::this_thread::get_id();
        record->destroyed = true;
    }
    void ShowView() override { ++record->shows; }
    void HideView() override { ++record->hides; }
    void Refresh() override {
        ++record->refreshes;
        record->refreshingSeen = form.Refreshing();
        if (duringRefresh) duringRefresh();
    }
    void Detach() override { record->detached = true; }

    TForm1& form;
    std::shared_ptr<Record> record;
    std::function<void()> duringRefresh;
};

// Installs a spy view factory for one test.
class WithSpyView {
public:
    explicit WithSpyView(std::function<void(SpyView&)> setup = {})
        : record(std::make_shared<SpyView::Record>()) {
        TForm1::SetViewFactory([record = record, setup](TForm1& form) {
            auto view = std::make_unique<SpyView>(form, record);
            if (setup) setup(*view);
            return view;
        });
    }
    ~WithSpyView() { TForm1::SetViewFactory(nullptr); }
    std::shared_ptr<SpyView::Record> record;
};

class TForm1Test : public ::testing::Test {
protected:
    os::ScopedClock clock{std::make_shared<os::ScaledClock>(10.0)};
};

TEST_F(TForm1Test, ListTakesLinesShownOrHiddenInArrivalOrderUntilClosed) {
    TForm1 form(1234);
    EXPECT_FALSE(form.Visible());
    form.Add("load.bix");  // Filename appends while hidden
    form.ShowTestForm(0);
    form.Add("Adapter vorhanden");
    form.HideTestForm();
    form.Add("");
    EXPECT_THAT(form.Lines(), ElementsAre("load.bix", "Adapter vorhanden", ""));
    EXPECT_THAT(form.LinesFrom(1), ElementsAre("Adapter vorhanden", ""));
    EXPECT_TRUE(form.LinesFrom(3).empty());
    EXPECT_TRUE(form.LinesFrom(99).empty());

    const auto generation = form.ListGeneration();
    form.Clear();
    EXPECT_EQ(form.LineCount(), 0u);
    EXPECT_NE(form.ListGeneration(), generation);

    form.Add("kept");
    form.Close();
    form.Add("after close");
    EXPECT_THAT(form.Lines(), ElementsAre("kept"));
}

TEST_F(TForm1Test, LinesFromThreeThreadsAllArriveInEachThreadsOrder) {
    TForm1 form(1);
    constexpr int kLines = 2000;
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&form, t] {
            for (int i = 0; i < kLines; ++i) form.Add(std::to_string(t) + ":" + std::to_string(i));
        });
    for (auto& w : writers) w.join();
    const auto lines = form.Lines();
    ASSERT_EQ(lines.size(), 3u * kLines);
    int next[3] = {0, 0, 0};
    for (const auto& line : lines) {
        const int t = line[0] - '0';
        ASSERT_EQ(line, std::to_string(t) + ":" + std::to_string(next[t]));
        ++next[t];
    }
}

TEST_F(TForm1Test, TimerLabelReads300msAtTheNextRefreshAfterThreeTicks) {
    TForm1 form(987654321);
    EXPECT_EQ(form.CurrentLabels().label8, "0ms");
    EXPECT_FALSE(form.Timer1Active());
    form.ShowTestForm(0);
    EXPECT_TRUE(form.Timer1Active());
    for (std::uint32_t tick = 1; tick <= 3; ++tick) form.Tick(tick, false);
    form.UsbTelegrams(17);
    form.BufferPosition(4096);
    // Nothing changes until Timer1 fires on this thread.
    EXPECT_EQ(form.CurrentLabels().label8, "0ms");
    ASSERT_TRUE(PumpUntil([&] { return form.CurrentLabels().label8 == "300ms"; }));
    const auto labels = form.CurrentLabels();
    EXPECT_EQ(labels.label2, "17");
    EXPECT_EQ(labels.label1, "4096");
    EXPECT_EQ(labels.label9, "987654321");

    // No overflow once the tick count passes what 32 bits hold times 100.
    form.Tick(4'000'000'000u, false);
    ASSERT_TRUE(PumpUntil([&] { return form.CurrentLabels().label8 == "400000000000ms"; }));
}

TEST_F(TForm1Test, CountersWrittenDuringARefreshAreSkippedNotQueued) {
    TForm1* self = nullptr;
    std::atomic<int> injected{0};
    WithSpyView spy([&](SpyView& view) {
        view.duringRefresh = [&] {
            // What the timer thread and the worker would write while the labels are filled.
            if (injected++ == 1) {
                self->Tick(99, true);
                self->UsbTelegrams(42);
                self->BufferPosition(7);
            }
        };
    });
    TForm1 form(1);
    self = &form;
    form.Tick(2, false);
    form.ShowTestForm(0);  // refresh 0 runs at once
    ASSERT_TRUE(PumpUntil([&] { return injected >= 3; }));
    EXPECT_TRUE(spy.record->refreshingSeen);
    EXPECT_FALSE(form.Refreshing());
    const auto labels = form.CurrentLabels();
    EXPECT_EQ(labels.label8, "200ms");
    EXPECT_EQ(labels.label2, "0");
    EXPECT_EQ(labels.label1, "0");
    EXPECT_EQ(form.LampColour(), TForm1::Lamp::Green);

    // Outside a refresh they are taken again.
    form.Tick(5, true);
    EXPECT_EQ(form.LampColour(), TForm1::Lamp::Red);
    ASSERT_TRUE(PumpUntil([&] { return form.CurrentLabels().label8 == "500ms"; }));
}

TEST_F(TForm1Test, TimerRunsOnlyWhileShownAndLabel6OnlyTakesSizesWhileVisible) {
    WithSpyView spy;
    TForm1 form(1);
    form.OversizeTelegram(200);
    EXPECT_EQ(form.Label6(), "");
    form.ShowTestForm(5);
    EXPECT_EQ(form.State(), 5);
    form.OversizeTelegram(201);
    EXPECT_EQ(form.Label6(), "201");
    ASSERT_TRUE(PumpUntil([&] { return spy.record->refreshes >= 3; }));

    form.HideTestForm();
    EXPECT_FALSE(form.Visible());
    EXPECT_FALSE(form.Timer1Active());
    const int refreshes = spy.record->refreshes;
    form.Tick(9, false);
    // Hidden: Timer1 is stopped, so no refresh comes however long we wait for one.
    EXPECT_FALSE(os::MessageQueue::forCurrentThread()->runUntil(
        [&] { return spy.record->refreshes > refreshes; }, 600ms, 2ms));
    EXPECT_EQ(form.CurrentLabels().label8, "0ms");
    form.OversizeTelegram(300);
    EXPECT_EQ(form.Label6(), "201");
    EXPECT_EQ(spy.record->shows, 1);
    EXPECT_EQ(spy.record->hides, 1);
}

TEST_F(TForm1Test, AfterCloseShowAndHideDoNothingAndStillReturnZero) {
    WithSpyView spy;
    TForm1 form(1);
    ASSERT_NE(form.View(), nullptr);
    EXPECT_EQ(form.ShowTestForm(1), 0);
    form.Close();
    EXPECT_TRUE(form.Closed());
    EXPECT_FALSE(form.Visible());
    EXPECT_FALSE(form.Timer1Active());
    EXPECT_TRUE(spy.record->destroyed);
    EXPECT_EQ(form.View(), nullptr);
    EXPECT_EQ(form.ShowTestForm(1), 0);
    EXPECT_EQ(form.HideTestForm(), 0);
    EXPECT_FALSE(form.Visible());
    form.Close();  // twice is harmless
    EXPECT_EQ(spy.record->shows, 1);
}

TEST_F(TForm1Test, CallsFromOtherThreadsAreCarriedOutOnTheCreatingThread) {
    WithSpyView spy;
    TForm1 form(1);
    std::thread([&] { EXPECT_EQ(form.ShowTestForm(2), 0); }).join();
    ASSERT_TRUE(PumpUntil([&] { return form.Visible() && spy.record->shows == 1; }));
    EXPECT_TRUE(form.Timer1Active());
    std::thread([&] { form.HideTestForm(); }).join();
    ASSERT_TRUE(PumpUntil([&] { return !form.Visible() && spy.record->hides == 1; }));
    std::thread([&] { form.Close(); }).join();
    EXPECT_TRUE(form.Closed());
    ASSERT_TRUE(PumpUntil([&] { return spy.record->destroyed.load(); }));
    EXPECT_EQ(spy.record->destroyedOn, std::this_thread::get_id());
}

TEST_F(TForm1Test, FormDestroyedElsewhereHandsItsViewBackToItsThread) {
    WithSpyView spy;
    auto form = std::make_unique<TForm1>(1);
    form->ShowTestForm(0);
    std::thread([&] { form.reset(); }).join();
    EXPECT_TRUE(spy.record->detached);
    ASSERT_TRUE(PumpUntil([&] { return spy.record->destroyed.load(); }));
    EXPECT_EQ(spy.record->destroyedOn, std::this_thread::get_id());
}

}  // namespace
