#include "qt/GuiSession.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "qt/QtMessagePump.h"

namespace qtos {

namespace {

constexpr int kCheckIntervalMs = 50;

// The program named in a failed start's message; the handler cannot carry it.
std::string& StartingProgram() {
    static std::string program;
    return program;
}

// Qt ends the process on a display it cannot open; say so plainly and fail instead.
void FatalDuringStart(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) return;
    std::fprintf(stderr, "%s: cannot open a window: %s\n", StartingProgram().c_str(),
                 message.toLocal8Bit().constData());
    std::_Exit(1);
}

bool HaveDisplay() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool AnyWindowShown() {
    for (const QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible()) return true;
    return false;
}

}  // namespace

void EndModalDialogs() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && widget->isModal()) widget->close();
}

struct GuiSession::Impl {
    int argc = 1;
    std::vector<char> name;
    char* argv[2] = {nullptr, nullptr};
    std::unique_ptr<QApplication> app;  // after argc and argv, which it refers to
};

GuiSession::GuiSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

GuiSession::~GuiSession() = default;

std::unique_ptr<GuiSession> GuiSession::Start(const std::string& program, std::string& error) {
    if (!HaveDisplay()) {
        error = "no display to show the window on (set DISPLAY, or QT_QPA_PLATFORM=offscreen)";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->name.assign(program.begin(), program.end());
    impl->name.push_back('\0');
    impl->argv[0] = impl->name.data();
    StartingProgram() = program;
    const auto previous = qInstallMessageHandler(FatalDuringStart);
    impl->app = std::make_unique<QApplication>(impl->argc, impl->argv);
    qInstallMessageHandler(previous);
    InstallMessagePump();
    return std::unique_ptr<GuiSession>(new GuiSession(std::move(impl)));
}

GuiSession::End GuiSession::Run(os::Clock::duration limit, const std::function<bool()>& stop) {
    const bool limited = limit > os::Clock::duration::zero();
    const auto deadline = os::clock().now() + limit;
    if (!AnyWindowShown()) return End::Closed;
    End end = End::Closed;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (!AnyWindowShown()) {
            end = End::Closed;
        } else if (stop && stop()) {
            end = End::Stopped;
        } else if (limited && os::clock().now() >= deadline) {
            end = End::TimeUp;
        } else {
            return;
        }
        if (end != End::Closed) EndModalDialogs();
        loop.quit();
    });
    check.start(kCheckIntervalMs);
    loop.exec();
    return end;
}

}  // namespace qtos
