#include "ui/CtlTest.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "core/AppDirectory.h"
#include "core/XMLHelp.h"
#include "module/DTMMain.h"
#include "os/MessageQueue.h"
#include "ui/PageParts.h"
#include "xml/Document.h"

namespace tivmate::ui {

namespace {

constexpr int kMaxDataBytes = 128;

QPushButton* AddButton(QWidget* parent, const char* name, const char* caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

// A given optional argument as attribute text; "" when it was left out.
std::string OptionalText(const com::Variant& v) {
    return v.isMissing() ? std::string() : XMLHelp::ValueToText(v);
}

std::int64_t RecordField(const com::SafeArray& array, int index, std::int64_t low,
                         std::int64_t high) {
    com::Variant element;
    array.getElement(array.lowerBound() + index, element);
    const auto value = element.toInt64();
    if (!value || *value < low || *value > high)
        throw com::ComError(com::E_INVALIDARG,
                            "CommunicationData: field " + std::to_string(index + 1) +
                                " is not in " + std::to_string(low) + ".." + std::to_string(high));
    return *value;
}

// The data-exchange record from its array form.
CtlTest::Request RecordOf(const com::Variant& v) {
    const com::SafeArray* array = v.arrayPtr();
    if (!array || array->count() != 7)
        throw com::ComError(com::E_INVALIDARG,
                            "CommunicationData: an array of MessageType, ObjectType, NoOfBytes, "
                            "SubNo, ObjectNo, Data and Control is needed");
    CtlTest::Request r;
    r.MessageType = static_cast<std::uint8_t>(RecordField(*array, 0, 0, 255));
    r.ObjectType = static_cast<std::uint8_t>(RecordField(*array, 1, 0, 255));
    r.NoOfBytes = static_cast<std::uint8_t>(RecordField(*array, 2, 0, 255));
    r.SubNo = static_cast<std::uint8_t>(RecordField(*array, 3, 0, 255));
    r.ObjectNo = static_cast<std::int32_t>(RecordField(*array, 4, INT32_MIN, INT32_MAX));
    com::Variant data;
    array->getElement(array->lowerBound() + 5, data);
    r.Data = XMLHelp::ValueToText(data);
    r.Control = static_cast<std::uint8_t>(RecordField(*array, 6, 0, 255));
    return r;
}

xml::Node SelectOrRaise(const xml::Document& doc, std::string_view path) {
    xml::Node node = doc.selectSingleNode(path);
    if (!node)
        throw com::ComError(com::E_FAIL, "the template has no \"" + std::string(path) + "\"");
    return node;
}

}  // namespace

CtlTest::CtlTest() : Control("ctlTest_", &_DTMMain::putref_CtlTestPointer) {
    QWidget* page = core_.Page();
    page->setObjectName("ctlTest");

    objectNumber_ = new NumberField("ObjectNumber", page);
    objectNumber_->setText("1217");
    subNumber_ = new NumberField("SubNumber", page);
    subNumber_->setText("29");
    data_ = new QLineEdit(page);
    data_->setObjectName("Data");
    data_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9A-Fa-f]*"), data_));
    data_->setMaxLength(2 * kMaxDataBytes);
    recordTime_ = new NumberField("RecordTime", page);
    recordTime_->setText("1");
    recordTime_->setToolTip("Length of a cyclic record, 1–65535 s");

    auto* fields = new QFormLayout;
    const auto addRow = [&](const char* name, const char* caption, QLineEdit* field) {
        QLabel* label = AddLabel(page, name);
        label->setText(caption);
        label->setBuddy(field);
        fields->addRow(label, field);
    };
    addRow("Label1", "Object Number", objectNumber_);
    addRow("Label2", "Sub Number", subNumber_);
    addRow("LabelData", "Data", data_);
    addRow("LabelRecordTime", "Record Time", recordTime_);

    QPushButton* connectButton = AddButton(page, "CommandConnectRequest", "ConnectRequest");
    QPushButton* disconnectButton =
        AddButton(page, "CommandDisconnectRequest", "DisconnectRequest");
    QPushButton* read = AddButton(page, "ReadData", "Read Data");
    QPushButton* write = AddButton(page, "WriteData", "Write Data");
    QPushButton* cyclic = AddButton(page, "ReadCyclic", "Read Cyclic Data");
    QPushButton* stopCyclic = AddButton(page, "CmdAbortCyclicRecord", "Abort cyclic record");
    QPushButton* abort = AddButton(page, "CommandAbort", "Abort");
    QPushButton* busCategory = AddButton(page, "CommandBusCategory", "Bus Category");
    auto* buttons = new QGridLayout;
    buttons->addWidget(connectButton, 0, 0);
    buttons->addWidget(disconnectButton, 0, 1);
    buttons->addWidget(read, 1, 0);
    buttons->addWidget(write, 1, 1);
    buttons->addWidget(cyclic, 2, 0);
    buttons->addWidget(stopCyclic, 2, 1);
    buttons->addWidget(abort, 3, 0);
    buttons->addWidget(busCategory, 3, 1);

    lastResponse_ = new QLineEdit(page);
    lastResponse_->setObjectName("LastResponse");
    lastResponse_->setReadOnly(true);
    auto* answer = new QFormLayout;
    QLabel* answerLabel = AddLabel(page, "LabelLastResponse");
    answerLabel->setText("Last response");
    answerLabel->setBuddy(lastResponse_);
    answer->addRow(answerLabel, lastResponse_);

    auto* top = new QHBoxLayout;
    top->addLayout(fields, 1);
    top->addSpacing(24);
    top->addLayout(buttons, 1);
    auto* column = new QVBoxLayout(page);
    column->addLayout(top);
    column->addLayout(answer);
    column->addStretch(1);

    // The keyboard order service engineers (and the window check) rely on.
    page->setFocusProxy(objectNumber_);
    QWidget* order[] = {
        objectNumber_, subNumber_, data_,      recordTime_, connectButton, disconnectButton, read,
        write,         cyclic,     stopCyclic, abort,       busCategory,   lastResponse_};
    for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);

    const auto on = [page](QPushButton* b, auto handler) {
        QObject::connect(b, &QPushButton::clicked, page, handler);
    };
    on(connectButton,
       [this] { Handler("ctlTest-CommandConnectRequest", [&] { ConnectClick(); }); });
    on(disconnectButton,
       [this] { Handler("ctlTest-CommandDisconnectRequest", [&] { DisconnectClick(); }); });
    on(abort, [this] { Handler("ctlTest-CommandAbort", [&] { AbortClick(); }); });
    on(busCategory, [this] { Handler("ctlTest-CommandBusCategory", [&] { BusCategoryClick(); }); });
    on(read, [this] { Handler("ctlTest-ReadData", [&] { ReadClick(); }); });
    on(write, [this] { Handler("ctlTest-WriteData", [&] { WriteClick(); }); });
    on(cyclic, [this] { Handler("ctlTest-ReadCyclic", [&] { ReadCyclicClick(); }); });
    on(stopCyclic,
       [this] { Handler("ctlTest-CmdAbortCyclicRecord", [&] { AbortCyclicClick(); }); });

    for (NumberField* f : {objectNumber_, subNumber_}) {
        // An emptied number reads 0, as the field then shows.
        QObject::connect(f, &QLineEdit::textChanged, page, [f](const QString& text) {
            if (text.isEmpty()) f->setText("0");
        });
    }
    for (QLineEdit* f :
         {static_cast<QLineEdit*>(objectNumber_), static_cast<QLineEdit*>(subNumber_), data_,
          static_cast<QLineEdit*>(recordTime_)})
        QObject::connect(f, &QLineEdit::textChanged, page, [this, f] { Recheck(f); });
}

com::HRESULT CtlTest::createInstance(const com::Guid& iid, void** out) noexcept {
    return ComObjectImpl::createInstance(iid, out);
}

com::HRESULT CreateCtlTest(const com::Guid& iid, void** out) noexcept {
    return CtlTest::createInstance(iid, out);
}

void CtlTest::OnInit() {
    Register();
}

com::HRESULT CtlTest::UpdateLanguage() {
    return com::S_OK;
}

com::HRESULT CtlTest::PrepareToRelease(com::VARIANT_BOOL* result) {
    Handler("ctlTest-PrepareToRelease", [&] {
        DTMMain* dtm = core_.DtmObject();
        if (!dtm || !dtm->ComClsPointer().CallbackInterface) return;
        com::ComPtr<com::IUnknown> mine, holder;
        QueryInterface(com::IUnknown::iid, mine.putVoid());
        dtm->ComClsPointer().CallbackInterface->QueryInterface(com::IUnknown::iid,
                                                               holder.putVoid());
        if (mine.get() != holder.get()) return;
        auto communication = Communication();
        if (!communication) return;
        // Waiting requests and a running record would hold the disconnect back.
        const std::string reference = CommunicationReference();
        communication->Abort(BuildDocument(0, reference, nullptr));
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        communication->DisconnectRequest(com::Guid::create().toString(),
                                         BuildDocument(2, reference, nullptr), &ok);
    });
    return Control::PrepareToRelease(result);
}

// ---- fields ----

std::optional<std::int32_t> CtlTest::ParseNumber(const QString& text, std::int32_t low,
                                                 std::int32_t high) {
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || text.isEmpty() || value < low || value > high) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

QString CtlTest::Problem(const QLineEdit* field) const {
    const QString text = field->text();
    if (field == objectNumber_)
        return ParseNumber(text, 0, 65535) ? QString() : "Object number: 0 to 65535";
    if (field == subNumber_) return ParseNumber(text, 0, 255) ? QString() : "Sub number: 0 to 255";
    if (field == recordTime_)
        return ParseNumber(text, 1, 65535) ? QString() : "Record time: 1 to 65535 s";
    if (field == data_ && (text.size() % 2 != 0 || text.size() > 2 * kMaxDataBytes))
        return "Data: an even number of hex digits, at most 128 bytes";
    return {};
}

void CtlTest::Mark(QLineEdit* field, const QString& why) {
    field->setToolTip(why);
    field->setStyleSheet("QLineEdit { border: 2px solid red; }");
}

void CtlTest::Unmark(QLineEdit* field) {
    field->setToolTip(field == recordTime_ ? "Length of a cyclic record, 1–65535 s" : QString());
    field->setStyleSheet({});
}

bool CtlTest::Sendable(std::initializer_list<QLineEdit*> fields) {
    bool all = true;
    for (QLineEdit* f : fields) {
        const QString why = Problem(f);
        if (why.isEmpty()) continue;
        Mark(f, why);
        all = false;
    }
    return all;
}

void CtlTest::Recheck(QLineEdit* field) {
    // Only a field that refused a request says why; it clears once it would be sent.
    if (field->styleSheet().isEmpty()) return;
    const QString why = Problem(field);
    if (why.isEmpty())
        Unmark(field);
    else
        Mark(field, why);
}

// ---- requests ----

com::ComPtr<fdt::IFdtCommunication> CtlTest::Communication() const {
    com::ComPtr<fdt::IFdtCommunication> communication;
    if (_DTMMain* dtm = core_.Dtm())
        dtm->QueryInterface(fdt::IFdtCommunication::iid, communication.putVoid());
    return communication;
}

std::string CtlTest::CommunicationReference() const {
    DTMMain* dtm = core_.DtmObject();
    return dtm ? dtm->ComClsPointer().communicationReference : std::string();
}

std::filesystem::path CtlTest::CyclicFile() {
    return ApplicationDirectory() / "CyclicData" / "Data.csv";
}

void CtlTest::ConnectClick() {
    auto communication = Communication();
    if (!communication) return;
    // The DTM records the id as the connection's own only when it accepts: a refused second
    // connect must leave the live connection's id alone.
    const std::string invokeId = com::Guid::create().toString();
    const std::string document = BuildDocument(1, {}, nullptr, std::string(kCNumber));
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    communication->ConnectRequest(static_cast<fdt::IFdtCommunicationEvents*>(this), invokeId,
                                  std::string(kProtocolId), document, &ok);
}

void CtlTest::DisconnectClick() {
    auto communication = Communication();
    if (!communication) return;
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    communication->DisconnectRequest(com::Guid::create().toString(),
                                     BuildDocument(2, CommunicationReference(), nullptr), &ok);
}

void CtlTest::AbortClick() {
    if (auto communication = Communication())
        communication->Abort(BuildDocument(0, CommunicationReference(), nullptr));
}

void CtlTest::BusCategoryClick() {
    std::string protocols;
    if (auto communication = Communication()) communication->GetSupportedProtocols(&protocols);
}

void CtlTest::SendTransaction(const Request& request, const std::string& RecCmd,
                              const std::string& Filename) {
    auto communication = Communication();
    if (!communication) return;
    const std::string document =
        BuildDocument(3, CommunicationReference(), &request, {}, RecCmd, Filename);
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    communication->TransactionRequest(com::Guid::create().toString(), document, &ok);
    // The driver's answers and timers, never the user's input: a second click must not run
    // inside this one.
    os::processMessages();
}

void CtlTest::ReadClick() {
    if (!Sendable({objectNumber_, subNumber_})) return;
    Request r;
    r.SubNo = static_cast<std::uint8_t>(*ParseNumber(subNumber_->text(), 0, 255));
    r.ObjectNo = *ParseNumber(objectNumber_->text(), 0, 65535);
    r.Control = 0xC0;
    SendTransaction(r);
}

void CtlTest::WriteClick() {
    if (!Sendable({objectNumber_, subNumber_, data_})) return;
    Request r;
    r.Data = data_->text().toUpper().toStdString();
    r.NoOfBytes = static_cast<std::uint8_t>(r.Data.size() / 2 + 4);
    r.SubNo = static_cast<std::uint8_t>(*ParseNumber(subNumber_->text(), 0, 255));
    r.ObjectNo = *ParseNumber(objectNumber_->text(), 0, 65535);
    r.Control = 0xC1;
    SendTransaction(r);
}

void CtlTest::ReadCyclicClick() {
    if (!Sendable({recordTime_})) return;
    // The pairs first, the record's length in seconds last, as the DTM reads them.
    Request r;
    r.NoOfBytes = 16;
    r.Data = std::string(kCyclicPairs) +
             QString("%1")
                 .arg(*ParseNumber(recordTime_->text(), 1, 65535), 4, 16, QChar('0'))
                 .toUpper()
                 .toStdString();
    SendTransaction(r, "StartRec", CyclicFile().string());
}

void CtlTest::AbortCyclicClick() {
    SendTransaction(Request{}, "StopRec");
}

// ---- documents ----

std::string CtlTest::BuildDocument(int xmlDoc, const std::string& communicationReference,
                                   const Request* request, const std::string& CNumber,
                                   const std::string& RecCmd, const std::string& Filename) const {
    DTMMain* dtm = core_.DtmObject();
    if (!dtm) throw com::ComError(com::E_FAIL, "the page has no DTM");
    const XMLHelp& help = dtm->XMLHelpPointer();
    std::unique_ptr<xml::Document> doc;
    switch (xmlDoc) {
        case 0:
            doc = help.LoadTemplate("TIVAbort.xml");
            SelectOrRaise(*doc, "FDT/Abort")
                .setAttribute("CommunicationReference", communicationReference);
            break;
        case 1: {
            doc = help.LoadTemplate("TIVConnectRequest.xml");
            SelectOrRaise(*doc, "FDT/ConnectRequest").setAttribute("fdt:tag", kDeviceTag);
            if (!CNumber.empty())
                SelectOrRaise(*doc, "FDT/ConnectRequest/DeviceInformation")
                    .setAttribute("CNumber", CNumber);
            break;
        }
        case 2:
            doc = help.LoadTemplate("TIVDisconnectRequest.xml");
            SelectOrRaise(*doc, "FDT/DisconnectRequest")
                .setAttribute("CommunicationReference", communicationReference);
            break;
        case 3: {
            if (!request) throw com::ComError(com::E_INVALIDARG, "no data-exchange record");
            doc = help.LoadTemplate("TIVDataExchangeRequest.xml");
            xml::Node exchange = SelectOrRaise(*doc, "FDT/DataExchangeRequest");
            exchange.setAttribute("CommunicationReference", communicationReference);
            exchange.setAttribute("Control", std::to_string(request->Control));
            if (!Filename.empty()) exchange.setAttribute("FilePath", Filename);
            if (!RecCmd.empty()) exchange.setAttribute("SpecialFunction", RecCmd);
            xml::Node header = SelectOrRaise(*doc, "FDT/DataExchangeRequest/CommunicationHeader");
            header.setAttribute("MessageType", std::to_string(request->MessageType));
            header.setAttribute("ObjectType", std::to_string(request->ObjectType));
            header.setAttribute("NoOfBytes", std::to_string(request->NoOfBytes));
            header.setAttribute("SubNo", std::to_string(request->SubNo));
            header.setAttribute("ObjectNo", std::to_string(request->ObjectNo));
            if (request->NoOfBytes > 4) header.setAttribute("CommunicationData", request->Data);
            break;
        }
        default:
            return {};
    }
    return doc->xml();
}

com::HRESULT CtlTest::GetXMLDocument(std::int16_t* XML_Doc,
                                     const com::Variant& communicationReference,
                                     const com::Variant& CommunicationData,
                                     const com::Variant& control, const com::Variant& CNumber,
                                     const com::Variant& RecCmd, const com::Variant& Filename,
                                     std::string* result) {
    if (!XML_Doc || !result) return com::E_POINTER;
    result->clear();
    try {
        std::optional<Request> request;
        if (*XML_Doc == 3) {
            request = RecordOf(CommunicationData);
            if (!control.isMissing()) {
                const auto c = control.toInt64();
                if (!c || *c < 0 || *c > 255)
                    throw com::ComError(com::E_INVALIDARG, "control: not in 0..255");
                request->Control = static_cast<std::uint8_t>(*c);
            }
        }
        *result = BuildDocument(*XML_Doc, OptionalText(communicationReference),
                                request ? &*request : nullptr, OptionalText(CNumber),
                                OptionalText(RecCmd), OptionalText(Filename));
        return com::S_OK;
    } catch (...) {
        return com::reportCurrentException(fdt::IID_ITestView, {});
    }
}

// ---- answers ----

void CtlTest::ShowAnswer(const char* callback, const std::string& response) {
    QString line = QString(callback) + ":";
    xml::Document doc;
    doc.validateOnParse = false;
    if (!doc.loadXML(response)) {
        line += " unreadable answer";
    } else {
        const auto add = [&](const xml::Node& node, const char* attribute, const char* shown) {
            if (!node) return;
            if (auto v = node.getAttribute(attribute))
                line += QString(" %1=%2").arg(shown, QString::fromStdString(*v));
        };
        if (xml::Node error = doc.selectSingleNode("FDT/TivCommError")) {
            add(error, "TivcommError", "error");
        } else if (xml::Node exchange = doc.selectSingleNode("FDT/DataExchangeResponse")) {
            add(exchange, "Status", "Status");
            add(exchange, "SpecialFunction", "SpecialFunction");
            add(exchange, "RecordState", "RecordState");
            const xml::Node header =
                doc.selectSingleNode("FDT/DataExchangeResponse/CommunicationHeader");
            add(header, "ObjectNo", "ObjectNo");
            add(header, "SubNo", "SubNo");
            add(header, "NoOfBytes", "NoOfBytes");
            add(header, "CommunicationData", "Data");
        } else {
            for (const char* path : {"FDT/ConnectResponse", "FDT/DisconnectResponse"})
                add(doc.selectSingleNode(path), "CommunicationReference", "CommunicationReference");
        }
    }
    if (lastResponse_) {
        lastResponse_->setText(line);
        lastResponse_->setCursorPosition(0);
    }
}

com::HRESULT CtlTest::OnAbort(const std::string& communicationReference) {
    Handler("ctlTest-OnAbort", [&] {
        if (lastResponse_)
            lastResponse_->setText(QString("OnAbort: CommunicationReference=%1")
                                       .arg(QString::fromStdString(communicationReference)));
    });
    return com::S_OK;
}

com::HRESULT CtlTest::OnConnectResponse(const std::string&, const std::string& response) {
    Handler("ctlTest-OnConnectResponse", [&] { ShowAnswer("OnConnectResponse", response); });
    return com::S_OK;
}

com::HRESULT CtlTest::OnDisconnectResponse(const std::string&, const std::string& response) {
    Handler("ctlTest-OnDisconnectResponse", [&] { ShowAnswer("OnDisconnectResponse", response); });
    return com::S_OK;
}

com::HRESULT CtlTest::OnTransactionResponse(const std::string&, const std::string& response) {
    Handler("ctlTest-OnTransactionResponse",
            [&] { ShowAnswer("OnTransactionResponse", response); });
    return com::S_OK;
}

}  // namespace tivmate::ui
