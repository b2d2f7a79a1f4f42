// The test page driven as a service engineer drives it: by its buttons and fields, on a
// simulated bus with a device, the answers read back from the page's last-response line, the
// monitor page and the record file.

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <fstream>

#include "PagesHarness.h"
#include "simulator/SimTransport.h"

namespace {

using namespace pagestest;

constexpr char kScenario[] = R"({
  "adapters": [{"device": 0, "port": 255, "firmware": "running"}],
  "devices": [{
    "name": "bench",
    "objects": [
      {"obj": 1217, "sub": 29, "value": "0A0B0C0D", "writable": true},
      {"obj": 1301, "sub": 2, "delayed": 5, "value": "2A"}
    ],
    "cyclic": [
      {"type": 0, "obj": 20, "periodMs": 100, "value": 1.5, "step": 0.25},
      {"type": 0, "obj": 21, "periodMs": 100, "value": 2.0},
      {"type": 0, "obj": 22, "periodMs": 100, "value": 3.0},
      {"type": 1, "obj": 23, "periodMs": 200, "value": -7.25, "status": 1},
      {"type": 1, "obj": 24, "periodMs": 200, "value": 4.0}
    ]
  }]
})";

class TestPage : public Pages {
protected:
    static void SetUpTestSuite() { InstallScenario(kScenario); }

    void SetUp() override {
        Pages::SetUp();
        dtm_->put_PersistentProtocolFilter(com::VARIANT_TRUE);
        dtm_->put_PersistentInterfaceFilter(com::VARIANT_TRUE);
        // The bus comes up after the firmware: only then does the DTM take a connection.
        sim::processSimulator()->setBusConnected(0, true);
        ASSERT_TRUE(WaitFor([&] {
            com::Variant bus;
            dtm_->get_TIVBusConnected(&bus);
            return bus.toInt64().value_or(0) != 0;
        }));
        monitor_ = &Open("Tivmate.ctlMonitor");
        page_ = &Open("Tivmate.ctlTest");
    }

    void Click(const char* button) {
        QTest::mouseClick(page_->child<QPushButton>(button), Qt::LeftButton);
    }
    QString Last() { return page_->child<QLineEdit>("LastResponse")->text(); }
    // The monitor's text up to now: a marker line sent after everything else is waited for.
    QString Monitor() {
        const QString mark = QString("mark %1").arg(++marks_);
        dtm_->MonitorMsg("Test", mark.toStdString(), 0, 0);
        auto* box = monitor_->child<QPlainTextEdit>("RichTextBoxComm");
        EXPECT_TRUE(WaitFor([&] { return box->toPlainText().contains(mark); }));
        return box->toPlainText();
    }
    int Sent() {
        return static_cast<int>(Monitor().count("IFdtCommunication.TransactionRequest()"));
    }

    // Clicks and waits for the page to show an answer containing `expected`.
    bool Answered(const char* button, const QString& expected) {
        page_->child<QLineEdit>("LastResponse")->clear();
        Click(button);
        return WaitFor([&] { return Last().contains(expected); });
    }

    bool Connect() {
        return Answered("CommandConnectRequest", "OnConnectResponse: CommunicationReference={");
    }

    // Replaces the field's text as a user does: select all, then type over it.
    void Type(const char* field, const QString& text) {
        auto* f = page_->child<QLineEdit>(field);
        f->setFocus();
        QTest::keyClick(f, Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty())
            QTest::keyClick(f, Qt::Key_Delete);
        else
            QTest::keyClicks(f, text);
    }

    Page* monitor_ = nullptr;
    Page* page_ = nullptr;
    int marks_ = 0;
};

std::string Attr(const std::string& document, const char* path, const char* name) {
    xml::Document d;
    d.validateOnParse = false;
    if (!d.loadXML(document)) return "<unloadable>";
    const xml::Node n = d.selectSingleNode(path);
    return n ? n.getAttribute(name).value_or("<none>") : "<no node>";
}

com::Variant Record(int messageType, int objectType, int bytes, int sub, int object,
                    const char* data, int control) {
    com::SafeArray a(com::VT_VARIANT, 7);
    const com::Variant fields[] = {messageType, objectType, bytes, sub, object, data, control};
    for (int i = 0; i < 7; ++i) a.putElement(i, fields[i]);
    return com::Variant(std::move(a));
}

TEST_F(TestPage, DocumentsCarryTheirArgumentsIntactAndUnknownKindsAreEmpty) {
    ComPtr<fdt::ITestView> view;
    page_->control->QueryInterface(fdt::ITestView::iid, view.putVoid());
    ASSERT_TRUE(view);
    const std::string hostile = "{A}\"<&>'";
    const auto m = com::Variant::missing();
    const struct {
        std::int16_t kind;
        com::Variant reference, record, control, cnumber, recCmd, file;
        std::vector<std::tuple<const char*, const char*, std::string>> expected;
    } cases[] = {
        {0, hostile, m, m, m, m, m, {{"FDT/Abort", "CommunicationReference", hostile}}},
        {1,
         m,
         m,
         m,
         "0000000000000000000A",
         m,
         m,
         {{"FDT/ConnectRequest", "fdt:tag", "TIV-TEST-DEVICE"},
          {"FDT/ConnectRequest/DeviceInformation", "CNumber", "0000000000000000000A"}}},
        {2, "{R}", m, m, m, m, m, {{"FDT/DisconnectRequest", "CommunicationReference", "{R}"}}},
        // Four bytes: the data stays out of the header.
        {3,
         "{R}",
         Record(5, 2, 4, 29, 1217, "FF", 192),
         192,
         m,
         m,
         m,
         {{"FDT/DataExchangeRequest", "Control", "192"},
          {"FDT/DataExchangeRequest", "FilePath", "<none>"},
          {"FDT/DataExchangeRequest/CommunicationHeader", "ObjectNo", "1217"},
          {"FDT/DataExchangeRequest/CommunicationHeader", "SubNo", "29"},
          {"FDT/DataExchangeRequest/CommunicationHeader", "CommunicationData", "<none>"}}},
        {3,
         "{R}",
         Record(5, 2, 16, 0, 0, "14001500160017011801000A", 0),
         m,
         m,
         "StartRec",
         "/x/CyclicData/Data.csv",
         {{"FDT/DataExchangeRequest", "SpecialFunction", "StartRec"},
          {"FDT/DataExchangeRequest", "FilePath", "/x/CyclicData/Data.csv"},
          {"FDT/DataExchangeRequest/CommunicationHeader", "NoOfBytes", "16"},
          {"FDT/DataExchangeRequest/CommunicationHeader", "CommunicationData",
           "14001500160017011801000A"}}},
    };
    for (const auto& c : cases) {
        std::int16_t kind = c.kind;
        std::string doc;
        ASSERT_EQ(view->GetXMLDocument(&kind, c.reference, c.record, c.control, c.cnumber, c.recCmd,
                                       c.file, &doc),
                  com::S_OK)
            << c.kind;
        for (const auto& [path, name, value] : c.expected)
            EXPECT_EQ(Attr(doc, path, name), value) << c.kind << " " << path << "@" << name;
    }
    for (std::int16_t kind : {4, -1}) {
        std::string doc = "x";
        EXPECT_EQ(view->GetXMLDocument(&kind, m, m, m, m, m, m, &doc), com::S_OK);
        EXPECT_EQ(doc, "");
    }
    // A record that does not fit its fields is refused, not truncated.
    std::int16_t kind = 3;
    std::string doc;
    EXPECT_EQ(view->GetXMLDocument(&kind, m, Record(5, 2, 4, 300, 1217, "", 192), m, m, m, m, &doc),
              com::E_INVALIDARG);
}

TEST_F(TestPage, ConnectReadWriteAndDelayedReadShowTheirAnswers) {
    ASSERT_TRUE(Connect());
    const QString connected = Last();
    // A second connect is refused and leaves the connection as it was.
    Click("CommandConnectRequest");
    EXPECT_EQ(Last(), connected);

    ASSERT_TRUE(Answered("ReadData", "ObjectNo=1217"));
    EXPECT_TRUE(Last().contains("SubNo=29")) << Last().toStdString();
    EXPECT_TRUE(Last().contains("Data=0A0B0C0D")) << Last().toStdString();
    EXPECT_TRUE(WaitFor([&] { return Monitor().contains("Obj No.  :1217"); }));

    Type("Data", "0a0b");
    ASSERT_TRUE(Answered("WriteData", "ObjectNo=1217"));
    EXPECT_TRUE(Monitor().contains("Transmit Data: >")) << Monitor().toStdString();
    ASSERT_TRUE(Answered("ReadData", "Data=0A0B")) << Last().toStdString();
    EXPECT_FALSE(Last().contains("Data=0A0B0C")) << Last().toStdString();
    EXPECT_TRUE(WaitFor([&] { return Monitor().contains("Receive Data: <0A 0B "); }));

    // The device announces a delayed answer: the page shows the announcement.
    Type("ObjectNumber", "1301");
    Type("SubNumber", "2");
    ASSERT_TRUE(Answered("ReadData", "ObjectNo=1301")) << Last().toStdString();
    EXPECT_TRUE(Last().contains("Status=1 ")) << Last().toStdString();

    const std::string reference = connected.section('=', 1).toStdString();
    ASSERT_TRUE(Answered("CommandDisconnectRequest", "OnDisconnectResponse:"));
    EXPECT_EQ(Last().toStdString(), "OnDisconnectResponse: CommunicationReference=" + reference);

    // A page closed while connected ends its connection: the next page can connect, and the
    // closed one is not kept alive by the DTM.
    ASSERT_TRUE(Connect());
    QPointer<QWidget> closed = page_->widget;
    Close(*page_);
    EXPECT_FALSE(closed);
    page_ = &Open("Tivmate.ctlTest");
    EXPECT_TRUE(Connect());
}

TEST_F(TestPage, FieldsRefuseBadInputSendNothingAndSayWhy) {
    ASSERT_TRUE(Connect());
    const struct {
        const char* field;
        QString typed, shown;
        const char* button;
    } cases[] = {
        {"SubNumber", "300", "300", "ReadData"},
        {"ObjectNumber", "70000", "70000", "ReadData"},
        {"ObjectNumber", "x1", "1", nullptr},  // a letter does not get in
        {"Data", "0A0", "0A0", "WriteData"},
        {"Data", "G1z", "1", nullptr},
        {"RecordTime", "0", "0", "ReadCyclic"},
        {"RecordTime", "", "", "ReadCyclic"},
        {"RecordTime", "65536", "65536", "ReadCyclic"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " " + c.typed.toStdString());
        Type("ObjectNumber", "1217");
        Type("SubNumber", "29");
        Type("Data", "");
        Type("RecordTime", "1");
        Type(c.field, c.typed);
        auto* field = page_->child<QLineEdit>(c.field);
        EXPECT_EQ(field->text(), c.shown);
        if (!c.button) continue;
        const int before = Sent();
        Click(c.button);
        EXPECT_EQ(Sent(), before);
        EXPECT_FALSE(field->toolTip().isEmpty());
        EXPECT_TRUE(field->styleSheet().contains("red"));
        // Corrected, the field no longer complains.
        Type(c.field, QString(c.field) == "Data" ? "0A" : "1");
        EXPECT_TRUE(field->styleSheet().isEmpty());
    }

    // An emptied number reads 0, and the caret keeps working inside the field.
    auto* sub = page_->child<QLineEdit>("SubNumber");
    Type("SubNumber", "29");
    QTest::keyClick(sub, Qt::Key_Backspace);
    QTest::keyClick(sub, Qt::Key_Backspace);
    EXPECT_EQ(sub->text(), "0");
    Type("SubNumber", "19");
    QTest::keyClick(sub, Qt::Key_Home);
    QTest::keyClicks(sub, "2");
    EXPECT_EQ(sub->text(), "219");
    EXPECT_EQ(sub->cursorPosition(), 1);
}

TEST_F(TestPage, CyclicRecordWritesItsFileAndAbortEndsRecordAndQueue) {
    ASSERT_TRUE(Connect());
    const auto file = std::filesystem::path(TIVMATE_DIR) / "CyclicData" / "Data.csv";
    std::filesystem::remove(file);
    Type("RecordTime", "2");
    Click("ReadCyclic");
    ASSERT_TRUE(WaitFor([&] { return Last().contains("RecordState=finished"); }))
        << Last().toStdString();
    std::ifstream in(file);
    ASSERT_TRUE(in) << file;
    std::string header, row;
    std::getline(in, header);
    EXPECT_EQ(header.substr(0, 8), "Date;Tim");
    int rows = 0;
    while (std::getline(in, row)) rows += !row.empty() && row != "\r";
    EXPECT_GT(rows, 0);

    // Stopped by hand: the record is answered as aborted, the stop as finished.
    Type("RecordTime", "600");
    Click("ReadCyclic");
    ASSERT_TRUE(WaitFor([&] { return Monitor().contains("Cyclic record in progress"); }));
    ASSERT_TRUE(Answered("CmdAbortCyclicRecord", "RecordState=finished")) << Last().toStdString();
    EXPECT_TRUE(Monitor().contains("Cyclic record aborted"));

    // Abort with requests waiting behind a slow device: none of them is answered, and the
    // next read is answered once.
    dtm_->put_PersistentMaxStackValue(10);
    auto simulator = sim::processSimulator();
    simulator->setAnswerDelay(std::chrono::milliseconds(500));
    const auto answers = [&] {
        return static_cast<int>(Monitor().count("OnTransactionResponse()"));
    };
    const int before = answers(), sentBefore = Sent();
    for (int i = 0; i < 4; ++i) Click("ReadData");
    EXPECT_EQ(Sent() - sentBefore, 4);
    // A diagnosis page opened now counts them at once.
    EXPECT_EQ(Open("Tivmate.ctlDiagnosis").child<QLabel>("ComStackValLabel")->text(), "4");
    Click("CommandAbort");
    EXPECT_EQ(answers(), before);
    ASSERT_TRUE(Answered("ReadData", "ObjectNo=1217"));
    EXPECT_EQ(answers(), before + 1);
    simulator->setAnswerDelay(std::chrono::milliseconds(2));
}

TEST_F(TestPage, KeyboardOrderAndScreenshots) {
    const char* order[] = {"ObjectNumber",
                           "SubNumber",
                           "Data",
                           "RecordTime",
                           "CommandConnectRequest",
                           "CommandDisconnectRequest",
                           "ReadData",
                           "WriteData",
                           "ReadCyclic",
                           "CmdAbortCyclicRecord",
                           "CommandAbort",
                           "CommandBusCategory",
                           "LastResponse"};
    QApplication::setActiveWindow(page_->widget);
    ASSERT_TRUE(QTest::qWaitForWindowActive(page_->widget));
    page_->widget->setFocus();
    for (const char* name : order) {
        EXPECT_EQ(QApplication::focusWidget(), page_->child(name)) << name;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    for (const char* suffix : {"en", "de"}) {
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        idtm_->SetLanguage(std::string(suffix) == "de" ? 0x0407 : 0x0409, &ok);
        EXPECT_EQ(page_->child<QPushButton>("ReadData")->text(), "Read Data");
        Screenshot(*page_, std::string("ctlTest-") + suffix);
    }
}

}  // namespace
