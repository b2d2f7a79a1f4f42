#include "ui/ControlBase.h"

#include <QApplication>
#include <QThread>

#include "core/AppDirectory.h"
#include "core/Trace.h"
#include "module/DTMMain.h"
#include "ui/ControlCaptions.h"

namespace tivmate::ui {

void HandlerFailed(const char* name, const char* what) noexcept {
    try {
        WriteTrace(name, what);
    } catch (...) {
    }
}

void RequireGuiThread() {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || app->thread() != QThread::currentThread())
        throw com::ComError(com::E_FAIL, "no Qt application on this thread");
}

ControlCore::ControlCore(std::string prefix, Slot slot) : prefix_(std::move(prefix)), slot_(slot) {
    RequireGuiThread();
    page_ = new QWidget;
}

ControlCore::~ControlCore() {
    delete page_.data();
}

bool ControlCore::Attach(const std::string& invokeId, com::IDispatch* dtm) {
    if (invokeId.empty() || !dtm || dtm_) return false;
    com::ComPtr<_DTMMain> main;
    if (com::FAILED(dtm->QueryInterface(IID__DTMMain, main.putVoid())) || !main) return false;
    auto* object = dynamic_cast<DTMMain*>(main.get());
    if (!object) return false;
    com::ComPtr<com::IDispatch> container;
    main->OnInitControl(container.put());
    dtm_ = std::move(main);
    dtmObject_ = object;
    container_ = std::move(container);
    invokeId_ = invokeId;
    return true;
}

void ControlCore::Register(com::IDispatch* self) {
    if (dtm_) (dtm_.get()->*slot_)(self);
}

void ControlCore::Unregister(com::IUnknown* self) {
    if (dtmObject_) dtmObject_->ReleaseControl(self);
}

bool ControlCore::Release(com::IUnknown* self) {
    // Whatever the answer, the DTM must not call a page whose widget the frame may delete.
    Unregister(self);
    com::ComPtr<fdt::IDtmEvents> events;
    if (container_) container_->QueryInterface(fdt::IDtmEvents::iid, events.putVoid());
    if (invokeId_.empty() || !events) return false;
    events->OnApplicationClosed(invokeId_);
    return true;
}

void ControlCore::Detach() {
    // A slot holds a reference: a page that is ending is in none.
    dtmObject_ = nullptr;
    dtm_.reset();
    container_.reset();
    invokeId_.clear();
}

void ControlCore::Translate() {
    if (!dtm_ || !page_) return;
    auto captions = ControlCaptions::create(page_.data());
    dtm_->TranslateControls(prefix_, static_cast<fdt::IControlCaptions*>(captions.get()));
}

std::string ControlCore::Text(const std::string& key) const {
    if (!dtm_) return {};
    com::Variant text;
    if (com::FAILED(dtm_->GetDictionaryText(key, &text)) || text.isEmpty()) return {};
    return text.value().vt() == com::VT_BSTR ? text.value().bstr() : std::string();
}

com::ComPtr<tivlink::ITivDriver> ControlCore::Driver() const {
    com::ComPtr<tivlink::ITivDriver> driver;
    if (!dtm_) return driver;
    com::ComPtr<com::IDispatch> d;
    if (com::SUCCEEDED(dtm_->TIVDriverPointer(d.put())) && d)
        d->QueryInterface(tivlink::ITivDriver::iid, driver.putVoid());
    return driver;
}

std::filesystem::path ControlCore::Resource(const std::string& name) {
    return ApplicationDirectory() / "Resources" / name;
}

}  // namespace tivmate::ui
