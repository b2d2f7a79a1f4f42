#pragma once

// What every Tivmate page shares: creation only on the Qt application's thread, the page
// widget it owns, the link to its DTM (kept from Init to the end, registered in one of the
// DTM's control slots until PrepareToRelease) and the caption translation.

#include <QPointer>
#include <QWidget>
#include <filesystem>
#include <string>

#include "com/ComObject.h"
#include "com/ComPtr.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"
#include "tivlink/ITivDriver.h"
#include "tivmate/DTMMain.h"

namespace tivmate {
class DTMMain;
}

namespace tivmate::ui {

// Throws com::ComError(E_FAIL) unless a QApplication exists and this is its thread: Qt would
// end the process on the first widget otherwise.
void RequireGuiThread();

// Runs a widget handler; an error ends the handler with a trace line, never in Qt's loop.
void HandlerFailed(const char* name, const char* what) noexcept;
template <class F>
void Handler(const char* name, F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& e) {
        HandlerFailed(name, e.what());
    } catch (...) {
        HandlerFailed(name, "unknown error");
    }
}

class ControlCore {
public:
    using Slot = com::HRESULT (_DTMMain::*)(com::IDispatch*);

    // `prefix` is the page's dictionary prefix ("ctlAbout_"); the page is parentless.
    ControlCore(std::string prefix, Slot slot);
    ~ControlCore();
    ControlCore(const ControlCore&) = delete;
    ControlCore& operator=(const ControlCore&) = delete;

    QWidget* Page() const { return page_.data(); }

    // Init's first steps: false (and nothing kept) for an empty invoke id, no DTM, an object
    // that is not a Tivmate DTM, or a second Init. Keeps the DTM and its container.
    bool Attach(const std::string& invokeId, com::IDispatch* dtm);
    // Puts `self` into the page's control slot of the DTM.
    void Register(com::IDispatch* self);
    // Empties the DTM's slot if it holds `self`.
    void Unregister(com::IUnknown* self);
    // PrepareToRelease: always leaves the DTM's slot (if it still holds this page); reports
    // the release to the frame with the invoke id when the container takes the DTM's events.
    bool Release(com::IUnknown* self);
    // The end of the object: lets go of the DTM and container.
    void Detach();

    // TranslateControls over the page's captioned children.
    void Translate();
    std::string Text(const std::string& key) const;

    // Null before Init and after the end.
    _DTMMain* Dtm() const { return dtm_.get(); }
    // The same DTM as the object itself, for the members only C++ reaches.
    DTMMain* DtmObject() const { return dtmObject_; }
    // Null without a DTM or when the DTM has let go of its driver.
    com::ComPtr<tivlink::ITivDriver> Driver() const;
    static std::filesystem::path Resource(const std::string& name);

private:
    std::string prefix_;
    Slot slot_;
    QPointer<QWidget> page_;
    com::ComPtr<_DTMMain> dtm_;
    DTMMain* dtmObject_ = nullptr;
    com::ComPtr<com::IDispatch> container_;
    std::string invokeId_;
};

// A page as a COM object: IDtmActiveXControl, IActiveXGUI, the widget hand-over and the
// page's own view interfaces. Derived implements OnInit() (after Attach) and UpdateLanguage().
template <class Derived, class... Views>
class Control : public com::ComObject<Derived, fdt::DualImpl<Derived, fdt::IDtmActiveXControl>,
                                      fdt::DualImpl<Derived, fdt::IActiveXGUI>, fdt::IActiveXWidget,
                                      fdt::DualImpl<Derived, Views>...> {
public:
    com::HRESULT Init(const std::string& invokeId, const std::string&, com::IDispatch* dtm,
                      com::VARIANT_BOOL* result) override {
        if (!result) return com::E_POINTER;
        *result = com::VARIANT_FALSE;
        try {
            if (!core_.Attach(invokeId, dtm)) return com::S_OK;
            static_cast<Derived*>(this)->OnInit();
            *result = com::VARIANT_TRUE;
            return com::S_OK;
        } catch (...) {
            // A failed Init leaves no slot holding the page: the frame will not release it.
            core_.Unregister(Self());
            return com::reportCurrentException(fdt::IID_IDtmActiveXControl, {});
        }
    }
    com::HRESULT PrepareToRelease(com::VARIANT_BOOL* result) override {
        if (!result) return com::E_POINTER;
        *result = core_.Release(Self()) ? com::VARIANT_TRUE : com::VARIANT_FALSE;
        return com::S_OK;
    }
    QWidget* Widget() override { return core_.Page(); }

protected:
    explicit Control(std::string prefix, ControlCore::Slot slot) : core_(std::move(prefix), slot) {}
    ~Control() override { core_.Detach(); }
    void Register() { core_.Register(static_cast<fdt::IActiveXGUI*>(this)); }
    com::IUnknown* Self() { return static_cast<fdt::IActiveXWidget*>(this); }

    ControlCore core_;
};

}  // namespace tivmate::ui
