#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "ComTestSupport.h"
#include "com/Registry.h"

namespace {

using namespace com;
using comtest::readFile;
using comtest::TempDir;
using comtest::writeFile;

constexpr const char* kClsidKey =
    "HKEY_CLASSES_ROOT\\CLSID\\{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}";

TEST(ComRegistry, TextRoundTripKeepsValuesEscapesAndCase) {
    RegistryData d;
    ASSERT_EQ(d.setString(std::string(kClsidKey) + "\\InprocServer32", "", "/opt/a b/lib.so"),
              S_OK);
    ASSERT_EQ(
        d.setString(std::string(kClsidKey) + "\\InprocServer32", "ThreadingModel", "Apartment"),
        S_OK);
    ASSERT_EQ(d.setString("HKCR\\Odd", "quote\"and\\slash", "C:\\x \"y\""), S_OK);
    ASSERT_EQ(d.setValue("HKCR\\Odd", "Count", std::uint32_t{0xA}), S_OK);
    const auto text = d.format();
    EXPECT_NE(text.find("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\CLSID]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"quote\\\"and\\\\slash\"=\"C:\\\\x \\\"y\\\"\""), std::string::npos)
        << text;
    EXPECT_NE(text.find("\"Count\"=dword:0000000a"), std::string::npos) << text;

    RegistryData back;
    std::string error;
    ASSERT_TRUE(back.parse(text, &error)) << error;
    EXPECT_EQ(back.format(), text);
    // Keys and names match without regard to case and keep the case they were made with.
    EXPECT_EQ(back.string("hkey_classes_root\\clsid\\{fec124c9-0c9d-4a6d-ab91-02a18cca2a21}"
                          "\\INPROCSERVER32",
                          "threadingmodel"),
              "Apartment");
    EXPECT_EQ(back.string("HKCR\\ODD", "QUOTE\"AND\\SLASH"), "C:\\x \"y\"");
    EXPECT_EQ(back.value("HKCR\\Odd", "Count"), RegistryData::Value(std::uint32_t{10}));
    EXPECT_EQ(back.string("HKCR\\Odd", "Count"), std::nullopt) << "a number is not a string";
    EXPECT_EQ(back.subKeys("HKCR"), (std::vector<std::string>{"CLSID", "Odd"}));
    EXPECT_EQ(back.valueNames(std::string(kClsidKey) + "\\InprocServer32"),
              (std::vector<std::string>{"", "ThreadingModel"}));
    // CR LF line ends and comments are read too.
    RegistryData crlf;
    ASSERT_TRUE(
        crlf.parse("REGEDIT4\r\n; a comment\r\n[HKEY_CLASSES_ROOT]\r\n"
                   "[HKEY_CLASSES_ROOT\\A]\r\n@=\"x\"\r\n",
                   &error))
        << error;
    EXPECT_EQ(crlf.string("HKCR\\A"), "x");
}

TEST(ComRegistry, DeleteRemovesTheSubtreeOnly) {
    RegistryData d;
    for (const char* k : {"HKCR\\a", "HKCR\\a\\b", "HKCR\\a\\b\\c", "HKCR\\ab", "HKCR\\a b",
                          "HKCR\\a.b", "HKCR\\b"})
        ASSERT_EQ(d.createKey(k), S_OK) << k;
    EXPECT_EQ(d.deleteKey("HKCR\\A"), S_OK);
    EXPECT_EQ(d.deleteKey("HKCR\\a"), S_FALSE);
    for (const char* gone : {"HKCR\\a", "HKCR\\a\\b", "HKCR\\a\\b\\c"})
        EXPECT_FALSE(d.keyExists(gone)) << gone;
    for (const char* kept : {"HKCR\\ab", "HKCR\\a b", "HKCR\\a.b", "HKCR\\b"})
        EXPECT_TRUE(d.keyExists(kept)) << kept;
    ASSERT_EQ(d.setString("HKCR\\b", "v", "1"), S_OK);
    EXPECT_EQ(d.deleteValue("HKCR\\b", "V"), S_OK);
    EXPECT_EQ(d.deleteValue("HKCR\\b", "v"), S_FALSE);
}

TEST(ComRegistry, BadNamesAreRefused) {
    RegistryData d;
    for (const char* bad : {"", "CLSID\\x", "HKEY_NOWHERE\\x", "HKCR", "HKCR\\", "HKCR\\\\x",
                            "HKCR\\x\\", "HKCR\\a]b", "HKCR\\tab\there"})
        EXPECT_EQ(d.createKey(bad), E_INVALIDARG) << bad;
    EXPECT_EQ(d.setString("HKCR\\x", "line\nbreak", "v"), E_INVALIDARG);
    EXPECT_EQ(d.setString("HKCR\\x", "n", "line\nbreak"), E_INVALIDARG);
    EXPECT_EQ(d.setString("HKCR\\" + std::string(300, 'k'), "", "v"), E_INVALIDARG);
    EXPECT_EQ(d.keyCount(), 0u);
}

TEST(ComRegistry, GarbageIsRejectedWithALineNumberAndNeverOverwritten) {
    static const char kNulInside[] = "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"nul\0inside\"\n";
    const std::vector<std::string> bad = {
        "not a registry",
        "REGEDIT4\n@=\"value before any key\"\n",
        "REGEDIT4\n[HKEY_CLASSES_ROOT\\A\n",
        "REGEDIT4\n[HKEY_SOMEWHERE\\A]\n",
        "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"unterminated=\"x\"\n",
        "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"bad \\escape\"\n",
        "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"x\" trailing\n",
        "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=hex:01,02\n",
        "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=dword:123456789\n",
        "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=dword:\n",
        "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@\n",
        std::string(kNulInside, sizeof kNulInside - 1),
        "REGEDIT4\n[" + std::string(100000, 'x') + "]\n",
    };
    for (const auto& text : bad) {
        RegistryData d;
        std::string error;
        EXPECT_FALSE(d.parse(text, &error)) << text.substr(0, 60);
        EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        EXPECT_EQ(d.keyCount(), 0u);
    }
    // Random bytes never crash the reader.
    std::mt19937 gen(7);
    for (int i = 0; i < 300; ++i) {
        std::string junk = i % 2 ? "REGEDIT4\n" : "";
        const int n = static_cast<int>(gen() % 400);
        for (int j = 0; j < n; ++j)
            junk += static_cast<char>("[]\\\"@=\n;dword:HKCR\x01\xff"[gen() % 21]);
        RegistryData d;
        std::string error;
        d.parse(junk, &error);
    }

    TempDir dir;
    const auto file = dir / "garbage.reg";
    const std::string garbage =
        "\x7f"
        "ELF binary junk\n[[[";
    writeFile(file, garbage);
    Registry reg(file);
    RegistryData d;
    std::string error;
    EXPECT_EQ(reg.load(d, &error), REGDB_E_READREGDB);
    EXPECT_NE(error.find(file.string()), std::string::npos) << error;
    EXPECT_EQ(reg.setString("HKCR\\A", "", "x"), REGDB_E_WRITEREGDB);
    EXPECT_EQ(readFile(file), garbage) << "a file that does not parse was overwritten";
    EXPECT_FALSE(reg.getString("HKCR\\A"));

    // A directory where the file should be.
    Registry dirAsFile(dir.path());
    EXPECT_EQ(dirAsFile.load(d, &error), REGDB_E_READREGDB);
}

TEST(ComRegistry, FileRoundTripSetAndDelete) {
    TempDir dir;
    Registry reg(dir / "sub" / "dir" / "registry.reg");
    EXPECT_FALSE(reg.keyExists("HKCR\\Tivlink.TivDriver")) << "a missing file is empty";
    ASSERT_EQ(reg.setString("HKCR\\Tivlink.TivDriver\\CLSID", "", "{X}"), S_OK);
    EXPECT_EQ(reg.getString("HKEY_CLASSES_ROOT\\tivlink.tivdriver\\clsid"), "{X}");
    ASSERT_EQ(reg.update([](RegistryData& d) {
        d.setString("HKCR\\Other", "", "kept");
        return d.deleteKey("HKCR\\Tivlink.TivDriver");
    }),
              S_OK);
    EXPECT_FALSE(reg.keyExists("HKCR\\Tivlink.TivDriver\\CLSID"));
    EXPECT_EQ(reg.getString("HKCR\\Other"), "kept");
    // A failing change writes nothing.
    EXPECT_EQ(reg.update([](RegistryData& d) {
        d.deleteKey("HKCR\\Other");
        return E_ABORT;
    }),
              E_ABORT);
    EXPECT_EQ(reg.getString("HKCR\\Other"), "kept");
    EXPECT_EQ(readFile(reg.file()).rfind("REGEDIT4\n", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(reg.file().string() + ".tmp"));
}

TEST(ComRegistry, ConcurrentWritersInTwoProcessesLoseNothing) {
    TempDir dir;
    const auto file = dir / "shared.reg";
    constexpr int kPerWriter = 60;
    auto writer = [&](const char* who) {
        Registry reg(file);
        for (int i = 0; i < kPerWriter; ++i)
            if (FAILED(reg.setString("HKCR\\Writers\\" + std::string(who) + std::to_string(i), "",
                                     who)))
                return false;
        return true;
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(writer("child") ? 0 : 1);
    // Threads of this process write at the same time as the child.
    std::thread other([&] { EXPECT_TRUE(writer("thread")); });
    EXPECT_TRUE(writer("parent"));
    other.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    RegistryData d;
    ASSERT_EQ(Registry(file).load(d), S_OK);
    const auto keys = d.subKeys("HKCR\\Writers");
    EXPECT_EQ(keys.size(), 3u * kPerWriter);
    for (const char* who : {"child", "parent", "thread"})
        for (int i = 0; i < kPerWriter; ++i)
            EXPECT_EQ(d.string("HKCR\\Writers\\" + std::string(who) + std::to_string(i)), who);
}

TEST(ComRegistry, DefaultPathFollowsTheEnvironmentAndTheOverride) {
    const auto saved = [](const char* n) {
        const char* v = std::getenv(n);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto reg = saved("TIV_REGISTRY"), xdg = saved("XDG_DATA_HOME"), home = saved("HOME");
    ::setenv("TIV_REGISTRY", "/tmp/explicit.reg", 1);
    EXPECT_EQ(Registry::path(), "/tmp/explicit.reg");
    ::unsetenv("TIV_REGISTRY");
    ::setenv("XDG_DATA_HOME", "/tmp/xdg", 1);
    EXPECT_EQ(Registry::path(), "/tmp/xdg/tivlink/registry.reg");
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", "/tmp/home", 1);
    EXPECT_EQ(Registry::path(), "/tmp/home/.local/share/tivlink/registry.reg");
    Registry::setPath("/tmp/override.reg");
    EXPECT_EQ(Registry::path(), "/tmp/override.reg");
    EXPECT_EQ(Registry().file(), "/tmp/override.reg");
    Registry::setPath({});
    auto restore = [](const char* n, const std::optional<std::string>& v) {
        if (v)
            ::setenv(n, v->c_str(), 1);
        else
            ::unsetenv(n);
    };
    restore("TIV_REGISTRY", reg);
    restore("XDG_DATA_HOME", xdg);
    restore("HOME", home);
}

}  // namespace
