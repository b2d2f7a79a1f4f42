// The pages of libtivmate.so as a frame meets them: the DTM and the pages created by ProgID
// from the build's registry, on the simulated adapter, driven with QTest under the offscreen
// platform. Screenshots of each page in English and German go to the build's artifacts.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QUrl>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "PagesHarness.h"
#include "com/CoCreate.h"
#include "com/ComObject.h"
#include "com/ErrorInfo.h"
#include "com/Registry.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"
#include "fdt/Persistence.h"
#include "host/HostSetup.h"
#include "os/Clock.h"
#include "os/MessageBox.h"
#include "qt/QtMessagePump.h"
#include "simulator/SimTransport.h"
#include "support/TempDir.h"
#include "tivlink/ITivDriver.h"
#include "tivmate/DTMMain.h"
#include "ui/ColorRef.h"
#include "xml/Document.h"

namespace {

using namespace pagestest;
using com::ComPtr;
using namespace std::chrono_literals;

TEST(ColorRef, IsBlueGreenRedFromTheTop) {
    const struct {
        std::uint32_t colorRef;
        QColor colour;
    } cases[] = {{0xFF0000, QColor(0, 0, 255)},
                 {255, QColor(255, 0, 0)},
                 {0x4EA24E, QColor(78, 162, 78)},
                 {0x0092FF, QColor(255, 146, 0)},
                 {0xFF0092FF, QColor(255, 146, 0)}};
    for (const auto& c : cases)
        EXPECT_EQ(tivmate::ui::FromColorRef(c.colorRef), c.colour) << std::hex << c.colorRef;
}

TEST_F(Pages, NumberFieldsStoreOnlyValuesInRangeAndKeepTheCaret) {
    Page& page = Open("Tivmate.ctlOfflineParam");
    auto* field = page.child<QLineEdit>("CTValue");
    constexpr int kSelectAll = -1;
    const struct {
        std::int16_t stored;
        std::vector<int> keys;  // Qt keys; below 0x100 typed as text; kSelectAll
        std::int16_t after;
        const char* text;
        int caret;  // -1: at the end
    } cases[] = {
        {5, {Qt::Key_End, 'a'}, 5, "5", -1},
        {5, {Qt::Key_End, '0'}, 50, "50", -1},
        {4000, {Qt::Key_End, '0'}, 4000, "4000", -1},       // 40000 does not fit
        {5, {kSelectAll, '0'}, 5, "5", -1},                 // 0 would stall every request
        {5, {Qt::Key_End, Qt::Key_Backspace}, 5, "5", -1},  // emptied: the stored value
        {123, {Qt::Key_Home, Qt::Key_Right, '4'}, 1423, "1423", 2},
        {123, {Qt::Key_Home, Qt::Key_Right, Qt::Key_Right}, 123, "123", 2},
    };
    for (const auto& c : cases) {
        dtm_->put_PersistentCommTimeoutValue(c.stored);
        field->setText(QString::number(c.stored));
        frame_->changes.clear();
        field->setFocus();
        for (int key : c.keys) {
            if (key == kSelectAll)
                QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
            else if (key < 0x100)
                QTest::keyClicks(field, QString(QChar(key)));
            else
                QTest::keyClick(field, static_cast<Qt::Key>(key));
        }
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Stored(&tivmate::_DTMMain::get_PersistentCommTimeoutValue), c.after);
        EXPECT_EQ(field->text().toStdString(), c.text);
        EXPECT_EQ(field->cursorPosition(), c.caret < 0 ? field->text().size() : c.caret);
        if (c.after != c.stored) {
            ASSERT_EQ(frame_->changes.size(), 1u);
            EXPECT_EQ(frame_->changes[0],
                      (std::pair<std::string, std::string>{"PersistentCommTimeoutValue", c.text}));
        } else {
            EXPECT_TRUE(frame_->changes.empty());
        }
    }
}

TEST_F(Pages, ListsIgnoreStoredValuesOutOfRangeAndTheAdapterSwitchReachesTheDriver) {
    dtm_->put_PersistentCommRetriesValue(0);
    dtm_->put_PersistentAdapterAddress(40);
    Page& odd = Open("Tivmate.ctlOfflineParam");
    EXPECT_EQ(odd.child<QComboBox>("ComRetryCombo")->currentIndex(), -1);
    EXPECT_EQ(odd.child<QComboBox>("AdapterAddressCombo")->currentIndex(), -1);
    EXPECT_EQ(Stored(&tivmate::_DTMMain::get_PersistentCommRetriesValue), 0);
    EXPECT_EQ(Stored(&tivmate::_DTMMain::get_PersistentAdapterAddress), 40);
    EXPECT_TRUE(frame_->changes.empty());
    Close(odd);
    dtm_->put_PersistentAdapterAddress(0);

    dtm_->put_PersistentCommRetriesValue(9);
    dtm_->put_PersistentDelay(com::VARIANT_FALSE);
    Page& page = Open("Tivmate.ctlOfflineParam");
    auto* retries = page.child<QComboBox>("ComRetryCombo");
    QTest::keyClick(retries, Qt::Key_Down);
    EXPECT_EQ(Stored(&tivmate::_DTMMain::get_PersistentCommRetriesValue), 10);
    ASSERT_EQ(frame_->changes.size(), 1u);
    EXPECT_EQ(frame_->changes[0],
              (std::pair<std::string, std::string>{"PersistentCommRetries", "10"}));

    // Adapter 1 is not there: the driver is told at once, and back at 0 the adapter runs.
    auto* adapter = page.child<QComboBox>("AdapterAddressCombo");
    QTest::keyClick(adapter, Qt::Key_Down);
    EXPECT_EQ(Stored(&tivmate::_DTMMain::get_PersistentAdapterAddress), 1);
    EXPECT_FALSE(Truth("TIVAdapterFirmwareLoaded"));
    QTest::keyClick(adapter, Qt::Key_Up);
    EXPECT_EQ(Stored(&tivmate::_DTMMain::get_PersistentAdapterAddress), 0);
    EXPECT_TRUE(Truth("TIVAdapterFirmwareLoaded"));

    frame_->changes.clear();
    QTest::mouseClick(page.child<QCheckBox>("chkUSBDelayOn"), Qt::LeftButton);
    com::VARIANT_BOOL delay = com::VARIANT_FALSE;
    dtm_->get_PersistentDelay(&delay);
    EXPECT_TRUE(delay);
    ASSERT_EQ(frame_->changes.size(), 1u);
    EXPECT_EQ(frame_->changes[0], (std::pair<std::string, std::string>{"PersistentDelay", "True"}));
}

TEST_F(Pages, StatusPicturesShowTheLampOfTheStatus) {
    Page& page = Open("Tivmate.ctlOfflineParam");
    ComPtr<fdt::IOfflineParamView> view;
    page.control->QueryInterface(fdt::IOfflineParamView::iid, view.putVoid());
    auto* picture = page.child("StatusImage");
    const struct {
        int status;
        QPoint lit;
        QColor colour;
    } cases[] = {{0, {6, 42}, QColor(78, 162, 78)},
                 {1, {6, 8}, QColor(255, 0, 0)},
                 {2, {6, 25}, QColor(255, 146, 0)},
                 {3, {6, 25}, QColor(255, 146, 0)}};  // unknown: the picture stays
    for (const auto& c : cases) {
        view->SetParameterStatus(c.status, "status " + std::to_string(c.status));
        EXPECT_EQ(picture->grab().toImage().pixelColor(c.lit), c.colour) << c.status;
        EXPECT_EQ(page.child<QLabel>("lblCommStatus")->text().toStdString(),
                  "status " + std::to_string(c.status));
    }
}

TEST_F(Pages, APageOpenedTwiceStaysRegisteredUntilItsOwnRelease) {
    for (bool firstClosesFirst : {true, false}) {
        Page& a = Open("Tivmate.ctlOfflineParam");
        Page& b = Open("Tivmate.ctlOfflineParam");
        Page& first = firstClosesFirst ? a : b;
        Page& second = firstClosesFirst ? b : a;
        QPointer<QWidget> firstWidget = first.widget, secondWidget = second.widget;
        frame_->closed.clear();
        Close(first);
        EXPECT_FALSE(firstWidget);  // the page ended with its control: nothing kept it alive
        auto* status = second.child<QLabel>("lblCommStatus");
        status->clear();
        dtm_->Set_Status();
        // The later page holds the slot; closing the earlier one must not silence it.
        EXPECT_EQ(!status->text().isEmpty(), firstClosesFirst);
        Close(second);
        EXPECT_FALSE(secondWidget);
        EXPECT_EQ(frame_->closed, (std::vector<std::string>{first.invokeId, second.invokeId}));
        EXPECT_EQ(dtm_->Set_Status(), com::S_OK);
        pages_.clear();
    }
}

TEST_F(Pages, MissingPicturesLeaveEmptyOrOldPicturesWithoutAMessage) {
    Page& offline = Open("Tivmate.ctlOfflineParam");
    ComPtr<fdt::IOfflineParamView> view;
    offline.control->QueryInterface(fdt::IOfflineParamView::iid, view.putVoid());
    view->SetParameterStatus(0, "");
    int boxes = 0;
    os::ScopedMessageBoxHandler count([&](const std::string&, const std::string&, std::uint32_t) {
        ++boxes;
        return os::IDOK;
    });
    testsupport::TempDir empty{"pages-no-pictures"};
    ::setenv("TIVMATE_APPDIR", empty.path().c_str(), 1);
    Page& about = Open("Tivmate.ctlAbout");
    view->SetParameterStatus(1, "gone");
    ::unsetenv("TIVMATE_APPDIR");
    EXPECT_TRUE(about.child("imgLogo")->sizeHint().isEmpty());
    EXPECT_TRUE(about.child("DeviceImage")->sizeHint().isEmpty());
    // The status picture that could not be loaded leaves the green lamp of the last one.
    EXPECT_EQ(offline.child("StatusImage")->grab().toImage().pixelColor(6, 42),
              QColor(78, 162, 78));
    EXPECT_EQ(offline.child<QLabel>("lblCommStatus")->text(), "gone");
    EXPECT_EQ(boxes, 0);
}

class UrlSpy : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

TEST_F(Pages, LanguageSwitchRecaptionsEveryPageAndTheAboutPageKeepsOneVersion) {
    Page& about = Open("Tivmate.ctlAbout");
    Page& offline = Open("Tivmate.ctlOfflineParam");
    com::Variant dll;
    dtm_->get_DllVersionNumber(&dll);
    const std::string driver = dll.value().bstr();
    const struct {
        std::int32_t language;
        const char* suffix;
        const char* dllCaption;
        const char* delayCaption;
    } cases[] = {{0x0407, "de", "Treiberversion: ", "USB-Verzögerung"},
                 {0x0409, "en", "Driver version: ", "USB delay"},
                 {0x0409, "en", "Driver version: ", "USB delay"}};
    for (const auto& c : cases) {
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        ASSERT_EQ(idtm_->SetLanguage(c.language, &ok), com::S_OK);
        // The same language again must not append the version a second time.
        ComPtr<fdt::IActiveXGUI> gui;
        about.control->QueryInterface(fdt::IActiveXGUI::iid, gui.putVoid());
        gui->UpdateLanguage();
        EXPECT_EQ(about.child<QLabel>("lblVersion")->text().toStdString(), "Version: 1.0.0");
        EXPECT_EQ(about.child<QLabel>("lblDllVersion")->text().toStdString(),
                  c.dllCaption + driver);
        EXPECT_EQ(offline.child<QCheckBox>("chkUSBDelayOn")->text().toStdString(), c.delayCaption);
        EXPECT_FALSE(offline.child<QLabel>("lblCommStatus")->text().isEmpty());
        Screenshot(about, std::string("ctlAbout-") + c.suffix);
        Screenshot(offline, std::string("ctlOfflineParam-") + c.suffix);
    }

    UrlSpy spy;
    QDesktopServices::setUrlHandler("https", &spy, "open");
    auto* logo = about.child("imgLogo");
    ASSERT_FALSE(logo->size().isEmpty());
    QTest::mouseClick(logo, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("https");
    ASSERT_EQ(spy.urls.size(), 1);
    EXPECT_EQ(spy.urls[0].scheme(), "https");
}

QColor Lamp(const Page& page, const char* name) {
    QWidget* lamp = page.child(name);
    return QColor(lamp->grab().toImage().pixel(lamp->width() / 2, lamp->height() / 2));
}

ComPtr<tivlink::ITivDriver> DriverOf(tivmate::_DTMMain* dtm) {
    ComPtr<com::IDispatch> d;
    dtm->TIVDriverPointer(d.put());
    ComPtr<tivlink::ITivDriver> driver;
    if (d) d->QueryInterface(tivlink::ITivDriver::iid, driver.putVoid());
    return driver;
}

TEST_F(Pages, DiagnosisLampsFollowTheAdapterAndTheBus) {
    Page& page = Open("Tivmate.ctlDiagnosis");
    const QColor red(255, 0, 0), green(78, 162, 78);
    auto simulator = sim::processSimulator();
    ASSERT_TRUE(simulator);
    const auto lamps = [&] {
        return std::vector<QColor>{Lamp(page, "ShapeUSBAdapterPresent"),
                                   Lamp(page, "ShapeUSBAdapterFirmwareLoaded"),
                                   Lamp(page, "ShapeTIVBusActive")};
    };
    const std::vector<QColor> allOn{green, green, green}, busOff{green, green, red},
        allOff{red, red, red};
    simulator->setBusConnected(0, true);
    ASSERT_TRUE(WaitFor([&] { return lamps() == allOn; }));
    EXPECT_EQ(Lamp(page, "ShapeConnection"), red);  // no device connection yet
    EXPECT_NE(page.child<QLabel>("lblFirmware")->text().toStdString().find("Adapter firmware: "),
              std::string::npos);

    simulator->setBusConnected(0, false);
    EXPECT_TRUE(WaitFor([&] { return lamps() == busOff; }));
    simulator->setBusConnected(0, true);
    EXPECT_TRUE(WaitFor([&] { return lamps() == allOn; }));
    EXPECT_EQ(page.child<QLabel>("lblCommStatus")->text(), "Connected");
    simulator->unplug(0);
    EXPECT_TRUE(WaitFor([&] { return lamps() == allOff; }));
    EXPECT_EQ(page.child<QLabel>("lblCommStatus")->text(), "Disconnected");
    // Plugged in again, the adapter is taken up when the offline page selects it: the firmware
    // is loaded anew and the lamps follow.
    simulator->replug(0);
    Open("Tivmate.ctlOfflineParam");
    EXPECT_TRUE(WaitFor([&] { return lamps() == allOn; }));
    EXPECT_EQ(page.child<QLabel>("lblCommStatus")->text(), "Connected");

    // Four distinct colours: a swapped lamp shows.
    ComPtr<fdt::IDiagnosisView> view;
    page.control->QueryInterface(fdt::IDiagnosisView::iid, view.putVoid());
    view->SetDiagnosisStatus(0, "ok", "fw 9", 0x0000FF, 0x00FF00, 0xFF0000, 0x0092FF);
    EXPECT_EQ(Lamp(page, "ShapeConnection"), QColor(255, 0, 0));
    EXPECT_EQ(Lamp(page, "ShapeUSBAdapterPresent"), QColor(0, 255, 0));
    EXPECT_EQ(Lamp(page, "ShapeUSBAdapterFirmwareLoaded"), QColor(0, 0, 255));
    EXPECT_EQ(Lamp(page, "ShapeTIVBusActive"), QColor(255, 146, 0));
    EXPECT_EQ(page.child<QLabel>("lblFirmware")->text(), "fw 9");
}

TEST_F(Pages, DiagnosisGaugeTakesOnlyValidMaximaAndValuesAndKeepsItsCount) {
    dtm_->put_PersistentMaxStackValue(8);
    Page& page = Open("Tivmate.ctlDiagnosis");
    auto* bar = page.child<QProgressBar>("StackProgressBar");
    auto* count = page.child<QLabel>("ComStackValLabel");
    EXPECT_EQ(bar->maximum(), 8);
    ComPtr<fdt::IDiagnosisView> view;
    page.control->QueryInterface(fdt::IDiagnosisView::iid, view.putVoid());
    // By name, as a late-bound caller reaches the page.
    const auto put = [&](const char* name, com::Variant v) {
        return com::invokeByName(view.get(), name, com::DISPATCH_PROPERTYPUT,
                                 com::DispArgs::propertyPut(std::move(v)), nullptr);
    };
    const struct {
        const char* member;
        com::Variant value;
        int max, value_after;
    } cases[] = {
        {"ProgBarVal", com::Variant(8), 8, 8},    // the maximum fills the bar
        {"ProgBarVal", com::Variant(9), 8, 8},    // above it: unchanged
        {"ProgBarVal", com::Variant(-1), 8, 8},   // below the minimum: unchanged
        {"MaxStackSize", com::Variant(0), 8, 8},  // a maximum below 1 is ignored
        {"MaxStackSize", com::Variant(-5), 8, 8},
        {"MaxStackSize", com::Variant("x"), 8, 8},  // so is one that is no number
        {"MaxStackSize", com::Variant(4), 4, 4},    // lowered below the value: full, not empty
        {"MaxStackSize", com::Variant("20"), 20, 4},
        {"ProgBarVal", com::Variant(3), 20, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.member) + " " + c.value.converted(com::VT_BSTR).bstr());
        EXPECT_EQ(put(c.member, c.value), com::S_OK);
        EXPECT_EQ(bar->maximum(), c.max);
        EXPECT_EQ(bar->value(), c.value_after);
    }
    // An edit on the offline page reaches the gauge.
    Page& offline = Open("Tivmate.ctlOfflineParam");
    auto* field = offline.child<QLineEdit>("MaxStackSizeValue");
    field->setFocus();
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClicks(field, "0");
    EXPECT_EQ(bar->maximum(), 80);

    EXPECT_EQ(put("CommStackVal", com::Variant(3)), com::S_OK);
    EXPECT_EQ(count->text(), "3");
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    ASSERT_EQ(idtm_->SetLanguage(0x0407, &ok), com::S_OK);
    EXPECT_EQ(count->text(), "3");  // a language switch does not blank the count
    EXPECT_EQ(page.child<QCheckBox>("chkDLLDebugWindow")->text(), "Debug-Fenster des Treibers");
    ASSERT_EQ(idtm_->SetLanguage(0x0409, &ok), com::S_OK);
}

TEST_F(Pages, DiagnosisSwitchesTheDriversWindowAndLogWithConfirmation) {
    auto driver = DriverOf(dtm_.get());
    ASSERT_TRUE(driver);
    testsupport::TempDir cwd{"pages-log"};
    const auto home = std::filesystem::current_path();
    std::filesystem::current_path(cwd.path());
    driver->put_LogFileOn(com::VARIANT_TRUE);

    std::vector<std::string> texts;
    int answer = os::IDOK;
    os::ScopedMessageBoxHandler spy(
        [&](const std::string& text, const std::string& title, std::uint32_t flags) {
            texts.push_back(text);
            EXPECT_EQ(title, "Warning");
            EXPECT_EQ(flags, 305u);
            return answer;
        });
    Page& page = Open("Tivmate.ctlDiagnosis");
    auto* log = page.child<QCheckBox>("chkDLLTraceFunction");
    const auto logging = [&] {
        com::VARIANT_BOOL on = com::VARIANT_FALSE;
        driver->get_LogFileOn(&on);
        return on != com::VARIANT_FALSE;
    };
    // The box shows the running log without asking.
    EXPECT_TRUE(log->isChecked());
    EXPECT_TRUE(texts.empty());
    const struct {
        int answer;
        bool checked, logging;
        std::size_t asked;
    } clicks[] = {{os::IDOK, false, false, 0},      // off: nothing asked
                  {os::IDCANCEL, false, false, 1},  // Cancel: stays off, box cleared
                  {os::IDOK, true, true, 2}};
    for (const auto& c : clicks) {
        answer = c.answer;
        QTest::mouseClick(log, Qt::LeftButton, {}, QPoint(6, log->height() / 2));
        EXPECT_EQ(log->isChecked(), c.checked);
        EXPECT_EQ(logging(), c.logging);
        EXPECT_EQ(texts.size(), c.asked);
    }
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back().find("---"), std::string::npos);
    driver->put_LogFileOn(com::VARIANT_FALSE);
    std::filesystem::current_path(home);

    const auto debugWindow = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->windowTitle() == "COM-Server - TIV-Adapter") return w->isVisible();
        return false;
    };
    const auto debugFlag = [&] {
        com::VARIANT_BOOL on = com::VARIANT_FALSE;
        dtm_->get_TIVDrvDebug(&on);
        return on != com::VARIANT_FALSE;
    };
    auto* debug = page.child<QCheckBox>("chkDLLDebugWindow");
    QTest::mouseClick(debug, Qt::LeftButton, {}, QPoint(6, debug->height() / 2));
    EXPECT_TRUE(WaitFor(debugWindow));
    EXPECT_TRUE(debugFlag());
    QTest::mouseClick(debug, Qt::LeftButton, {}, QPoint(6, debug->height() / 2));
    EXPECT_TRUE(WaitFor([&] { return !debugWindow(); }));
    EXPECT_FALSE(debugFlag());
}

TEST_F(Pages, MonitorFollowsTheDtmWithItsFiltersInColour) {
    dtm_->put_PersistentInterfaceFilter(com::VARIANT_FALSE);
    dtm_->put_PersistentProtocolFilter(com::VARIANT_TRUE);
    Page& page = Open("Tivmate.ctlMonitor");
    auto* box = page.child<QPlainTextEdit>("RichTextBoxComm");
    const auto lines = [&] { return box->toPlainText().split('\n'); };
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;

    idtm_->SetCommunication(nullptr, &ok);  // an FDT call: filtered out
    dtm_->MonitorMsg("Telegram", "to the bus", 0x008000, 0);
    ASSERT_TRUE(WaitFor([&] { return lines().size() == 2; }));
    EXPECT_TRUE(lines()[1].contains("to the bus"));

    QTest::mouseClick(page.child<QCheckBox>("chkFDTInterface"), Qt::LeftButton);
    ASSERT_EQ(frame_->changes.size(), 1u);
    EXPECT_EQ(frame_->changes[0],
              (std::pair<std::string, std::string>{"PersistentInterfaceFilter", "True"}));
    idtm_->SetCommunication(nullptr, &ok);
    ASSERT_TRUE(WaitFor([&] { return lines().size() == 3; }));
    EXPECT_TRUE(lines()[2].contains("IDtm_SetCommunication = True"));
    const QTextBlock blue = box->document()->findBlockByNumber(2);
    EXPECT_EQ(blue.begin().fragment().charFormat().foreground().color(), QColor(0, 0, 255));

    // A late-bound caller reaches the page by name.
    ComPtr<fdt::IMonitorView> view;
    page.control->QueryInterface(fdt::IMonitorView::iid, view.putVoid());
    EXPECT_EQ(com::invokeByName(view.get(), "MessageLine", com::DISPATCH_METHOD,
                                {com::Variant("by name"), com::Variant(255)}, nullptr),
              com::S_OK);
    ASSERT_TRUE(WaitFor([&] { return lines().size() == 4; }));

    // Drawn in its colour: some pixels of the blue line are pure blue.
    const QImage shot = box->viewport()->grab().toImage();
    const QRect rect = box->cursorRect(QTextCursor(blue));
    int bluePixels = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (shot.valid(x, y) && shot.pixelColor(x, y) == QColor(0, 0, 255)) ++bluePixels;
    EXPECT_GT(bluePixels, 0);

    QTest::mouseClick(page.child<QPushButton>("btnClear"), Qt::LeftButton);
    dtm_->MonitorMsg("Telegram", "again", 0, 0);
    ASSERT_TRUE(WaitFor([&] { return lines().size() == 2; }));
    EXPECT_TRUE(lines()[0].isEmpty());  // the box starts with a line break again
}

TEST_F(Pages, DiagnosisAndMonitorScreenshotsInBothLanguages) {
    Page& diagnosis = Open("Tivmate.ctlDiagnosis");
    Page& monitor = Open("Tivmate.ctlMonitor");
    dtm_->put_PersistentProtocolFilter(com::VARIANT_TRUE);
    dtm_->MonitorMsg("IDtm_Environment", "Tiv1", 0xFF0000, 0);
    dtm_->MonitorMsg("Telegram", "0xC0 ObjNo 1217", 0x008000, 0);
    dtm_->MonitorMsg("Telegram", "time-out", 0x0000FF, 0);
    auto* box = monitor.child<QPlainTextEdit>("RichTextBoxComm");
    ASSERT_TRUE(WaitFor([&] { return box->document()->blockCount() == 4; }));
    std::string englishCaption;
    for (auto [language, suffix] : {std::pair{0x0409, "en"}, std::pair{0x0407, "de"}}) {
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        ASSERT_EQ(idtm_->SetLanguage(language, &ok), com::S_OK);
        const std::string caption =
            monitor.child<QCheckBox>("chkFDTInterface")->text().toStdString();
        if (englishCaption.empty())
            englishCaption = caption;
        else
            EXPECT_NE(caption, englishCaption);
        EXPECT_EQ(Lamp(diagnosis, "ShapeUSBAdapterPresent"), QColor(78, 162, 78));
        Screenshot(diagnosis, std::string("ctlDiagnosis-") + suffix);
        Screenshot(monitor, std::string("ctlMonitor-") + suffix);
    }
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    idtm_->SetLanguage(0x0409, &ok);
}

TEST_F(Pages, InitRefusesWhatIsNoDtmAndCreationOffTheGuiThreadIsRefused) {
    com::Guid clsid;
    ASSERT_EQ(com::CLSIDFromProgID("Tivmate.ctlAbout", &clsid), com::S_OK);
    ComPtr<fdt::IDtmActiveXControl> control;
    ASSERT_EQ(com::CoCreateInstance(clsid, fdt::IDtmActiveXControl::iid, control.putVoid()),
              com::S_OK);
    com::VARIANT_BOOL ok = com::VARIANT_TRUE;
    const struct {
        const char* invokeId;
        com::IDispatch* dtm;
    } refused[] = {{"", static_cast<com::IDispatch*>(dtm_.get())},
                   {"{1}", nullptr},
                   {"{1}", static_cast<IgnoredEvents*>(frame_.get())}};
    for (const auto& r : refused) {
        EXPECT_EQ(control->Init(r.invokeId, "", r.dtm, &ok), com::S_OK);
        EXPECT_FALSE(ok) << r.invokeId;
    }
    // Never initialised: no release to report, but no harm either.
    EXPECT_EQ(control->PrepareToRelease(&ok), com::S_OK);
    EXPECT_FALSE(ok);

    com::HRESULT hr = com::S_OK;
    std::string description;
    std::thread([&] {
        ComPtr<fdt::IDtmActiveXControl> other;
        hr = com::CoCreateInstance(clsid, fdt::IDtmActiveXControl::iid, other.putVoid());
        if (auto info = com::takeErrorInfo()) description = info->description;
    }).join();
    EXPECT_EQ(hr, com::E_FAIL);
    EXPECT_EQ(description, "no Qt application on this thread");
}

}  // namespace

#include "PagesQtTest.moc"
