// tivframe's window on the simulated adapter: functions open once each in tabs, a language
// switch re-captions them, an edit marks the project dirty, a saved project opens again with
// the edit, and every page reports its release before the DTM goes.

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <fstream>

#include <gtest/gtest.h>

#include "MainWindow.h"
#include "com/Registry.h"
#include "host/HostSetup.h"
#include "os/Clock.h"
#include "qt/QtMessagePump.h"
#include "simulator/SimTransport.h"
#include "support/TempDir.h"

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "frame-gui-tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static auto* app = new QApplication(argc, argv);
    return *app;
}

TEST(FrameWindow, PagesOpenOnceFollowTheLanguageAndTheProjectKeepsTheirEdits) {
    App();
    ASSERT_TRUE(qtos::InstallMessagePump());
    const std::filesystem::path build = std::getenv("TIV_TEST_BINARY_DIR");
    com::Registry::setPath(build / "registry.reg");
    testsupport::TempDir dir{"frame-gui"};
    std::ofstream(dir / "running.json")
        << R"({"adapters":[{"device":0,"port":255,"firmware":"running"}]})";
    host::TransportOptions transport;
    transport.scenario = (dir / "running.json").string();
    std::string error;
    ASSERT_TRUE(host::InstallTransport(transport, error)) << error;
    os::setClock(std::make_shared<os::ScaledClock>(5));

    tivframe::Options options;
    options.schemas = build / "frame" / "FrameSchemas";
    std::vector<std::string> closed;
    {
        tivframe::MainWindow window(options);
        window.show();
        ASSERT_TRUE(window.NewProject()) << window.Error();
        for (const char* f : {"10", "50", "OfflineParameter", "About"})
            ASSERT_TRUE(window.OpenFunction(f)) << f << ": " << window.Error();
        QTabWidget* tabs = window.Tabs();
        ASSERT_EQ(tabs->count(), 2);

        ASSERT_TRUE(window.SetLanguage(0x0407));
        EXPECT_EQ(tabs->tabText(0).toStdString(), "Offline-Parameter");
        EXPECT_EQ(tabs->tabText(1).toStdString(), "Über");

        EXPECT_FALSE(window.Dirty());
        auto* timeout = tabs->widget(0)->findChild<QLineEdit*>("CTValue");
        ASSERT_TRUE(timeout);
        timeout->setFocus();
        QTest::keyClick(timeout, Qt::Key_End);
        QTest::keyClicks(timeout, "7");
        const QString edited = timeout->text();
        EXPECT_TRUE(window.Dirty());
        EXPECT_TRUE(window.windowTitle().startsWith("*"));
        ASSERT_TRUE(window.SaveProject(dir / "project.xml")) << window.Error();
        EXPECT_FALSE(window.Dirty());

        ASSERT_TRUE(window.OpenProject(dir / "project.xml")) << window.Error();
        EXPECT_EQ(window.ClosedPages().size(), 2u);  // each page of the old project, once
        ASSERT_TRUE(window.OpenFunction("10"));
        EXPECT_EQ(tabs->widget(0)->findChild<QLineEdit*>("CTValue")->text(), edited);
        EXPECT_TRUE(window.close());
        EXPECT_EQ(tabs->count(), 0);
        closed = window.ClosedPages();
    }
    EXPECT_EQ(closed.size(), 3u);
    EXPECT_EQ(std::set<std::string>(closed.begin(), closed.end()).size(), 3u);
    os::setClock(nullptr);
}

TEST(FrameWindow, DiagnosisFollowsTheBusAndTheMonitorFilterMarksTheProject) {
    App();
    ASSERT_TRUE(qtos::InstallMessagePump());
    const std::filesystem::path build = std::getenv("TIV_TEST_BINARY_DIR");
    com::Registry::setPath(build / "registry.reg");
    testsupport::TempDir dir{"frame-gui-diagnosis"};
    std::ofstream(dir / "running.json")
        << R"({"adapters":[{"device":0,"port":255,"firmware":"running"}]})";
    host::TransportOptions transport;
    transport.scenario = (dir / "running.json").string();
    std::string error;
    ASSERT_TRUE(host::InstallTransport(transport, error)) << error;
    os::setClock(std::make_shared<os::ScaledClock>(5));
    auto simulator = sim::processSimulator();
    ASSERT_TRUE(simulator);

    tivframe::Options options;
    options.schemas = build / "frame" / "FrameSchemas";
    {
        tivframe::MainWindow window(options);
        window.show();
        ASSERT_TRUE(window.NewProject()) << window.Error();
        for (const char* f : {"20", "30"})
            ASSERT_TRUE(window.OpenFunction(f)) << f << ": " << window.Error();
        QTabWidget* tabs = window.Tabs();
        ASSERT_EQ(tabs->count(), 2);
        QWidget* lamp = tabs->widget(0)->findChild<QWidget*>("ShapeTIVBusActive");
        ASSERT_TRUE(lamp);
        const auto colour = [&] {
            return QColor(lamp->grab().toImage().pixel(lamp->width() / 2, lamp->height() / 2));
        };
        const auto waitFor = [](QColor want, const std::function<QColor()>& now) {
            QDeadlineTimer deadline(20000);
            while (now() != want && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            return now() == want;
        };
        simulator->setBusConnected(0, true);
        EXPECT_TRUE(waitFor(QColor(78, 162, 78), colour));
        simulator->setBusConnected(0, false);
        EXPECT_TRUE(waitFor(QColor(255, 0, 0), colour));
        simulator->setBusConnected(0, true);
        EXPECT_TRUE(waitFor(QColor(78, 162, 78), colour));

        auto* filter = tabs->widget(1)->findChild<QCheckBox*>("chkFDTInterface");
        ASSERT_TRUE(filter);
        EXPECT_FALSE(window.Dirty());
        QTest::mouseClick(filter, Qt::LeftButton, {}, QPoint(6, filter->height() / 2));
        EXPECT_TRUE(window.Dirty());
        window.close();
    }
    os::setClock(nullptr);
}

}  // namespace
