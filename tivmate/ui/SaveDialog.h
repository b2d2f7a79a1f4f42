#pragma once

#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>

namespace tivmate::ui {

// Asks the user where to save; nullopt when cancelled. The default handler shows a file dialog
// ("comdlgSave") that confirms overwriting; tests install their own answer.
using SaveFileHandler = std::function<std::optional<std::filesystem::path>(QWidget* parent)>;
std::optional<std::filesystem::path> GetSaveFileName(QWidget* parent);
// Returns the previous handler; an empty one restores the dialog.
SaveFileHandler SetSaveFileHandler(SaveFileHandler handler);

}  // namespace tivmate::ui
