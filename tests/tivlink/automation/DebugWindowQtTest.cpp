// The debug window as a Qt tool window under the offscreen platform: bound to the driver's
// model, refreshed by Timer1 through the message queue that the Qt loop pumps, hidden on a
// close request, gone after DrvFree; plus a screenshot and tivctl's window command.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>
#include <QTimer>

#include <thread>

#include "DiagnosticsSupport.h"
#include "qt/QtMessagePump.h"
#include "support/EngineRig.h"
#include "support/QtWait.h"
#include "tivlink/automation/DriverObject.h"
#include "tivlink/automation/QtDebugWindow.h"
#include "tivlink/automation/QtDebugWindowInstall.h"

namespace {

using namespace diagtest;
using ::testing::HasSubstr;
using tivlink::DriverObject;
using tivlink::QtDebugWindow;

using qttest::App;
using qttest::WaitFor;

class DebugWindowQtTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        tivlink::InstallQtDebugWindow();
        ASSERT_TRUE(qtos::InstallMessagePump());
    }
    void TearDown() override { tivlink::TForm1::SetViewFactory(nullptr); }

    std::unique_ptr<DriverObject> Make(std::shared_ptr<usbio::Transport> transport) {
        DriverObject::Options options;
        options.transport = std::move(transport);
        options.firmwareImage = enginetest::Image();
        options.logFileOn = false;
        return std::make_unique<DriverObject>(std::move(options));
    }
    static QtDebugWindow* WindowOf(DriverObject& driver) {
        return dynamic_cast<QtDebugWindow*>(driver.Form().View());
    }
    static QString Text(QWidget* window, const char* label) {
        auto* l = window->findChild<QLabel*>(QString::fromUtf8(label));
        return l ? l->text() : QStringLiteral("(no %1)").arg(QString::fromUtf8(label));
    }

    os::ScopedClock clock{std::make_shared<os::ScaledClock>(5.0)};
};

TEST_F(DebugWindowQtTest, ShownWindowFollowsTheDriverAndIsCapturedAsAScreenshot) {
    auto simulator = std::make_shared<sim::Simulator>(enginetest::Scenario(true));
    auto driver = Make(sim::makeSimTransport(simulator));
    auto* window = WindowOf(*driver);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("COM-Server - TIV-Adapter"));
    EXPECT_TRUE(window->windowFlags() & Qt::Tool);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_EQ(window->size(), QSize(387, 220));
    EXPECT_EQ(window->pos(), QPoint(625, 2));
    auto* memo = window->findChild<QPlainTextEdit*>(QStringLiteral("Memo"));
    ASSERT_NE(memo, nullptr);
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->geometry(), QRect(0, 220 - 124, 387, 124));
    EXPECT_EQ(Text(window, "Label4"), QStringLiteral("USB-Telegramme:"));
    EXPECT_EQ(Text(window, "Label3"), QStringLiteral("Puffer:"));
    EXPECT_EQ(Text(window, "Label7"), QStringLiteral("Timer:"));
    // The tray icon is there exactly where the desktop offers a tray (never offscreen).
    EXPECT_EQ(window->HasTrayIcon(), QSystemTrayIcon::isSystemTrayAvailable());

    driver->Engine().SetFilename("load.bix");  // listed while hidden
    ASSERT_EQ(driver->ShowTestForm(0), 0);
    EXPECT_TRUE(window->isVisible());
    auto& engine = driver->Engine();
    auto sink = std::make_shared<enginetest::SpySink>();
    engine.ConnectSink(sink);
    std::vector<std::uint8_t> version;
    ASSERT_EQ(engine.SelectAdapter(1, 0, version), 0);
    ASSERT_EQ(engine.StartReception(), 0);
    tivlink::TelegramFields io{5, 4, 29, 1217, 0xC0};
    std::vector<std::uint8_t> answer;
    EXPECT_EQ(engine.AcyclicTransmission(io, tivlink::ByteArrayArg::Bytes({}), answer), 0);

    // Timer1 ticks arrive through the pumped queue and fill the labels and the list.
    const auto identity = QString::number(driver->Identity());
    ASSERT_TRUE(WaitFor([&] {
        return Text(window, "Label8") != QStringLiteral("0ms") &&
               Text(window, "Label2") != QStringLiteral("0") &&
               Text(window, "Label9") == identity &&
               memo->toPlainText().contains(QStringLiteral("*****EVENT:Thread->OnResponse"));
    })) << Text(window, "Label8").toStdString()
        << " / " << Text(window, "Label2").toStdString() << " / "
        << memo->toPlainText().toStdString();
    // The driver goes on writing lines until reception ends; the list catches up at a tick.
    engine.StopReception();
    const auto listedLines = [&] {
        return static_cast<std::size_t>(memo->toPlainText().split(QLatin1Char('\n')).size());
    };
    EXPECT_TRUE(WaitFor([&] { return listedLines() == driver->Form().LineCount(); }))
        << listedLines() << " listed, " << driver->Form().LineCount() << " written";
    EXPECT_EQ(memo->toPlainText().split(QLatin1Char('\n')).front(), QStringLiteral("load.bix"));
    EXPECT_TRUE(Text(window, "Label8").endsWith(QStringLiteral("ms")));

    auto* lamp = window->findChild<QWidget*>(QStringLiteral("Shape1"));
    ASSERT_NE(lamp, nullptr);
    const auto lampColour = lamp->palette().color(QPalette::Window);
    EXPECT_TRUE(lampColour == QColor(255, 0, 0) || lampColour == QColor(0, 200, 0));

    const auto dir =
        fs::path(std::getenv("TIV_TEST_BINARY_DIR") ? std::getenv("TIV_TEST_BINARY_DIR") : ".") /
        "artifacts";
    fs::create_directories(dir);
    const auto png = dir / "debug-window.png";
    const QPixmap shot = window->grab();
    EXPECT_EQ(shot.size(), QSize(387, 220));
    ASSERT_TRUE(shot.save(QString::fromStdString(png.string()), "PNG"));
    EXPECT_GT(fs::file_size(png), 1000u);
}

TEST_F(DebugWindowQtTest, CloseRequestHidesAndDrvFreeRemovesTheWindow) {
    auto driver = Make(std::make_shared<testsupport::FakeTransport>());
    QPointer<QtDebugWindow> window = WindowOf(*driver);
    ASSERT_FALSE(window.isNull());
    driver->ShowTestForm(0);
    ASSERT_TRUE(window->isVisible());

    // What the keyboard's close does: the window hides, the driver's window stays valid.
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(driver->Form().Visible());
    EXPECT_FALSE(driver->Form().Timer1Active());
    EXPECT_EQ(driver->ShowTestForm(0), 0);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(driver->HideTestForm(), 0);
    EXPECT_FALSE(window->isVisible());

    driver->ShowTestForm(0);
    driver->Engine().DrvFree();
    EXPECT_TRUE(window.isNull());
    EXPECT_EQ(driver->ShowTestForm(0), 0);
    EXPECT_FALSE(driver->Form().Visible());
}

TEST_F(DebugWindowQtTest, FormsOffTheGuiThreadOrWithoutTheHookKeepTheModelOnly) {
    std::atomic<bool> headless{false};
    std::thread([&] {
        tivlink::TForm1 form(1);
        headless = form.View() == nullptr;
        EXPECT_EQ(qtos::InstallMessagePump(), nullptr);
    }).join();
    EXPECT_TRUE(headless);

    // A Qt host that has not handed its queue to Qt: a window there would never update.
    delete qtos::InstallMessagePump();
    ASSERT_FALSE(qtos::MessagePumpInstalled());
    {
        tivlink::TForm1 unpumped(1);
        EXPECT_EQ(unpumped.View(), nullptr);
    }

    tivlink::TForm1::SetViewFactory(nullptr);
    tivlink::TForm1 form(1);
    EXPECT_EQ(form.View(), nullptr);
}

TEST_F(DebugWindowQtTest, QtLoopRunsTasksPostedToTheQueueFromOtherThreads) {
    auto queue = os::MessageQueue::forCurrentThread();
    std::vector<int> order;
    std::thread([&] {
        for (int i = 0; i < 5; ++i) queue->postTask([&order, i] { order.push_back(i); });
    }).join();
    ASSERT_TRUE(WaitFor([&] { return order.size() == 5; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));

    // A throwing handler is reported, not carried through Qt's loop; later ones still run.
    bool after = false;
    queue->postTask([] { throw std::runtime_error("handler failed on purpose"); });
    queue->postTask([&] { after = true; });
    EXPECT_TRUE(WaitFor([&] { return after; }));
}

TEST(TivctlWindow, ShowsTheWindowForTheGivenTimeAndEnds) {
    ScratchDir dir;
    const auto run = RunProgram(
        {TIVCTL_PATH, "--clock-scale", "10", "--log", "window", "--seconds", "3"}, dir.Path(),
        {{"TIV_USB", std::nullopt},
         {"QT_QPA_PLATFORM", "offscreen"},
         {"TIV_SYSTEM_DIR", dir.Path().string()}});
    EXPECT_EQ(run.code, 0) << run.err;
    // --log reaches the driver object the window belongs to, and reception ran under it.
    EXPECT_THAT(run.err, HasSubstr(",Exit:StartRec:0 ++++++++++"));
    const auto log = LogTexts(dir.Path() / tivlink::DefaultLogFileName());
    EXPECT_EQ(Count(log, "LOG-FILE closed"), 1u);
}

}  // namespace
