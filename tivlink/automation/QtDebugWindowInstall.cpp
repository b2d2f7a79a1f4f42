#include "tivlink/automation/QtDebugWindowInstall.h"

#include "qt/QtMessagePump.h"
#include "tivlink/automation/QtDebugWindow.h"
#include "tivlink/automation/TForm1.h"

namespace tivlink {

void InstallQtDebugWindow() {
    TForm1::SetViewFactory([](TForm1& form) -> std::unique_ptr<IDebugWindowView> {
        if (!qtos::MessagePumpInstalled()) return nullptr;
        return std::make_unique<QtDebugWindow>(form);
    });
}

}  // namespace tivlink
