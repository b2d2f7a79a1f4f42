#pragma once

// A Qt application on the calling thread, for a host that shows windows: driver objects and
// modules created on this thread afterwards run their messages in Qt's loop.

#include <functional>
#include <memory>
#include <string>

#include "os/Clock.h"

namespace qtos {

// Closes every modal dialog that is shown, so that its exec() returns as if cancelled: a run
// that ends by time or signal must not wait for a user who is not there.
void EndModalDialogs();

class GuiSession {
public:
    // Opens the display, makes the QApplication (named `program`, which also starts its
    // messages) and installs the message pump. nullptr with `error` set when no display can
    // be opened.
    static std::unique_ptr<GuiSession> Start(const std::string& program, std::string& error);
    ~GuiSession();
    GuiSession(const GuiSession&) = delete;
    GuiSession& operator=(const GuiSession&) = delete;

    enum class End { Closed, TimeUp, Stopped };
    // Runs the Qt loop until no window is shown any more, the nominal `limit` passes (zero:
    // no limit) or `stop` holds (checked a few times a second); the last two end modal
    // dialogs first.
    End Run(os::Clock::duration limit, const std::function<bool()>& stop);

private:
    struct Impl;
    explicit GuiSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qtos
