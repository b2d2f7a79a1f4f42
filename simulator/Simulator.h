#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Scenario.h"

namespace sim {

class SimAdapter;
class Bus;

// What a test or tool may observe of one simulated adapter.
struct AdapterSnapshot {
    bool plugged = false;
    bool onHold = false;
    bool stageOneRunning = false;
    bool firmwareRunning = false;
    bool busConnected = false;
    bool loggedOn = false;
    bool crc = false;
    bool checkMode = false;
    int address = 0;
    int token = 0;
    int nextToken = 0;
    std::array<std::uint8_t, 10> versionRecord{};
    std::uint32_t telegramsSent = 0;    // telegrams this adapter put on the bus
    std::uint32_t streamOverflows = 0;  // frames dropped because pipe 1 was not read
    bool downloadLocked = false;
};

// A simulated set of adapters (EZ-USB core plus firmware) on one simulated Tiv bus with
// the scenario's field devices. Thread-safe; the transport calls it from any thread.
// Time comes from os::clock(), so a scaled clock speeds it up with the driver.
class Simulator {
public:
    explicit Simulator(Scenario scenario);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const Scenario& scenario() const { return scenario_; }

    // ---- what the kernel driver would see -------------------------------------------
    bool present(int device) const;
    // The device's plug generation (> 0), or 0 when the device is absent. A handle is valid
    // only while the device stays plugged in the generation it was opened in.
    std::uint64_t openDevice(int device);
    bool ioControl(int device, std::uint64_t generation, std::uint32_t code, const void* in,
                   std::uint32_t inSize, void* out, std::uint32_t outSize,
                   std::uint32_t* bytesReturned);

    // ---- faults (also reachable as text commands, see control()) ---------------------
    void unplug(int device);
    void replug(int device);  // a replugged adapter starts as at power-up
    void setBusConnected(int device, bool connected);
    void setLoggedOn(int device, bool loggedOn);
    void failTransfers(int device, int count);  // next `count` requests fail; -1: all
    // The next `count` device answers are dropped / corrupted / sent with another sub number;
    // -1: every answer until clearFaults().
    void dropAnswers(int count = 1);
    void corruptChecksums(int count = 1);
    void wrongSubAnswers(int count = 1);
    void dropNextAnswer() { dropAnswers(1); }
    void corruptNextChecksum() { corruptChecksums(1); }
    void wrongSubNextAnswer() { wrongSubAnswers(1); }
    void setAnswerDelay(std::chrono::milliseconds delay);
    void clearFaults();

    // Applies one text command (see kControlHelp); returns the reply line, which starts
    // with "ok" on success and "error: " otherwise.
    std::string control(std::string_view command);
    static const char* const kControlHelp;

    // ---- observation -----------------------------------------------------------------
    AdapterSnapshot snapshot(int device) const;
    std::vector<std::uint8_t> adapterMemory(int device) const;
    std::vector<int> devices() const;  // device numbers of the scenario's adapters

private:
    SimAdapter* find(int device) const;
    std::string controlLocked(std::string_view command);
    // Wakes the pipe-1 readers that have something to return (`all`: every reader).
    void notifyReaders(bool all);

    mutable std::mutex mutex_;
    // One per adapter, as adapters_: stream data arrived or the device went away. A transfer
    // wakes only the readers it concerns, so idle adapters do not wake one another.
    std::vector<std::unique_ptr<std::condition_variable>> streamChanged_;
    Scenario scenario_;
    std::shared_ptr<Bus> bus_;
    std::vector<std::unique_ptr<SimAdapter>> adapters_;
};

}  // namespace sim
