// Selecting adapters by number and by bus address, their tokens, names and addresses, and
// the small adapter members around them.

#include "usb/AdapterRig.h"

using namespace adaptertest;
using enginetest::HasLine;

namespace {

TEST(UsbDeviceResults, EachOperationTellsWhichStepFailed) {
    using tivlink::UsbDevice;
    std::array<std::uint8_t, 64> area{};
    int vid = 0;
    int pid = 0;
    const struct {
        const char* name;
        std::function<int(UsbDevice&)> call;
        int openFailed;
        int requestFailed;
    } cases[] = {
        {"vendor write", [](UsbDevice& d) { return d.Hold(); }, 1, 2},
        {"download", [&](UsbDevice& d) { return d.DownloadFirmware(0, area); }, 1, 2},
        {"bulk read", [&](UsbDevice& d) { return d.ReadBulkData(1, area); }, 1, 2},
        {"status read", [&](UsbDevice& d) { return d.ReadBulkStatus(3, area); }, 17, 18},
        {"bulk write", [&](UsbDevice& d) { return d.WriteBulkData(2, area); }, 20, 19},
        {"set interface", [](UsbDevice& d) { return d.SetInterface(0, 1); }, 22, 21},
        {"VID and PID", [&](UsbDevice& d) { return d.ReadVidPid(vid, pid); }, 22, 21},
        {"address port", [](UsbDevice& d) { return d.ReadAddressPort(); }, 0x4100, 0x4200},
    };
    for (const bool opens : {false, true}) {
        // A device that does not open, or opens and refuses every request.
        auto transport = std::make_shared<FakeTransport>();
        transport->SetPresent(opens);
        transport->RefuseRequests(true);
        UsbDevice device(transport);
        device.SetCurrentDevice(usbio::kDeviceNamePrefix + std::string("0"));
        vid = pid = 0;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (opens ? ", request refused" : ", no device"));
            EXPECT_EQ(c.call(device), opens ? c.requestFailed : c.openFailed);
        }
        EXPECT_EQ(vid, -1);
        EXPECT_EQ(pid, -1);
        // Every handle that was opened was closed again, the request failing or not.
        const auto [opened, closed] = transport->OpensCloses();
        EXPECT_EQ(closed, opened);
        EXPECT_EQ(opened, opens ? 8 : 0);
    }
}

// A backend may end a pipe read with fewer bytes than asked (a real adapter that had nothing
// to say): the receive area must not hand the last packet's bytes to the reader again.
TEST(UsbDeviceResults, ShortReadsLeaveNoStaleBytes) {
    class ShortReads final : public usbio::Transport {
    public:
        std::uint32_t count = 0;
        usbio::Handle open(std::string_view) override { return 1; }
        void close(usbio::Handle) override {}
        bool ioControl(usbio::Handle, std::uint32_t, const void*, std::uint32_t, void* out,
                       std::uint32_t, std::uint32_t* returned) override {
            std::fill_n(static_cast<std::uint8_t*>(out), count, std::uint8_t{0x77});
            *returned = count;
            return true;
        }
    };
    const struct {
        std::uint32_t came;
        Packet expected;
    } cases[] = {
        // Nothing came: an empty packet, the connection flags as the last packet had them.
        {0,
         [] {
             Packet p{};
             p[1] = 0x10;
             return p;
         }()},
        {5,
         [] {
             Packet p{};
             std::fill_n(p.begin(), 5, 0x77);
             return p;
         }()},
        {64,
         [] {
             Packet p;
             p.fill(0x77);
             return p;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.came);
        auto transport = std::make_shared<ShortReads>();
        tivlink::UsbDevice device(transport);
        Packet area;
        area.fill(0x55);
        area[0] = 1;
        area[1] = 0x10;
        transport->count = c.came;
        ASSERT_EQ(device.ReadBulkData(1, area), 0);
        EXPECT_EQ(area, c.expected);
    }
}

TEST(UsbDeviceResults, AnEmptyBusLeavesTheDriverWithoutAdapter) {
    os::ScopedClock clock(std::make_shared<os::ScaledClock>(20.0));
    auto log = std::make_shared<tivlink::MemoryLog>(true);
    auto empty = std::make_shared<FakeTransport>();
    empty->SetPresent(false);
    empty->RefuseRequests(true);
    tivlink::DriverEngine engine(
        tivlink::DriverEngine::Options{empty, enginetest::Image(), log, nullptr});
    EXPECT_TRUE(HasLine(log->Lines(), "Return:Initialize->ScanUSB:0"));
    EXPECT_FALSE(engine.IsUsbConnected());
    EXPECT_EQ(engine.GetNumAdapters(), 0);
    std::vector<std::uint8_t> version;
    EXPECT_EQ(engine.SelectAdapter(1, 0, version), 32);
    EXPECT_EQ(engine.StartRec(), 3);
    EXPECT_EQ(engine.VID(), -1);
}

TEST(AdapterSelection, NumbersAndAddressesOutsideTheirRangesAreRefusedBeforeAnyScan) {
    AdapterRig r(TwoAdapters());
    r.log->Reset();
    std::vector<std::uint8_t> version{0xEE};
    for (const auto& [number, mode] :
         std::vector<std::pair<int, int>>{{0, 0}, {17, 0}, {-1, 0}, {16, 1}, {-1, 1}, {255, 7}}) {
        EXPECT_EQ(r.engine->SelectAdapter(number, mode, version), 64) << number << "," << mode;
    }
    EXPECT_EQ(version, std::vector<std::uint8_t>{0xEE});
    EXPECT_FALSE(HasLine(r.log->Lines(), "Call:SelectAdapter->ScanUSB"));
    EXPECT_TRUE(HasLine(r.log->Lines(), "Entry:SelectAdapter,Adapterno.:17,Mode:0 ----------"));
    EXPECT_TRUE(HasLine(r.log->Lines(), "Exit:SelectAdapter:64 ++++++++++"));

    // In range but nobody there: by address 16, by number 32; the selection stays.
    ASSERT_EQ(r.Select(2), 0);
    EXPECT_EQ(r.Select(5, 1), 16);
    EXPECT_EQ(r.engine->SelectedAdapter(), 2);
    EXPECT_EQ(r.Select(3), 32);
    EXPECT_TRUE(HasLine(r.window->Items(), "Kein Adapter"));
}

TEST(AdapterSelection, TwoAdaptersByNumberAndByBusAddress) {
    AdapterRig r(TwoAdapters());
    EXPECT_EQ(r.engine->GetNumAdapters(), 2);
    EXPECT_EQ(r.engine->Adapter(1).deviceName, "\\\\.\\ezusb-3");
    EXPECT_EQ(r.engine->Adapter(2).deviceName, "\\\\.\\ezusb-7");
    EXPECT_EQ(r.engine->Adapter(1).displayName, "Adapter-0");
    EXPECT_EQ(r.engine->Adapter(2).displayName, "Adapter-1");
    EXPECT_EQ(r.engine->GetAddrDueNum(1), 10);
    EXPECT_EQ(r.engine->GetAddrDueNum(2), 1);
    EXPECT_EQ(r.engine->GetAddrDueNum(3), 255);
    EXPECT_EQ(r.engine->GetAddrDueNum(0), 255);
    EXPECT_EQ(r.engine->GetNumDueAddr(1), 2);
    EXPECT_EQ(r.engine->GetNumDueAddr(10), 1);
    EXPECT_EQ(r.engine->GetNumDueAddr(5), -1);

    // By number: the second one, and every later request goes to device 7.
    std::vector<std::uint8_t> version;
    ASSERT_EQ(r.engine->SelectAdapter(2, 0, version), 0);
    EXPECT_EQ(r.engine->SelectedAdapter(), 2);
    ASSERT_EQ(version.size(), 10u);
    EXPECT_EQ(version[8], 'S');
    EXPECT_EQ(version[9], 'W');
    EXPECT_TRUE(r.engine->State().adapterReady);
    EXPECT_TRUE(HasLine(r.log->Lines(), "Call:SelectAdapter->ReadAdapterInfo,Adapter:1"));
    EXPECT_EQ(r.engine->GetAdapterAddr(), 1);
    EXPECT_EQ(r.engine->GetAdapterToken(), 4);
    EXPECT_EQ(r.engine->GetNextToken(), 6);
    ASSERT_EQ(r.engine->SetToken(9, 11), 0);
    EXPECT_EQ(r.sim->snapshot(7).token, 9);
    EXPECT_EQ(r.sim->snapshot(7).nextToken, 11);
    EXPECT_EQ(r.sim->snapshot(3).token, 1);
    // The entry was read again after the write.
    EXPECT_EQ(r.engine->Adapter(2).adapterToken, 9);
    EXPECT_EQ(r.engine->Adapter(2).nextToken, 11);

    // By bus address 10: the first one.
    ASSERT_EQ(r.engine->SelectAdapter(10, 1, version), 0);
    EXPECT_EQ(r.engine->SelectedAdapter(), 1);
    EXPECT_TRUE(HasLine(r.log->Lines(), "Call:SelectAdapter->SetIntAdapterName,Adapterno.:1"));
    EXPECT_EQ(r.engine->GetAdapterAddr(), 10);
    EXPECT_EQ(r.engine->GetAdapterToken(), 1);
    std::vector<std::uint8_t> name;
    ASSERT_EQ(r.engine->GetAdapterName(name), 0);
    const std::vector<std::uint8_t> expected{'A', 'd', 'a', 'p', 't', 'e', 'r', '-',
                                             '0', 0,   0,   0,   0,   0,   0};
    EXPECT_EQ(name, expected);

    // Address 1 leads to the second entry.
    ASSERT_EQ(r.engine->SelectAdapter(1, 1, version), 0);
    EXPECT_EQ(r.engine->SelectedAdapter(), 2);
    ASSERT_EQ(r.engine->GetAdapterName(name), 0);
    EXPECT_EQ(name[8], '1');
}

TEST(AdapterSelection, SilentFirmwareGivesTheReadCodeAndTouchesNothing) {
    AdapterRig r(OneAdapter(false));
    EXPECT_EQ(r.Select(1), 128);
    EXPECT_FALSE(r.engine->State().adapterReady);
    r.transport->Clear();

    EXPECT_EQ(r.engine->GetAdapterAddr(), 128);
    EXPECT_EQ(r.engine->GetAdapterToken(), 4 * 128);
    EXPECT_EQ(r.engine->GetNextToken(), 4 * 128);
    std::vector<std::uint8_t> name{0x55};
    EXPECT_EQ(r.engine->GetAdapterName(name), 128);
    EXPECT_EQ(name, std::vector<std::uint8_t>{0x55});
    EXPECT_EQ(r.engine->SetToken(2, 3), 128);
    EXPECT_EQ(r.engine->TivResetHw(), 0);
    // Only version queries went out: no tokens, no reset.
    for (const auto& w : r.transport->Writes()) EXPECT_EQ(w.packet[0], 0xF0);

    // Unplugged: the version query cannot even be written.
    r.sim->unplug(0);
    EXPECT_EQ(r.engine->GetAdapterAddr(), 128);
    EXPECT_EQ(r.Select(1), 32);
}

TEST(AdapterSelection, ResetTelegramsAndHardwareReset) {
    AdapterRig r(OneAdapter(true));
    ASSERT_EQ(r.Select(1), 0);
    r.transport->Clear();

    EXPECT_EQ(r.engine->TivResetHw(), 0);
    EXPECT_EQ(r.transport->Commands(0xD7).size(), 1u);

    // Type 7, size 4, sub 1, object 1, control 1 (reset) or 3 (soft start).
    const auto firstBlocks = [&] { return r.transport->Commands(0xA1); };
    EXPECT_EQ(r.engine->TivReset(), 0);
    EXPECT_EQ(r.engine->TivSoftstart(), 0);
    const auto blocks = firstBlocks();
    ASSERT_EQ(blocks.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& p = blocks[i].packet;
        EXPECT_EQ(p[1] >> 5, 7);
        EXPECT_EQ(p[2], 4);
        EXPECT_EQ(p[3], 1);
        EXPECT_EQ(p[4] | p[5] << 8, 1);
        EXPECT_EQ(p[6], i == 0 ? 1 : 3);
    }
    EXPECT_EQ(r.transport->Commands(0xA3).size(), 2u);

    // Without an adapter present neither telegram is sent.
    r.sim->unplug(0);
    ASSERT_FALSE(r.engine->IsAdapterPresent());
    r.transport->Clear();
    EXPECT_EQ(r.engine->TivReset(), 0);
    EXPECT_EQ(r.engine->TivSoftstart(), 0);
    EXPECT_TRUE(r.transport->Writes().empty());
}

TEST(AdapterSelection, VersionAndFirmwareFileName) {
    AdapterRig r(OneAdapter(true));
    EXPECT_EQ(r.engine->Version(), 545);
    EXPECT_EQ(r.engine->Filename(), "load.bix");

    // The name reaches the message list even while the window is hidden; other texts do not.
    r.window->SetVisible(false);
    r.window->Clear();
    r.engine->SetFilename("/opt/tiv/load.bix");
    EXPECT_TRUE(r.engine->IsAdapterPresent());
    EXPECT_EQ(r.engine->Filename(), "/opt/tiv/load.bix");
    EXPECT_EQ(r.window->Items(), std::vector<std::string>{"/opt/tiv/load.bix"});
    r.engine->SetFilename("");
    EXPECT_EQ(r.engine->Filename(), "");
    EXPECT_EQ(r.window->Items().size(), 2u);
}

}  // namespace
