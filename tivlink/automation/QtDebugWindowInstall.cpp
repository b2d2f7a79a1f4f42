#include "tivlink/automation/QtDebugWindowInstall.h"

#include <QApplication>
#include <QPointer>
#include <QThread>

#include "tivlink/automation/QtDebugWindow.h"
#include "tivlink/automation/QtMessagePump.h"
#include "tivlink/automation/TForm1.h"

namespace tivlink {

namespace {

bool OnApplicationThread() {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    return app && QThread::currentThread() == app->thread();
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

}  // namespace tivlink
