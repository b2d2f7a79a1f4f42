#pragma once

// The Qt side of os::MessageQueue. A thread's queue carries driver events and window timers;
// a Qt thread never blocks in the queue's own run(), so its Qt loop runs the queue instead.
// A host that runs a Qt loop installs the pump itself: modules never take over its loop.

#include <QObject>
#include <memory>

#include "os/MessageQueue.h"

class QSocketNotifier;
class QTimer;

namespace qtos {

// Runs `queue` whenever it has messages, from the Qt loop of the thread it is created on.
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

// Lets the Qt loop of the calling thread run that thread's os::MessageQueue. The pump belongs
// to the application and ends with it (deleting it uninstalls it); installing twice returns
// the same pump. nullptr when the calling thread is not the thread of a QApplication.
QtMessagePump* InstallMessagePump();

// Whether a host installed the pump for the calling thread's queue.
bool MessagePumpInstalled();

}  // namespace qtos
