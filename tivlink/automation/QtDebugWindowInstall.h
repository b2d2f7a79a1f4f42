#pragma once

// Qt-free entry point to the Qt debug window, for programs and modules that may run in a Qt
// application.

namespace tivlink {

// From now on every TForm1 created on the thread of a running QApplication whose host
// installed the message pump (qtos::InstallMessagePump) gets a Qt tool window. Forms created
// elsewhere keep the model only: headless processes, other threads, and Qt hosts that run the
// queue themselves, where a Qt window would show but never update. The driver never installs
// the pump itself, so it does not take over a host's loop.
void InstallQtDebugWindow();

}  // namespace tivlink
