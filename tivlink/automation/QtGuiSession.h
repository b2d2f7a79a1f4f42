#pragma once

// Qt-free entry points to the Qt debug window, for programs that run a Qt GUI.

#include <functional>
#include <memory>
#include <string>

#include "os/Clock.h"

namespace tivlink {

class TForm1;

// From now on every TForm1 created on the thread of a running QApplication gets a Qt tool
// window; forms created elsewhere (headless processes, other threads) keep the model only.
void InstallQtDebugWindow();

// Lets the Qt loop of the calling thread run that thread's os::MessageQueue. Once per
// application; false when the calling thread is not the thread of a QApplication.
bool PumpMessageQueueInQt();

// A QApplication on the calling thread with the debug window installed and the message
// queue pumped. Destroy every driver object it showed before it.
class QtGuiSession {
public:
    // nullptr with `error` set when no display can be opened.
    static std::unique_ptr<QtGuiSession> Start(std::string& error);
    ~QtGuiSession();
    QtGuiSession(const QtGuiSession&) = delete;
    QtGuiSession& operator=(const QtGuiSession&) = delete;

    enum class End { Hidden, TimeUp, Stopped };
    // Runs the Qt loop until `form` is hidden or closed, the nominal `limit` passes (zero: no
    // limit) or `stop` holds (checked a few times a second).
    End Run(const TForm1& form, os::Clock::duration limit, const std::function<bool()>& stop);

private:
    struct Impl;
    explicit QtGuiSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tivlink
