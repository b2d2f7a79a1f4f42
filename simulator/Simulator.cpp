#include "Simulator.h"

#include <charconv>
#include <sstream>

#include "Bus.h"
#include "SimAdapter.h"
#include "usb/IoctlCodes.h"

namespace sim {

namespace {
// A pipe-1 read with nothing to report waits up to this long for data, returning as soon as
// some arrives: ten USB frames, so an idle reader wakes 100 times a second, not 1000.
constexpr auto kEmptyReadWait = std::chrono::milliseconds(10);

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() &&
               (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n'))
            ++i;
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r' &&
               line[j] != '\n')
            ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

bool toInt(std::string_view s, int& value) {
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && ptr == s.data() + s.size();
}
}  // namespace

const char* const Simulator::kControlHelp =
    "unplug [N] | replug [N] | bus-disconnect [N] | bus-connect [N] | logoff [N] | logon [N]\n"
    "usb-errors COUNT [N]   (COUNT -1: every transfer fails until usb-errors 0)\n"
    "drop-answer [N] | corrupt-checksum [N] | wrong-sub [N]   (N answers, default 1; -1: every\n"
    "    answer until clear) | answer-delay MS | clear\n"
    "status [N] | list | help        (N: device number, default the first adapter)";

Simulator::Simulator(Scenario scenario) : scenario_(std::move(scenario)) {
    bus_ = std::make_shared<Bus>(scenario_, os::clock().now());
    for (const auto& spec : scenario_.adapters) {
        adapters_.push_back(std::make_unique<SimAdapter>(spec, scenario_.bus, *bus_));
        streamChanged_.push_back(std::make_unique<std::condition_variable>());
    }
    bus_->setListener([this](const BusTelegram& t) {
        for (auto& a : adapters_) a->hear(t);
    });
}

Simulator::~Simulator() = default;

void Simulator::notifyReaders(bool all) {
    // Only the readers whose wait can end: data in their stream, or their device gone.
    std::vector<std::condition_variable*> due;
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < adapters_.size(); ++i) {
            const auto& a = *adapters_[i];
            if (all || !a.streamEmpty() || !a.plugged()) due.push_back(streamChanged_[i].get());
        }
    }
    for (auto* cv : due) cv->notify_all();
}

SimAdapter* Simulator::find(int device) const {
    for (const auto& a : adapters_)
        if (a->device() == device) return a.get();
    return nullptr;
}

bool Simulator::present(int device) const {
    std::lock_guard lock(mutex_);
    const auto* a = find(device);
    return a && a->plugged();
}

std::uint64_t Simulator::openDevice(int device) {
    std::lock_guard lock(mutex_);
    const auto* a = find(device);
    return a && a->plugged() ? a->generation() : 0;
}

bool Simulator::ioControl(int device, std::uint64_t generation, std::uint32_t code, const void* in,
                          std::uint32_t inSize, void* out, std::uint32_t outSize,
                          std::uint32_t* bytesReturned) {
    std::uint32_t ignored = 0;
    if (!bytesReturned) bytesReturned = &ignored;
    *bytesReturned = 0;
    const auto* inBytes = static_cast<const std::uint8_t*>(in);
    auto* outBytes = static_cast<std::uint8_t*>(out);

    auto& clock = os::clock();
    std::unique_lock lock(mutex_);
    SimAdapter* a = find(device);
    std::condition_variable* changed = nullptr;
    for (std::size_t i = 0; i < adapters_.size(); ++i)
        if (adapters_[i].get() == a) changed = streamChanged_[i].get();
    const auto valid = [&] { return a && a->plugged() && a->generation() == generation; };
    if (!valid()) return false;

    auto now = clock.now();
    bus_->advance(now);
    const bool streamRead = code == usbio::kIoctlBulkRead && inBytes && inSize >= 4 &&
                            inBytes[0] == 1 && inBytes[1] == 0 && inBytes[2] == 0 &&
                            inBytes[3] == 0;
    if (streamRead && a->hearsBus() && a->streamEmpty()) {
        // Return as soon as something arrives, or after one frame with an empty packet.
        const auto deadline = now + kEmptyReadWait;
        while (a->streamEmpty() && valid() && now < deadline) {
            const auto wake = std::min(deadline, bus_->nextEventTime());
            if (wake > now) changed->wait_for(lock, clock.toReal(wake - now));
            now = clock.now();
            bus_->advance(now);
        }
        if (!valid()) return false;
    }
    const bool ok = a->ioControl(code, inBytes, inSize, outBytes, outSize, bytesReturned, now);
    lock.unlock();
    notifyReaders(false);
    return ok;
}

void Simulator::unplug(int device) {
    {
        std::lock_guard lock(mutex_);
        if (auto* a = find(device)) a->unplug();
    }
    notifyReaders(true);
}

void Simulator::replug(int device) {
    std::lock_guard lock(mutex_);
    if (auto* a = find(device); a && !a->plugged()) a->replug();
}

void Simulator::setBusConnected(int device, bool connected) {
    std::lock_guard lock(mutex_);
    if (auto* a = find(device)) a->setBusConnected(connected);
}

void Simulator::setLoggedOn(int device, bool loggedOn) {
    std::lock_guard lock(mutex_);
    if (auto* a = find(device)) a->setLoggedOn(loggedOn);
}

void Simulator::failTransfers(int device, int count) {
    std::lock_guard lock(mutex_);
    if (auto* a = find(device)) a->failTransfers(count);
}

void Simulator::dropAnswers(int count) {
    std::lock_guard lock(mutex_);
    bus_->dropAnswers(count);
}

void Simulator::corruptChecksums(int count) {
    std::lock_guard lock(mutex_);
    bus_->corruptChecksums(count);
}

void Simulator::wrongSubAnswers(int count) {
    std::lock_guard lock(mutex_);
    bus_->wrongSubAnswers(count);
}

void Simulator::setAnswerDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    bus_->setAnswerDelay(delay);
}

void Simulator::clearFaults() {
    std::lock_guard lock(mutex_);
    bus_->clearFaults();
    for (auto& a : adapters_) a->failTransfers(0);
}

AdapterSnapshot Simulator::snapshot(int device) const {
    std::lock_guard lock(mutex_);
    const auto* a = find(device);
    return a ? a->snapshot(os::clock().now()) : AdapterSnapshot{};
}

std::vector<std::uint8_t> Simulator::adapterMemory(int device) const {
    std::lock_guard lock(mutex_);
    const auto* a = find(device);
    return a ? a->memory() : std::vector<std::uint8_t>{};
}

std::vector<int> Simulator::devices() const {
    std::vector<int> out;
    for (const auto& a : adapters_) out.push_back(a->device());
    return out;
}

std::string Simulator::control(std::string_view command) {
    std::string reply;
    {
        std::lock_guard lock(mutex_);
        reply = controlLocked(command);
    }
    notifyReaders(true);
    return reply;
}

std::string Simulator::controlLocked(std::string_view command) {
    const auto w = words(command);
    if (w.empty()) return "error: empty command (try 'help')";
    const std::string_view verb = w[0];
    const auto fail = [](std::string_view what) { return "error: " + std::string(what); };

    // Commands that name no adapter act on the bus.
    if (verb == "help") return std::string("ok\n") + kControlHelp;
    if (verb == "drop-answer" || verb == "corrupt-checksum" || verb == "wrong-sub") {
        int count = 1;
        if (w.size() > 2 || (w.size() == 2 && (!toInt(w[1], count) || count < -1)))
            return fail(std::string(verb) + " takes a count of answers (-1: every answer)");
        if (verb == "drop-answer") bus_->dropAnswers(count);
        if (verb == "corrupt-checksum") bus_->corruptChecksums(count);
        if (verb == "wrong-sub") bus_->wrongSubAnswers(count);
        return "ok";
    }
    if (verb == "clear") {
        if (w.size() != 1) return fail("clear takes no argument");
        bus_->clearFaults();
        for (auto& a : adapters_) a->failTransfers(0);
        return "ok";
    }
    if (verb == "answer-delay") {
        int ms = 0;
        if (w.size() != 2 || !toInt(w[1], ms) || ms < 0 || ms > 60000)
            return fail("answer-delay needs milliseconds 0..60000");
        bus_->setAnswerDelay(std::chrono::milliseconds(ms));
        return "ok";
    }
    if (verb == "list") {
        std::ostringstream out;
        out << "ok";
        for (const auto& a : adapters_)
            out << ' ' << a->device() << (a->plugged() ? ":plugged" : ":unplugged");
        return out.str();
    }

    // Commands on one adapter: the device number comes last and defaults to the first.
    std::size_t argc = verb == "usb-errors" ? 2 : 1;
    int count = 0;
    if (verb == "usb-errors" && (w.size() < 2 || !toInt(w[1], count) || count < -1))
        return fail("usb-errors needs a count (-1 for every transfer)");
    if (w.size() > argc + 1) return fail("too many arguments");
    int device = adapters_.empty() ? -1 : adapters_.front()->device();
    if (w.size() == argc + 1 && !toInt(w[argc], device)) return fail("bad device number");
    SimAdapter* a = find(device);
    if (!a) return fail("no adapter at device " + std::to_string(device));

    if (verb == "unplug") {
        a->unplug();
    } else if (verb == "replug") {
        if (!a->plugged()) a->replug();
    } else if (verb == "bus-disconnect" || verb == "bus-connect") {
        a->setBusConnected(verb == "bus-connect");
    } else if (verb == "logoff" || verb == "logon") {
        a->setLoggedOn(verb == "logon");
    } else if (verb == "usb-errors") {
        a->failTransfers(count);
    } else if (verb == "status") {
        const auto s = a->snapshot(os::clock().now());
        std::ostringstream out;
        out << "ok device=" << device << " plugged=" << s.plugged << " hold=" << s.onHold
            << " stage1=" << s.stageOneRunning << " firmware=" << s.firmwareRunning
            << " connected=" << s.busConnected << " loggedOn=" << s.loggedOn
            << " method=" << (s.crc ? "crc" : "sum") << " address=" << s.address
            << " token=" << s.token << " nextToken=" << s.nextToken << " sent=" << s.telegramsSent;
        return out.str();
    } else {
        return fail("unknown command '" + std::string(verb) + "' (try 'help')");
    }
    return "ok";
}

}  // namespace sim
