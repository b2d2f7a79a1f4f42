#include "ui/SaveDialog.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>

namespace tivmate::ui {

namespace {

SaveFileHandler& Installed() {
    static SaveFileHandler handler;
    return handler;
}

std::optional<std::filesystem::path> AskWithDialog(QWidget* parent) {
    static QString lastDirectory = QDir::currentPath();
    QFileDialog dialog(parent);
    dialog.setObjectName("comdlgSave");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter("Text files (*.txt);;All files (*)");
    dialog.setDefaultSuffix("txt");
    dialog.setDirectory(lastDirectory);
    dialog.selectFile(QDateTime::currentDateTime().toString("'monitor-'yyyyMMdd-hhmmss'.txt'"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    const QString file = dialog.selectedFiles().first();
    lastDirectory = QFileInfo(file).absolutePath();
    return std::filesystem::path(file.toStdString());
}

}  // namespace

std::optional<std::filesystem::path> GetSaveFileName(QWidget* parent) {
    if (Installed()) return Installed()(parent);
    return AskWithDialog(parent);
}

SaveFileHandler SetSaveFileHandler(SaveFileHandler handler) {
    return std::exchange(Installed(), std::move(handler));
}

}  // namespace tivmate::ui
