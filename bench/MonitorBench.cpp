// How fast the protocol monitor takes coloured lines and shows them: lines per second for a
// burst drawn once (as the page batches them), against drawing after every line, and with
// the length limit trimming all the time. Runs under the offscreen platform.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <string>

#include "ui/CtlMonitor.h"

namespace {

using tivmate::ui::CtlMonitor;

struct Page {
    com::ComPtr<fdt::IMonitorView> view;
    CtlMonitor* monitor = nullptr;
    QWidget* viewport = nullptr;

    Page() {
        CtlMonitor::createInstance(fdt::IMonitorView::iid, view.putVoid());
        monitor = static_cast<CtlMonitor*>(view.get());
        QWidget* page = monitor->Widget();
        page->resize(800, 560);
        page->show();
        viewport = page->findChild<QPlainTextEdit*>("RichTextBoxComm")->viewport();
    }
};

const std::string kLine =
    "12:00:00.123\tTelegram\tSend: <C0 04 C1 04 00 00 1D 00 1E 00 1F 00 20 00 21 00>";
constexpr std::int32_t kColours[] = {0xFF0000, 0x008000, 0x0000FF};

// A burst of state.range(0) lines, then one flush and one paint.
void BM_MonitorBurst(benchmark::State& state) {
    Page page;
    const auto burst = state.range(0);
    std::int64_t n = 0;
    for (auto _ : state) {
        for (std::int64_t i = 0; i < burst; ++i, ++n)
            page.view->MessageLine(kLine, kColours[n % 3]);
        page.monitor->Flush();
        page.viewport->repaint();
    }
    state.SetItemsProcessed(n);
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MonitorBurst)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The same with the box at its limit, so every line also trims.
void BM_MonitorBurstTrimming(benchmark::State& state) {
    Page page;
    page.monitor->SetMaxLength(200'000);
    std::int64_t n = 0;
    for (int i = 0; i < 3000; ++i) page.view->MessageLine(kLine, 0);
    page.monitor->Flush();
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i, ++n) page.view->MessageLine(kLine, kColours[n % 3]);
        page.monitor->Flush();
        page.viewport->repaint();
    }
    state.SetItemsProcessed(n);
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MonitorBurstTrimming)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
