#pragma once

// Qt-free entry points to the Qt debug window, for programs and modules that may run in a Qt
// application.

namespace tivlink {

// From now on every TForm1 created on the thread of a running QApplication gets a Qt tool
// window and that thread's message queue runs in Qt's loop; forms created elsewhere
// (headless processes, other threads) keep the model only.
void InstallQtDebugWindow();

// Lets the Qt loop of the calling thread run that thread's os::MessageQueue. Once per
// application; false when the calling thread is not the thread of a QApplication.
bool PumpMessageQueueInQt();

}  // namespace tivlink
