#pragma once

// The one QApplication of a Qt test process (offscreen unless a platform is set, Fusion as the
// frame shows its pages) and waiting with the Qt loop running. Include as "support/QtWait.h".

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>

namespace qttest {

// Kept to the end of the process: widgets of a failed test may still refer to it.
inline QApplication& App() {
    static int argc = 1;
    static char name[] = "tiv-qt-tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static auto* app = [] {
        auto* a = new QApplication(argc, argv);
        QApplication::setStyle("Fusion");
        return a;
    }();
    return *app;
}

// Runs the Qt loop (and with it the message queues it pumps) until `done` or the time-out,
// which is generous: two cores under full parallel load stall for seconds.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (done()) return true;
    QEventLoop loop;
    QTimer check;
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    check.start(5);
    loop.exec();
    return done();
}

}  // namespace qttest
