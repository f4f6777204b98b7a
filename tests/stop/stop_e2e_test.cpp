// The stop-only mode from outside: TovrinHost.exe --stop-existing (and
// --install-dir DIR --stop-existing) against test sidecars in a throw-away
// installation, with decoys that must survive every stop: a runtime in a
// sibling directory whose name extends the installation's, another
// installation's runtime, and a shell of that sibling waiting in its folder
// dialog. What is checked: the exit code, which processes are left and how
// the others ended, the sidecar's request log, and upgrade-stop.log in the
// user's state directory.
//
// Wine 8 reports the owner of every socket as pid 0, so there the port owner
// plays no part; the tests that need a real owner on the port skip there
// and run under Wine 10, which names it.
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <regex>
#include <string>
#include <vector>

namespace {

const std::regex k_record_line(
    "result=(stopped|refused) detail=[a-z_]+ listener_pid=[0-9]+ image_basename=[^ ]+ "
    "image_relation=[a-z_]+ image_query=[a-z_]+ win32_error=[0-9]+ discover_attempts=[0-8] "
    "owner_metadata=(present|absent) pid_reused=[01] command_matches=(unknown|0|1) "
    "helper_matches_install=[01] helper_sha256=([0-9a-f]{64}|unavailable) "
    "task_before=(unread|none|enabled|disabled|unknown) "
    "task_after=(unread|none|enabled|disabled|unknown)\r\n");

const char k_default_token[] = "0123456789abcdef0123456789abcdef";

std::string u(const std::wstring &w)
{
    return tvt::narrow(w);
}

std::string host_sha256()
{
    return tvt::env_var(L"TOVRIN_HOST_EXE_SHA256");
}

bool has_window(DWORD pid)
{
    return tvt::find_visible_window(pid) != NULL;
}

bool still_running(const tvt::process &p)
{
    return p.handle && WaitForSingleObject(p.handle, 0) == WAIT_TIMEOUT;
}

class StopE2eTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tvt::clear_state_dir();
        state = tvt::state_dir();
        ASSERT_FALSE(state.empty());
        root = tvt::make_temp_dir(L"stope");
        ASSERT_FALSE(root.empty());
        install = root + L"\\Host";
        requests = root + L"\\requests.log";
        ASSERT_EQ(64u, host_sha256().size()) << "run through run_with_sha.sh";
    }

    void TearDown() override
    {
        tvt::use_task_standin(L"");
        for (tvt::process &p : started) {
            if (still_running(p)) {
                TerminateProcess(p.handle, 9);
                WaitForSingleObject(p.handle, 5000);
            }
            tvt::close_process(&p);
        }
        tvt::kill_processes_below(root);
        tvt::remove_tree_retrying(root);
        tvt::clear_state_dir();
    }

    // The installation with `behaviour` as its hostRuntimeCli.js.
    void make_install(const std::string &behaviour)
    {
        tvt::install_layout layout;
        layout.script = "state_dir=" + u(state) + "\r\nrequest_log=" + u(requests) +
                        "\r\nready_file=" + u(root + L"\\ready-host.txt") + "\r\n" + behaviour;
        ASSERT_TRUE(tvt::make_install(install, layout));
    }

    // Console children detached, like the shell's sidecar; every child with
    // its standard handles on NUL.
    tvt::process &start(const std::wstring &cmd, const std::wstring &cwd = L"",
                        DWORD flags = DETACHED_PROCESS)
    {
        tvt::process p;
        EXPECT_TRUE(tvt::start_process_quiet(cmd, cwd, &p, flags)) << u(cmd);
        started.push_back(p);
        return started.back();
    }

    // The installation's runtime, started the way the shell starts it.
    tvt::process start_host_sidecar()
    {
        std::wstring ready = root + L"\\ready-host.txt";
        tvt::process p = start(tvt::quote(install + L"\\runtime\\node\\node.exe") + L" " +
                                   tvt::quote(install + L"\\runtime\\dist\\hostRuntimeCli.js") +
                                   L" serve",
                               install);
        EXPECT_TRUE(tvt::wait_until([&] { return tvt::file_exists(ready); }, 10000));
        EXPECT_TRUE(tvt::file_exists(state + L"\\control.json"));
        return p;
    }

    // A test sidecar copy at `exe` that keeps its files out of the user's
    // state directory; `extra_args` stand between its behaviour file and
    // "serve".
    tvt::process start_decoy(const std::wstring &exe, const std::wstring &tag,
                             const std::wstring &extra_args = L"")
    {
        size_t cut = exe.find_last_of(L'\\');
        EXPECT_TRUE(tvt::make_dirs(exe.substr(0, cut)));
        if (!tvt::file_exists(exe)) {
            EXPECT_TRUE(tvt::copy_file(tvt::test_sidecar_exe(), exe));
        }
        std::wstring decoy_state = root + L"\\decoy-state";
        tvt::make_dirs(decoy_state);
        std::wstring ready = root + L"\\ready-" + tag + L".txt";
        std::wstring script = root + L"\\behaviour-" + tag + L".txt";
        EXPECT_TRUE(tvt::write_file(script, "state_dir=" + u(decoy_state) +
                                                "\r\nready_file=" + u(ready) + "\r\n"));
        tvt::process p = start(tvt::quote(exe) + L" " + tvt::quote(script) + L" " + extra_args +
                               L" serve");
        EXPECT_TRUE(tvt::wait_until([&] { return tvt::file_exists(ready); }, 10000));
        return p;
    }

    // The decoys: a runtime in Host2 whose command line even names this
    // installation's script, another installation's runtime, and a shell
    // of Host2 waiting in its folder dialog.
    void start_decoys()
    {
        tvt::install_layout sibling_layout;
        sibling_layout.script = "write_control=0\r\nwrite_lock=0\r\n";
        ASSERT_TRUE(tvt::make_install(root + L"\\Host2", sibling_layout));
        decoys.push_back(start_decoy(root + L"\\Host2\\runtime\\node\\node.exe", L"sibling",
                                     tvt::quote(install + L"\\runtime\\dist\\hostRuntimeCli.js")));
        decoys.push_back(start_decoy(root + L"\\Other\\Host\\runtime\\node\\node.exe", L"other"));
        decoys.push_back(start_picker(root + L"\\Host2\\TovrinHost.exe"));
    }

    // A shell that stays alive: the folder picker waits in its dialog.
    tvt::process start_picker(const std::wstring &exe)
    {
        tvt::process p = start(tvt::quote(exe) + L" --pick-folder", L"", 0);
        EXPECT_TRUE(tvt::wait_until([&] { return has_window(p.pid); }, 20000))
            << "the folder dialog of " << u(exe) << " did not appear (is there a display?)";
        return p;
    }

    void expect_decoys_alive()
    {
        for (const tvt::process &d : decoys) {
            EXPECT_TRUE(still_running(d)) << "decoy " << d.pid << " was stopped";
        }
    }

    // cmd.exe running `dir`'s helper script, which waits in a program
    // outside every installation.
    tvt::process start_helper_console(const std::wstring &dir)
    {
        tvt::process cmd;
        EXPECT_TRUE(tvt::start_console(root, dir, &cmd)) << "the helper script did not start";
        started.push_back(cmd);
        return cmd;
    }

    // Runs the shell with `args` (from `cwd` when given); its exit code, and
    // the time it took. With `children`, it runs in a job of its own and
    // that receives how many programs it started (a scheduled-task step
    // runs schtasks.exe).
    DWORD run_shell(const std::wstring &exe, const std::wstring &args, DWORD *elapsed_ms = nullptr,
                    const std::wstring &cwd = L"", DWORD *children = nullptr)
    {
        DWORD code = 12345;
        DWORD t0 = GetTickCount();
        DWORD in_job = 0;
        EXPECT_TRUE(tvt::run_process(tvt::quote(exe) + L" " + args, 60000, &code, nullptr, cwd,
                                     children ? &in_job : nullptr))
            << "the stop did not end within 60 s";
        if (children) {
            EXPECT_GE(in_job, 1u) << "the job did not count the shell itself";
            *children = in_job - 1;
        }
        DWORD elapsed = GetTickCount() - t0;
        printf("%s %s: exit %lu after %lu ms\n", u(exe).c_str(), u(args).c_str(),
               (unsigned long)code, (unsigned long)elapsed);
        if (elapsed_ms) {
            *elapsed_ms = elapsed;
        }
        return code;
    }

    std::vector<std::string> records()
    {
        return tvt::split_lines(tvt::read_file_or_empty(state + L"\\upgrade-stop.log"));
    }

    // The one record of the run: the whole line in its format, beginning
    // with `start`, and the digest of `exe`'s bytes.
    void expect_one_record(const std::string &start, int helper_matches)
    {
        std::vector<std::string> lines = records();
        ASSERT_EQ(1u, lines.size());
        EXPECT_TRUE(std::regex_match(lines[0], k_record_line)) << lines[0];
        EXPECT_EQ(0u, lines[0].find(start)) << lines[0];
        EXPECT_NE(std::string::npos,
                  lines[0].find(" helper_matches_install=" + std::to_string(helper_matches) +
                                " helper_sha256=" + host_sha256() + " task_before="))
            << lines[0];
    }

    std::string shutdown_line(const std::string &token)
    {
        return "POST /shutdown Bearer " + token + " TovrinHost/0.1.1\r\n";
    }

    std::wstring root, install, state, requests;
    std::vector<tvt::process> started;
    std::vector<tvt::process> decoys;
};

TEST_F(StopE2eTest, NothingRunning)
{
    make_install("");
    DWORD elapsed = 0;
    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe", L"--stop-existing", &elapsed));
    expect_one_record("result=stopped detail=none listener_pid=0 image_basename=- "
                      "image_relation=unavailable image_query=no_listener win32_error=0 "
                      "discover_attempts=1 owner_metadata=absent pid_reused=0 "
                      "command_matches=unknown ",
                      1);
    // The calling shell is this installation's shell, and never its own
    // target: had it planned itself, it would have waited for itself and
    // ended by its own hand without a record.
    EXPECT_LT(elapsed, 4000u) << "nothing to wait for, but the stop waited";

    // The same through --install-dir naming its own directory.
    DeleteFileW((state + L"\\upgrade-stop.log").c_str());
    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe",
                            L"--install-dir " + tvt::quote(install) + L" --stop-existing"));
    expect_one_record("result=stopped detail=none ", 1);
}

TEST_F(StopE2eTest, SidecarThatHonoursTheRequestEndsByItself)
{
    make_install("on_shutdown=exit\r\nexit_code=37\r\n");
    start_decoys();
    ASSERT_FALSE(HasFatalFailure());
    tvt::process sidecar = start_host_sidecar();
    ASSERT_FALSE(HasFatalFailure());
    // The logon task runs the shell: for the upgrade, ended and disabled.
    ASSERT_TRUE(tvt::use_task_standin(root + L"\\task.txt", "1 1", install + L"\\TovrinHost.exe"));

    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe", L"--stop-existing"));
    DWORD code = 0;
    ASSERT_TRUE(tvt::wait_process(sidecar, 5000, &code));
    EXPECT_EQ(37u, code) << "exit code 0 would mean it was terminated";
    EXPECT_EQ(shutdown_line(k_default_token), tvt::read_file_or_empty(requests));
    EXPECT_EQ("0 0", tvt::read_file_or_empty(root + L"\\task.txt").substr(0, 3));
    // The sidecar removed its lock owner file on the way out.
    expect_one_record("result=stopped detail=none ", 1);
    EXPECT_NE(std::string::npos, records()[0].find(" task_before=enabled task_after=disabled\r\n"));
    expect_decoys_alive();
}

TEST_F(StopE2eTest, SidecarThatIgnoresTheRequestIsTerminatedWithTheHelperScript)
{
    make_install("on_shutdown=ignore\r\nexit_code=37\r\n");
    start_decoys();
    ASSERT_FALSE(HasFatalFailure());
    tvt::process sidecar = start_host_sidecar();
    ASSERT_FALSE(HasFatalFailure());

    // cmd.exe running the installation's helper script, which waits in a
    // program outside the installation.
    tvt::process cmd = start_helper_console(install);
    ASSERT_FALSE(HasFatalFailure());
    // A second shell of this installation is a target as well.
    tvt::process second_shell = start_picker(install + L"\\TovrinHost.exe");
    ASSERT_FALSE(HasFatalFailure());

    // The build tree's shell stops the installation from outside it.
    DWORD elapsed = 0;
    EXPECT_EQ(0u, run_shell(tvt::host_exe(),
                            L"--install-dir " + tvt::quote(install) + L" --stop-existing",
                            &elapsed));
    EXPECT_GE(elapsed, 4000u) << "the request was ignored, so the graceful wait ran out";
    DWORD code = 99;
    ASSERT_TRUE(tvt::wait_process(sidecar, 1000, &code));
    EXPECT_EQ(0u, code) << "terminated with exit code 0, not its own 37";
    ASSERT_TRUE(tvt::wait_process(cmd, 1000, &code));
    EXPECT_EQ(0u, code);
    ASSERT_TRUE(tvt::wait_process(second_shell, 1000, &code));
    EXPECT_EQ(0u, code) << "the picker would have ended with 1 or 2";
    EXPECT_EQ(shutdown_line(k_default_token), tvt::read_file_or_empty(requests));
    expect_one_record("result=stopped detail=none ", 0);
    expect_decoys_alive();
}

TEST_F(StopE2eTest, OverlongTokenSendsNoRequestAndTheSidecarIsStillStopped)
{
    // It would exit with 37 if any request reached it.
    make_install("token_length=201\r\non_shutdown=exit\r\nexit_code=37\r\n");
    tvt::process sidecar = start_host_sidecar();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_NE(std::string::npos, tvt::read_file_or_empty(state + L"\\control.json")
                                     .find("\"token\":\"" + std::string("abcdef0123456789")));

    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe", L"--stop-existing"));
    DWORD code = 99;
    ASSERT_TRUE(tvt::wait_process(sidecar, 1000, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ("", tvt::read_file_or_empty(requests));
    // The calling shell of the same installation finished the stop.
    expect_one_record("result=stopped detail=none ", 1);
}

TEST_F(StopE2eTest, LockOwnerThatIsGoneIsReportedAsReused)
{
    make_install("");
    // A process that ran and ended, leaving its pid free.
    std::wstring quiet = root + L"\\behaviour-quiet.txt";
    ASSERT_TRUE(tvt::write_file(quiet, "write_control=0\r\nwrite_lock=0\r\nexit_after_ms=0\r\n"));
    tvt::process gone;
    ASSERT_TRUE(tvt::start_process_quiet(
        tvt::quote(tvt::test_sidecar_exe()) + L" " + tvt::quote(quiet) + L" serve", L"", &gone));
    DWORD gone_pid = gone.pid;
    ASSERT_TRUE(tvt::wait_process(gone, 5000, nullptr));
    tvt::close_process(&gone);
    ASSERT_TRUE(tvt::write_file(state + L"\\runtime.lock.owner",
                                "pid=" + std::to_string(gone_pid) + "\r\nimage=" +
                                    u(install) + "\\runtime\\node\\node.exe\r\n"));

    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe", L"--stop-existing"));
    expect_one_record("result=stopped detail=pid_reused listener_pid=0 image_basename=- "
                      "image_relation=unavailable image_query=no_listener win32_error=0 "
                      "discover_attempts=1 owner_metadata=present pid_reused=1 ",
                      1);
}

TEST_F(StopE2eTest, InstallDirectoryMissingOrAFileOrUnreadableStopsNothing)
{
    make_install("");
    tvt::process sidecar = start_host_sidecar();
    ASSERT_FALSE(HasFatalFailure());
    std::wstring file = root + L"\\plain-file";
    ASSERT_TRUE(tvt::write_file(file, "x"));

    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe",
                            L"--install-dir " + tvt::quote(root + L"\\missing") +
                                L" --stop-existing"));
    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe",
                            L"--install-dir " + tvt::quote(file) + L" --stop-existing"));
    EXPECT_FALSE(tvt::file_exists(state + L"\\upgrade-stop.log"));
    // One that cannot be read is no proof that nothing runs.
    SetEnvironmentVariableW(L"TOVRIN_STRICT_DENIED", install.c_str());
    EXPECT_EQ(1u, run_shell(tvt::host_exe(), L"--install-dir " + tvt::quote(install) + L" --stop-existing"));
    SetEnvironmentVariableW(L"TOVRIN_STRICT_DENIED", NULL);
    expect_one_record("result=refused detail=install_dir_unreadable listener_pid=0 image_basename=- "
                      "image_relation=unavailable image_query=unknown win32_error=5 discover_attempts=0 ", 0);
    EXPECT_TRUE(still_running(sidecar));
    EXPECT_EQ("", tvt::read_file_or_empty(requests));
}

TEST_F(StopE2eTest, RecordLogCap)
{
    make_install("");
    std::wstring log = state + L"\\upgrade-stop.log";
    ASSERT_TRUE(tvt::write_file(log, std::string(262145, 'x')));
    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe", L"--stop-existing"));
    EXPECT_EQ(262145u, tvt::read_file_or_empty(log).size());

    ASSERT_TRUE(tvt::write_file(log, std::string(262144, 'x')));
    EXPECT_EQ(0u, run_shell(install + L"\\TovrinHost.exe", L"--stop-existing"));
    std::string text = tvt::read_file_or_empty(log);
    ASSERT_GT(text.size(), 262144u);
    EXPECT_TRUE(std::regex_match(text.substr(262144), k_record_line)) << text.substr(262144);
}

// A relative install directory names the directory below the caller's
// current one, and only that: the stop makes it absolute before it proves
// anything. A sibling whose name ends the same way keeps its helper
// console, and this installation's runtime is found by its image.
TEST_F(StopE2eTest, RelativeInstallDirectoryIsMadeAbsolute)
{
    make_install("on_shutdown=exit\r\nexit_code=37\r\n");
    tvt::process other_console = start_helper_console(root + L"\\OtherHost");
    ASSERT_FALSE(HasFatalFailure());
    tvt::process sidecar = start_host_sidecar();
    ASSERT_FALSE(HasFatalFailure());

    EXPECT_EQ(0u, run_shell(tvt::host_exe(), L"--install-dir Host --stop-existing", nullptr, root));
    DWORD code = 0;
    ASSERT_TRUE(tvt::wait_process(sidecar, 5000, &code)) << "this installation's runtime still runs";
    EXPECT_EQ(37u, code);
    EXPECT_TRUE(still_running(other_console)) << "OtherHost's helper console was stopped";
    expect_one_record("result=stopped detail=none ", 0);

    // A relative directory that cannot be made absolute within the path
    // capacity proves nothing: result 1 reaches the caller, and nothing is
    // touched or recorded.
    DeleteFileW((state + L"\\upgrade-stop.log").c_str());
    std::wstring too_long(260 - root.size(), L'h');
    EXPECT_EQ(1u, run_shell(tvt::host_exe(), L"--install-dir " + too_long + L" --stop-existing",
                            nullptr, root));
    // Nor is one given whole that does not fit: it is not cut to another.
    EXPECT_EQ(1u, run_shell(tvt::host_exe(),
                            L"--install-dir C:\\" + std::wstring(300, L'h') + L" --stop-existing"));
    EXPECT_TRUE(still_running(other_console));
    EXPECT_FALSE(tvt::file_exists(state + L"\\upgrade-stop.log"));
}

// ---- real owners of the sidecar's port (Wine 10) --------------------------

class PortOwnerTest : public StopE2eTest {
protected:
    void SetUp() override
    {
        StopE2eTest::SetUp();
        if (!tvt::listener_owners_visible()) {
            GTEST_SKIP() << tvt::k_owners_hidden;
        }
    }

    // A program that is not this installation's, listening on 127.0.0.1 and
    // writing the user's control.json with its port (as a sidecar would),
    // with a log of every request it gets.
    tvt::process start_holder(const std::wstring &exe, const std::string &address = "127.0.0.1")
    {
        holder_requests = root + L"\\holder-requests.log";
        DeleteFileW((state + L"\\control.json").c_str());
        tvt::process p;
        int port = tvt::serve_test_listener(exe, root, L"holder",
                                            "state_dir=" + u(state) + "\nwrite_lock=0\n" +
                                                "request_log=" + u(holder_requests) +
                                                "\nlisten_address=" + address + "\n",
                                            &p);
        started.push_back(p);
        EXPECT_NE(0, port) << "the holder did not listen";
        EXPECT_EQ(p.pid, tvt::listener_owner(port)) << "the runtime does not name the holder";
        return p;
    }

    std::wstring holder_requests;
};

TEST_F(PortOwnerTest, ForeignProgramsOnThePortAreRefusedAndLeftRunning)
{
    make_install("");
    struct holder_case {
        const wchar_t *exe;
        const char *address;
        const char *detail;
        const char *basename;
    } cases[] = {
        {L"\\tools\\portholder.exe", "127.0.0.1", "foreign_port_owner", "portholder.exe"},
        {L"\\Other\\node.exe", "127.0.0.1", "image_mismatch", "node.exe"},
        {L"\\Host2\\TovrinHost.exe", "127.0.0.1", "image_mismatch", "TovrinHost.exe"},
        // Bound to every address, it receives the connections to 127.0.0.1.
        {L"\\tools\\portholder.exe", "0.0.0.0", "foreign_port_owner", "portholder.exe"},
        {L"\\tools\\portholder.exe", "::", "foreign_port_owner", "portholder.exe"},
    };
    for (const holder_case &c : cases) {
        SCOPED_TRACE(std::string(c.detail) + " on " + c.address);
        tvt::process holder = start_holder(root + c.exe, c.address);
        ASSERT_FALSE(HasFatalFailure());
        DeleteFileW((state + L"\\upgrade-stop.log").c_str());

        DWORD children = 99;
        EXPECT_EQ(2u, run_shell(install + L"\\TovrinHost.exe", L"--stop-existing", nullptr, L"",
                                &children));
        expect_one_record("result=refused detail=" + std::string(c.detail) +
                              " listener_pid=" + std::to_string(holder.pid) +
                              " image_basename=" + c.basename +
                              " image_relation=outside_install image_query=ok win32_error=0 "
                              "discover_attempts=1 ",
                          1);
        EXPECT_TRUE(still_running(holder)) << "the holder of the port was stopped";
        EXPECT_EQ(0u, children) << "a scheduled-task step ran";
        EXPECT_EQ("", tvt::read_file_or_empty(holder_requests)) << "the holder was sent a request";
        TerminateProcess(holder.handle, 9);
        WaitForSingleObject(holder.handle, 5000);
    }
}

TEST_F(PortOwnerTest, ThisInstallationsRuntimeOnThePortIsStopped)
{
    // It ignores the request, so it is terminated as the proved owner of
    // the port; had its image not been recognised as this installation's
    // runtime, the stop would have been refused (2) and sent no request.
    // On every address, too.
    for (const char *address : {"127.0.0.1", "0.0.0.0"}) {
        SCOPED_TRACE(address);
        make_install("on_shutdown=ignore\r\nexit_code=37\r\nlisten_address=" +
                     std::string(address) + "\r\n");
        DeleteFileW(requests.c_str());
        DeleteFileW((state + L"\\upgrade-stop.log").c_str());
        DeleteFileW((root + L"\\ready-host.txt").c_str());
        tvt::process sidecar = start_host_sidecar();
        ASSERT_FALSE(HasFatalFailure());
        int port = atoi(tvt::read_file_or_empty(root + L"\\ready-host.txt").c_str());
        ASSERT_EQ(sidecar.pid, tvt::listener_owner(port));

        DWORD children = 0;
        EXPECT_EQ(0u, run_shell(tvt::host_exe(),
                                L"--install-dir " + tvt::quote(install) + L" --stop-existing",
                                nullptr, L"", &children));
        DWORD code = 99;
        ASSERT_TRUE(tvt::wait_process(sidecar, 1000, &code));
        EXPECT_EQ(0u, code) << "terminated, not ended by itself";
        EXPECT_EQ(shutdown_line(k_default_token), tvt::read_file_or_empty(requests));
        // schtasks.exe to disable and to end the task (with a console host
        // each under Wine 10).
        EXPECT_GE(children, 2u) << "the task was not disabled and ended";
        expect_one_record("result=stopped detail=none ", 0);
    }
}

} // namespace
