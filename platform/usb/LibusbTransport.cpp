#include "usb/LibusbTransport.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <set>

#include "usb/IoctlCodes.h"

namespace usbio {

namespace {

// Bounds for one transfer. A read keeps the transport's promise of an empty packet after
// about ten USB frames; the firmware answers at once when it has something to say.
constexpr unsigned kControlTimeoutMs = 1000;
constexpr unsigned kWriteTimeoutMs = 1000;
constexpr unsigned kReadTimeoutMs = 10;
// Internal-memory writes go out in pieces a control transfer carries on every kernel.
constexpr std::size_t kDownloadChunk = 1024;
constexpr std::uint8_t kMemoryAccessRequest = 0xA0;
// Vendor requests to the device: request type with the direction bit.
constexpr std::uint8_t kVendorOut = 0x40;
constexpr std::uint8_t kVendorIn = 0xC0;

std::uint32_t readU32(const void* in) {
    const auto* b = static_cast<const std::uint8_t*>(in);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

std::uint16_t readU16(const std::uint8_t* b) {
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::string deviceNode(libusb_device* device) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return node;
}

// Where a device sits: its bus, then the hub ports from the root down.
struct Location {
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> ports;
    auto operator<=>(const Location&) const = default;
};

Location locate(libusb_device* device) {
    Location at;
    at.bus = libusb_get_bus_number(device);
    std::array<std::uint8_t, 8> ports{};
    const int n = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
    if (n > 0) at.ports.assign(ports.begin(), ports.begin() + n);
    return at;
}

// One opened adapter, shared by every transport handle on it and kept open while the device
// is attached: closing it would release the interface, and the kernel resets the alternate
// setting on release.
struct Adapter {
    libusb_device* device = nullptr;  // one reference held
    libusb_device_handle* handle = nullptr;
    std::mutex mutex;  // the claim and the alternate setting
    bool claimed = false;
    int interfaceNumber = 0;
    int alternateSetting = 0;
    std::atomic<bool> gone{false};  // a transfer found the device unplugged

    ~Adapter() {
        if (claimed) libusb_release_interface(handle, interfaceNumber);
        libusb_close(handle);
        libusb_unref_device(device);
    }

    bool Claim(int number) {
        if (claimed && interfaceNumber == number) return true;
        if (claimed) {
            libusb_release_interface(handle, interfaceNumber);
            claimed = false;
        }
        const int r = libusb_claim_interface(handle, number);
        if (r == LIBUSB_ERROR_NO_DEVICE) gone = true;
        if (r != LIBUSB_SUCCESS) return false;
        claimed = true;
        if (interfaceNumber != number) alternateSetting = 0;
        interfaceNumber = number;
        return true;
    }

    bool Check(int result) {
        if (result == LIBUSB_ERROR_NO_DEVICE) gone = true;
        return result >= 0;
    }
};

class LibusbTransport final : public Transport {
public:
    LibusbTransport(libusb_context* context, std::vector<UsbId> ids)
        : context_(context), ids_(std::move(ids)) {}

    ~LibusbTransport() override {
        {
            std::lock_guard lock(mutex_);
            handles_.clear();
            adapters_.clear();
            for (auto*& d : names_) {
                if (d) libusb_unref_device(d);
                d = nullptr;
            }
        }
        libusb_exit(context_);
    }

    Handle open(std::string_view deviceName) override {
        const int index = deviceIndexFromName(std::string(deviceName).c_str());
        if (index < 0) return kInvalidHandle;
        std::lock_guard lock(mutex_);
        Rescan();
        libusb_device* device = names_[static_cast<std::size_t>(index)];
        std::shared_ptr<Adapter> adapter = device ? OpenAdapter(device) : nullptr;
        if (!adapter) return kInvalidHandle;
        const Handle h = next_++;
        handles_.emplace(h, std::move(adapter));
        return h;
    }

    bool ioControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) override {
        std::uint32_t returned = 0;
        bool ok = false;
        std::shared_ptr<Adapter> adapter;
        {
            std::lock_guard lock(mutex_);
            if (const auto it = handles_.find(handle); it != handles_.end()) adapter = it->second;
        }
        if (adapter && !adapter->gone) {
            const auto* input = static_cast<const std::uint8_t*>(in);
            auto* output = static_cast<std::uint8_t*>(out);
            if (!in) inSize = 0;
            if (!out) outSize = 0;
            switch (code) {
                case kIoctlGetDeviceDescriptor:
                    ok = DeviceDescriptor(*adapter, output, outSize, returned);
                    break;
                case kIoctlVendorRequest:
                    ok = VendorRequest(*adapter, input, inSize, output, outSize, returned);
                    break;
                case kIoctlSetInterface:
                    ok = inSize >= 2 && SetInterface(*adapter, input[0], input[1]);
                    break;
                case kIoctlBulkRead:
                case kIoctlBulkWrite:
                    ok = inSize >= 4 && Bulk(*adapter, readU32(input), code == kIoctlBulkRead,
                                             output, outSize, returned);
                    break;
                case kIoctlFirmwareDownload:
                    ok = inSize >= 2 && Download(*adapter, readU16(input), output, outSize);
                    if (ok) returned = outSize;
                    break;
                default:
                    break;
            }
        }
        if (bytesReturned) *bytesReturned = returned;
        return ok;
    }

    void close(Handle handle) override {
        std::shared_ptr<Adapter> last;
        std::lock_guard lock(mutex_);
        if (const auto it = handles_.find(handle); it != handles_.end()) {
            last = std::move(it->second);
            handles_.erase(it);
        }
    }

private:
    // Brings the names up to date. An adapter keeps its name while it stays attached, so that
    // pulling one out never hands its name to another; adapters that came take the lowest free
    // names in the order bus number, then port path (at start-up: all of them in that order).
    void Rescan() {
        std::vector<libusb_device*> found;
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context_, &list);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS) continue;
            const bool wanted = std::any_of(ids_.begin(), ids_.end(), [&](const UsbId& id) {
                return id.vendor == d.idVendor && id.product == d.idProduct;
            });
            if (wanted) found.push_back(list[i]);
        }
        std::stable_sort(found.begin(), found.end(),
                         [](libusb_device* a, libusb_device* b) { return locate(a) < locate(b); });
        const auto attached = [&](libusb_device* d) {
            return std::find(found.begin(), found.end(), d) != found.end();
        };
        for (auto*& d : names_) {
            if (d && !attached(d)) {
                // Closed once its last handle is.
                adapters_.erase(d);
                libusb_unref_device(d);
                d = nullptr;
            }
        }
        for (auto* d : found) {
            if (std::find(names_.begin(), names_.end(), d) != names_.end()) continue;
            const auto free = std::find(names_.begin(), names_.end(), nullptr);
            if (free == names_.end()) break;
            *free = libusb_ref_device(d);
        }
        if (n >= 0) libusb_free_device_list(list, 1);
    }

    std::shared_ptr<Adapter> OpenAdapter(libusb_device* device) {
        if (const auto it = adapters_.find(device); it != adapters_.end())
            return it->second->gone ? nullptr : it->second;
        libusb_device_handle* handle = nullptr;
        const int r = libusb_open(device, &handle);
        if (r == LIBUSB_ERROR_ACCESS) {
            const auto node = deviceNode(device);
            if (warned_.insert(node).second) std::cerr << permissionHint(node) << '\n';
        }
        if (r != LIBUSB_SUCCESS) return nullptr;
        // A kernel driver bound to the interface steps aside while we hold it, and comes back.
        libusb_set_auto_detach_kernel_driver(handle, 1);
        auto adapter = std::make_shared<Adapter>();
        adapter->device = libusb_ref_device(device);
        adapter->handle = handle;
        adapters_.emplace(device, adapter);
        return adapter;
    }

    static bool DeviceDescriptor(Adapter& a, std::uint8_t* out, std::uint32_t outSize,
                                 std::uint32_t& returned) {
        libusb_device_descriptor d{};
        if (outSize < LIBUSB_DT_DEVICE_SIZE ||
            libusb_get_device_descriptor(a.device, &d) != LIBUSB_SUCCESS)
            return false;
        const std::uint8_t bytes[LIBUSB_DT_DEVICE_SIZE] = {
            d.bLength,
            d.bDescriptorType,
            static_cast<std::uint8_t>(d.bcdUSB),
            static_cast<std::uint8_t>(d.bcdUSB >> 8),
            d.bDeviceClass,
            d.bDeviceSubClass,
            d.bDeviceProtocol,
            d.bMaxPacketSize0,
            static_cast<std::uint8_t>(d.idVendor),
            static_cast<std::uint8_t>(d.idVendor >> 8),
            static_cast<std::uint8_t>(d.idProduct),
            static_cast<std::uint8_t>(d.idProduct >> 8),
            static_cast<std::uint8_t>(d.bcdDevice),
            static_cast<std::uint8_t>(d.bcdDevice >> 8),
            d.iManufacturer,
            d.iProduct,
            d.iSerialNumber,
            d.bNumConfigurations};
        std::memcpy(out, bytes, sizeof bytes);
        returned = sizeof bytes;
        return true;
    }

    // The 10-byte block: request, pad, value, index, length, direction, data byte.
    static bool VendorRequest(Adapter& a, const std::uint8_t* in, std::uint32_t inSize,
                              std::uint8_t* out, std::uint32_t outSize, std::uint32_t& returned) {
        if (inSize < 10) return false;
        const std::uint8_t request = in[0];
        const std::uint16_t value = readU16(in + 2);
        const std::uint16_t index = readU16(in + 4);
        const std::uint16_t length = readU16(in + 6);
        const bool toHost = in[8] != 0;
        if (!toHost) {
            // The block carries one data byte.
            if (length > 1) return false;
            std::uint8_t data = in[9];
            const int r = libusb_control_transfer(a.handle, kVendorOut, request, value, index,
                                                  &data, length, kControlTimeoutMs);
            return a.Check(r) && r == length;
        }
        if (length > outSize) return false;
        const int r = libusb_control_transfer(a.handle, kVendorIn, request, value, index, out,
                                              length, kControlTimeoutMs);
        if (!a.Check(r)) return false;
        returned = static_cast<std::uint32_t>(r);
        return true;
    }

    static bool Download(Adapter& a, std::uint16_t offset, const std::uint8_t* code,
                         std::uint32_t size) {
        if (std::size_t{offset} + size > 0x10000) return false;
        for (std::uint32_t done = 0; done < size;) {
            const auto n =
                static_cast<std::uint16_t>(std::min<std::size_t>(kDownloadChunk, size - done));
            // libusb takes a writable buffer even for the host-to-device direction.
            std::array<std::uint8_t, kDownloadChunk> piece;
            std::memcpy(piece.data(), code + done, n);
            const int r = libusb_control_transfer(a.handle, kVendorOut, kMemoryAccessRequest,
                                                  static_cast<std::uint16_t>(offset + done), 0,
                                                  piece.data(), n, kControlTimeoutMs);
            if (!a.Check(r) || r != n) return false;
            done += n;
        }
        return true;
    }

    static bool SetInterface(Adapter& a, std::uint8_t number, std::uint8_t alternate) {
        std::lock_guard lock(a.mutex);
        if (!a.Claim(number)) return false;
        if (!a.Check(libusb_set_interface_alt_setting(a.handle, number, alternate))) return false;
        a.alternateSetting = alternate;
        return true;
    }

    struct Endpoint {
        std::uint8_t address = 0;
        bool interrupt = false;
    };

    // Pipe N is the N-th endpoint of the interface's active alternate setting.
    static std::optional<Endpoint> PipeEndpoint(Adapter& a, std::uint32_t pipe) {
        std::lock_guard lock(a.mutex);
        if (!a.Claim(a.interfaceNumber)) return std::nullopt;
        libusb_config_descriptor* config = nullptr;
        if (!a.Check(libusb_get_active_config_descriptor(a.device, &config))) return std::nullopt;
        std::optional<Endpoint> found;
        for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
            const auto& iface = config->interface[i];
            for (int s = 0; s < iface.num_altsetting; ++s) {
                const auto& alt = iface.altsetting[s];
                if (alt.bInterfaceNumber != a.interfaceNumber ||
                    alt.bAlternateSetting != a.alternateSetting)
                    continue;
                if (pipe >= 1 && pipe <= alt.bNumEndpoints) {
                    const auto& ep = alt.endpoint[pipe - 1];
                    found = Endpoint{ep.bEndpointAddress,
                                     (ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) ==
                                         LIBUSB_TRANSFER_TYPE_INTERRUPT};
                }
                break;
            }
        }
        libusb_free_config_descriptor(config);
        return found;
    }

    static bool Bulk(Adapter& a, std::uint32_t pipe, bool read, std::uint8_t* data,
                     std::uint32_t size, std::uint32_t& returned) {
        const auto endpoint = PipeEndpoint(a, pipe);
        if (!endpoint) return false;
        const bool in = (endpoint->address & LIBUSB_ENDPOINT_IN) != 0;
        if (in != read) return false;
        const unsigned timeout = read ? kReadTimeoutMs : kWriteTimeoutMs;
        int transferred = 0;
        const auto transfer =
            endpoint->interrupt ? libusb_interrupt_transfer : libusb_bulk_transfer;
        const int r = transfer(a.handle, endpoint->address, data, static_cast<int>(size),
                               &transferred, timeout);
        returned = static_cast<std::uint32_t>(std::max(transferred, 0));
        // An IN endpoint that stays silent has nothing to say: an empty packet.
        if (r == LIBUSB_ERROR_TIMEOUT && read) return true;
        if (!a.Check(r)) return false;
        return read || returned == size;
    }

    libusb_context* context_;
    std::vector<UsbId> ids_;
    std::mutex mutex_;
    std::array<libusb_device*, kMaxDevices> names_{};  // "\\.\ezusb-N" is names_[N]; referenced
    std::map<libusb_device*, std::shared_ptr<Adapter>> adapters_;
    std::map<Handle, std::shared_ptr<Adapter>> handles_;
    std::set<std::string> warned_;
    Handle next_ = 1;
};

}  // namespace

std::optional<std::vector<UsbId>> parseUsbIds(std::string_view text) {
    std::vector<UsbId> ids;
    const auto hex = [](std::string_view s, std::uint16_t& v) {
        if (s.size() != 4) return false;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
        return ec == std::errc{} && end == s.data() + s.size();
    };
    while (!text.empty()) {
        const auto comma = text.find(',');
        const auto item = text.substr(0, comma);
        const auto colon = item.find(':');
        UsbId id;
        if (colon == std::string_view::npos || !hex(item.substr(0, colon), id.vendor) ||
            !hex(item.substr(colon + 1), id.product))
            return std::nullopt;
        ids.push_back(id);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
        if (text.empty()) return std::nullopt;
    }
    if (ids.empty()) return std::nullopt;
    return ids;
}

std::string permissionHint(const std::string& node) {
    return "libusb: no permission to open the adapter at " + node + "; install the udev rule " +
           kUdevRuleFile +
           " (cmake --install puts it into lib/udev/rules.d), add yourself to the plugdev group "
           "and plug the adapter in again";
}

std::shared_ptr<Transport> makeLibusbTransport(std::string_view argument, std::string& error) {
    std::vector<UsbId> ids{kAdapterId};
    if (!argument.empty()) {
        auto parsed = parseUsbIds(argument);
        if (!parsed) {
            error = "libusb: '" + std::string(argument) +
                    "' is not a list of VVVV:PPPP hexadecimal USB ids";
            return nullptr;
        }
        ids = std::move(*parsed);
    }
    libusb_context* context = nullptr;
    if (const int r = libusb_init(&context); r != LIBUSB_SUCCESS) {
        error = std::string("libusb cannot start: ") + libusb_strerror(r);
        return nullptr;
    }
    return std::make_shared<LibusbTransport>(context, std::move(ids));
}

}  // namespace usbio
