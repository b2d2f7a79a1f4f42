#include "tivlink/automation/QtDebugWindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>

namespace tivlink {

namespace {

const QColor kLampGreen(0, 200, 0);
const QColor kLampRed(255, 0, 0);

QIcon TrayPicture() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(Qt::black);
    painter.setBrush(QColor(0, 90, 170));
    painter.drawRect(1, 1, 13, 13);
    painter.setPen(Qt::white);
    painter.drawText(QRect(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("T"));
    return QIcon(pixmap);
}

}  // namespace

QtDebugWindow::QtDebugWindow(TForm1& form)
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint), form_(&form) {
    setObjectName(QStringLiteral("TForm1"));
    setWindowTitle(QString::fromUtf8(TForm1::kCaption));
    setFixedSize(kClientWidth, kClientHeight);
    move(kLeft, kTop);

    AddLabel("Label4", QStringLiteral("USB-Telegramme:"), 8, 8, 110);
    label2_ = AddLabel("Label2", QString(), 120, 8, 120);
    AddLabel("Label3", QStringLiteral("Puffer:"), 8, 28, 110);
    label1_ = AddLabel("Label1", QString(), 120, 28, 120);
    AddLabel("Label7", QStringLiteral("Timer:"), 8, 48, 110);
    label8_ = AddLabel("Label8", QString(), 120, 48, 120);
    label9_ = AddLabel("Label9", QString(), 8, 72, 232);
    label6_ = AddLabel("Label6", QString(), 250, 72, 120);

    shape1_ = new QWidget(this);
    shape1_->setObjectName(QStringLiteral("Shape1"));
    shape1_->setGeometry(300, 10, 40, 40);
    shape1_->setAutoFillBackground(true);
    lamp_ = TForm1::Lamp::Red;  // forces the first colouring
    SetLamp(TForm1::Lamp::Green);

    memo_ = new QPlainTextEdit(this);
    memo_->setObjectName(QStringLiteral("Memo"));
    memo_->setReadOnly(true);
    memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_->setGeometry(0, kClientHeight - kMemoHeight, kClientWidth, kMemoHeight);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(TrayPicture(), this);
        tray_->setToolTip(QString::fromUtf8(TForm1::kTrayHint));
        tray_->show();
    }
    Refresh();
}

QtDebugWindow::~QtDebugWindow() = default;

QLabel* QtDebugWindow::AddLabel(const char* name, const QString& text, int x, int y, int width) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QString::fromUtf8(name));
    label->setGeometry(x, y, width, 18);
    return label;
}

void QtDebugWindow::SetLamp(TForm1::Lamp lamp) {
    if (lamp == lamp_) return;
    lamp_ = lamp;
    QPalette palette = shape1_->palette();
    palette.setColor(QPalette::Window, lamp == TForm1::Lamp::Red ? kLampRed : kLampGreen);
    shape1_->setPalette(palette);
}

void QtDebugWindow::ShowView() {
    show();
}

void QtDebugWindow::HideView() {
    hide();
}

void QtDebugWindow::Refresh() {
    TForm1* form = form_.load();
    if (!form) return;
    const auto labels = form->CurrentLabels();
    label2_->setText(QString::fromStdString(labels.label2));
    label1_->setText(QString::fromStdString(labels.label1));
    label8_->setText(QString::fromStdString(labels.label8));
    label9_->setText(QString::fromStdString(labels.label9));
    label6_->setText(QString::fromStdString(form->Label6()));
    SetLamp(form->LampColour());

    if (const auto generation = form->ListGeneration(); generation != listGeneration_) {
        memo_->clear();
        linesShown_ = 0;
        listGeneration_ = generation;
    }
    const auto lines = form->LinesFrom(linesShown_);
    for (const auto& line : lines) memo_->appendPlainText(QString::fromUtf8(line));
    linesShown_ += lines.size();
}

void QtDebugWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (TForm1* form = form_.load())
        form->HideTestForm();
    else
        hide();
}

}  // namespace tivlink
