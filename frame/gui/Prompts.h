#pragma once

// The window's questions to its user, each behind a replaceable handler so that tests answer
// them and nothing blocks without a user.

#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tivframe {

enum class SaveChoice { Save, Discard, Cancel };

// Whether to save the project's changes before it is put aside. The default handler shows a
// message box (Save / Discard / Cancel; Escape cancels).
using SavePromptHandler = std::function<SaveChoice(QWidget* parent, const std::string& project)>;
SaveChoice AskToSave(QWidget* parent, const std::string& project);
// Returns the previous handler; an empty one restores the message box.
SavePromptHandler SetSavePromptHandler(SavePromptHandler handler);

// A project file to open (`forSaving` false) or to save to; nullopt when cancelled. The default
// handler shows a file dialog that confirms overwriting.
using ProjectFileHandler =
    std::function<std::optional<std::filesystem::path>(QWidget* parent, bool forSaving)>;
std::optional<std::filesystem::path> AskProjectFile(QWidget* parent, bool forSaving);
ProjectFileHandler SetProjectFileHandler(ProjectFileHandler handler);

}  // namespace tivframe
