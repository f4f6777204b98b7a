// TovrinHost.exe started for real, with the options of the stop-only mode:
// exit codes, the upgrade-stop record, and the state directory that every
// mode creates. Cases that would open the window are left out here.
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <string>
#include <vector>

namespace {

// A run that hangs (for example because an option was taken for the folder
// picker) ends the test instead of the suite.
const DWORD k_run_timeout_ms = 60000;

class StartupModes : public ::testing::Test {
protected:
    void SetUp() override
    {
        state = tvt::state_dir();
        ASSERT_FALSE(state.empty());
        tvt::remove_tree(state);
        ASSERT_FALSE(tvt::dir_exists(state));
        work = tvt::make_temp_dir(L"startup");
        ASSERT_FALSE(work.empty());
        missing = work + L"\\missing";
        existing = work + L"\\existing";
        a_file = work + L"\\a-file.txt";
        ASSERT_TRUE(CreateDirectoryW(existing.c_str(), NULL));
        ASSERT_TRUE(tvt::write_file(a_file, "not a directory\n"));
    }
    void TearDown() override { tvt::remove_tree(work); }

    // Runs the program with `args`; false when it did not end in time.
    bool run(const std::wstring &exe, const std::wstring &args, DWORD *exit_code)
    {
        return tvt::run_process(tvt::quote(exe) + L" " + args, k_run_timeout_ms, exit_code);
    }
    std::wstring log_path() const { return state + L"\\upgrade-stop.log"; }
    std::vector<std::string> log_lines() const
    {
        return tvt::record_lines(tvt::read_file_or_empty(log_path()));
    }

    std::wstring state;
    std::wstring work;
    std::wstring missing;
    std::wstring existing;
    std::wstring a_file;
};

} // namespace

TEST_F(StartupModes, StopOnlyForAMissingDirectoryOrAFileDoesNothing)
{
    const std::wstring targets[] = {missing, a_file};
    for (const std::wstring &target : targets) {
        tvt::remove_tree(state);
        DWORD code = 99;
        ASSERT_TRUE(run(tvt::host_exe(), L"--stop-existing --install-dir " + tvt::quote(target), &code))
            << tvt::narrow(target);
        EXPECT_EQ(0u, code) << tvt::narrow(target);
        EXPECT_FALSE(tvt::file_exists(log_path())) << tvt::narrow(target);
        EXPECT_TRUE(tvt::dir_exists(state)) << tvt::narrow(target);
    }
}

TEST_F(StartupModes, OptionsAreWholeArgumentsInExactCase)
{
    // Each line would stop the sidecar of the existing directory (and leave
    // a record) if an option were recognised in another letter case, joined
    // with "=", or inside a value; ignored, the install directory stays the
    // missing one and nothing is done.
    const std::wstring m = tvt::quote(missing);
    const std::wstring e = tvt::quote(existing);
    const std::wstring lines[] = {
        L"--Stop-Existing --stop-existing --install-dir " + m,
        L"--stop-existing --install-dir " + m + L" --Install-Dir " + e,
        L"--stop-existing --install-dir " + m + L" --INSTALL-DIR " + e,
        L"--stop-existing --install-dir " + m + L" --install-dir=" + e,
        L"--stop-existing --install-dir " + m + L" " + e,
        // The value of --install-dir is not read as an option: the second
        // --install-dir is the (missing) directory, and the existing one a
        // stray argument.
        L"--stop-existing --install-dir --install-dir " + e,
        // Taken for the picker, these would open a dialog and hang.
        L"--stop-existing --install-dir " + m + L" --Pick-Folder",
        L"--stop-existing --install-dir " + m + L" --pick-folder=1",
    };
    for (const std::wstring &args : lines) {
        tvt::remove_tree(state);
        DWORD code = 99;
        ASSERT_TRUE(run(tvt::host_exe(), args, &code)) << tvt::narrow(args);
        EXPECT_EQ(0u, code) << tvt::narrow(args);
        EXPECT_FALSE(tvt::file_exists(log_path())) << tvt::narrow(args);
        EXPECT_TRUE(tvt::dir_exists(state)) << tvt::narrow(args);
    }
}

TEST_F(StartupModes, TrailingInstallDirStopsTheProgramsOwnInstallation)
{
    // A copy of the program in an installation where nothing runs: the
    // stop-only mode finds nothing to stop and records that.
    std::wstring install = work + L"\\install";
    tvt::install_layout layout;
    layout.node = false;
    layout.cli = false;
    ASSERT_TRUE(tvt::make_install(install, layout));
    DWORD code = 99;
    ASSERT_TRUE(run(install + L"\\TovrinHost.exe", L"--stop-existing --install-dir", &code));
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(tvt::dir_exists(state));
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(1u, lines.size()) << tvt::read_file_or_empty(log_path());
    EXPECT_EQ(0u, lines[0].find("result=stopped detail=none ")) << lines[0];
    // The directory stopped is the program's own.
    EXPECT_NE(std::string::npos, lines[0].find(" helper_matches_install=1 ")) << lines[0];
}

TEST_F(StartupModes, InstallDirNamesAnotherInstallation)
{
    DWORD code = 99;
    ASSERT_TRUE(run(tvt::host_exe(), L"--install-dir " + tvt::quote(existing) + L" --stop-existing",
                    &code));
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(tvt::dir_exists(state));
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(1u, lines.size()) << tvt::read_file_or_empty(log_path());
    EXPECT_EQ(0u, lines[0].find("result=stopped detail=none ")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find(" helper_matches_install=0 ")) << lines[0];
}
