// DTMMain: the control slots as the pages leave them.

#include "module/DTMMain.h"

namespace tivmate {

namespace {

com::ComPtr<com::IUnknown> IdentityOf(com::IUnknown* p) {
    com::ComPtr<com::IUnknown> identity;
    if (p) p->QueryInterface(com::IUnknown::iid, identity.putVoid());
    return identity;
}

}  // namespace

void DTMMain::ReleaseControl(com::IUnknown* control) {
    const auto wanted = IdentityOf(control);
    if (!wanted) return;
    for (auto& slot : m_Controls)
        if (slot && IdentityOf(slot.get()).get() == wanted.get()) slot.reset();
}

}  // namespace tivmate
