// tivframe's window on the simulated adapter: functions open once each in tabs from the tree
// with the keyboard focus, a language switch re-captions them, an edit marks the project
// dirty and the save prompt's answers keep, save or discard it, a saved project opens again
// with the edit, every page reports its release once whatever closes it, and the status bar
// follows the adapter.

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "MainWindow.h"
#include "com/ClassFactory.h"
#include "com/CoCreate.h"
#include "com/Registry.h"
#include "host/HostSetup.h"
#include "os/Clock.h"
#include "qt/GuiSession.h"
#include "qt/QtMessagePump.h"
#include "simulator/SimTransport.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

namespace {

using qttest::App;
using qttest::WaitFor;

using namespace std::chrono_literals;

constexpr const char* kRunning = R"({"adapters":[{"device":0,"port":255,"firmware":"running"}]})";

// The build's registry, a simulated adapter as `scenario` says and a fast clock.
struct Bench {
    std::filesystem::path build = std::getenv("TIV_TEST_BINARY_DIR");
    testsupport::TempDir dir{"frame-gui-bench"};
    tivframe::Options options;

    explicit Bench(const std::string& scenario = kRunning) {
        App();
        EXPECT_TRUE(qtos::InstallMessagePump());
        com::Registry::setPath(build / "registry.reg");
        std::ofstream(dir / "scenario.json") << scenario;
        host::TransportOptions transport;
        transport.scenario = (dir / "scenario.json").string();
        std::string error;
        EXPECT_TRUE(host::InstallTransport(transport, error)) << error;
        os::setClock(std::make_shared<os::ScaledClock>(5));
        options.schemas = build / "frame" / "FrameSchemas";
    }
    ~Bench() { os::setClock(nullptr); }
};

// Answers the window's questions as a user would, and counts them.
struct Prompts {
    tivframe::SaveChoice answer = tivframe::SaveChoice::Discard;
    std::optional<std::filesystem::path> file;  // the file dialog's answer
    int asked = 0;

    Prompts() {
        tivframe::SetSavePromptHandler([this](QWidget*, const std::string&) {
            ++asked;
            return answer;
        });
        tivframe::SetProjectFileHandler([this](QWidget*, bool) { return file; });
    }
    ~Prompts() {
        tivframe::SetSavePromptHandler({});
        tivframe::SetProjectFileHandler({});
    }
};

bool FocusIn(QWidget* page) {
    QWidget* focus = QApplication::focusWidget();
    return page && focus && (focus == page || page->isAncestorOf(focus));
}

TEST(FrameWindow, FunctionsShowOnlyVisiblePagesOfTheDocument) {
    const auto function = [](const char* id, const char* attrs, const char* status) {
        return std::string(R"(<Function functionId=")") + id + R"(" fdt:name="F)" + id +
               R"(" label="L" )" + attrs + ">" + status + "</Function>";
    };
    const std::string doc = R"(<FDT xmlns:fdt="x-schema:FDTDataTypesSchema.xml"><Functions>)" +
                            function("1", R"(hasGUI="1")", "") +
                            function("2", R"(hasGUI="1")", R"(<Status hidden="1"/>)") +
                            function("3", R"(hasGUI="1")", R"(<Status hidden="0"/>)") +
                            function("4", R"(hasGUI="0")", "") + "</Functions></FDT>";
    std::vector<std::string> ids;
    for (const auto& f : tivframe::ParseFunctions(doc)) ids.push_back(f.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "3"}));
    EXPECT_TRUE(tivframe::ParseFunctions("<FDT><Functions>").empty());
}

TEST(FrameWindow, EveryFunctionOpensFromTheTreeOnceWithTheKeyboardFocus) {
    Bench bench;
    Prompts prompts;
    // The test page, whether this build carries it or not, cannot be made here.
    constexpr com::Guid kCtlTest = com::makeGuid("{C50A7BDA-F38C-4EF1-AF6F-AD929441727B}");
    auto refusing = com::ClassFactory::create(
        [](const com::Guid&, void** out) {
            *out = nullptr;
            return com::E_OUTOFMEMORY;
        },
        "Tivmate.ctlTest");
    std::uint32_t cookie = 0;
    ASSERT_EQ(com::CoRegisterClassObject(kCtlTest, refusing->identity(), &cookie), com::S_OK);

    tivframe::MainWindow window(bench.options);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    ASSERT_TRUE(window.NewProject()) << window.Error();
    const std::vector<tivframe::FunctionEntry> functions = window.Functions();
    ASSERT_EQ(functions.size(), 5u);  // the shipped settings offer the test function
    auto* tree = window.findChild<QTreeView*>("projectTree");
    ASSERT_TRUE(tree);
    QTabWidget* tabs = window.Tabs();
    const auto activate = [&](const tivframe::FunctionEntry& f) {
        const QModelIndexList hits = tree->model()->match(
            tree->model()->index(0, 0), Qt::DisplayRole, QString::fromStdString(f.label), 1,
            Qt::MatchExactly | Qt::MatchRecursive);
        ASSERT_EQ(hits.size(), 1) << f.label;
        tree->setFocus();
        tree->setCurrentIndex(hits.front());
        QTest::keyClick(tree, Qt::Key_Return);
    };
    for (int round = 0; round < 2; ++round)
        for (const auto& f : functions) {
            SCOPED_TRACE(f.label + " round " + std::to_string(round));
            const int before = tabs->count();
            activate(f);
            if (f.id == "40") {
                EXPECT_EQ(tabs->count(), before);
                EXPECT_NE(window.Error().find(f.label), std::string::npos) << window.Error();
                EXPECT_TRUE(window.statusBar()->currentMessage().contains("Tivmate.ctlTest"));
                continue;
            }
            EXPECT_EQ(tabs->count(), round == 0 ? before + 1 : before);
            EXPECT_EQ(tabs->tabText(tabs->currentIndex()).toStdString(), f.label);
            EXPECT_TRUE(FocusIn(tabs->currentWidget()));
        }
    EXPECT_EQ(tabs->count(), 4);
    tabs->setCurrentIndex(0);
    EXPECT_TRUE(FocusIn(tabs->widget(0)));

    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(tabs->count(), 0);
    EXPECT_EQ(window.ClosedPages().size(), 4u);
    EXPECT_EQ(prompts.asked, 0);
    EXPECT_EQ(com::CoRevokeClassObject(cookie), com::S_OK);
}

TEST(FrameWindow, EveryPageIsReleasedOnceWhateverClosesIt) {
    Bench bench;
    Prompts prompts;
    std::vector<std::string> closed;
    {
        tivframe::MainWindow window(bench.options);
        window.show();
        ASSERT_TRUE(window.NewProject()) << window.Error();
        for (const char* f : {"10", "20", "30", "50"})
            ASSERT_TRUE(window.OpenFunction(f)) << f << ": " << window.Error();
        QTabWidget* tabs = window.Tabs();

        // The tab's close button.
        const std::string offline = window.InvokeIdOf(0);
        QPointer<QWidget> page = tabs->widget(0);
        QWidget* button = tabs->tabBar()->tabButton(0, QTabBar::RightSide);
        if (!button) button = tabs->tabBar()->tabButton(0, QTabBar::LeftSide);
        ASSERT_TRUE(button);
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(window.ClosedPages(), std::vector<std::string>{offline});
        EXPECT_EQ(tabs->count(), 3);
        EXPECT_FALSE(page) << "the page outlived its control";

        // A page that reports itself closed: its tab goes once its call has returned, and the
        // DTM no longer holds it.
        const std::string diagnosis = window.InvokeIdOf(0);
        com::ComPtr<com::IDispatch> held;
        window.Dtm()->get_CtlDiagnosisPointer(held.put());
        ASSERT_TRUE(held);
        held.reset();
        window.Host()->OnApplicationClosed(diagnosis);
        window.Host()->OnApplicationClosed("{00000000-0000-0000-0000-000000000000}");
        EXPECT_EQ(tabs->count(), 3);
        EXPECT_TRUE(WaitFor([&] { return tabs->count() == 2; }));
        window.Dtm()->get_CtlDiagnosisPointer(held.put());
        EXPECT_FALSE(held);
        EXPECT_EQ(window.ClosedPages(), (std::vector<std::string>{offline, diagnosis}));

        EXPECT_TRUE(window.close());
        EXPECT_EQ(tabs->count(), 0);
        closed = window.ClosedPages();
    }
    EXPECT_EQ(closed.size(), 4u);
    EXPECT_EQ(std::set<std::string>(closed.begin(), closed.end()).size(), 4u);
}

TEST(FrameWindow, ChangedProjectIsSavedDiscardedOrKeptAsTheUserAnswers) {
    using tivframe::SaveChoice;
    Bench bench;
    std::ofstream(bench.dir / "other.xml")
        << R"(<TivframeProject version="1"><Dtm progId="Tivmate.DTMMain" tag="Other">)"
        << R"(<Property name="PersistentCommTimeoutValue" type="string">4321</Property>)"
        << "</Dtm></TivframeProject>";
    std::ofstream(bench.dir / "junk.xml") << "<TivframeProject><Dtm>";
    enum class Step { Close, New, Open, OpenJunk, TimeUp };
    enum class File { Chosen, None, Unwritable };
    struct Row {
        const char* what;
        Step step;
        SaveChoice answer;
        File file;
        bool asks, goesOn, saved;
    } rows[] = {
        {"close, cancel", Step::Close, SaveChoice::Cancel, File::Chosen, true, false, false},
        {"close, discard", Step::Close, SaveChoice::Discard, File::Chosen, true, true, false},
        {"close, save", Step::Close, SaveChoice::Save, File::Chosen, true, true, true},
        {"new, save, no file chosen", Step::New, SaveChoice::Save, File::None, true, false, false},
        {"new, save fails", Step::New, SaveChoice::Save, File::Unwritable, true, false, false},
        {"new, discard", Step::New, SaveChoice::Discard, File::None, true, true, false},
        {"open, cancel", Step::Open, SaveChoice::Cancel, File::Chosen, true, false, false},
        {"open, save", Step::Open, SaveChoice::Save, File::Chosen, true, true, true},
        {"open, unreadable file", Step::OpenJunk, SaveChoice::Discard, File::Chosen, false, false,
         false},
        {"time is up", Step::TimeUp, SaveChoice::Cancel, File::Chosen, false, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Prompts prompts;
        prompts.answer = row.answer;
        const auto saved = bench.dir / "saved.xml";
        std::filesystem::remove(saved);
        if (row.file == File::Chosen) prompts.file = saved;
        if (row.file == File::Unwritable) prompts.file = bench.dir / "missing" / "saved.xml";

        tivframe::MainWindow window(bench.options);
        window.show();
        ASSERT_TRUE(window.NewProject()) << window.Error();
        ASSERT_TRUE(window.OpenFunction("50"));
        tivmate::_DTMMain* dtm = window.Dtm();
        dtm->put_PersistentCommTimeoutValue(1234);
        dtm->PersistentParamChanged("PersistentCommTimeoutValue", "1234");
        ASSERT_TRUE(window.Dirty());
        ASSERT_TRUE(window.isWindowModified());

        std::ostringstream err;
        auto* cerr = std::cerr.rdbuf(err.rdbuf());
        bool goesOn = false;
        switch (row.step) {
            case Step::Close:
                goesOn = window.close();
                break;
            case Step::New:
                goesOn = window.NewProject();
                break;
            case Step::Open:
                goesOn = window.OpenProject(bench.dir / "other.xml");
                break;
            case Step::OpenJunk:
                goesOn = window.OpenProject(bench.dir / "junk.xml");
                break;
            case Step::TimeUp:
                window.DiscardProject("time is up");
                goesOn = !window.Dtm();
                break;
        }
        std::cerr.rdbuf(cerr);
        EXPECT_EQ(prompts.asked, row.asks ? 1 : 0);
        EXPECT_EQ(goesOn, row.goesOn);
        EXPECT_EQ(std::filesystem::exists(saved), row.saved);
        if (row.saved) {
            std::ifstream in(saved);
            const std::string text{std::istreambuf_iterator<char>(in), {}};
            EXPECT_NE(text.find(">1234<"), std::string::npos) << text;
        }
        std::int16_t timeout = 0;
        if (!goesOn) {
            EXPECT_TRUE(window.isVisible());
            EXPECT_TRUE(window.Dirty());
            EXPECT_EQ(window.Tabs()->count(), 1);
            ASSERT_TRUE(window.Dtm());
            window.Dtm()->get_PersistentCommTimeoutValue(&timeout);
            EXPECT_EQ(timeout, 1234);
        } else {
            EXPECT_FALSE(window.Dirty());
            EXPECT_FALSE(window.isWindowModified());
            EXPECT_EQ(window.Tabs()->count(), 0);
        }
        if (row.step == Step::Open && goesOn) {
            window.Dtm()->get_PersistentCommTimeoutValue(&timeout);
            EXPECT_EQ(timeout, 4321);
        }
        if (row.step == Step::TimeUp) {
            EXPECT_NE(err.str().find("time is up: unsaved changes discarded"), std::string::npos)
                << err.str();
        }
        prompts.answer = SaveChoice::Discard;
        window.close();
    }
}

TEST(FrameWindow, SavePromptOpenWhenTheRunEndsIsCancelled) {
    Bench bench;
    tivframe::MainWindow window(bench.options);
    window.show();
    ASSERT_TRUE(window.NewProject()) << window.Error();
    window.Dtm()->PersistentParamChanged("PersistentCommTimeoutValue", "1000");
    ASSERT_TRUE(window.Dirty());
    // The box itself, as a run ending by time or signal finds it.
    QString asked;
    QTimer end;
    QObject::connect(&end, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            asked = box->objectName();
            qtos::EndModalDialogs();
        }
    });
    end.start(10);
    EXPECT_FALSE(window.close());
    EXPECT_EQ(asked, "savePrompt");
    EXPECT_TRUE(window.Dirty());
    window.DiscardProject("time is up");
}

TEST(FrameWindow, StatusBarFollowsTheAdapterFromLoadToUnplug) {
    Bench bench(R"({"adapters":[{"device":0,"port":255,"firmware":"none"}],)"
                R"("bus":{"connected":false}})");
    Prompts prompts;
    auto simulator = sim::processSimulator();
    ASSERT_TRUE(simulator);
    tivframe::MainWindow window(bench.options);
    window.show();
    auto* state = window.findChild<QLabel*>("adapterState");
    ASSERT_TRUE(state);
    ASSERT_TRUE(window.NewProject()) << window.Error();
    const auto shows = [&](const char* text) {
        return WaitFor([&] { return state->text().startsWith(text); });
    };
    EXPECT_TRUE(state->text().startsWith("Adapter: present, firmware not running"))
        << state->text().toStdString();
    EXPECT_TRUE(shows("Adapter: ready, bus inactive")) << state->text().toStdString();
    simulator->setBusConnected(0, true);
    EXPECT_TRUE(shows("Adapter: bus active")) << state->text().toStdString();
    simulator->setBusConnected(0, false);
    EXPECT_TRUE(shows("Adapter: ready, bus inactive")) << state->text().toStdString();
    simulator->unplug(0);
    EXPECT_TRUE(shows("Adapter: not connected")) << state->text().toStdString();
    window.close();
}

TEST(FrameWindow, PagesOpenOnceFollowTheLanguageAndTheProjectKeepsTheirEdits) {
    Bench bench;
    const auto& dir = bench.dir;
    std::vector<std::string> closed;
    {
        tivframe::MainWindow window(bench.options);
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
        EXPECT_TRUE(window.isWindowModified());
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
}

TEST(FrameWindow, DiagnosisFollowsTheBusAndTheMonitorFilterMarksTheProject) {
    Bench bench;
    auto simulator = sim::processSimulator();
    ASSERT_TRUE(simulator);
    Prompts prompts;
    {
        tivframe::MainWindow window(bench.options);
        window.show();
        ASSERT_TRUE(window.NewProject()) << window.Error();
        for (const char* f : {"20", "30"})
            ASSERT_TRUE(window.OpenFunction(f)) << f << ": " << window.Error();
        QTabWidget* tabs = window.Tabs();
        ASSERT_EQ(tabs->count(), 2);
        QWidget* lamp = tabs->widget(0)->findChild<QWidget*>("ShapeTIVBusActive");
        ASSERT_TRUE(lamp);
        const auto shows = [&](QColor want) {
            return WaitFor([&] {
                return QColor(lamp->grab().toImage().pixel(lamp->width() / 2,
                                                           lamp->height() / 2)) == want;
            });
        };
        simulator->setBusConnected(0, true);
        EXPECT_TRUE(shows(QColor(78, 162, 78)));
        simulator->setBusConnected(0, false);
        EXPECT_TRUE(shows(QColor(255, 0, 0)));
        simulator->setBusConnected(0, true);
        EXPECT_TRUE(shows(QColor(78, 162, 78)));

        auto* filter = tabs->widget(1)->findChild<QCheckBox*>("chkFDTInterface");
        ASSERT_TRUE(filter);
        EXPECT_FALSE(window.Dirty());
        QTest::mouseClick(filter, Qt::LeftButton, {}, QPoint(6, filter->height() / 2));
        EXPECT_TRUE(window.Dirty());
        window.close();
    }
}

}  // namespace
