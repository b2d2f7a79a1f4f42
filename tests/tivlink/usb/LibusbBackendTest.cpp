// The libusb backend against simulated adapters: umockdev shows them to libusb as USB devices,
// and their usbdevfs requests are answered by the simulator, so the engine runs through the real
// libusb: scan, the two-stage firmware download, a transaction, unplug and plug.

#include <gtest/gtest.h>

#ifdef TIV_HAVE_UMOCKDEV

#include <sys/ioctl.h>
// needs the ioctl macros of sys/ioctl.h
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "support/EngineRig.h"
#ifdef TIVCTL_PATH
#include "support/TivctlRun.h"
#endif
#include "usb/IoctlCodes.h"
#include "usb/LibusbTransport.h"

using namespace enginetest;
using tivlink::ByteArrayArg;
using tivlink::TelegramFields;

namespace {

// Pipe N is the N-th endpoint; the addresses are not the pipe numbers, so a backend that
// took pipe numbers for endpoints would miss every one.
constexpr std::uint8_t kEndpoints[5] = {0x82, 0x04, 0x86, 0x08, 0x8A};

std::vector<std::uint8_t> Descriptors(std::uint16_t vendor, std::uint16_t product) {
    std::vector<std::uint8_t> d = {18,
                                   1,
                                   0x10,
                                   0x01,
                                   0xFF,
                                   0xFF,
                                   0xFF,
                                   64,
                                   static_cast<std::uint8_t>(vendor),
                                   static_cast<std::uint8_t>(vendor >> 8),
                                   static_cast<std::uint8_t>(product),
                                   static_cast<std::uint8_t>(product >> 8),
                                   0x01,
                                   0x00,
                                   0,
                                   0,
                                   0,
                                   1};
    const std::size_t total = 9 + 2 * (9 + 5 * 7);
    const std::uint8_t config[9] = {9, 2, static_cast<std::uint8_t>(total), 0, 1, 1, 0, 0x80, 50};
    d.insert(d.end(), config, config + 9);
    for (std::uint8_t alt = 0; alt < 2; ++alt) {
        const std::uint8_t iface[9] = {9, 4, 0, alt, 5, 0xFF, 0xFF, 0xFF, 0};
        d.insert(d.end(), iface, iface + 9);
        for (const auto address : kEndpoints) {
            const std::uint8_t ep[7] = {7, 5, address, 2, 64, 0, 0};
            d.insert(d.end(), ep, ep + 7);
        }
    }
    return d;
}

// The EZ-USB core and the usbdevfs requests libusb makes, answered from the simulator.
// URBs complete at once; a reap hands back the oldest.
class Bridge {
public:
    explicit Bridge(std::shared_ptr<sim::Simulator> simulator) : sim_(std::move(simulator)) {
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&Bridge::OnIoctl), this);
    }
    ~Bridge() {
        for (auto& [client, urbs] : done_)
            for (auto* urb : urbs) g_object_unref(urb);
        g_object_unref(handler_);
    }

    UMockdevIoctlBase* Handler() const { return handler_; }
    void Route(const std::string& node, int device) {
        std::lock_guard lock(mutex_);
        devices_[node] = device;
    }

private:
    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Bridge*>(self)->Handle(client);
        return TRUE;
    }

    void Handle(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        int device = -1;
        {
            std::lock_guard lock(mutex_);
            const auto it = devices_.find(umockdev_ioctl_client_get_devnode(client));
            if (it != devices_.end()) device = it->second;
        }
        const std::uint64_t generation = device >= 0 ? sim_->openDevice(device) : 0;
        if (generation == 0) return umockdev_ioctl_client_complete(client, -1, ENODEV);
        const auto sim = [&](std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                             std::uint32_t outSize, std::uint32_t* n) {
            std::uint32_t ignored = 0;
            return sim_->ioControl(device, generation, code, in, inSize, out, outSize,
                                   n ? n : &ignored);
        };

        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                auto* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
                const std::uint32_t none = 0;
                umockdev_ioctl_data_update(caps, 0, (guint8*)&none, sizeof none);
                return umockdev_ioctl_client_complete(client, 0, 0);
            }
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE:
            case USBDEVFS_DISCONNECT_CLAIM:
                return umockdev_ioctl_client_complete(client, 0, 0);
            case USBDEVFS_GETDRIVER:
            case USBDEVFS_IOCTL:  // no kernel driver to hand the interface back to
                return umockdev_ioctl_client_complete(client, -1, ENODATA);
            case USBDEVFS_SETINTERFACE: {
                auto* d =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
                const auto* s = reinterpret_cast<const usbdevfs_setinterface*>(d->data);
                const std::uint8_t in[2] = {static_cast<std::uint8_t>(s->interface),
                                            static_cast<std::uint8_t>(s->altsetting)};
                const bool ok = sim(usbio::kIoctlSetInterface, in, 2, nullptr, 0, nullptr);
                return umockdev_ioctl_client_complete(client, ok ? 0 : -1, ok ? 0 : EPIPE);
            }
            case USBDEVFS_SUBMITURB:
                return Submit(client, arg, sim);
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: {
                UMockdevIoctlData* urb = nullptr;
                {
                    std::lock_guard lock(mutex_);
                    auto& queue = done_[client];
                    if (!queue.empty()) {
                        urb = queue.front();
                        queue.pop_front();
                    }
                }
                if (!urb) return umockdev_ioctl_client_complete(client, -1, EAGAIN);
                auto* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
                const auto address = static_cast<std::uint64_t>(urb->client_addr);
                umockdev_ioctl_data_update(slot, 0, (guint8*)&address, sizeof address);
                g_object_unref(urb);
                return umockdev_ioctl_client_complete(client, 0, 0);
            }
            case USBDEVFS_DISCARDURB:  // every URB is complete already
                return umockdev_ioctl_client_complete(client, -1, EINVAL);
            default:
                return umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
    }

    template <typename Sim>
    void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const Sim& sim) {
        auto* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(d->data);
        const std::uint32_t length = static_cast<std::uint32_t>(std::max(urb->buffer_length, 0));
        auto* b = umockdev_ioctl_data_resolve(d, offsetof(usbdevfs_urb, buffer), length, nullptr);
        auto* bytes = b ? b->data : nullptr;
        bool ok = false;
        std::uint32_t n = 0;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && bytes && length >= 8) {
            const std::uint8_t type = bytes[0];
            const std::uint16_t value = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
            const std::uint16_t size = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
            std::uint8_t* data = bytes + 8;
            // Only the internal-memory request of the EZ-USB core is there.
            const bool memory = bytes[1] == 0xA0 && 8u + size <= length;
            if (memory && type == 0xC0) {
                const std::uint8_t block[10] = {0xA0, 0,        bytes[2], bytes[3], 0,
                                                0,    bytes[6], bytes[7], 1,        0};
                ok = sim(usbio::kIoctlVendorRequest, block, 10, data, size, &n);
            } else if (memory && type == 0x40 && value == 0x7F92 && size == 1) {
                const std::uint8_t block[10] = {0xA0, 0, bytes[2], bytes[3], 0,
                                                0,    1, 0,        0,        data[0]};
                ok = sim(usbio::kIoctlVendorRequest, block, 10, nullptr, 0, &n);
                n = 1;
            } else if (memory && type == 0x40) {
                // What the kernel driver's download writes.
                const std::uint8_t at[2] = {bytes[2], bytes[3]};
                ok = sim(usbio::kIoctlFirmwareDownload, at, 2, data, size, &n);
            }
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && (bytes || length == 0)) {
            std::uint32_t pipe = 0;
            for (std::uint32_t i = 0; i < 5; ++i)
                if (kEndpoints[i] == urb->endpoint) pipe = i + 1;
            const std::uint8_t in[4] = {static_cast<std::uint8_t>(pipe), 0, 0, 0};
            const bool read = (urb->endpoint & 0x80) != 0;
            ok = pipe != 0 && sim(read ? usbio::kIoctlBulkRead : usbio::kIoctlBulkWrite, in, 4,
                                  bytes, length, &n);
            if (!read && ok) n = length;
        }
        if (!ok && sim_->openDevice(DeviceOf(client)) == 0)
            return umockdev_ioctl_client_complete(client, -1, ENODEV);
        urb->status = ok ? 0 : -EPIPE;
        urb->actual_length = static_cast<int>(n);
        // The URB's memory goes back to the client as this request completes.
        umockdev_ioctl_data_update(d, 0, d->data, d->data_len);
        if (b) umockdev_ioctl_data_update(b, 0, b->data, b->data_len);
        {
            std::lock_guard lock(mutex_);
            done_[client].push_back(UMOCKDEV_IOCTL_DATA(g_object_ref(d)));
        }
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    int DeviceOf(UMockdevIoctlClient* client) {
        std::lock_guard lock(mutex_);
        const auto it = devices_.find(umockdev_ioctl_client_get_devnode(client));
        return it == devices_.end() ? -1 : it->second;
    }

    std::shared_ptr<sim::Simulator> sim_;
    UMockdevIoctlBase* handler_ = nullptr;
    std::mutex mutex_;
    std::map<std::string, int> devices_;
    std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> done_;
};

struct Plugged {
    std::string sysPath;
    std::string node;
};

// A USB device in the test bed at bus `bus`, port path `name` ("1-7"), device number `devnum`.
Plugged AddDevice(UMockdevTestbed* bed, int bus, const std::string& name, int devnum,
                  std::uint16_t vendor, std::uint16_t product) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, devnum);
    // Attributes end in a newline, as the kernel writes them; "dev" is umockdev's.
    const std::string busText = std::to_string(bus);
    const std::string devText = std::to_string(devnum);
    const std::string busLine = busText + "\n";
    const std::string devLine = devText + "\n";
    const std::string dev = "189:" + std::to_string((bus - 1) * 128 + devnum - 1);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%x/%x/1", vendor, product);
    gchar* path = umockdev_testbed_add_device(
        bed, "usb", ("usb" + busText + "/" + name).c_str(), nullptr,
        // attributes
        "busnum", busLine.c_str(), "devnum", devLine.c_str(), "speed", "12\n",
        "bConfigurationValue", "1\n", "dev", dev.c_str(), nullptr,
        // properties
        "DEVTYPE", "usb_device", "BUSNUM", busText.c_str(), "DEVNUM", devText.c_str(), "DEVNAME",
        node, "PRODUCT", ids, nullptr);
    const auto descriptors = Descriptors(vendor, product);
    umockdev_testbed_set_attribute_binary(bed, path, "descriptors",
                                          const_cast<guint8*>(descriptors.data()),
                                          static_cast<gint>(descriptors.size()));
    Plugged p{path, node};
    g_free(path);
    // The node the preload library redirects opens to.
    gchar* root = umockdev_testbed_get_root_dir(bed);
    const std::filesystem::path file = std::filesystem::path(root) / (p.node.c_str() + 1);
    g_free(root);
    std::filesystem::create_directories(file.parent_path());
    if (!std::filesystem::exists(file)) std::ofstream(file).put('\0');
    return p;
}

bool Attach(UMockdevTestbed* bed, Bridge& bridge, const Plugged& p, int device) {
    bridge.Route(p.node, device);
    GError* error = nullptr;
    const bool ok = umockdev_testbed_attach_ioctl(bed, p.node.c_str(), bridge.Handler(), &error);
    if (error) {
        ADD_FAILURE() << "attach_ioctl " << p.node << ": " << error->message;
        g_error_free(error);
    }
    return ok;
}

sim::Scenario TwoAdapters() {
    auto s = Scenario(false);
    s.adapters[0].port = 0x5F;  // bus address 10
    sim::AdapterSpec second;
    second.device = 1;
    second.port = 0xEF;  // bus address 1
    second.firmwareRunning = true;
    s.adapters.push_back(second);
    sim::AdapterSpec later;
    later.device = 2;
    s.adapters.push_back(later);
    return s;
}

}  // namespace

TEST(LibusbBackend, SimulatedAdaptersThroughRealLibusb) {
    os::ScopedClock clock(std::make_shared<os::ScaledClock>(10.0));
    auto simulator = std::make_shared<sim::Simulator>(TwoAdapters());
    Bridge bridge(simulator);
    UMockdevTestbed* bed = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) {
        g_object_unref(bed);
        GTEST_SKIP() << "umockdev's preload library (libumockdev-preload.so) is not loaded: run "
                        "the test under umockdev-wrapper";
    }

    // Another vendor's device on the bus, and two adapters that libusb lists port 3 first:
    // the names follow the ports.
    AddDevice(bed, 1, "1-1", 2, 0x1234, 0x5678);
    const auto first = AddDevice(bed, 1, "1-2", 3, 0x0547, 0x2131);
    const auto second = AddDevice(bed, 1, "1-3", 4, 0x0547, 0x2131);
    ASSERT_TRUE(Attach(bed, bridge, first, 0));
    ASSERT_TRUE(Attach(bed, bridge, second, 1));

#ifdef TIVCTL_PATH
    {
        // tivctl, a process of its own, lists them through libusb in the same order.
        const auto scan = tivctltest::RunTivctl({"--usb", "libusb", "--json", "scan"});
        const auto lines = tivctltest::JsonLines(scan.out);
        ASSERT_EQ(lines.size(), 1u) << scan.out << scan.err;
        const auto& adapters = lines[0]["adapters"];
        ASSERT_EQ(adapters.size(), 2u) << scan.out;
        EXPECT_EQ(adapters[0]["address"], 10);
        EXPECT_EQ(adapters[0]["firmware"]["loaded"], false);
        EXPECT_EQ(adapters[1]["address"], 1);
        EXPECT_EQ(adapters[1]["firmware"]["loaded"], true);
    }
#endif

    std::string error;
    auto transport = usbio::makeLibusbTransport("", error);
    ASSERT_TRUE(transport) << error;
    {
        auto log = std::make_shared<tivlink::MemoryLog>(true);
        auto sink = std::make_shared<SpySink>();
        auto engine = std::make_unique<tivlink::DriverEngine>(
            tivlink::DriverEngine::Options{transport, Image(), log, nullptr});
        engine->ConnectSink(sink);

        EXPECT_TRUE(HasLine(log->Lines(), "Return:Initialize->ScanUSB:2"));
        EXPECT_TRUE(HasLine(log->Lines(), "Return:Initialize->ReadVID_PID: VID:0547H,PID:2131H"));
        EXPECT_EQ(engine->GetAddrDueNum(1), 10);
        EXPECT_EQ(engine->GetAddrDueNum(2), 1);

        // The adapter on port 2 has no firmware yet: both stages go down through libusb.
        std::vector<std::uint8_t> version;
        EXPECT_EQ(engine->SelectAdapter(1, 0, version), 128);
        ASSERT_EQ(engine->ConnectAdapter(1), 64);
        ASSERT_TRUE(PumpUntil([&] { return sink->Count(tivlink::kOnFirmwareLoaded) == 1; }, 600s));
        EXPECT_TRUE(simulator->snapshot(0).firmwareRunning);
        EXPECT_EQ(engine->SelectAdapter(1, 0, version), 0);

        ASSERT_EQ(engine->StartReception(), 0);
        Bytes out;
        TelegramFields read{5, 4, 29, 1217, 0xC0};
        ASSERT_EQ(engine->AcyclicTransmission(read, ByteArrayArg{}, out), 0);
        EXPECT_EQ(read.control, 0x41);
        ASSERT_GE(out.size(), 4u);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));

        // Pulled out while receiving: the same loss the simulator's unplug gives, and the
        // other adapter keeps its name.
        simulator->unplug(0);
        umockdev_testbed_uevent(bed, first.sysPath.c_str(), "remove");
        umockdev_testbed_remove_device(bed, first.sysPath.c_str());
        ASSERT_TRUE(PumpUntil([&] { return sink->Count(tivlink::kOnAdapterDiscon) == 1; }, 300s));
        EXPECT_FALSE(engine->IsUsbConnected());
        const auto opens = [&](int n) {
            const auto h = transport->open(usbio::kDeviceNamePrefix + std::to_string(n));
            transport->close(h);
            return h != usbio::kInvalidHandle;
        };
        ASSERT_TRUE(PumpUntil([&] { return !opens(0); }, 300s));
        tivlink::UsbDevice other(transport);
        other.SetCurrentDevice(usbio::kDeviceNamePrefix + std::string("1"));
        EXPECT_EQ(other.ReadAddressPort(), 1);
        EXPECT_EQ(engine->GetNumAdapters(), 1);
        EXPECT_EQ(engine->GetAddrDueNum(1), 1);

        // Plugged in while the driver runs: the next scan finds it.
        const auto third = AddDevice(bed, 2, "2-1", 2, 0x0547, 0x2131);
        ASSERT_TRUE(Attach(bed, bridge, third, 2));
        umockdev_testbed_uevent(bed, third.sysPath.c_str(), "add");
        // It takes the name the pulled adapter left.
        EXPECT_TRUE(PumpUntil([&] { return engine->GetNumAdapters() == 2; }, 300s));
        EXPECT_EQ(engine->GetAddrDueNum(1), 0);
        EXPECT_EQ(engine->GetAddrDueNum(2), 1);
    }
    transport.reset();
    g_object_unref(bed);
}

#else

TEST(LibusbBackend, SimulatedAdaptersThroughRealLibusb) {
    GTEST_SKIP() << "built without umockdev (Debian packages umockdev and libumockdev-dev)";
}

#endif
