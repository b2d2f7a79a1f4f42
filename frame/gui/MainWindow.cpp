#include "MainWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QSplitter>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <iostream>

#include "com/CoCreate.h"
#include "com/ErrorInfo.h"
#include "fdt/Persistence.h"
#include "fdt/PropertyBag.h"
#include "host/StopSignals.h"
#include "os/MessageBox.h"
#include "qt/GuiSession.h"
#include "xml/Document.h"

namespace tivframe {

namespace {

constexpr int kFunctionRole = Qt::UserRole + 1;
// The DTM tells only its pages when the adapter changes; the frame looks this often.
constexpr int kAdapterPollMs = 250;
constexpr std::string_view kDeviceTypeOpen =
    R"(<FDT xmlns="x-schema:DTMInitSchema.xml" xmlns:fdt="x-schema:FDTDataTypesSchema.xml">)";

std::string ErrorOf(com::HRESULT hr) {
    auto info = com::takeErrorInfo();
    return info && !info->description.empty() ? info->description : com::hresultText(hr);
}

template <class Itf>
com::ComPtr<Itf> As(com::IUnknown* p) {
    com::ComPtr<Itf> itf;
    if (p) p->QueryInterface(Itf::iid, itf.putVoid());
    return itf;
}

// The system's message boxes as Qt dialogs: OK/Cancel with Cancel as default and on Escape.
int QtMessageBox(const std::string& text, const std::string& caption, std::uint32_t flags) {
    QMessageBox box(QApplication::activeWindow());
    box.setText(QString::fromStdString(text));
    box.setWindowTitle(QString::fromStdString(caption));
    switch (flags & os::MB_ICONMASK) {
        case os::MB_ICONWARNING:
            box.setIcon(QMessageBox::Warning);
            break;
        case os::MB_ICONERROR:
            box.setIcon(QMessageBox::Critical);
            break;
        case os::MB_ICONQUESTION:
            box.setIcon(QMessageBox::Question);
            break;
        case os::MB_ICONINFORMATION:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            break;
    }
    if ((flags & os::MB_TYPEMASK) == os::MB_OKCANCEL) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        const bool second = (flags & os::MB_DEFMASK) == os::MB_DEFBUTTON2;
        box.setDefaultButton(second ? QMessageBox::Cancel : QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
        return box.exec() == QMessageBox::Ok ? os::IDOK : os::IDCANCEL;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return os::IDOK;
}

}  // namespace

std::vector<FunctionEntry> ParseFunctions(const std::string& document) {
    std::vector<FunctionEntry> out;
    xml::Document doc;
    doc.validateOnParse = false;
    if (!doc.loadXML(document)) return out;
    for (const xml::Node& f : doc.selectNodes("/FDT/Functions/Function")) {
        if (f.getAttribute("hasGUI").value_or("0") != "1") continue;
        const xml::Node status = f.selectSingleNode("Status");
        if (status && status.getAttribute("hidden").value_or("0") == "1") continue;
        out.push_back({f.getAttribute("functionId").value_or(""),
                       f.getAttribute("label").value_or(""),
                       f.getAttribute("fdt:name").value_or("")});
    }
    return out;
}

std::string FunctionCallDocument(const std::string& functionId) {
    return R"(<FDT xmlns="x-schema:DTMFunctionCallSchema.xml" xmlns:func="x-schema:DTMFunctionsSchema.xml"><FDTFunctionCall func:functionId=")" +
           xml::escapeText(functionId) + R"("/></FDT>)";
}

std::string FallbackProgId(const std::string& functionId) {
    static const std::pair<const char*, const char*> kPages[] = {{"10", "Tivmate.ctlOfflineParam"},
                                                                 {"20", "Tivmate.ctlDiagnosis"},
                                                                 {"30", "Tivmate.ctlMonitor"},
                                                                 {"40", "Tivmate.ctlTest"},
                                                                 {"50", "Tivmate.ctlAbout"}};
    for (const auto& [id, progId] : kPages)
        if (functionId == id) return progId;
    return {};
}

MainWindow::MainWindow(Options options) : options_(std::move(options)) {
    setObjectName("tivframe");
    resize(1000, 640);
    model_ = new QStandardItemModel(this);
    tree_ = new QTreeView;
    tree_->setObjectName("projectTree");
    tree_->setModel(model_);
    tree_->setHeaderHidden(true);
    tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(tree_, &QTreeView::activated, this, [this](const QModelIndex& index) {
        const QVariant id = index.data(kFunctionRole);
        if (id.isValid()) OpenFunction(id.toString().toStdString());
    });
    tabs_ = new QTabWidget;
    tabs_->setObjectName("pages");
    tabs_->setTabsClosable(true);
    tabs_->setDocumentMode(true);
    connect(tabs_, &QTabWidget::tabCloseRequested, this, [this](int i) { ClosePage(i); });
    connect(tabs_, &QTabWidget::currentChanged, this,
            [this](int i) { FocusPage(tabs_->widget(i)); });
    auto* split = new QSplitter;
    split->addWidget(tree_);
    split->addWidget(tabs_);
    split->setStretchFactor(1, 1);
    split->setSizes({220, 780});
    setCentralWidget(split);

    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("&New", QKeySequence::New, this, [this] { NewProject(); })
        ->setObjectName("actionNew");
    file->addAction("&Open…", QKeySequence::Open, this,
                    [this] {
                        if (const auto f = AskProjectFile(this, false)) OpenProject(*f);
                    })
        ->setObjectName("actionOpen");
    file->addAction("&Save", QKeySequence::Save, this, [this] { SaveProject(); })
        ->setObjectName("actionSave");
    file->addAction("Save &as…", QKeySequence::SaveAs, this,
                    [this] {
                        if (const auto f = AskProjectFile(this, true)) SaveProject(*f);
                    })
        ->setObjectName("actionSaveAs");
    file->addSeparator();
    // Spelled out: the standard Quit key depends on the platform theme.
    file->addAction("&Quit", QKeySequence(Qt::CTRL | Qt::Key_Q), this, [this] { close(); })
        ->setObjectName("actionQuit");
    functionsMenu_ = menuBar()->addMenu("F&unctions");
    QMenu* language = menuBar()->addMenu("&Language");
    auto* languages = new QActionGroup(this);
    for (const auto& [name, id] : {std::pair{"English", 0x0409}, std::pair{"Deutsch", 0x0407}}) {
        QAction* a = language->addAction(name, this, [this, id = id] { SetLanguage(id); });
        a->setCheckable(true);
        a->setChecked((id & 0x3FF) == (options_.language & 0x3FF));
        languages->addAction(a);
    }
    adapterState_ = new QLabel;
    adapterState_->setObjectName("adapterState");
    statusBar()->addPermanentWidget(adapterState_);
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this] { UpdateAdapterState(); });
    poll->start(kAdapterPollMs);
    SetDirty(false);
    UpdateAdapterState();
}

MainWindow::~MainWindow() {
    ReleaseProject();
}

bool MainWindow::Fail(const std::string& why) {
    error_ = why;
    statusBar()->showMessage(QString::fromStdString(why));
    std::cerr << "tivframe: " << why << "\n";
    return false;
}

void MainWindow::SetDirty(bool dirty) {
    dirty_ = dirty;
    const QString name = file_ ? QString::fromStdString(file_->filename().string()) : "new project";
    setWindowTitle(name + "[*] – tivframe");
    setWindowModified(dirty);
}

void MainWindow::Notified(const std::string& event, const std::string& detail) {
    if (event == "OnParameterChanged") {
        SetDirty(true);
    } else if (event == "OnApplicationClosed") {
        if (!releasing_.empty() && detail == releasing_) {
            if (!std::exchange(releasingReported_, true)) closed_.push_back(detail);
            return;
        }
        // A page that closes itself takes its tab with it, but not while its own code may
        // still be running under this call: the release waits for the event loop.
        for (Page& p : pages_)
            if (p.invokeId == detail && !p.reported) {
                p.reported = true;
                closed_.push_back(detail);
                QTimer::singleShot(0, this, [this, detail] {
                    for (std::size_t i = 0; i < pages_.size(); ++i)
                        if (pages_[i].invokeId == detail) return ReleasePage(i);
                });
                return;
            }
    }
}

bool MainWindow::MayPutProjectAside() {
    if (!dtm_ || !dirty_) return true;
    const std::string name = file_ ? file_->filename().string() : "new project";
    switch (AskToSave(this, name)) {
        case SaveChoice::Discard:
            return true;
        case SaveChoice::Save:
            return SaveProject();
        case SaveChoice::Cancel:
            break;
    }
    statusBar()->showMessage("The project stays open.");
    return false;
}

bool MainWindow::NewProject() {
    if (!MayPutProjectAside()) return false;
    ReleaseProject();
    file_.reset();
    return CreateDtm(std::nullopt);
}

bool MainWindow::OpenProject(const std::filesystem::path& file) {
    std::optional<Project> project;
    try {
        project = ReadProject(file);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    if (!MayPutProjectAside()) return false;
    ReleaseProject();
    file_ = file;
    if (CreateDtm(project)) return true;
    file_.reset();
    SetDirty(false);
    return false;
}

bool MainWindow::CreateDtm(const std::optional<Project>& restored) {
    const Project project = restored.value_or(Project{});
    const bool file = restored.has_value();
    tag_ = project.tag.empty() ? options_.tag : project.tag;
    com::Guid clsid;
    com::HRESULT hr = com::CLSIDFromProgID(project.progId, &clsid);
    if (com::FAILED(hr)) return Fail(project.progId + " is not registered: " + ErrorOf(hr));
    hr = com::CoCreateInstance(clsid, tivmate::IID__DTMMain, dtm_.putVoid());
    if (com::FAILED(hr)) return Fail("the DTM cannot be created: " + ErrorOf(hr));
    frame_ = FrameHost::create(
        options_.schemas.string(),
        [this](const std::string& event, const std::string& detail) { Notified(event, detail); });
    auto persist = As<fdt::IPersistPropertyBag>(dtm_.get());
    auto dtm = As<fdt::IDtm>(dtm_.get());
    auto info = As<fdt::IDtmInformation>(dtm_.get());
    if (!persist || !dtm || !info) return Fail("the DTM lacks the frame's interfaces");
    if (file) {
        auto log = fdt::ErrorLog::create();
        hr = persist->Load(project.bag.get(), log.get());
    } else {
        hr = persist->InitNew();
    }
    if (com::FAILED(hr)) return Fail("the project's parameters: " + ErrorOf(hr));
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (com::FAILED(dtm->Environment(tag_, static_cast<fdt::IFdtContainer*>(frame_.get()), &ok)) ||
        !ok)
        return Fail("the DTM refused its environment");
    std::string information;
    info->GetInformation(&information);
    const auto begin = information.find("<fdt:DtmDeviceType");
    const auto endTag = std::string_view("</fdt:DtmDeviceType>");
    const auto end = information.find(endTag);
    if (begin == std::string::npos || end == std::string::npos)
        return Fail("the DTM's information names no device type");
    const std::string deviceType = std::string(kDeviceTypeOpen) +
                                   information.substr(begin, end + endTag.size() - begin) +
                                   "</FDT>";
    if (com::FAILED(dtm->InitNew(deviceType, &ok)) || !ok)
        return Fail("the DTM refused the device type");
    dtm->SetLanguage(options_.language, &ok);
    const std::string user =
        R"(<FDT xmlns="x-schema:FDTUserInformationSchema.xml"><FDTUserInformation projectName="tivframe" userName="tivframe" userLevel=")" +
        options_.userLevel + R"("/></FDT>)";
    dtm->Config(user, &ok);
    dtm->SetCommunication(nullptr, &ok);
    Refresh();
    SetDirty(false);
    UpdateAdapterState();
    return true;
}

void MainWindow::UpdateAdapterState() {
    if (!dtm_) {
        adapterState_->setText("No project");
        return;
    }
    const auto flag = [](com::HRESULT hr, const com::Variant& v) {
        return com::SUCCEEDED(hr) && v.toInt64().value_or(0) != 0;
    };
    com::Variant v;
    const bool present = flag(dtm_->get_TIVAdapterPresent(&v), v);
    const bool firmware = flag(dtm_->get_TIVAdapterFirmwareLoaded(&v), v);
    const bool bus = flag(dtm_->get_TIVBusConnected(&v), v);
    std::string info;
    if (com::FAILED(dtm_->get_USBSWInfo(&info))) info.clear();
    com::clearErrorInfo();
    QString text = !present    ? "Adapter: not connected"
                   : !firmware ? "Adapter: present, firmware not running"
                   : !bus      ? "Adapter: ready, bus inactive"
                               : "Adapter: bus active";
    if (!info.empty()) text += " – " + QString::fromStdString(info);
    if (adapterState_->text() != text) adapterState_->setText(text);
}

void MainWindow::Refresh() {
    model_->clear();
    functionsMenu_->clear();
    functions_.clear();
    if (!dtm_) return;
    if (auto dtm = As<fdt::IDtm>(dtm_.get())) {
        std::string doc;
        if (com::SUCCEEDED(dtm->GetFunctions("", &doc))) functions_ = ParseFunctions(doc);
    }
    auto* root = new QStandardItem(QString::fromStdString(tag_));
    model_->appendRow(root);
    auto* channel = new QStandardItem("TIVChannel1");
    root->appendRow(channel);
    for (const FunctionEntry& f : functions_) {
        auto* item = new QStandardItem(QString::fromStdString(f.label));
        item->setData(QString::fromStdString(f.id), kFunctionRole);
        root->appendRow(item);
        functionsMenu_->addAction(QString::fromStdString(f.label), this,
                                  [this, id = f.id] { OpenFunction(id); });
        for (std::size_t i = 0; i < pages_.size(); ++i)
            if (pages_[i].functionId == f.id && pages_[i].widget)
                tabs_->setTabText(tabs_->indexOf(pages_[i].widget),
                                  QString::fromStdString(f.label));
    }
    tree_->expandAll();
}

std::string MainWindow::ProgIdFor(const std::string& functionId) {
    std::string progId;
    if (auto activeX = As<fdt::IDtmActiveXInformation>(dtm_.get()))
        if (com::FAILED(activeX->GetActiveXProgId(FunctionCallDocument(functionId), &progId)))
            progId.clear();
    com::clearErrorInfo();
    return progId.empty() ? FallbackProgId(functionId) : progId;
}

bool MainWindow::OpenFunction(const std::string& functionIdOrName) {
    if (!dtm_) return Fail("no project is open");
    const FunctionEntry* f = nullptr;
    for (const FunctionEntry& e : functions_)
        if (e.id == functionIdOrName || e.name == functionIdOrName) f = &e;
    if (!f) return Fail("the DTM offers no function \"" + functionIdOrName + "\"");
    for (const Page& p : pages_)
        if (p.functionId == f->id && p.widget) {
            tabs_->setCurrentWidget(p.widget);
            FocusPage(p.widget);
            return true;
        }
    const std::string progId = ProgIdFor(f->id);
    com::Guid clsid;
    com::HRESULT hr = com::CLSIDFromProgID(progId, &clsid);
    if (com::FAILED(hr))
        return Fail("the page " + progId + " of \"" + f->label + "\" is not available");
    Page page;
    page.functionId = f->id;
    hr = com::CoCreateInstance(clsid, fdt::IDtmActiveXControl::iid, page.control.putVoid());
    if (com::FAILED(hr))
        return Fail("the page " + progId + " of \"" + f->label +
                    "\" cannot be created: " + ErrorOf(hr));
    auto widget = As<fdt::IActiveXWidget>(page.control.get());
    if (!widget || !widget->Widget()) return Fail(progId + " has no page to show");
    page.invokeId = com::Guid::create().toString();
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    hr = page.control->Init(page.invokeId, FunctionCallDocument(f->id),
                            static_cast<com::IDispatch*>(dtm_.get()), &ok);
    if (com::FAILED(hr) || !ok) {
        page.control->PrepareToRelease(&ok);
        return Fail(progId + " refused to start");
    }
    page.widget = widget->Widget();
    QWidget* shown = page.widget;
    pages_.push_back(std::move(page));
    tabs_->setCurrentIndex(tabs_->addTab(shown, QString::fromStdString(f->label)));
    FocusPage(shown);
    return true;
}

void MainWindow::FocusPage(QWidget* page) {
    // The pages hand the focus on to their first field themselves. A page the loop has not
    // shown yet takes no focus, so once more when it has.
    if (!page) return;
    page->setFocus();
    QTimer::singleShot(0, page, [page] { page->setFocus(); });
}

std::string MainWindow::InvokeIdOf(int tab) const {
    QWidget* w = tabs_->widget(tab);
    for (const Page& p : pages_)
        if (w && p.widget == w) return p.invokeId;
    return {};
}

void MainWindow::ClosePage(int tab) {
    QWidget* w = tabs_->widget(tab);
    for (std::size_t i = 0; i < pages_.size(); ++i)
        if (pages_[i].widget == w) return ReleasePage(i);
}

void MainWindow::ReleasePage(std::size_t index) {
    Page page = std::move(pages_[index]);
    pages_.erase(pages_.begin() + static_cast<std::ptrdiff_t>(index));
    releasing_ = page.invokeId;
    releasingReported_ = page.reported;
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    page.control->PrepareToRelease(&ok);
    releasing_.clear();
    // The page belongs to the control: out of the window, then the control's last Release.
    if (page.widget) {
        tabs_->removeTab(tabs_->indexOf(page.widget));
        page.widget->setParent(nullptr);
    }
    page.control.reset();
}

bool MainWindow::SetLanguage(std::int32_t languageId) {
    options_.language = languageId;
    auto dtm = As<fdt::IDtm>(dtm_.get());
    if (!dtm) return true;
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (com::FAILED(dtm->SetLanguage(languageId, &ok)) || !ok)
        return Fail("the DTM refused language " + std::to_string(languageId));
    Refresh();
    return true;
}

bool MainWindow::SaveProject() {
    if (file_) return SaveProject(*file_);
    const auto file = AskProjectFile(this, true);
    if (!file) {
        statusBar()->showMessage("Not saved.");
        return false;
    }
    return SaveProject(*file);
}

bool MainWindow::SaveProject(const std::filesystem::path& file) {
    auto persist = As<fdt::IPersistPropertyBag>(dtm_.get());
    if (!persist) return Fail("no project is open");
    Project project;
    project.tag = tag_;
    const com::HRESULT hr = persist->Save(project.bag.get(), true, true);
    if (com::FAILED(hr)) return Fail("the DTM's parameters: " + ErrorOf(hr));
    try {
        WriteProject(file, project);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    file_ = file;
    SetDirty(false);
    return true;
}

void MainWindow::ReleaseProject() {
    while (!pages_.empty()) ReleasePage(pages_.size() - 1);
    if (auto dtm = As<fdt::IDtm>(dtm_.get())) {
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        dtm->PrepareToRelease(&ok);
    }
    dtm_.reset();
    if (frame_) frame_->Detach();
    frame_.reset();
    functions_.clear();
    model_->clear();
    functionsMenu_->clear();
    SetDirty(false);
    UpdateAdapterState();
}

void MainWindow::DiscardProject(const std::string& why) {
    if (dtm_ && dirty_) std::cerr << "tivframe: " << why << ": unsaved changes discarded\n";
    ReleaseProject();
}

void MainWindow::closeEvent(QCloseEvent* e) {
    if (!MayPutProjectAside()) {
        e->ignore();
        return;
    }
    ReleaseProject();
    e->accept();
}

namespace {

// Keeps the screen as it is when the window is about to close.
class CloseGrabber : public QObject {
public:
    QPixmap shot;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::Close) shot = Grab(static_cast<QWidget*>(watched));
        return false;
    }

public:
    static QPixmap Grab(QWidget* window) {
        // The screen where the window lies shows what the user saw, open menus and dialogs
        // over it included; a platform without a screen to grab gets the window alone.
        QPixmap screen;
        if (QScreen* s = QGuiApplication::primaryScreen()) {
            const QRect g = window->frameGeometry();
            screen = s->grabWindow(0, g.x(), g.y(), g.width(), g.height());
        }
        return screen.isNull() ? window->grab() : screen;
    }
};

}  // namespace

int RunGui(const Options& options, const std::vector<std::string>& open, double seconds,
           const std::filesystem::path& screenshot) {
    std::string error;
    auto session = qtos::GuiSession::Start("tivframe", error);
    if (!session) {
        std::cerr << "tivframe: " << error << "\n";
        return 1;
    }
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    os::ScopedMessageBoxHandler boxes(QtMessageBox);
    int code = 0;
    {
        MainWindow window(options);
        CloseGrabber grabber;
        if (!screenshot.empty()) window.installEventFilter(&grabber);
        window.show();
        if (!window.NewProject()) return 1;
        for (const std::string& f : open)
            if (window.OpenFunction(f))
                std::cout << "opened " << f << std::endl;
            else
                code = 1;
        const auto end = session->Run(host::Nominal(seconds), [] { return host::Interrupted(); });
        if (!screenshot.empty()) {
            if (grabber.shot.isNull()) grabber.shot = CloseGrabber::Grab(&window);
            if (!grabber.shot.save(QString::fromStdString(screenshot.string()), "PNG")) {
                std::cerr << "tivframe: the screenshot cannot be written to " << screenshot << "\n";
                code = 1;
            }
        }
        // Pages before the DTM, the DTM before the application; no one is there to answer.
        window.DiscardProject(end == qtos::GuiSession::End::TimeUp    ? "time is up"
                              : end == qtos::GuiSession::End::Stopped ? "stopped by a signal"
                                                                      : "window closed");
    }
    return code;
}

}  // namespace tivframe
