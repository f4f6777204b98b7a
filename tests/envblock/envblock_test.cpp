// The sidecar's environment block, built from this test process's own
// environment, which the tests set up with SetEnvironmentVariableW.
#include <gtest/gtest.h>

#include "../../shell/TovrinHostMain.h"

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> split_block(const wchar_t *block, size_t *used_units = nullptr)
{
    std::vector<std::wstring> out;
    const wchar_t *p = block;
    while (*p) {
        out.emplace_back(p);
        p += out.back().size() + 1;
    }
    if (used_units) {
        *used_units = (size_t)(p - block) + 1; // the final empty string
    }
    return out;
}

std::vector<std::wstring> own_environment()
{
    wchar_t *env = GetEnvironmentStringsW();
    std::vector<std::wstring> out = split_block(env);
    FreeEnvironmentStringsW(env);
    return out;
}

std::vector<std::wstring> built_block(size_t *used_units = nullptr)
{
    wchar_t *block = build_sidecar_env();
    EXPECT_NE(block, nullptr);
    if (!block) {
        return {};
    }
    std::vector<std::wstring> out = split_block(block, used_units);
    HeapFree(GetProcessHeap(), 0, block);
    return out;
}

std::wstring name_of(const std::wstring &entry)
{
    // "=C:=C:\dir" is named "=C:": the name's own '=' is its first byte.
    size_t eq = entry.find(L'=', 1);
    return entry.substr(0, eq);
}

std::string ascii(const std::wstring &w)
{
    std::string s;
    for (wchar_t c : w) {
        s.push_back(c < 128 ? (char)c : '?');
    }
    return s;
}

bool same_name(const std::wstring &a, const wchar_t *b)
{
    return _wcsicmp(a.c_str(), b) == 0;
}

const wchar_t *const k_removed[] = {
    L"PATH", L"NODE_PATH", L"NODE_OPTIONS", L"npm_config_prefix", L"TOVRIN_HOST_BOOTSTRAP_ORIGIN",
    L"TOVRIN_HOST_CHANNEL", L"TOVRIN_HOST_STATE_DIR", L"TOVRIN_HOST_BUNDLE_PATH", L"QV_HOST_JWT",
    L"QV_HOST_ENROLLMENT_TOKEN", L"QV_BUILD_SHA", L"TOVRIN_HOST_GIT_SHA",
};

bool is_removed_name(const std::wstring &name)
{
    for (const wchar_t *r : k_removed) {
        if (same_name(name, r)) {
            return true;
        }
    }
    return false;
}

// Deletes every variable it can; returns the entries that stayed.
std::vector<std::wstring> clear_environment()
{
    std::vector<std::wstring> left;
    for (const std::wstring &e : own_environment()) {
        if (!SetEnvironmentVariableW(name_of(e).c_str(), NULL)) {
            left.push_back(e);
        }
    }
    return left;
}

class EnvBlockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = own_environment();
        wcscpy(g_channel, L"dev");
        wcscpy(g_state_dir, L"C:\\users\\someone\\AppData\\Local\\TovrinHost");
        wcscpy(g_install_dir, L"C:\\Program Files\\Tovrin Host");
        SetEnvironmentVariableW(L"SystemRoot", L"C:\\windows");
    }
    void TearDown() override
    {
        // Put the process environment back exactly as it was.
        for (const std::wstring &e : own_environment()) {
            SetEnvironmentVariableW(name_of(e).c_str(), NULL);
        }
        for (const std::wstring &e : saved_) {
            std::wstring name = name_of(e);
            SetEnvironmentVariableW(name.c_str(), e.c_str() + name.size() + 1);
        }
    }
    std::vector<std::wstring> saved_;
};

TEST_F(EnvBlockTest, RemovesListedNamesInAnyCaseAndAppendsTheShellsOwnValues)
{
    // Names as a user or another tool might have written them.
    SetEnvironmentVariableW(L"Path", L"C:\\Tools;C:\\Node");
    SetEnvironmentVariableW(L"node_options", L"--inspect");
    SetEnvironmentVariableW(L"Node_Path", L"C:\\modules");
    SetEnvironmentVariableW(L"npm_config_prefix", L"C:\\npm");
    SetEnvironmentVariableW(L"Qv_Host_Jwt", L"secret");
    SetEnvironmentVariableW(L"QV_HOST_ENROLLMENT_TOKEN", L"secret2");
    SetEnvironmentVariableW(L"qv_build_sha", L"abc");
    SetEnvironmentVariableW(L"tovrin_host_channel", L"production");
    SetEnvironmentVariableW(L"TOVRIN_HOST_STATE_DIR", L"C:\\elsewhere");
    SetEnvironmentVariableW(L"Tovrin_Host_Bundle_Path", L"C:\\other");
    SetEnvironmentVariableW(L"TOVRIN_HOST_GIT_SHA", L"deadbeef");
    SetEnvironmentVariableW(L"tovrin_host_bootstrap_origin", L"http://x");
    // Names that only begin like a removed one stay.
    SetEnvironmentVariableW(L"PATHEXT", L".COM;.EXE;.BAT");
    SetEnvironmentVariableW(L"NODE_OPTIONS_EXTRA", L"kept");
    SetEnvironmentVariableW(L"QV_HOST", L"kept");

    std::vector<std::wstring> block = built_block();
    ASSERT_GE(block.size(), 4u);
    std::vector<std::wstring> added(block.end() - 4, block.end());
    EXPECT_EQ(L"PATH=C:\\windows\\System32;C:\\windows;C:\\windows\\System32\\Wbem", added[0]);
    EXPECT_EQ(L"TOVRIN_HOST_CHANNEL=dev", added[1]);
    EXPECT_EQ(L"TOVRIN_HOST_STATE_DIR=C:\\users\\someone\\AppData\\Local\\TovrinHost", added[2]);
    EXPECT_EQ(L"TOVRIN_HOST_BUNDLE_PATH=C:\\Program Files\\Tovrin Host", added[3]);

    for (size_t i = 0; i + 4 < block.size(); i++) {
        EXPECT_FALSE(is_removed_name(name_of(block[i]))) << ascii(block[i]);
    }
    // Everything else of the shell's environment passes unchanged and in
    // the shell's order.
    std::vector<std::wstring> expected;
    for (const std::wstring &e : own_environment()) {
        if (!is_removed_name(name_of(e))) {
            expected.push_back(e);
        }
    }
    EXPECT_EQ(expected, std::vector<std::wstring>(block.begin(), block.end() - 4));
    int kept = 0;
    for (const std::wstring &e : block) {
        kept += e == L"PATHEXT=.COM;.EXE;.BAT" || e == L"NODE_OPTIONS_EXTRA=kept" ||
                e == L"QV_HOST=kept";
    }
    EXPECT_EQ(3, kept);
}

TEST_F(EnvBlockTest, SystemRootFallsBackToCWindowsWhenUnsetEmptyOrTooLong)
{
    const std::wstring fallback = L"PATH=C:\\Windows\\System32;C:\\Windows;C:\\Windows\\System32\\Wbem";
    struct {
        const wchar_t *value;
        std::wstring path;
    } cases[] = {
        {nullptr, fallback},
        {L"", fallback},
        {L"D:\\Win", L"PATH=D:\\Win\\System32;D:\\Win;D:\\Win\\System32\\Wbem"},
    };
    for (const auto &c : cases) {
        SetEnvironmentVariableW(L"SystemRoot", c.value);
        std::vector<std::wstring> block = built_block();
        ASSERT_GE(block.size(), 4u);
        EXPECT_EQ(c.path, block[block.size() - 4]);
    }
    // 260 units do not fit the 260-unit buffer with its terminator.
    std::wstring long_root = L"D:\\" + std::wstring(257, L'r');
    SetEnvironmentVariableW(L"SystemRoot", long_root.c_str());
    std::vector<std::wstring> block = built_block();
    ASSERT_GE(block.size(), 4u);
    EXPECT_EQ(fallback, block[block.size() - 4]);
    std::wstring fits = L"D:\\" + std::wstring(256, L'r');
    SetEnvironmentVariableW(L"SystemRoot", fits.c_str());
    block = built_block();
    ASSERT_GE(block.size(), 4u);
    EXPECT_EQ(L"PATH=" + fits + L"\\System32;" + fits + L";" + fits + L"\\System32\\Wbem",
              block[block.size() - 4]);
}

// Entries are copied while they fit below 65,535 - 2,048 units; the first
// one that does not is dropped with all that follow (even shorter ones),
// and the added entries are always there.
TEST_F(EnvBlockTest, AnOverlongEnvironmentIsCutAtTheFirstEntryThatDoesNotFit)
{
    clear_environment();
    // Two entries of 31,499 units with their terminators: b = 63,000.
    SetEnvironmentVariableW(L"TVT_A1", std::wstring(31492, L'a').c_str());
    SetEnvironmentVariableW(L"TVT_A2", std::wstring(31492, L'b').c_str());
    // 500 units: 63,000 + 501 + 2,048 > 65,535, so it and all after it go.
    SetEnvironmentVariableW(L"TVT_B", std::wstring(494, L'c').c_str());
    SetEnvironmentVariableW(L"TVT_C", L"x");
    std::vector<std::wstring> own = own_environment();
    ASSERT_EQ(4u, own.size());
    ASSERT_EQ(L"TVT_B", name_of(own[2])) << "the environment is expected in name order";

    size_t used = 0;
    std::vector<std::wstring> block = built_block(&used);
    ASSERT_EQ(6u, block.size());
    EXPECT_EQ(own[0], block[0]);
    EXPECT_EQ(own[1], block[1]);
    EXPECT_EQ(L"TOVRIN_HOST_CHANNEL=dev", block[3]);
    EXPECT_EQ(L"TOVRIN_HOST_BUNDLE_PATH=C:\\Program Files\\Tovrin Host", block[5]);
    EXPECT_LE(used, 65535u);

    // Fourteen units less and the 500-unit entry ends exactly at 63,487
    // (65,535 - 2,048): it is copied, and the 8-unit one behind it is not.
    SetEnvironmentVariableW(L"TVT_A2", std::wstring(31478, L'b').c_str());
    block = built_block();
    ASSERT_EQ(7u, block.size());
    EXPECT_EQ(L"TVT_B=" + std::wstring(494, L'c'), block[2]);
    EXPECT_EQ(L"TOVRIN_HOST_CHANNEL=dev", block[4]);
}

TEST_F(EnvBlockTest, AnEmptyEnvironmentGivesTheAddedEntriesOnly)
{
    std::vector<std::wstring> left = clear_environment();
    // Without SystemRoot the path is built on C:\Windows.
    std::vector<std::wstring> block = built_block();
    std::vector<std::wstring> expected = left;
    expected.push_back(L"PATH=C:\\Windows\\System32;C:\\Windows;C:\\Windows\\System32\\Wbem");
    expected.push_back(L"TOVRIN_HOST_CHANNEL=dev");
    expected.push_back(L"TOVRIN_HOST_STATE_DIR=C:\\users\\someone\\AppData\\Local\\TovrinHost");
    expected.push_back(L"TOVRIN_HOST_BUNDLE_PATH=C:\\Program Files\\Tovrin Host");
    EXPECT_EQ(expected, block);
}

} // namespace
