// The program file's defences at run time. DLLs of the names of the
// program's non-KnownDLL imports, planted beside a copy of the program,
// must never load, not even when the program calls into them. CTest runs
// this with WINEDLLOVERRIDES=winhttp,iphlpapi,bcrypt=n,b, which makes Wine
// search a program's folder for them the way Windows does; a control
// program in the same folder shows that the test can see such a load. A
// stack overrun in code compiled like the program's ends the process.
// (What the file itself carries, imports included, is checked by
// scripts/check-program-file.py.)
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <string>
#include <vector>

namespace {

const DWORD k_run_timeout_ms = 60000;
const wchar_t *const k_planted[] = {L"winhttp.dll", L"iphlpapi.dll", L"bcrypt.dll"};

class PlantedDlls : public ::testing::Test {
protected:
    void SetUp() override
    {
        tvt::clear_state_dir();
        folder = tvt::make_temp_dir(L"planted");
        ASSERT_FALSE(folder.empty());
        std::wstring built = tvt::build_dir() + L"\\tests\\startup\\";
        ASSERT_TRUE(tvt::copy_file(tvt::release_host_exe(), folder + L"\\TovrinHost.exe"));
        ASSERT_TRUE(tvt::copy_file(built + L"planted_dll_control.exe",
                                   folder + L"\\planted_dll_control.exe"));
        for (const wchar_t *name : k_planted) {
            ASSERT_TRUE(tvt::copy_file(built + L"planted\\" + name, folder + L"\\" + name));
        }
    }
    void TearDown() override
    {
        tvt::kill_processes_below(folder);
        tvt::remove_tree_retrying(folder);
        tvt::clear_state_dir();
    }

    // The planted DLLs that some process has loaded since the last call;
    // their markers are removed, so that the program is judged apart from the control.
    std::vector<std::string> loaded() const
    {
        std::vector<std::string> names;
        for (const wchar_t *name : k_planted) {
            std::wstring marker = folder + L"\\" + name + L".loaded";
            if (tvt::file_exists(marker)) {
                names.push_back(tvt::narrow(name));
                DeleteFileW(marker.c_str());
            }
        }
        return names;
    }

    std::wstring folder;
};

} // namespace

TEST_F(PlantedDlls, NoneLoadsFromTheProgramsFolder)
{
    const std::vector<std::string> none;
    DWORD code = 99;
    ASSERT_TRUE(tvt::run_process(tvt::quote(folder + L"\\planted_dll_control.exe"),
                                 k_run_timeout_ms, &code, nullptr, folder));
    ASSERT_EQ(3u, loaded().size())
        << "the control did not load the planted DLLs; under Wine run with "
           "WINEDLLOVERRIDES=winhttp,iphlpapi,bcrypt=n,b";

    // Stop-only calls into two of them: the digest of the program file
    // (CNG) and, as the control file names a port (nobody listens on 1),
    // its owner (IP helper); WinHTTP's way in is the same hook. The digest
    // is a real one: the system's CNG made it.
    const std::wstring control = tvt::state_dir() + L"\\control.json";
    ASSERT_TRUE(tvt::write_file(control, "{\"port\": 1, \"bindAddress\": \"127.0.0.1\"}"));
    EXPECT_TRUE(tvt::run_process(tvt::quote(folder + L"\\TovrinHost.exe") + L" --stop-existing",
                                 k_run_timeout_ms, &code));
    EXPECT_EQ(0u, code);
    std::string record = tvt::read_file_or_empty(tvt::state_dir() + L"\\upgrade-stop.log");
    EXPECT_NE(std::string::npos, record.find(" helper_sha256=")) << record;
    EXPECT_EQ(std::string::npos, record.find(" helper_sha256=unavailable")) << record;
    EXPECT_EQ(none, loaded()) << "--stop-existing";
}

// A DLL that cannot be loaded fails only the calls that need it. CTest runs
// this case on its own with WINEDLLOVERRIDES=winhttp,bcrypt= (Wine then has
// neither); the IP helper cannot be taken away from a test that imports it.
TEST(MissingDlls, FailOnlyTheCallsThatNeedThem)
{
    if (tvt::env_var(L"WINEDLLOVERRIDES").rfind("winhttp,bcrypt=;", 0) != 0) {
        GTEST_SKIP() << "needs WINEDLLOVERRIDES=winhttp,bcrypt= (CTest's missing_dll_test)";
    }
    tvt::clear_state_dir();
    ASSERT_TRUE(tvt::write_file(tvt::state_dir() + L"\\control.json",
                                "{\"port\": 1, \"bindAddress\": \"127.0.0.1\"}"));
    DWORD code = 99;
    ASSERT_TRUE(tvt::run_process(tvt::quote(tvt::release_host_exe()) + L" --stop-existing",
                                 k_run_timeout_ms, &code));
    EXPECT_EQ(0u, code);
    std::string record = tvt::read_file_or_empty(tvt::state_dir() + L"\\upgrade-stop.log");
    EXPECT_NE(std::string::npos, record.find(" helper_sha256=unavailable")) << record;

    // The probe of the UI fails as if nobody answered, and the start goes on
    // to the dialog about the incomplete package (the build folder has no
    // runtime) instead of ending in an exception.
    tvt::process window;
    ASSERT_TRUE(tvt::start_process_quiet(tvt::quote(tvt::release_host_exe()), L"", &window));
    EXPECT_TRUE(tvt::wait_until(
        [&] { return tvt::find_visible_window(window.pid, L"#32770") != NULL; }, k_run_timeout_ms));
    TerminateProcess(window.handle, 0);
    tvt::close_process(&window);
    tvt::clear_state_dir();
}

TEST(StackProtector, EndsTheProgramOnAnOverrun)
{
    const std::wstring exe = tvt::quote(tvt::build_dir() + L"\\tests\\startup\\stack_overrun.exe");
    DWORD code = 99;
    ASSERT_TRUE(tvt::run_process(exe + L" fits", k_run_timeout_ms, &code));
    EXPECT_EQ(0u, code);
    ASSERT_TRUE(tvt::run_process(exe + L" " + std::wstring(64, L'x'), k_run_timeout_ms, &code));
    EXPECT_EQ((DWORD)STATUS_STACK_BUFFER_OVERRUN, code);
}
