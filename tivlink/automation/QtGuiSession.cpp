#include "tivlink/automation/QtGuiSession.h"

#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "tivlink/automation/QtDebugWindow.h"
#include "tivlink/automation/QtMessagePump.h"
#include "tivlink/automation/TForm1.h"

namespace tivlink {

namespace {

constexpr int kCheckIntervalMs = 50;

bool OnApplicationThread() {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    return app && QThread::currentThread() == app->thread();
}

// Qt ends the process on a display it cannot open; say so plainly and fail instead.
void FatalDuringStart(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) return;
    std::fprintf(stderr, "cannot open a window: %s\n", message.toLocal8Bit().constData());
    std::_Exit(1);
}

bool HaveDisplay() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

}  // namespace

void InstallQtDebugWindow() {
    TForm1::SetViewFactory([](TForm1& form) -> std::unique_ptr<IDebugWindowView> {
        if (!OnApplicationThread()) return nullptr;
        PumpMessageQueueInQt();
        return std::make_unique<QtDebugWindow>(form);
    });
}

bool PumpMessageQueueInQt() {
    if (!OnApplicationThread()) return false;
    // Parented to the application, so it ends with it.
    static QPointer<QtMessagePump> pump;
    if (!pump)
        pump =
            new QtMessagePump(os::MessageQueue::forCurrentThread(), QCoreApplication::instance());
    return true;
}

struct QtGuiSession::Impl {
    int argc = 1;
    char name[8] = "tivlink";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QApplication> app;  // after argc and argv, which it refers to
};

QtGuiSession::QtGuiSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

QtGuiSession::~QtGuiSession() = default;

std::unique_ptr<QtGuiSession> QtGuiSession::Start(std::string& error) {
    auto impl = std::make_unique<Impl>();
    if (!QCoreApplication::instance()) {
        if (!HaveDisplay()) {
            error = "no display to show the window on (set DISPLAY, or QT_QPA_PLATFORM=offscreen)";
            return nullptr;
        }
        const auto previous = qInstallMessageHandler(FatalDuringStart);
        impl->app = std::make_unique<QApplication>(impl->argc, impl->argv);
        qInstallMessageHandler(previous);
    }
    if (!OnApplicationThread()) {
        error = "the Qt application runs on another thread";
        return nullptr;
    }
    InstallQtDebugWindow();
    PumpMessageQueueInQt();
    return std::unique_ptr<QtGuiSession>(new QtGuiSession(std::move(impl)));
}

QtGuiSession::End QtGuiSession::Run(const TForm1& form, os::Clock::duration limit,
                                    const std::function<bool()>& stop) {
    const bool limited = limit > os::Clock::duration::zero();
    const auto deadline = os::clock().now() + limit;
    End end = End::Hidden;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (!form.Visible()) {
            end = End::Hidden;
        } else if (stop && stop()) {
            end = End::Stopped;
        } else if (limited && os::clock().now() >= deadline) {
            end = End::TimeUp;
        } else {
            return;
        }
        loop.quit();
    });
    check.start(kCheckIntervalMs);
    if (!form.Visible()) return End::Hidden;
    loop.exec();
    return end;
}

}  // namespace tivlink
