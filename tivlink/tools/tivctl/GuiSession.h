#pragma once

// A Qt application on the calling thread for `tivctl window`. A driver object created on this
// thread afterwards shows its debug window as a Qt window and runs its messages in Qt's loop.

#include <functional>
#include <memory>
#include <string>

#include "os/Clock.h"

namespace tivctl {

class GuiSession {
public:
    // nullptr with `error` set when no display can be opened.
    static std::unique_ptr<GuiSession> Start(std::string& error);
    ~GuiSession();
    GuiSession(const GuiSession&) = delete;
    GuiSession& operator=(const GuiSession&) = delete;

    enum class End { Closed, TimeUp, Stopped };
    // Runs the Qt loop until no window is shown any more, the nominal `limit` passes (zero:
    // no limit) or `stop` holds (checked a few times a second).
    End Run(os::Clock::duration limit, const std::function<bool()>& stop);

private:
    struct Impl;
    explicit GuiSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tivctl
