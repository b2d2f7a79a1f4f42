#pragma once

#include <QObject>
#include <memory>

#include "os/MessageQueue.h"

class QSocketNotifier;
class QTimer;

namespace tivlink {

// Lets a Qt event loop run a thread's os::MessageQueue: driver events and window timers
// arrive through that queue, and a Qt thread never blocks in the queue's own run().
// Create it on the queue's thread.
class QtMessagePump final : public QObject {
public:
    explicit QtMessagePump(std::shared_ptr<os::MessageQueue> queue, QObject* parent = nullptr);
    ~QtMessagePump() override;

private:
    void Pump();

    std::shared_ptr<os::MessageQueue> queue_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* poll_ = nullptr;  // only when the queue has no descriptor to watch
};

}  // namespace tivlink
