#include "qt/QtMessagePump.h"

#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QtGlobal>
#include <exception>

namespace qtos {

namespace {

constexpr int kPollIntervalMs = 10;

// Only the application thread has one; it lives in this library so that the host and every
// module of the process see the same.
QPointer<QtMessagePump>& InstalledPump() {
    static QPointer<QtMessagePump> pump;
    return pump;
}

bool OnApplicationThread() {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    return app && QThread::currentThread() == app->thread();
}

}  // namespace

QtMessagePump::QtMessagePump(std::shared_ptr<os::MessageQueue> queue, QObject* parent)
    : QObject(parent), queue_(std::move(queue)) {
    if (queue_->eventFd() >= 0) {
        notifier_ = new QSocketNotifier(queue_->eventFd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { Pump(); });
    } else {
        poll_ = new QTimer(this);
        connect(poll_, &QTimer::timeout, this, [this] { Pump(); });
        poll_->start(kPollIntervalMs);
    }
    // Whatever was posted before the loop started.
    QTimer::singleShot(0, this, [this] { Pump(); });
}

QtMessagePump::~QtMessagePump() = default;

void QtMessagePump::Pump() {
    // An exception must not unwind through Qt's event loop.
    try {
        queue_->processMessages();
    } catch (const std::exception& e) {
        qWarning("message handler failed: %s", e.what());
    } catch (...) {
        qWarning("message handler failed");
    }
}

QtMessagePump* InstallMessagePump() {
    if (!OnApplicationThread()) return nullptr;
    auto& pump = InstalledPump();
    if (!pump)
        pump =
            new QtMessagePump(os::MessageQueue::forCurrentThread(), QCoreApplication::instance());
    return pump.data();
}

bool MessagePumpInstalled() {
    return OnApplicationThread() && !InstalledPump().isNull();
}

}  // namespace qtos
