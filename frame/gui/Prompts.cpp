#include "Prompts.h"

#include <QFileDialog>
#include <QMessageBox>

namespace tivframe {

namespace {

SavePromptHandler& SavePrompt() {
    static SavePromptHandler handler;
    return handler;
}

ProjectFileHandler& ProjectFile() {
    static ProjectFileHandler handler;
    return handler;
}

}  // namespace

SaveChoice AskToSave(QWidget* parent, const std::string& project) {
    if (SavePrompt()) return SavePrompt()(parent, project);
    QMessageBox box(parent);
    box.setObjectName("savePrompt");
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle("tivframe");
    box.setText(
        QString("The project \"%1\" has unsaved changes.").arg(QString::fromStdString(project)));
    box.setInformativeText("Save them before it is closed?");
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Save:
            return SaveChoice::Save;
        case QMessageBox::Discard:
            return SaveChoice::Discard;
        default:
            return SaveChoice::Cancel;
    }
}

SavePromptHandler SetSavePromptHandler(SavePromptHandler handler) {
    return std::exchange(SavePrompt(), std::move(handler));
}

std::optional<std::filesystem::path> AskProjectFile(QWidget* parent, bool forSaving) {
    if (ProjectFile()) return ProjectFile()(parent, forSaving);
    static const QString kFilter = "Projects (*.xml);;All files (*)";
    const QString file =
        forSaving ? QFileDialog::getSaveFileName(parent, "Save project", "project.xml", kFilter)
                  : QFileDialog::getOpenFileName(parent, "Open project", {}, kFilter);
    if (file.isEmpty()) return std::nullopt;
    return std::filesystem::path(file.toStdString());
}

ProjectFileHandler SetProjectFileHandler(ProjectFileHandler handler) {
    return std::exchange(ProjectFile(), std::move(handler));
}

}  // namespace tivframe
