#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "os/MessageBox.h"
#include "os/SystemInfo.h"

namespace {

TEST(SystemInfo, ReportsPlausibleValues) {
    const auto available = os::availablePhysicalMemory();
    EXPECT_GT(available, 0u);
    EXPECT_LE(available, os::totalPhysicalMemory());

    const auto name = os::computerName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('.'), std::string::npos);

    const auto mine = os::currentThreadId();
    EXPECT_EQ(mine, os::currentThreadId());
    std::uint32_t other = 0;
    std::thread([&] { other = os::currentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

TEST(MessageBox, DefaultButtonFollowsTypeAndDefaultFlags) {
    const struct {
        std::uint32_t flags;
        int answer;
    } cases[] = {
        {os::MB_OK, os::IDOK},
        {os::MB_OK | os::MB_DEFBUTTON2, os::IDOK},  // past the last button
        {os::MB_OKCANCEL | os::MB_ICONQUESTION, os::IDOK},
        {os::MB_OKCANCEL | os::MB_DEFBUTTON2, os::IDCANCEL},
        {os::MB_YESNO | os::MB_ICONWARNING, os::IDYES},
        {os::MB_YESNO | os::MB_DEFBUTTON2, os::IDNO},
        {os::MB_YESNOCANCEL | os::MB_DEFBUTTON2, os::IDNO},
        {os::MB_YESNOCANCEL | os::MB_DEFBUTTON3 | os::MB_ICONERROR, os::IDCANCEL},
        {os::MB_YESNO | os::MB_DEFBUTTON3, os::IDYES},
        {os::MB_ABORTRETRYIGNORE | os::MB_DEFBUTTON3, os::IDIGNORE},
        {os::MB_RETRYCANCEL, os::IDRETRY},
        {0xE, os::IDOK},
    };
    for (const auto& c : cases) EXPECT_EQ(os::defaultButton(c.flags), c.answer) << c.flags;
}

TEST(MessageBox, HandlerCanBeReplacedAndRestored) {
    std::string seen;
    {
        os::ScopedMessageBoxHandler scripted(
            [&](const std::string& text, const std::string& caption, std::uint32_t flags) {
                seen = caption + "|" + text + "|" + std::to_string(flags);
                return os::IDNO;
            });
        EXPECT_EQ(os::MessageBox("Overwrite?", "Tivmate", os::MB_YESNO), os::IDNO);
        EXPECT_EQ(seen, "Tivmate|Overwrite?|4");
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(os::MessageBox("Disk full", "Tivmate", os::MB_OKCANCEL | os::MB_DEFBUTTON2),
              os::IDCANCEL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tivmate: Disk full\n");
}

}  // namespace
