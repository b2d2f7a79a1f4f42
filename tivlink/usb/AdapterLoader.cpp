// Adapter selection and the two-stage firmware download.

#include "tivlink/usb/AdapterLoader.h"

#include <algorithm>

#include "os/Clock.h"
#include "tivlink/TivResults.h"
#include "tivlink/core/Format.h"

namespace tivlink {

using namespace std::chrono_literals;

namespace {
constexpr std::size_t kStageOneSize = 6976;
constexpr std::size_t kStageTwoOffset = 8192;
constexpr std::size_t kStageTwoPackets = 365;
constexpr std::size_t kImageSize = 31744;
constexpr std::size_t kAdapterNameBytes = 15;
}  // namespace

void AdapterLoader::SetIntAdapterName(int number) {
    usb_.SetCurrentDevice(adapters_.Entry(number).deviceName);
}

int AdapterLoader::GetNumAdapters() {
    const int found = adapters_.ScanUSB(usb_);
    // The scan leaves the last device current; keep talking to the selected one.
    SetIntAdapterName(selected_);
    return found;
}

bool AdapterLoader::IsFirmwareLoaded(std::vector<std::uint8_t>& softVer) {
    std::array<std::uint8_t, 10> version{};
    UsbPacket reply{};
    int code = pipe_.WriteCommand({0xF0});
    if (code == 0) {
        os::clock().sleepFor(10ms);
        code = usb_.ReadBulkStatus(5, reply);
    }
    if (code != 0) {
        version[0] = result::kFirmwareSilent;
        version[1] = static_cast<std::uint8_t>(code);
        softVer.assign(version.begin(), version.end());
        return false;
    }
    std::copy_n(reply.begin(), version.size(), version.begin());
    if (version[8] != 'S' || version[9] != 'W') return false;
    softVer.assign(version.begin(), version.end());
    return true;
}

int AdapterLoader::ReadAdapterInfo(int number, std::vector<std::uint8_t>& verStr) {
    AdapterEntry entry = adapters_.Entry(number);
    entry.adapterToken = entry.nextToken = entry.thirdInfo = entry.address = 0;
    entry.status = 0;
    int result = result::kFirmwareSilent;
    if (IsFirmwareLoaded(verStr)) {
        os::clock().sleepFor(10ms);
        UsbPacket status{};
        result = usb_.ReadBulkStatus(3, status);
        if (result == 0) {
            entry.adapterToken = status[10];
            entry.nextToken = status[11];
            entry.thirdInfo = status[12];
            entry.address = status[13];
            entry.status = static_cast<std::int8_t>(status[14]);
        }
    }
    adapters_.SetEntry(number, entry);
    return result;
}

bool AdapterLoader::IsAdapterPresent() {
    const bool present = usb_.DevicePresent(usb_.CurrentDevice());
    state_.adapterPresent = present;
    Show(present ? "Adapter vorhanden" : "Kein Adapter");
    return present;
}

int AdapterLoader::SelectAdapter(int number, int mode, std::vector<std::uint8_t>& verStr) {
    Log("Entry:SelectAdapter,Adapterno.:" + std::to_string(number) +
        ",Mode:" + std::to_string(mode) + " ----------");
    int result = 0;
    const bool byAddress = mode != 0;
    if (byAddress ? (number < 0 || number > 15) : (number < 1 || number > 16)) {
        result = result::SelectAdapter::kOutOfRange;
    } else {
        Log("Call:SelectAdapter->ScanUSB");
        adapters_.ScanUSB(usb_);
        Log("Return:SelectAdapter->ScanUSB");
        int chosen = number;
        if (byAddress) chosen = adapters_.NumberOfAddress(number);
        if (chosen == -1) {
            SetIntAdapterName(selected_);
            result = result::SelectAdapter::kNoAdapterAtAddress;
        } else {
            selected_ = chosen;
            Log("Call:SelectAdapter->SetIntAdapterName,Adapterno.:" + std::to_string(chosen));
            SetIntAdapterName(chosen);
            Log("Return:SelectAdapter->SetIntAdapterName");
            if (!IsAdapterPresent()) {
                result = result::SelectAdapter::kCannotOpen;
            } else {
                Log("SelectAdapter->\"found adapter\"");
                Log("Call:SelectAdapter->ReadAdapterInfo,Adapter:" + std::to_string(chosen - 1));
                result = ReadAdapterInfo(chosen, verStr);
                Log("Return:SelectAdapter->ReadAdapterInfo:" + std::to_string(result));
                if (result == 0) state_.adapterReady = true;
            }
        }
    }
    Log("Exit:SelectAdapter:" + std::to_string(result) + " ++++++++++");
    return result;
}

int AdapterLoader::ConnectAdapter(int mode) {
    if (mode == 0) return LoadAdapter();
    if (worker_.Exists()) {
        state_.threadCommand = kThreadIdle;
        os::clock().sleepFor(50ms);
        state_.threadCommand = kThreadDownload;
        worker_.Resume();
    }
    return result::ConnectAdapter::kStartedInWorker;
}

int AdapterLoader::LoadAdapter() {
    Log("Entry:LoadAdapter, ----------");
    state_.adapterReady = false;
    int result = 0;
    if (image_.size() < kImageSize) {
        result = result::LoadAdapter::kNoImage;
    } else {
        auto& clock = os::clock();
        usb_.Hold();
        clock.sleepFor(100ms);
        usb_.SetInterface(0, 0);
        clock.sleepFor(100ms);
        usb_.SetInterface(0, 1);
        clock.sleepFor(100ms);
        if (usb_.DownloadFirmware(0, image_.first(kStageOneSize)) != 0) {
            Show("Datei-Download fehlgeschlagen !");
            result = result::LoadAdapter::kFirstStageFailed;
            state_.lastError = result::LastError::kDownloadFailed;
            clock.sleepFor(100ms);
            // Never leave the microcontroller on hold.
            usb_.Run();
            clock.sleepFor(500ms);
        } else {
            Show("Standardbereich geladen");
            events_.Post(kMsgStdLoaded, "LoadAdapter->OnStdLoaded", "LoadAdapterFile->OnStdLoaded");
            clock.sleepFor(100ms);
            usb_.Run();
            clock.sleepFor(500ms);
            LoadProgress progress;
            {
                std::lock_guard lock(mutex_);
                progress = loadProgress_;
            }
            for (std::size_t i = 0; i < kStageTwoPackets; ++i) {
                usb_.WriteBulkData(4, image_.subspan(kStageTwoOffset + i * 64, 64));
                clock.sleepFor(10ms);
                if (progress) progress(static_cast<int>(i + 1));
            }
            Show("Firmware geladen !");
            std::vector<std::uint8_t> version;
            result = ReadAdapterInfo(selected_, version);
            clock.sleepFor(20ms);
            if (result == 0) state_.adapterReady = true;
        }
    }
    loadResult_ = result;
    if (state_.adapterReady)
        events_.Post(kMsgFirmwareLoaded, "LoadAdapter->OnFirmwareLoaded",
                     "LoadAdapterFile->OnFirmwareLoaded");
    Log("Exit:LoadAdapter:" + std::to_string(result) + " ++++++++++");
    return result;
}

void AdapterLoader::SetLoadProgress(LoadProgress progress) {
    std::lock_guard lock(mutex_);
    loadProgress_ = std::move(progress);
}

int AdapterLoader::GetAdapterAddr() {
    std::vector<std::uint8_t> version;
    const int number = selected_;
    const int result = ReadAdapterInfo(number, version);
    return result == 0 ? adapters_.Entry(number).address : result;
}

int AdapterLoader::GetAdapterToken() {
    std::vector<std::uint8_t> version;
    const int number = selected_;
    const int result = ReadAdapterInfo(number, version);
    return result == 0 ? adapters_.Entry(number).adapterToken : result::kTokenErrorFactor * result;
}

int AdapterLoader::GetNextToken() {
    std::vector<std::uint8_t> version;
    const int number = selected_;
    const int result = ReadAdapterInfo(number, version);
    return result == 0 ? adapters_.Entry(number).nextToken : result::kTokenErrorFactor * result;
}

int AdapterLoader::SetToken(int adapterToken, int nextToken) {
    Log("Entry:SetToken,AdapterToken:" + std::to_string(adapterToken) +
        ",NextToken:" + std::to_string(nextToken) + " ----------");
    std::vector<std::uint8_t> version;
    int result = result::kFirmwareSilent;
    if (IsFirmwareLoaded(version)) {
        result = pipe_.WriteCommand(
            {0x9C, static_cast<std::uint8_t>(nextToken), static_cast<std::uint8_t>(adapterToken)});
        os::clock().sleepFor(150ms);
        // The adapter answers with its new tokens; a failed re-read does not undo the write.
        if (result == 0) ReadAdapterInfo(selected_, version);
    }
    Log("Exit:SetToken:" + std::to_string(result) + " ++++++++++");
    return result;
}

int AdapterLoader::GetAdapterName(std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> version;
    const int number = selected_;
    const int result = ReadAdapterInfo(number, version);
    if (result != 0) return result;
    const std::string name = adapters_.Entry(number).displayName;
    data.assign(kAdapterNameBytes, 0);
    std::copy_n(name.begin(), std::min(name.size(), kAdapterNameBytes), data.begin());
    return 0;
}

int AdapterLoader::GetAddrDueNum(int nr) const {
    return adapters_.Entry(nr).address;
}

int AdapterLoader::GetNumDueAddr(int address) const {
    return adapters_.NumberOfAddress(address);
}

int AdapterLoader::TivResetHw() {
    Log("Entry:TivResetHw,----------");
    std::vector<std::uint8_t> version;
    if (IsFirmwareLoaded(version)) pipe_.WriteCommand({0xD7});
    Log("Exit:TivResetHw:0 ++++++++++");
    return 0;
}

std::string AdapterLoader::Filename() const {
    std::lock_guard lock(mutex_);
    return filename_;
}

void AdapterLoader::SetFilename(const std::string& name) {
    {
        std::lock_guard lock(mutex_);
        filename_ = name;
    }
    diagnostics_.WindowSink()->Add(name);
}

int AdapterLoader::VID() {
    int vid = -1;
    int pid = -1;
    usb_.ReadVidPid(vid, pid);
    return vid;
}

int AdapterLoader::PID() {
    int vid = -1;
    int pid = -1;
    usb_.ReadVidPid(vid, pid);
    return pid;
}

}  // namespace tivlink
