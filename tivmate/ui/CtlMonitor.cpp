#include "ui/CtlMonitor.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QSaveFile>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextDocument>
#include <functional>

#include "core/Trace.h"
#include "os/MessageBox.h"
#include "ui/ColorRef.h"
#include "ui/PageParts.h"
#include "ui/SaveDialog.h"

namespace tivmate::ui {

namespace {

// Calls `f` for every event of the watched object; true swallows the event.
class EventHook : public QObject {
public:
    EventHook(QObject* watched, std::function<bool(QEvent*)> f)
        : QObject(watched), f_(std::move(f)) {
        watched->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* e) override { return f_(e); }

private:
    std::function<bool(QEvent*)> f_;
};

QPushButton* AddButton(QWidget* parent, const char* name) {
    auto* b = new QPushButton(parent);
    b->setObjectName(name);
    return b;
}

const QColor kSaveUp(230, 241, 250);
const QColor kSaveDown(75, 115, 188);
constexpr int kFlushMs = 15;  // lines arriving within about a frame are drawn together

}  // namespace

CtlMonitor::CtlMonitor() : Control("ctlMonitor_", &_DTMMain::putref_CtlMonitorPointer) {
    QWidget* page = core_.Page();
    page->setObjectName("ctlMonitor");
    QHBoxLayout* top = AddTitleRow(page, &headline_);

    auto* back = AddPanel(page, "MonitorBack");
    box_ = new QPlainTextEdit(back);
    box_->setObjectName("RichTextBoxComm");
    box_->setReadOnly(true);
    box_->setUndoRedoEnabled(false);
    box_->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont mono("Courier New");
    mono.setStyleHint(QFont::TypeWriter);
    box_->setFont(mono);
    box_->setTabStopDistance(QFontMetricsF(mono).horizontalAdvance(' ') * 8);
    // Blue, green and red lines stay readable under a dark theme.
    QPalette p = box_->palette();
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::Text, Qt::black);
    box_->setPalette(p);
    (new QVBoxLayout(back))->addWidget(box_);

    auto* settings = AddPanel(page, "MonitorSettings");
    protocols_ = new QCheckBox(settings);
    protocols_->setObjectName("chkAsyncTIVProtocols");
    interface_ = new QCheckBox(settings);
    interface_->setObjectName("chkFDTInterface");
    find_ = new QLineEdit(settings);
    find_->setObjectName("txtFind");
    find_->setClearButtonEnabled(true);
    save_ = AddButton(settings, "btnSave");
    save_->setAutoFillBackground(true);
    PaintSave(false);
    clear_ = AddButton(settings, "btnClear");
    copy_ = AddButton(settings, "btnCopy");
    pause_ = AddButton(settings, "btnPause");
    pause_->setCheckable(true);
    auto* row = new QHBoxLayout(settings);
    row->addWidget(protocols_);
    row->addWidget(interface_);
    row->addStretch(1);
    row->addWidget(find_);
    row->addWidget(pause_);
    row->addWidget(copy_);
    row->addWidget(clear_);
    row->addWidget(save_);

    auto* column = new QVBoxLayout(page);
    column->addLayout(top);
    column->addWidget(back, 1);
    column->addWidget(settings);

    flush_ = new QTimer(page);
    flush_->setSingleShot(true);
    flush_->setInterval(kFlushMs);
    QObject::connect(flush_, &QTimer::timeout, page, [this] {
        if (!pause_->isChecked()) Flush();
    });

    QObject::connect(protocols_, &QCheckBox::clicked, page, [this](bool on) {
        FilterClick(on, "PersistentProtocolFilter", &_DTMMain::get_PersistentProtocolFilter,
                    &_DTMMain::put_PersistentProtocolFilter);
    });
    QObject::connect(interface_, &QCheckBox::clicked, page, [this](bool on) {
        FilterClick(on, "PersistentInterfaceFilter", &_DTMMain::get_PersistentInterfaceFilter,
                    &_DTMMain::put_PersistentInterfaceFilter);
    });
    QObject::connect(save_, &QPushButton::clicked, page, [this] { Save(); });
    QObject::connect(clear_, &QPushButton::clicked, page, [this] { Clear(); });
    QObject::connect(copy_, &QPushButton::clicked, page, [this] { CopyLines(); });
    QObject::connect(pause_, &QPushButton::toggled, page, [this](bool paused) {
        if (!paused) Flush();
    });
    QObject::connect(find_, &QLineEdit::returnPressed, page,
                     [this] { Find(QGuiApplication::keyboardModifiers() & Qt::ShiftModifier); });

    // The keys users of monitors reach for; they act while focus is anywhere on the page.
    const auto shortcut = [page](QKeySequence keys, std::function<void()> f) {
        auto* s = new QShortcut(keys, page);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        QObject::connect(s, &QShortcut::activated, page, std::move(f));
    };
    shortcut(QKeySequence::Save, [this] { Save(); });
    shortcut(QKeySequence::Find, [this] {
        find_->setFocus();
        find_->selectAll();
    });
    shortcut(QKeySequence::FindNext, [this] { Find(false); });
    shortcut(QKeySequence::FindPrevious, [this] { Find(true); });

    new EventHook(save_, [this](QEvent* e) {
        const auto* key = e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease
                              ? static_cast<QKeyEvent*>(e)
                              : nullptr;
        const auto* mouse =
            e->type() == QEvent::MouseButtonPress || e->type() == QEvent::MouseButtonRelease
                ? static_cast<QMouseEvent*>(e)
                : nullptr;
        if (key && key->key() == Qt::Key_Space && !key->isAutoRepeat())
            PaintSave(e->type() == QEvent::KeyPress);
        if (mouse && mouse->button() == Qt::LeftButton)
            PaintSave(e->type() == QEvent::MouseButtonPress);
        return false;
    });
    new EventHook(page, [this](QEvent* e) {
        if (e->type() == QEvent::Resize && core_.Dtm()) Layout();
        return false;
    });
}

com::HRESULT CtlMonitor::createInstance(const com::Guid& iid, void** out) noexcept {
    return ComObjectImpl::createInstance(iid, out);
}

com::HRESULT CreateCtlMonitor(const com::Guid& iid, void** out) noexcept {
    return CtlMonitor::createInstance(iid, out);
}

void CtlMonitor::OnInit() {
    _DTMMain* dtm = core_.Dtm();
    com::VARIANT_BOOL on = com::VARIANT_FALSE;
    dtm->get_PersistentInterfaceFilter(&on);
    interface_->setChecked(on != com::VARIANT_FALSE);
    on = com::VARIANT_FALSE;
    dtm->get_PersistentProtocolFilter(&on);
    protocols_->setChecked(on != com::VARIANT_FALSE);
    Register();
    Layout();
    UpdateLanguage();
    maxLength_ = kMaxLength;
}

void CtlMonitor::Layout() {
    // The layouts fit the children; the trace marks each fitting as the page always has.
    WriteTrace("ctlMonitor-InitScreen", "entry");
    WriteTrace("ctlMonitor-InitScreen", "exit");
}

com::HRESULT CtlMonitor::UpdateLanguage() {
    Handler("ctlMonitor-UpdateLanguage", [&] {
        if (!core_.Dtm() || !core_.Page()) return;
        core_.Translate();
        find_->setPlaceholderText(QString::fromStdString(core_.Text("str_MonitorFind")));
        headline_->SetTitle(QString::fromStdString(core_.Text("str_TIVDriver")));
    });
    return com::S_OK;
}

com::HRESULT CtlMonitor::MessageLine(const std::string& Line, std::int32_t LineColor) {
    if (!core_.Page()) return com::S_OK;
    pending_.push_back({QString::fromStdString(Line), LineColor});
    if (!pause_->isChecked() && !flush_->isActive()) flush_->start();
    return com::S_OK;
}

void CtlMonitor::Flush() {
    flush_->stop();
    if (pending_.empty() || !core_.Page()) return;
    QScrollBar* bar = box_->verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    QTextCursor cursor(box_->document());
    cursor.beginEditBlock();
    for (const Pending& line : pending_) Append(line);
    cursor.endEditBlock();
    pending_.clear();
    if (follow) bar->setValue(bar->maximum());
}

void CtlMonitor::Append(const Pending& line) {
    if (length_ > maxLength_ - 1000) Trim();
    QString text = line.text;
    text.replace("\r\n", "\n");
    // A private cursor: the user's selection and view stay where they are.
    QTextCursor cursor(box_->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(FromColorRef(static_cast<std::uint32_t>(line.color)));
    cursor.insertText("\n" + text, format);
    length_ += 2 + text.size() + text.count('\n');
}

void CtlMonitor::Trim() {
    QTextDocument* doc = box_->document();
    const int breaks = doc->blockCount() - 1;
    int end = 0;
    std::int64_t removed = 0;
    if (breaks >= kTrimLines) {
        end = doc->findBlockByNumber(kTrimLines).position();
        removed = end + kTrimLines;  // a position counts a break once, the length twice
    } else if (breaks > 0) {
        // Fewer breaks than a trim takes: everything up to the last one goes.
        end = doc->lastBlock().position();
        removed = end + breaks;
    } else {
        end = doc->characterCount() - 1;
        removed = end;
    }
    QTextCursor cursor(doc);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    length_ -= removed;
}

QByteArray CtlMonitor::SaveText() const {
    QString text = box_->document()->toPlainText();
    text.replace(QChar::ParagraphSeparator, '\n');
    text.replace("\n", "\r\n");
    return (text + "\r\n").toUtf8();
}

void CtlMonitor::Save() {
    Handler("ctlMonitor-btnSave", [&] {
        Flush();
        const auto file = GetSaveFileName(core_.Page());
        if (!file) return;
        // Through a temporary file: a failed write leaves the old file whole.
        QSaveFile out(QString::fromStdString(file->string()));
        const QByteArray bytes = SaveText();
        // Unbuffered: a short write (disk full) shows here; a buffered one could be lost in
        // the flush at commit, which then still renames a truncated file over the old one.
        const bool saved = out.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                           out.write(bytes) == bytes.size() && out.commit();
        if (saved) return;
        std::string text = core_.Text("err_MonitorSaveFailed");
        if (text.empty()) text = "The monitor lines could not be saved:";
        os::MessageBox(text + " " + file->string() + "\n" + out.errorString().toStdString(),
                       core_.Text("str_FunctionMonitor"), 0x30);
    });
}

void CtlMonitor::Clear() {
    pending_.clear();
    box_->clear();
    length_ = 0;
}

void CtlMonitor::CopyLines() {
    const QTextCursor selection = box_->textCursor();
    QTextDocument* doc = box_->document();
    QTextBlock block = doc->findBlock(selection.selectionStart());
    const QTextBlock last = doc->findBlock(selection.selectionEnd());
    QStringList lines;
    for (; block.isValid(); block = block.next()) {
        lines << block.text();
        if (block == last) break;
    }
    QGuiApplication::clipboard()->setText(lines.join("\r\n"));
}

void CtlMonitor::Find(bool backward) {
    const QString text = find_->text();
    if (text.isEmpty()) return;
    const QTextDocument::FindFlags flags =
        backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    if (box_->find(text, flags)) return;
    // Wrap around once.
    QTextCursor from(box_->document());
    if (backward) from.movePosition(QTextCursor::End);
    box_->setTextCursor(from);
    box_->find(text, flags);
}

void CtlMonitor::FilterClick(bool checked, const char* name,
                             com::HRESULT (_DTMMain::*get)(com::VARIANT_BOOL*),
                             com::HRESULT (_DTMMain::*put)(com::VARIANT_BOOL)) {
    Handler("ctlMonitor-Filter", [&] {
        _DTMMain* dtm = core_.Dtm();
        if (!dtm) return;
        com::VARIANT_BOOL stored = com::VARIANT_FALSE;
        com::throwIfFailed((dtm->*get)(&stored));
        if (checked == (stored != com::VARIANT_FALSE)) return;
        com::throwIfFailed((dtm->*put)(checked ? com::VARIANT_TRUE : com::VARIANT_FALSE));
        dtm->PersistentParamChanged(name, checked ? "True" : "False");
    });
}

void CtlMonitor::PaintSave(bool down) {
    QPalette p = save_->palette();
    p.setColor(QPalette::Button, down ? kSaveDown : kSaveUp);
    save_->setPalette(p);
}

}  // namespace tivmate::ui
