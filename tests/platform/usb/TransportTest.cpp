// The transport factory and the process-wide transport, and device-name parsing.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/FakeTransport.h"
#include "usb/IoctlCodes.h"
#include "usb/Transport.h"

namespace {

using testsupport::FakeTransport;

// Makes fake transports with no device behind them, tagged with their argument: only their
// identity and that argument matter here.
std::shared_ptr<FakeTransport> NullTransport(std::string argument) {
    auto t = std::make_shared<FakeTransport>();
    t->SetPresent(false);
    t->RefuseRequests(true);
    t->tag = std::move(argument);
    return t;
}

void registerNullBackend() {
    usbio::registerBackend("null", [](std::string_view arg, std::string& error) {
        if (arg == "refuse") {
            error = "refused on purpose";
            return std::shared_ptr<usbio::Transport>{};
        }
        if (arg == "silent") return std::shared_ptr<usbio::Transport>{};
        return std::shared_ptr<usbio::Transport>(NullTransport(std::string(arg)));
    });
}

}  // namespace

TEST(DeviceName, OnlyTheKernelDriversNamesParse) {
    const struct {
        const char* name;
        int index;
    } cases[] = {
        {"\\\\.\\ezusb-0", 0},    {"\\\\.\\ezusb-9", 9},
        {"\\\\.\\ezusb-10", 10},  {"\\\\.\\ezusb-15", 15},
        {"\\\\.\\ezusb-16", -1},  {"\\\\.\\ezusb-99", -1},
        {"\\\\.\\ezusb-100", -1}, {"\\\\.\\ezusb-01", -1},
        {"\\\\.\\ezusb-00", -1},  {"\\\\.\\ezusb-", -1},
        {"\\\\.\\ezusb--1", -1},  {"\\\\.\\ezusb-+1", -1},
        {"\\\\.\\ezusb- 1", -1},  {"\\\\.\\ezusb-1 ", -1},
        {"\\\\.\\ezusb-1a", -1},  {"\\\\.\\ezusb-1\n", -1},
        {"ezusb-0", -1},          {"\\\\.\\ezusb0", -1},
        {"\\\\.\\ezusb", -1},     {"", -1},
        {"\\\\.\\other-0", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(usbio::deviceIndexFromName(c.name), c.index) << c.name;
    EXPECT_EQ(usbio::deviceIndexFromName(nullptr), -1);
}

TEST(TransportFactory, BackendsAreChosenByName) {
    registerNullBackend();
    std::string error;
    EXPECT_EQ(usbio::makeTransport("nosuch:x", error), nullptr);
    EXPECT_NE(error.find("nosuch"), std::string::npos) << error;

    error.clear();
    auto t = usbio::makeTransport("null:a:b", error);
    ASSERT_NE(t, nullptr) << error;
    // Everything after the first colon belongs to the backend.
    EXPECT_EQ(std::static_pointer_cast<FakeTransport>(t)->tag, "a:b");
    t = usbio::makeTransport("null", error);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::static_pointer_cast<FakeTransport>(t)->tag, "");

    error.clear();
    EXPECT_EQ(usbio::makeTransport("null:refuse", error), nullptr);
    EXPECT_EQ(error, "refused on purpose");
    error.clear();
    EXPECT_EQ(usbio::makeTransport("null:silent", error), nullptr);
    EXPECT_NE(error.find("null"), std::string::npos) << "a failing backend must say so";

    error.clear();
    EXPECT_EQ(usbio::makeTransport("", error), nullptr);
    EXPECT_FALSE(error.empty());
}

TEST(TransportFactory, SocketBackendNeedsADirectory) {
    std::string error;
    EXPECT_EQ(usbio::makeTransport("socket", error), nullptr);
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_EQ(usbio::makeTransport("socket:", error), nullptr);
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_EQ(usbio::makeTransport("socket:/nonexistent/tivsim", error), nullptr);
    EXPECT_NE(error.find("/nonexistent/tivsim"), std::string::npos) << error;

    const auto file = std::filesystem::temp_directory_path() / "tiv-transport-test-file";
    std::ofstream(file) << "x";
    error.clear();
    EXPECT_EQ(usbio::makeTransport("socket:" + file.string(), error), nullptr);
    EXPECT_FALSE(error.empty());
    std::filesystem::remove(file);

    error.clear();
    const auto t = usbio::makeTransport("socket:/tmp", error);
    ASSERT_NE(t, nullptr) << error;
    // Nobody serves there: opening fails, nothing hangs, bad handles are ignored.
    EXPECT_EQ(t->open("\\\\.\\ezusb-0"), usbio::kInvalidHandle);
    std::uint32_t n = 7;
    std::uint8_t out[18];
    EXPECT_FALSE(
        t->ioControl(12345, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, out, sizeof out, &n));
    EXPECT_EQ(n, 0u);
    t->close(usbio::kInvalidHandle);
    t->close(0);  // not ours: stdin must stay open
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
}

// One test: the transport made from $TIV_USB is kept for the life of the process.
TEST(ProcessTransport, EnvironmentThenInstalledTransport) {
    registerNullBackend();
    ::setenv("TIV_USB", "nosuch:1", 1);
    std::string error;
    if (usbio::processTransport(&error))
        GTEST_SKIP() << "this process made its transport before (a repeated run)";
    EXPECT_NE(error.find("TIV_USB=nosuch:1"), std::string::npos) << error;

    ::setenv("TIV_USB", "null:env", 1);
    const auto fromEnv = usbio::processTransport(&error);
    ASSERT_NE(fromEnv, nullptr) << error;
    EXPECT_EQ(std::static_pointer_cast<FakeTransport>(fromEnv)->tag, "env");
    EXPECT_EQ(usbio::processTransport(), fromEnv);

    const auto mine = NullTransport("installed");
    usbio::installProcessTransport(mine);
    EXPECT_EQ(usbio::processTransport(), mine);
    usbio::installProcessTransport(nullptr);
    EXPECT_EQ(usbio::processTransport(), fromEnv);
    ::unsetenv("TIV_USB");
}
