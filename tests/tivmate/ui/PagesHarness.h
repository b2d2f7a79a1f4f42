#pragma once

// The pages' test harness: one QApplication (offscreen, Fusion), the DTM created through the
// build's registry on the simulated adapter, a frame that records what the DTM tells it, and
// the pages opened by ProgID as the frame opens them.

#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "com/CoCreate.h"
#include "com/ComObject.h"
#include "com/Registry.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"
#include "fdt/Persistence.h"
#include "host/HostSetup.h"
#include "os/Clock.h"
#include "qt/QtMessagePump.h"
#include "support/QtWait.h"
#include "support/TempDir.h"
#include "tivmate/DTMMain.h"
#include "xml/Document.h"

namespace pagestest {

using com::ComPtr;
using namespace std::chrono_literals;

using qttest::App;
using qttest::WaitFor;

// Every notification a frame may get, ignored.
class IgnoredEvents : public fdt::IDtmEvents {
public:
#define PAGES_IGNORE(itf, id, kind, name, params) \
    com::HRESULT TIV_COM_NAME(kind, name)         \
    params override {                             \
        return com::S_OK;                         \
    }
#define PAGES_P(dir, type, name) [[maybe_unused]] TIV_COM_CT(dir, type) name
    FDT_MEMBERS_IDtmEvents(PAGES_IGNORE, PAGES_P)
};

// The frame side: records the parameter documents and the closed pages.
class RecordingFrame final
    : public com::ComObject<RecordingFrame, fdt::DualImpl<RecordingFrame, fdt::IFdtContainer>,
                            fdt::DualImpl<RecordingFrame, IgnoredEvents>> {
public:
    std::vector<std::pair<std::string, std::string>> changes;  // ParamName, NewValue
    std::vector<std::string> closed;

    com::HRESULT GetXmlSchemaPath(std::string* path) override {
        path->clear();
        return com::S_OK;
    }
    com::HRESULT OnParameterChanged(const std::string&, const std::string& doc,
                                    com::VARIANT_BOOL* result) override {
        xml::Document d;
        d.validateOnParse = false;
        EXPECT_TRUE(d.loadXML(doc)) << doc;
        const xml::Node n = d.selectSingleNode("FDT/ChangedParameter");
        changes.emplace_back(n.getAttribute("ParamName").value_or("?"),
                             n.getAttribute("NewValue").value_or("?"));
        *result = com::VARIANT_TRUE;
        return com::S_OK;
    }
    com::HRESULT OnApplicationClosed(const std::string& invokeId) override {
        closed.push_back(invokeId);
        return com::S_OK;
    }
};

struct Page {
    ComPtr<fdt::IDtmActiveXControl> control;
    QPointer<QWidget> widget;
    std::string invokeId;
    template <class W = QWidget>
    W* child(const char* name) const {
        W* w = widget ? widget->findChild<W*>(name) : nullptr;
        EXPECT_TRUE(w) << name;
        return w;
    }
};

class Pages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InstallScenario(R"({"adapters":[{"device":0,"port":255,"firmware":"running"}]})");
    }

    // Once per process: the simulated adapter and what is on its bus.
    static void InstallScenario(const char* json) {
        App();
        ASSERT_TRUE(qtos::InstallMessagePump());
        com::Registry::setPath(std::filesystem::path(std::getenv("TIV_TEST_BINARY_DIR")) /
                               "registry.reg");
        static testsupport::TempDir dir{"pages-scenario"};
        const auto scenario = dir / "running.json";
        std::ofstream(scenario) << json;
        std::string error;
        host::TransportOptions options;
        options.scenario = scenario.string();
        ASSERT_TRUE(host::InstallTransport(options, error)) << error;
    }

    void SetUp() override {
        os::setClock(std::make_shared<os::ScaledClock>(5));
        frame_ = RecordingFrame::create();
        com::Guid clsid;
        ASSERT_EQ(com::CLSIDFromProgID("Tivmate.DTMMain", &clsid), com::S_OK);
        ASSERT_EQ(com::CoCreateInstance(clsid, tivmate::IID__DTMMain, dtm_.putVoid()), com::S_OK);
        ComPtr<fdt::IPersistPropertyBag> persist;
        dtm_->QueryInterface(fdt::IPersistPropertyBag::iid, persist.putVoid());
        ASSERT_EQ(persist->InitNew(), com::S_OK);
        idtm_ = com::ComPtr<fdt::IDtm>();
        dtm_->QueryInterface(fdt::IDtm::iid, idtm_.putVoid());
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        ASSERT_EQ(idtm_->Environment("Tiv1", static_cast<fdt::IFdtContainer*>(frame_.get()), &ok),
                  com::S_OK);
        ASSERT_TRUE(ok);
        ASSERT_TRUE(WaitFor([&] { return Truth("TIVAdapterFirmwareLoaded"); }));
    }

    void TearDown() override {
        for (Page& p : pages_) Close(p);
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        if (idtm_) idtm_->PrepareToRelease(&ok);
        idtm_.reset();
        dtm_.reset();
        os::setClock(nullptr);
    }

    bool Truth(const char* name) {
        com::Variant v;
        if (std::string(name) == "TIVAdapterFirmwareLoaded") dtm_->get_TIVAdapterFirmwareLoaded(&v);
        return v.toInt64().value_or(0) != 0;
    }

    Page& Open(const char* progId) {
        Page page;
        com::Guid clsid;
        EXPECT_EQ(com::CLSIDFromProgID(progId, &clsid), com::S_OK);
        EXPECT_EQ(
            com::CoCreateInstance(clsid, fdt::IDtmActiveXControl::iid, page.control.putVoid()),
            com::S_OK);
        ComPtr<fdt::IActiveXWidget> widget;
        page.control->QueryInterface(fdt::IActiveXWidget::iid, widget.putVoid());
        page.widget = widget->Widget();
        page.widget->resize(800, 560);
        page.widget->show();
        page.invokeId = com::Guid::create().toString();
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        EXPECT_EQ(
            page.control->Init(page.invokeId, "", static_cast<com::IDispatch*>(dtm_.get()), &ok),
            com::S_OK);
        EXPECT_TRUE(ok);
        pages_.push_back(std::move(page));
        return pages_.back();
    }

    // The frame's order: PrepareToRelease, out of the layout, Release.
    void Close(Page& page) {
        if (!page.control) return;
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        EXPECT_EQ(page.control->PrepareToRelease(&ok), com::S_OK);
        EXPECT_TRUE(ok);
        if (page.widget) page.widget->setParent(nullptr);
        page.control.reset();
    }

    std::int16_t Stored(com::HRESULT (tivmate::_DTMMain::*get)(std::int16_t*)) {
        std::int16_t v = -1;
        (dtm_.get()->*get)(&v);
        return v;
    }

    void Screenshot(const Page& page, const std::string& name) {
        QApplication::processEvents();  // the layouts follow the new captions
        const QImage image = page.widget->grab().toImage();
        EXPECT_EQ(image.size(), QSize(800, 560));
        const auto dir =
            std::filesystem::path(std::getenv("TIV_TEST_BINARY_DIR")) / "artifacts" / "controls";
        std::filesystem::create_directories(dir);
        const auto file = dir / (name + ".png");
        ASSERT_TRUE(image.save(QString::fromStdString(file.string())));
        EXPECT_GT(std::filesystem::file_size(file), 1024u);
    }

    ComPtr<RecordingFrame> frame_;
    ComPtr<tivmate::_DTMMain> dtm_;
    ComPtr<fdt::IDtm> idtm_;
    std::deque<Page> pages_;
};

}  // namespace pagestest
