#include "tivlink/automation/QtMessagePump.h"

#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>
#include <exception>

namespace tivlink {

namespace {
constexpr int kPollIntervalMs = 10;
}

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

}  // namespace tivlink
