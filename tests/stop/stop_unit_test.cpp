// The replacement subsystem from the inside: the file-local steps of
// tovrinHostStop.cpp, reached by including it, on real processes that the
// test starts and on listener tables and snapshots that it builds. The owner
// pid of a socket is always 0 under Wine, so every path that needs a real
// owner is driven through constructed tables or a listener query of the
// test's own, fed into the very code that the production path runs.
//
// Every state directory here is a temporary one; the user's state directory
// is never touched (the end-to-end tests do that).
#include <winsock2.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

// Every program that the code under test starts, seen in the call that
// starts it: however short its life, none can go unseen (a watcher polling
// process snapshots once missed a schtasks.exe that had already ended).
namespace {
struct started_program {
    std::wstring application;
    std::wstring command_line;
    DWORD flags;
    std::wstring image; // of the process the system made, read before it ran
};
std::mutex g_started_lock;
std::vector<started_program> g_started;
HANDLE g_started_job = NULL; // every started program runs in it
// When set, the program started in place of the system's schtasks.exe.
std::wstring g_schtasks_standin;
} // namespace

// Stands in for CreateProcessW in tovrinHostStop.cpp. The program is made
// held (CREATE_SUSPENDED), so that its image can be read and it joins the
// test's job before it runs a single instruction (its own children, such as
// a console host, then count there too); then it goes on as the caller
// asked.
static BOOL WINAPI observed_create_process(LPCWSTR application, LPWSTR command_line,
                                           LPSECURITY_ATTRIBUTES process_attributes,
                                           LPSECURITY_ATTRIBUTES thread_attributes,
                                           BOOL inherit, DWORD flags, LPVOID environment,
                                           LPCWSTR directory, LPSTARTUPINFOW startup,
                                           LPPROCESS_INFORMATION info)
{
    started_program s;
    s.application = application ? application : L"";
    s.command_line = command_line ? command_line : L"";
    s.flags = flags;
    if (!g_schtasks_standin.empty() && s.application.find(L"\\schtasks.exe") != std::wstring::npos) {
        application = g_schtasks_standin.c_str();
    }
    if (!CreateProcessW(application, command_line, process_attributes, thread_attributes,
                        inherit, flags | CREATE_SUSPENDED, environment, directory, startup,
                        info)) {
        return FALSE;
    }
    wchar_t image[1024];
    DWORD n = 1024;
    if (QueryFullProcessImageNameW(info->hProcess, 0, image, &n)) {
        s.image.assign(image, n);
    }
    {
        std::lock_guard<std::mutex> hold(g_started_lock);
        if (g_started_job) {
            AssignProcessToJobObject(g_started_job, info->hProcess);
        }
        g_started.push_back(s);
    }
    if (!(flags & CREATE_SUSPENDED)) {
        ResumeThread(info->hThread);
    }
    return TRUE;
}

// The strict build renames CreateProcessW to its checking wrapper, which
// the stand-in above calls; the stop's own calls reach the stand-in.
#undef CreateProcessW
#define CreateProcessW observed_create_process
#include "../../stop/tovrinHostStop.cpp"
#include "../../stop/tovrinHostTask.cpp"
#include "../../stop/tovrinHostPortOwner.cpp"
#undef CreateProcessW
#define CreateProcessW strict_CreateProcessW

#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <algorithm>
#include <functional>
#include <regex>

namespace {

// An install directory as the stop sees it; `resolved` is the path the
// system would resolve it to (empty: the same).
install_names names_of(const std::string &given, const std::string &resolved = "")
{
    install_names n;
    memset(&n, 0, sizeof n);
    copy_text(n.given, sizeof n.given, given.c_str());
    copy_text(n.resolved, sizeof n.resolved, resolved.c_str());
    return n;
}

std::wstring system_schtasks()
{
    wchar_t sysdir[MAX_PATH];
    GetSystemDirectoryW(sysdir, MAX_PATH);
    return std::wstring(sysdir) + L"\\schtasks.exe";
}

std::string schtasks_program()
{
    return "\"" + tvt::narrow(system_schtasks()) + "\" ";
}

// The programs that `run` starts, and how many processes ran in their job
// (each started program, plus any process it started in turn).
std::vector<started_program> programs_started_during(const std::function<void()> &run,
                                                     DWORD *in_job)
{
    HANDLE job = CreateJobObjectW(NULL, NULL);
    EXPECT_TRUE(job != NULL);
    {
        std::lock_guard<std::mutex> hold(g_started_lock);
        g_started.clear();
        g_started_job = job;
    }
    run();
    std::vector<started_program> seen;
    {
        std::lock_guard<std::mutex> hold(g_started_lock);
        seen.swap(g_started);
        g_started_job = NULL;
    }
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    ZeroMemory(&accounting, sizeof accounting);
    EXPECT_TRUE(job && QueryInformationJobObject(job, JobObjectBasicAccountingInformation,
                                                 &accounting, sizeof accounting, NULL));
    *in_job = accounting.TotalProcesses;
    if (job) {
        CloseHandle(job);
    }
    return seen;
}

// The task steps that `run` takes: each program it starts must be the
// system's schtasks.exe, started without a window, and must really have run
// (counted in its job; under Wine 10 a console program brings a console host
// along, so up to two processes per program). Returns the arguments of each
// step, in order.
std::vector<std::string> task_steps_during(const std::function<void()> &run)
{
    DWORD in_job = 0;
    std::vector<started_program> seen = programs_started_during(run, &in_job);
    std::vector<std::string> steps;
    const std::wstring program = system_schtasks();
    for (const started_program &s : seen) {
        EXPECT_EQ(program, s.application);
        const std::wstring &ran = g_schtasks_standin.empty() ? program : g_schtasks_standin;
        EXPECT_EQ(0, _wcsicmp(ran.c_str(), s.image.c_str())) << tvt::narrow(s.image);
        EXPECT_TRUE(s.flags & CREATE_NO_WINDOW);
        std::string command = tvt::narrow(s.command_line);
        EXPECT_EQ(0u, command.find(schtasks_program())) << command;
        steps.push_back(command.substr(std::min(command.size(), schtasks_program().size())));
    }
    EXPECT_GE(in_job, (DWORD)seen.size());
    EXPECT_LE(in_job, 2 * (DWORD)seen.size());
    return steps;
}

const std::string k_disable = "/Change /TN \"Tovrin Host\" /DISABLE";
const std::string k_end = "/End /TN \"Tovrin Host\"";
const std::string k_enable = "/Change /TN \"Tovrin Host\" /ENABLE";
const std::string k_query = "/Query /TN \"Tovrin Host\" /XML";

// The whole record line, as the upgrade-stop log must hold it.
const std::regex k_record_line(
    "result=(stopped|refused) detail=[a-z_]+ listener_pid=[0-9]+ image_basename=[^ ]+ "
    "image_relation=[a-z_]+ image_query=[a-z_]+ win32_error=[0-9]+ discover_attempts=[0-8] "
    "owner_metadata=(present|absent) pid_reused=[01] command_matches=(unknown|0|1) "
    "helper_matches_install=[01] helper_sha256=([0-9a-f]{64}|unavailable) "
    "task_before=(unread|none|enabled|disabled|unknown) "
    "task_after=(unread|none|enabled|disabled|unknown)\r\n");

// A throw-away tree: an installation, a sibling whose name extends it, and a
// state directory of its own. Processes started through it are ended in
// TearDown, also when a test fails half-way.
class StopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = tvt::make_temp_dir(L"stopu");
        ASSERT_FALSE(root.empty());
        install = root + L"\\Host";
        sibling = root + L"\\Host2";
        state = root + L"\\state";
        ASSERT_TRUE(tvt::make_dirs(state));
        // Children that fall back to the default state directory must not
        // reach the user's one.
        SetEnvironmentVariableW(L"TOVRIN_HOST_STATE_DIR", state.c_str());
    }

    void TearDown() override
    {
        for (tvt::process &p : started) {
            if (p.handle) {
                TerminateProcess(p.handle, 9);
                WaitForSingleObject(p.handle, 5000);
            }
            tvt::close_process(&p);
        }
        tvt::kill_processes_below(root);
        tvt::remove_tree_retrying(root);
    }

    std::string u(const std::wstring &w) { return tvt::narrow(w); }

    // Behaviour text for a test sidecar that keeps its files in `state`.
    std::string behaviour(const std::string &extra, const std::wstring &tag)
    {
        std::string text = "state_dir=" + u(state) + "\r\n";
        text += "ready_file=" + u(root + L"\\ready-" + tag + L".txt") + "\r\n";
        text += extra;
        return text;
    }

    // Starts `node` the way the shell starts the runtime; waits until it
    // listens. Returns the index in `started`.
    size_t start_sidecar(const std::wstring &node, const std::wstring &script,
                         const std::wstring &tag, const std::wstring &cwd = L"")
    {
        std::wstring ready = root + L"\\ready-" + tag + L".txt";
        DeleteFileW(ready.c_str());
        tvt::process p;
        std::wstring cmd = tvt::quote(node) + L" " + tvt::quote(script) + L" serve";
        EXPECT_TRUE(tvt::start_process_quiet(cmd, cwd, &p)) << u(cmd);
        started.push_back(p);
        EXPECT_TRUE(tvt::wait_until([&] { return tvt::file_exists(ready); }, 10000))
            << "sidecar " << u(tag) << " did not get ready";
        return started.size() - 1;
    }

    // A copy of the test sidecar at `exe`, reading `script`.
    size_t start_copy(const std::wstring &exe, const std::string &extra, const std::wstring &tag)
    {
        size_t cut = exe.find_last_of(L'\\');
        EXPECT_TRUE(tvt::make_dirs(exe.substr(0, cut)));
        EXPECT_TRUE(tvt::copy_file(tvt::test_sidecar_exe(), exe));
        std::wstring script = root + L"\\behaviour-" + tag + L".txt";
        EXPECT_TRUE(tvt::write_file(script, behaviour(extra, tag)));
        return start_sidecar(exe, script, tag);
    }

    // A console running the installation's helper script (`script`) or
    // another program directly; either way it waits in a program outside
    // the installation.
    tvt::process start_console(bool script)
    {
        tvt::process cmd;
        EXPECT_TRUE(tvt::start_console(root, script ? install : L"", &cmd));
        started.push_back(cmd);
        return cmd;
    }

    std::wstring root, install, sibling, state;
    std::vector<tvt::process> started;
};

// ------------------------------------------------------------------
// files and paths

TEST_F(StopTest, ReadFileUtf8ReadsOnceAndTerminates)
{
    std::wstring big = root + L"\\big.bin";
    std::string bytes(5000, 'x');
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = (char)('a' + i % 26);
    }
    ASSERT_TRUE(tvt::write_file(big, bytes));
    std::vector<char> buf(4096, '\x7f');
    EXPECT_EQ(1, read_file_utf8(big.c_str(), buf.data(), buf.size()));
    EXPECT_EQ(std::string(buf.data()), bytes.substr(0, 4095));

    std::wstring empty = root + L"\\empty.txt";
    ASSERT_TRUE(tvt::write_file(empty, ""));
    char small[16];
    memset(small, 'q', sizeof small);
    EXPECT_EQ(1, read_file_utf8(empty.c_str(), small, sizeof small));
    EXPECT_STREQ("", small);

    // A missing file fails and leaves the buffer as it was.
    memset(small, 'q', sizeof small);
    EXPECT_EQ(0, read_file_utf8((root + L"\\missing.txt").c_str(), small, sizeof small));
    EXPECT_EQ('q', small[0]);

    // A file the sidecar holds open for writing, or for deleting, is still
    // readable: the reader shares both, so it never makes the sidecar's
    // removal of its own files fail either.
    for (DWORD access : {(DWORD)GENERIC_WRITE, (DWORD)DELETE}) {
        HANDLE held = CreateFileW(big.c_str(), access,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        memset(small, 'q', sizeof small);
        EXPECT_EQ(1, read_file_utf8(big.c_str(), small, sizeof small)) << access;
        EXPECT_EQ(bytes.substr(0, 15), std::string(small));
        CloseHandle(held);
    }
}

TEST_F(StopTest, JoinPathWritesOnlyWhatFits)
{
    wchar_t out[JOIN_CAP];
    std::wstring dir250(250, L'd');
    out[0] = L'\0';
    join_path(out, dir250.c_str(), L"runtime.lock.owner");
    EXPECT_STREQ(L"", out);

    // dir + "\" + name + terminator == 260 fits; one more unit does not.
    std::wstring name = L"n.txt";
    std::wstring dir_fit(JOIN_CAP - 2 - name.size(), L'a');
    out[0] = L'\0';
    join_path(out, dir_fit.c_str(), name.c_str());
    EXPECT_EQ(dir_fit + L"\\" + name, std::wstring(out));
    std::wstring dir_over = dir_fit + L"a";
    out[0] = L'\0';
    join_path(out, dir_over.c_str(), name.c_str());
    EXPECT_STREQ(L"", out);

    out[0] = L'\0';
    join_path(out, L"C:\\state\\", L"control.json");
    EXPECT_STREQ(L"C:\\state\\control.json", out);
    out[0] = L'\0';
    join_path(out, L"", L"control.json");
    EXPECT_STREQ(L"control.json", out);
}

TEST_F(StopTest, StripExtendedPrefix)
{
    wchar_t a[64] = L"\\\\?\\C:\\Apps\\node.exe";
    strip_extended_prefix(a);
    EXPECT_STREQ(L"C:\\Apps\\node.exe", a);
    wchar_t b[64] = L"\\??\\C:\\Apps\\node.exe";
    strip_extended_prefix(b);
    EXPECT_STREQ(L"C:\\Apps\\node.exe", b);
    wchar_t c[64] = L"\\\\?C:\\x";
    strip_extended_prefix(c);
    EXPECT_STREQ(L"\\\\?C:\\x", c);
    wchar_t d[8] = L"\\\\?";
    strip_extended_prefix(d);
    EXPECT_STREQ(L"\\\\?", d);
    wchar_t e[64] = L"C:\\\\?\\x";
    strip_extended_prefix(e);
    EXPECT_STREQ(L"C:\\\\?\\x", e);
}

TEST_F(StopTest, ImageFilenameIs)
{
    EXPECT_EQ(1, image_filename_is("C:/Apps/NODE.EXE", "node.exe"));
    EXPECT_EQ(0, image_filename_is("C:\\x\\mynode.exe", "node.exe"));
    EXPECT_EQ(1, image_filename_is("node.exe", "node.exe"));
    EXPECT_EQ(0, image_filename_is("ode.exe", "node.exe"));
    EXPECT_EQ(0, image_filename_is("C:\\x\\node.exe.bak", "node.exe"));
    EXPECT_EQ(1, image_filename_is("C:\\Windows\\System32\\CMD.exe", "cmd.exe"));
    EXPECT_EQ(1, image_filename_is("C:\\Apps\\Host\\TovrinHost.exe", "tovrinhost.exe"));
    EXPECT_EQ(0, image_filename_is("", "node.exe"));

    // 519 bytes is the longest path looked at; 520 bytes never matches.
    std::string tail = "\\node.exe";
    std::string p519 = "C:" + std::string(519 - 2 - tail.size(), 'p') + tail;
    ASSERT_EQ(519u, p519.size());
    EXPECT_EQ(1, image_filename_is(p519.c_str(), "node.exe"));
    std::string p520 = "C:" + std::string(520 - 2 - tail.size(), 'p') + tail;
    EXPECT_EQ(0, image_filename_is(p520.c_str(), "node.exe"));
}

TEST_F(StopTest, StoreImageWideDropsPrefixAndRefusesWhatDoesNotFit)
{
    std::wstring exe = root + L"\\Program Folder\\node.exe";
    ASSERT_TRUE(tvt::make_dirs(root + L"\\Program Folder"));
    ASSERT_TRUE(tvt::write_file(exe, "x"));
    char out[IMAGE_CAP];

    std::vector<wchar_t> prefixed;
    std::wstring with_prefix = L"\\\\?\\" + exe;
    prefixed.assign(with_prefix.begin(), with_prefix.end());
    prefixed.push_back(L'\0');
    EXPECT_EQ(1, store_image_wide(prefixed.data(), out));
    EXPECT_EQ(u(exe), std::string(out));

    // A path that does not exist (a process image on another volume, say)
    // is stored as given, without the prefix.
    wchar_t gone[] = L"\\??\\Q:\\nowhere\\node.exe";
    EXPECT_EQ(1, store_image_wide(gone, out));
    EXPECT_STREQ("Q:\\nowhere\\node.exe", out);

    // Non-ASCII names come out as UTF-8.
    wchar_t accented[] = L"Q:\\Caf\u00e9\\node.exe";
    EXPECT_EQ(1, store_image_wide(accented, out));
    EXPECT_STREQ("Q:\\Caf\xc3\xa9\\node.exe", out);

    // 519 bytes of UTF-8 fit; 520 do not, and the slot is left empty.
    std::wstring w519 = L"Q:\\" + std::wstring(519 - 3 - 9, L'p') + L"\\node.exe";
    ASSERT_EQ(519u, w519.size());
    std::vector<wchar_t> b519(w519.begin(), w519.end());
    b519.push_back(L'\0');
    EXPECT_EQ(1, store_image_wide(b519.data(), out));
    EXPECT_EQ(519u, strlen(out));
    std::wstring w520 = w519 + L"x";
    std::vector<wchar_t> b520(w520.begin(), w520.end());
    b520.push_back(L'\0');
    EXPECT_EQ(0, store_image_wide(b520.data(), out));
    EXPECT_STREQ("", out);

    wchar_t empty[] = L"";
    EXPECT_EQ(0, store_image_wide(empty, out));
}

TEST_F(StopTest, CanonicalizeInstallDirUsesTheLongForm)
{
    std::wstring dir = root + L"\\A Rather Long Directory Name";
    ASSERT_TRUE(tvt::make_dirs(dir));
    wchar_t out[CANON_CAP];
    EXPECT_EQ(1, canonicalize_install_dir(dir.c_str(), out));
    EXPECT_EQ(dir, std::wstring(out));

    // A directory that does not exist is kept as given.
    std::wstring missing = root + L"\\Not There";
    EXPECT_EQ(1, canonicalize_install_dir(missing.c_str(), out));
    EXPECT_EQ(missing, std::wstring(out));

    // A relative directory is taken against the current directory; one
    // that cannot be made absolute within 1023 units is no directory.
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    ASSERT_TRUE(SetCurrentDirectoryW(root.c_str()));
    EXPECT_EQ(1, canonicalize_install_dir(L"A Rather Long Directory Name", out));
    std::wstring relative_result(out);
    EXPECT_EQ(1, canonicalize_install_dir(L".\\x\\..\\Not There", out));
    std::wstring dotted_result(out);
    std::wstring too_long(1024 - root.size(), L'r');
    memset(out, 0x5a, sizeof out);
    EXPECT_EQ(0, canonicalize_install_dir(too_long.c_str(), out));
    EXPECT_EQ(L'\0', out[0]);
    std::wstring fits(1022 - root.size(), L'r');
    EXPECT_EQ(1, canonicalize_install_dir(fits.c_str(), out));
    EXPECT_EQ(root + L"\\" + fits, std::wstring(out));
    SetCurrentDirectoryW(cwd);
    EXPECT_EQ(dir, relative_result);
    EXPECT_EQ(missing, dotted_result);
    EXPECT_EQ(0, canonicalize_install_dir(L"", out));
    EXPECT_EQ(0, canonicalize_install_dir(NULL, out));

    wchar_t short_form[CANON_CAP];
    DWORD n = GetShortPathNameW(dir.c_str(), short_form, CANON_CAP);
    if (n == 0 || n >= CANON_CAP || dir == short_form) {
        GTEST_SKIP() << "no distinct 8.3 name on this file system";
    }
    canonicalize_install_dir(short_form, out);
    EXPECT_EQ(dir, std::wstring(out));
}

// ------------------------------------------------------------------
// discovery on real processes

TEST_F(StopTest, CollectProcessesFindsCandidatesWithWholeCommandLines)
{
    size_t node = start_copy(install + L"\\runtime\\node\\node.exe", "write_control=0\r\n", L"n");
    size_t decoy = start_copy(sibling + L"\\runtime\\node\\node.exe", "write_control=0\r\n", L"d");
    // Named like nothing of interest: kept only as listener or lock owner.
    size_t other = start_copy(root + L"\\tools\\waiter.exe", "write_control=0\r\n", L"w");
    ASSERT_FALSE(HasFatalFailure());

    // The helper script waits in a program of its own, which ends by itself
    // in any case.
    tvt::process cmd = start_console(true);
    ASSERT_FALSE(HasFatalFailure());
    wchar_t sysdir[MAX_PATH];
    GetSystemDirectoryW(sysdir, MAX_PATH);
    std::wstring cmd_line = tvt::quote(std::wstring(sysdir) + L"\\cmd.exe") + L" /c \"" +
                            tvt::quote(install + L"\\tovrinhostsidecar.cmd") + L"\"";

    tovrin_process_record records[TABLE_CAP];
    static char images[TABLE_CAP][IMAGE_CAP];
    static char commands[TABLE_CAP][COMMAND_CAP];
    process_table table = {records, images, commands, 0};
    const install_names names = names_of(u(install));

    auto find = [&](DWORD pid) -> const tovrin_process_record * {
        for (int32_t i = 0; i < table.count; i++) {
            if (records[i].pid == pid) {
                return &records[i];
            }
        }
        return nullptr;
    };
    std::wstring node_cmd = tvt::quote(install + L"\\runtime\\node\\node.exe") + L" " +
                            tvt::quote(root + L"\\behaviour-n.txt") + L" serve";

    // The cmd.exe may need a moment before its command line is in place.
    ASSERT_TRUE(tvt::wait_until(
        [&] {
            return collect_processes(&table, &names, 0, 0) == 1 && find(cmd.pid) &&
                   find(cmd.pid)->command_line;
        },
        5000));

    const tovrin_process_record *r = find(started[node].pid);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(u(install + L"\\runtime\\node\\node.exe"), r->image);
    ASSERT_NE(nullptr, r->command_line);
    EXPECT_EQ(u(node_cmd), r->command_line);

    // A node.exe elsewhere takes no slot: a busy machine runs many.
    EXPECT_EQ(nullptr, find(started[decoy].pid));

    r = find(cmd.pid);
    ASSERT_NE(nullptr, r);
    EXPECT_TRUE(image_filename_is(r->image, "cmd.exe")) << r->image;
    EXPECT_EQ(u(cmd_line), r->command_line);

    // The test program itself is no candidate.
    EXPECT_EQ(nullptr, find(GetCurrentProcessId()));
    EXPECT_EQ(nullptr, find(started[other].pid));

    // As the lock owner it is kept, without a command line; as the
    // listener it is kept with one.
    ASSERT_EQ(1, collect_processes(&table, &names, 0, started[other].pid));
    r = find(started[other].pid);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(u(root + L"\\tools\\waiter.exe"), r->image);
    EXPECT_EQ(nullptr, r->command_line);
    ASSERT_EQ(1, collect_processes(&table, &names, started[other].pid, 0));
    r = find(started[other].pid);
    ASSERT_NE(nullptr, r);
    ASSERT_NE(nullptr, r->command_line);
    EXPECT_NE(std::string::npos, std::string(r->command_line).find("waiter.exe"));

    // Only the installation's runtime and its helper script are planned.
    std::string dir = u(install);
    tovrin_stop_plan plan;
    ASSERT_EQ(1, tovrin_plan_sidecar_stop(dir.c_str(), GetCurrentProcessId(), records,
                                          table.count, 0, NULL, 0, &plan));
    std::vector<uint32_t> planned(plan.pids, plan.pids + plan.count);
    std::sort(planned.begin(), planned.end());
    std::vector<uint32_t> expected = {started[node].pid, cmd.pid};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, planned);

    EXPECT_EQ(1, tovrin_install_runtime_running(install.c_str()));
}

TEST_F(StopTest, InstallRuntimeRunningOnlyForThisInstallation)
{
    EXPECT_EQ(0, tovrin_install_runtime_running(install.c_str()));
    EXPECT_EQ(0, tovrin_install_runtime_running(L""));
    EXPECT_EQ(0, tovrin_install_runtime_running(NULL));
    size_t decoy = start_copy(sibling + L"\\runtime\\node\\node.exe", "write_control=0\r\n", L"d");
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(0, tovrin_install_runtime_running(install.c_str()))
        << "Host2 must not count as Host";
    EXPECT_EQ(1, tovrin_install_runtime_running(sibling.c_str()));
    size_t node = start_copy(install + L"\\runtime\\node\\node.exe", "write_control=0\r\n", L"n");
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(1, tovrin_install_runtime_running(install.c_str()));
    EXPECT_EQ(1, tovrin_install_runtime_running((install + L"\\").c_str()));
    (void)decoy;
    (void)node;
}

// Windows names an image by the path it resolved (the target of a link, the
// volume behind a subst drive): an installation reached through a link
// still knows its runtime, here started through the resolved path.
TEST_F(StopTest, InstallReachedThroughALinkKnowsItsRuntime)
{
    std::wstring linked = L"Z:" + tvt::widen(TOVRIN_LINKED_DIR_UNIX);
    std::replace(linked.begin(), linked.end(), L'/', L'\\');
    std::wstring real = linked + L"\\real";
    std::wstring link = linked + L"\\link";
    tvt::remove_tree(real + L"\\runtime");
    size_t node = start_copy(real + L"\\runtime\\node\\node.exe", "", L"n");
    ASSERT_FALSE(HasFatalFailure());
    static stop_state stop;
    EXPECT_EQ(1, tovrin_install_runtime_running(link.c_str()));
    EXPECT_EQ(0, stop_sidecar(link.c_str(), state.c_str(), query_listener, &stop));
    EXPECT_TRUE(tvt::wait_process(started[node], 5000, nullptr));
    tvt::remove_tree_retrying(real + L"\\runtime");
}

TEST_F(StopTest, CommandUtf8ReadsOtherProcessesWhole)
{
    std::wstring exe = root + L"\\tools\\waiter.exe";
    ASSERT_TRUE(tvt::make_dirs(root + L"\\tools"));
    ASSERT_TRUE(tvt::copy_file(tvt::test_sidecar_exe(), exe));
    std::wstring script = root + L"\\behaviour-w.txt";
    ASSERT_TRUE(tvt::write_file(script, "write_control=0\r\nwrite_lock=0\r\n"));

    // The program is named apart from the command line, so that the line
    // can be anything, a single character included.
    auto run = [&](const std::wstring &cmdline) {
        STARTUPINFOW si;
        ZeroMemory(&si, sizeof si);
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        std::vector<wchar_t> buf(cmdline.begin(), cmdline.end());
        buf.push_back(L'\0');
        EXPECT_TRUE(CreateProcessW(exe.c_str(), buf.data(), NULL, NULL, FALSE, DETACHED_PROCESS,
                                   NULL, NULL, &si, &pi));
        CloseHandle(pi.hThread);
        tvt::process p;
        p.handle = pi.hProcess;
        p.pid = pi.dwProcessId;
        started.push_back(p);
        return p.pid;
    };
    char out[COMMAND_CAP];

    // Non-ASCII text arrives as UTF-8, and the line comes back whole.
    std::wstring line = tvt::quote(exe) + L" " + tvt::quote(script) + L" serve \u00fcber " +
                        std::wstring(600, L'a');
    DWORD pid = run(line);
    ASSERT_TRUE(tvt::wait_until(
        [&] {
            command_utf8(pid, out);
            return out[0] != '\0';
        },
        5000));
    EXPECT_EQ(u(line), std::string(out));

    // A one-character command line (two bytes) is read.
    DWORD single = run(L"x");
    ASSERT_TRUE(tvt::wait_until(
        [&] {
            command_utf8(single, out);
            return out[0] != '\0';
        },
        5000));
    EXPECT_STREQ("x", out);

    // One whose UTF-8 form exceeds 1023 bytes is left out, not cut.
    std::wstring long_line = tvt::quote(exe) + L" " + std::wstring(1100, L'b');
    DWORD long_pid = run(long_line);
    Sleep(300);
    memset(out, 'z', sizeof out);
    command_utf8(long_pid, out);
    EXPECT_STREQ("", out);
    ASSERT_TRUE(tvt::process_alive(long_pid));

    // A process that does not exist has none.
    memset(out, 'z', sizeof out);
    command_utf8(0x7ffffff0u, out);
    EXPECT_STREQ("", out);
}

TEST_F(StopTest, QueryImageOfOwnAndMissingProcess)
{
    char out[IMAGE_CAP];
    wchar_t self[1024];
    DWORD n = GetModuleFileNameW(NULL, self, 1024);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(1, query_image(GetCurrentProcessId(), out));
    EXPECT_EQ(0, _stricmp(u(std::wstring(self, n)).c_str(), out)) << out;

    // An id that names no process: the slot stays empty.
    memset(out, 'z', sizeof out);
    EXPECT_EQ(0, query_image(0x7ffffff0u, out));
    EXPECT_STREQ("", out);
    memset(out, 'z', sizeof out);
    EXPECT_EQ(0, query_image(0, out));
    EXPECT_STREQ("", out);
}

TEST_F(StopTest, TerminationOnlyOfAnUnchangedImageAndWaitsForTheEnd)
{
    std::wstring exe = install + L"\\runtime\\node\\node.exe";
    size_t node = start_copy(exe, "write_control=0\r\nwrite_lock=0\r\n", L"n");
    ASSERT_FALSE(HasFatalFailure());
    const tvt::process &p = started[node];

    const install_names dir = names_of(u(install));

    // The pid now names another image than the one planned: left alone.
    std::string other = u(sibling + L"\\runtime\\node\\node.exe");
    EXPECT_EQ(0, terminate_if_unchanged(p.pid, other.c_str(), &dir));
    EXPECT_EQ(0, terminate_if_unchanged(p.pid, "", &dir));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(p.handle, 200));

    // The same image, in other letter case: terminated with exit code 0,
    // and over by the time the call returns.
    std::string planned = u(exe);
    CharUpperBuffA(&planned[0], (DWORD)planned.size());
    EXPECT_EQ(1, terminate_if_unchanged(p.pid, planned.c_str(), &dir));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.handle, 0));
    DWORD code = 99;
    GetExitCodeProcess(p.handle, &code);
    EXPECT_EQ(0u, code);

    EXPECT_EQ(0, terminate_if_unchanged(0x7ffffff0u, planned.c_str(), &dir));
}

TEST_F(StopTest, ConsoleIsTerminatedOnlyWhileItStillRunsTheHelperScript)
{
    // Every console runs the same cmd.exe, so a pid planned as the helper
    // console and taken over by another console has the planned image: its
    // command line must name the script again before it is terminated.
    tvt::process other_console = start_console(false);
    tvt::process helper_console = start_console(true);
    ASSERT_FALSE(HasFatalFailure());
    char cmd_image[IMAGE_CAP];
    ASSERT_EQ(1, query_image(helper_console.pid, cmd_image));
    const install_names dir = names_of(u(install));

    EXPECT_EQ(0, terminate_if_unchanged(other_console.pid, cmd_image, &dir));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(other_console.handle, 200));
    // Nor is it this installation's console for another installation.
    const install_names sibling_dir = names_of(u(sibling));
    EXPECT_EQ(0, terminate_if_unchanged(helper_console.pid, cmd_image, &sibling_dir));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(helper_console.handle, 0));

    EXPECT_EQ(1, terminate_if_unchanged(helper_console.pid, cmd_image, &dir));
    DWORD code = 99;
    ASSERT_TRUE(tvt::wait_process(helper_console, 0, &code));
    EXPECT_EQ(0u, code);
}

TEST_F(StopTest, QueryListenerOnARealListener)
{
    static listener_owners owners;
    for (int32_t port : {0, -1, 65536}) {
        query_listener(port, &owners);
        EXPECT_EQ(0, owners.count);
        EXPECT_EQ(0u, owners.table_error);
    }

    size_t node = start_copy(install + L"\\runtime\\node\\node.exe", "", L"n");
    ASSERT_FALSE(HasFatalFailure());
    int port = atoi(tvt::read_file_or_empty(root + L"\\ready-n.txt").c_str());
    ASSERT_GT(port, 0);
    query_listener(port, &owners);
    EXPECT_EQ(0u, owners.table_error);
    if (owners.count == 0) {
        // Wine 8 reports every listener with owner 0: nothing to examine.
        EXPECT_EQ(0u, tvt::listener_owner(port));
    } else {
        ASSERT_EQ(1, owners.count);
        EXPECT_EQ(started[node].pid, owners.snaps[0].pid);
        EXPECT_EQ(0u, owners.snaps[0].query_state);
        EXPECT_EQ(u(install + L"\\runtime\\node\\node.exe"), owners.snaps[0].image);
        ASSERT_NE(nullptr, owners.snaps[0].command_line);
        EXPECT_EQ(0u, owners.errors[0]);
    }
}

// ------------------------------------------------------------------
// constructed listener tables

struct table_buf {
    std::vector<unsigned char> bytes;
    MIB_TCPTABLE_OWNER_PID *table() { return (MIB_TCPTABLE_OWNER_PID *)bytes.data(); }
    DWORD size() const { return (DWORD)bytes.size(); }
};

table_buf make_table(const std::vector<MIB_TCPROW_OWNER_PID> &rows)
{
    table_buf t;
    size_t header = offsetof(MIB_TCPTABLE_OWNER_PID, table);
    t.bytes.assign(header + rows.size() * sizeof(MIB_TCPROW_OWNER_PID), 0);
    t.table()->dwNumEntries = (DWORD)rows.size();
    for (size_t i = 0; i < rows.size(); i++) {
        t.table()->table[i] = rows[i];
    }
    return t;
}

MIB_TCPROW_OWNER_PID row(const char *address, unsigned port, DWORD pid, DWORD high_bits = 0)
{
    MIB_TCPROW_OWNER_PID r;
    ZeroMemory(&r, sizeof r);
    r.dwState = MIB_TCP_STATE_LISTEN;
    r.dwLocalAddr = inet_addr(address);
    r.dwLocalPort = (DWORD)htons((u_short)port) | (high_bits << 16);
    r.dwOwningPid = pid;
    return r;
}

// The owners of every row that receives a connection to 127.0.0.1 at the
// port, each once: IPv4 rows bound to 127.0.0.1 or 0.0.0.0, IPv6 rows bound
// to "::"; owner 0 names nobody.
std::vector<uint32_t> owners_of(table_buf &v4, int32_t port, int *fits = nullptr)
{
    uint32_t pids[OWNERS_MAX];
    int32_t count = 0;
    int ok = find_listener_rows(v4.table(), v4.size(), AF_INET, port, pids, &count);
    if (fits) {
        *fits = ok;
    }
    return std::vector<uint32_t>(pids, pids + count);
}

TEST(ListenerRows, EveryAddressThatReachesLoopbackAtThePort)
{
    table_buf t = make_table({row("0.0.0.0", 8080, 11), row("127.0.0.2", 8080, 12),
                              row("127.0.0.1", 8081, 13), row("127.0.0.1", 8080, 14),
                              row("127.0.0.1", 8080, 14), row("192.168.1.5", 8080, 15),
                              row("127.0.0.1", 8080, 0)});
    EXPECT_EQ((std::vector<uint32_t>{11, 14}), owners_of(t, 8080));
    EXPECT_EQ((std::vector<uint32_t>{13}), owners_of(t, 8081));
    EXPECT_EQ((std::vector<uint32_t>{}), owners_of(t, 9000));

    // More owners than fit: the walk says so.
    table_buf many = make_table({row("0.0.0.0", 80, 1), row("127.0.0.1", 80, 2),
                                 row("127.0.0.1", 80, 3), row("127.0.0.1", 80, 4),
                                 row("127.0.0.1", 80, 5)});
    int fits = 1;
    EXPECT_EQ(4u, owners_of(many, 80, &fits).size());
    EXPECT_EQ(0, fits);

    // IPv6: only "::" reaches 127.0.0.1; "::1" and others do not.
    std::vector<unsigned char> bytes(offsetof(MIB_TCP6TABLE_OWNER_PID, table) +
                                     3 * sizeof(MIB_TCP6ROW_OWNER_PID));
    MIB_TCP6TABLE_OWNER_PID *t6 = (MIB_TCP6TABLE_OWNER_PID *)bytes.data();
    MIB_TCP6ROW_OWNER_PID *rows6 = t6->table;
    t6->dwNumEntries = 3;
    for (DWORD i = 0; i < 3; i++) {
        rows6[i].dwLocalPort = htons(8080);
        rows6[i].dwOwningPid = 21 + i;
    }
    rows6[1].ucLocalAddr[15] = 1; // ::1
    rows6[2].dwLocalPort = htons(8081);
    uint32_t pids[OWNERS_MAX];
    int32_t count = 0;
    EXPECT_EQ(1, find_listener_rows(t6, (DWORD)bytes.size(), AF_INET6, 8080, pids, &count));
    EXPECT_EQ((std::vector<uint32_t>{21}), std::vector<uint32_t>(pids, pids + count));
}

TEST(ListenerRows, PortIsInNetworkOrderInTheLowBits)
{
    // 0x1234 in network order reads 0x3412 when taken as host order.
    table_buf t = make_table({row("127.0.0.1", 0x1234, 21, 0xABCD)});
    EXPECT_EQ((std::vector<uint32_t>{21}), owners_of(t, 0x1234));
    EXPECT_EQ((std::vector<uint32_t>{}), owners_of(t, 0x3412));

    // A row count beyond the buffer is bounded by the buffer.
    table_buf short_table = make_table({row("127.0.0.1", 7000, 31)});
    short_table.table()->dwNumEntries = 1000;
    EXPECT_EQ((std::vector<uint32_t>{}), owners_of(short_table, 7001));
    EXPECT_EQ((std::vector<uint32_t>{31}), owners_of(short_table, 7000));
}

// ------------------------------------------------------------------
// lock owner, command match, foreign detail

TEST(LockOwner, Parsing)
{
    uint32_t pid = 0;
    char image[IMAGE_CAP];

    parse_lock_owner("pid=1234\r\nimage=C:\\Host\\runtime\\node\\node.exe\r\n", &pid, image);
    EXPECT_EQ(1234u, pid);
    EXPECT_STREQ("C:\\Host\\runtime\\node\\node.exe", image);

    parse_lock_owner("image=C:\\a b\\node.exe\npid=77\n", &pid, image);
    EXPECT_EQ(77u, pid);
    EXPECT_STREQ("C:\\a b\\node.exe", image);

    parse_lock_owner("pid=abc\r\nimage=C:\\x\\node.exe\r\n", &pid, image);
    EXPECT_EQ(0u, pid);
    EXPECT_STREQ("C:\\x\\node.exe", image);

    parse_lock_owner("image=C:\\x\\node.exe\r\npid=", &pid, image);
    EXPECT_EQ(0u, pid);
    EXPECT_STREQ("", image);

    parse_lock_owner("image=C:\\x\\node.exe\r\n", &pid, image);
    EXPECT_EQ(0u, pid);
    EXPECT_STREQ("", image);

    parse_lock_owner("pid=12x\r\nimage=\r\n", &pid, image);
    EXPECT_EQ(12u, pid);
    EXPECT_STREQ("", image);

    parse_lock_owner("pid=4294967295\r\n", &pid, image);
    EXPECT_EQ(4294967295u, pid);
    parse_lock_owner("pid=4294967296\r\n", &pid, image);
    EXPECT_EQ(0u, pid);

    std::string long_image(600, 'i');
    parse_lock_owner(("pid=5\r\nimage=" + long_image + "\r\n").c_str(), &pid, image);
    EXPECT_EQ(5u, pid);
    EXPECT_EQ(long_image.substr(0, 519), std::string(image));

    // The first "pid=" anywhere counts, even inside another word.
    parse_lock_owner("ppid=9\r\npid=10\r\nimage=C:\\n.exe", &pid, image);
    EXPECT_EQ(9u, pid);
}

TEST(CommandMatches, Cases)
{
    const char *dir = "C:\\App";
    EXPECT_EQ(1, command_matches_install(
                     "\"C:\\App\\runtime\\node\\node.exe\" \"C:\\App\\runtime\\dist\\hostRuntimeCli.js\" serve",
                     dir));
    EXPECT_EQ(1, command_matches_install(
                     "\"c:/app/runtime/node/node.exe\" \"C:/APP/runtime/dist/hostRuntimeCli.js\" serve",
                     dir));
    EXPECT_EQ(0, command_matches_install(
                     "\"C:\\App\\runtime\\node\\node.exe\" \"C:\\App\\runtime\\dist\\hostRuntimeCli.js\"",
                     dir));
    EXPECT_EQ(0, command_matches_install(
                     "\"C:\\Other\\runtime\\node\\node.exe\" \"C:\\Other\\runtime\\dist\\hostRuntimeCli.js\" serve",
                     dir));
    EXPECT_EQ(0, command_matches_install("node.exe serve", dir));
    EXPECT_EQ(0, command_matches_install(
                     "\"C:\\App\\runtime\\dist\\hostRuntimeCli.js\" serve", ""));
    // Only the first 1023 bytes of the command line are compared.
    std::string padded = "\"C:\\App\\runtime\\node\\node.exe\" " + std::string(1000, ' ') +
                         "\"C:\\App\\runtime\\dist\\hostRuntimeCli.js\" serve";
    EXPECT_EQ(0, command_matches_install(padded.c_str(), dir));
}

install_probe probe_with(uint32_t pid, const char *image, const char *detail)
{
    install_probe p;
    memset(&p, 0, sizeof p);
    p.command_matches = -1;
    p.listener_pid = pid;
    copy_text(p.image, sizeof p.image, image);
    copy_text(p.detail, sizeof p.detail, detail);
    return p;
}

TEST(ForeignDetail, FirstRuleThatApplies)
{
    install_probe p = probe_with(4242, "C:\\Tools\\server.exe", "socket_image_unavailable");
    EXPECT_STREQ("socket_image_unavailable", foreign_detail(&p));
    p = probe_with(0, "C:\\Tools\\server.exe", "");
    EXPECT_STREQ("socket_pid_unavailable", foreign_detail(&p));
    p = probe_with(4242, "", "");
    EXPECT_STREQ("socket_image_unavailable", foreign_detail(&p));
    p = probe_with(4242, "C:\\Tools\\node.exe", "");
    EXPECT_STREQ("image_mismatch", foreign_detail(&p));
    p = probe_with(4242, "C:/Windows/System32/CMD.EXE", "");
    EXPECT_STREQ("image_mismatch", foreign_detail(&p));
    p = probe_with(4242, "C:\\Apps\\Host2\\TovrinHost.exe", "");
    EXPECT_STREQ("image_mismatch", foreign_detail(&p));
    p = probe_with(4242, "C:\\Tools\\server.exe", "");
    EXPECT_STREQ("foreign_port_owner", foreign_detail(&p));
}

// ------------------------------------------------------------------
// token scan and the shutdown request

TEST(TokenScan, Cases)
{
    char token[TOKEN_CAP];
    EXPECT_EQ(1, scan_token("{\"port\":1,\"token\":\"abc\"}", token));
    EXPECT_STREQ("abc", token);
    EXPECT_EQ(1, scan_token("{\"token\" : \t\r\n \"tok\"}", token));
    EXPECT_STREQ("tok", token);
    EXPECT_EQ(1, scan_token("{\"token\"::\"c\"}", token));
    EXPECT_STREQ("c", token);
    // Escapes are not decoded: the value ends at the first quote.
    EXPECT_EQ(1, scan_token("{\"token\":\"ab\\\"cd\"}", token));
    EXPECT_STREQ("ab\\", token);
    EXPECT_EQ(0, scan_token("{\"token\":12345}", token));
    EXPECT_EQ(0, scan_token("{\"token\":\"\"}", token));
    EXPECT_EQ(0, scan_token("{\"token\":\"abc", token));
    EXPECT_EQ(0, scan_token("{\"tok\":\"abc\"}", token));
    EXPECT_EQ(0, scan_token("{\"token\"", token));
    // Vertical tab and form feed are not skipped.
    EXPECT_EQ(0, scan_token("{\"token\":\v\"abc\"}", token));

    for (size_t len : {1u, 200u}) {
        std::string text = "{\"token\":\"" + std::string(len, 't') + "\"}";
        EXPECT_EQ(1, scan_token(text.c_str(), token)) << len;
        EXPECT_EQ(len, strlen(token));
    }
    for (size_t len : {201u, 255u, 256u, 4000u}) {
        std::string text = "{\"token\":\"" + std::string(len, 't') + "\"}";
        EXPECT_EQ(0, scan_token(text.c_str(), token)) << len;
    }
}

TEST_F(StopTest, RequestShutdownSendsOnePostWithTheBearerToken)
{
    std::wstring log = root + L"\\requests.log";
    size_t node = start_copy(install + L"\\runtime\\node\\node.exe",
                             "request_log=" + u(log) + "\r\non_shutdown=ignore\r\n", L"n");
    ASSERT_FALSE(HasFatalFailure());
    // The port's owner, where the system names it, is this runtime.
    const install_names dir = names_of(u(install));
    auto request = [&](const std::wstring &state_dir) {
        request_shutdown(state_dir.c_str(), &dir, query_listener);
    };
    request(state);
    EXPECT_EQ("POST /shutdown Bearer 0123456789abcdef0123456789abcdef TovrinHost/0.1.1\r\n",
              tvt::read_file_or_empty(log));
    EXPECT_TRUE(tvt::process_alive(started[node].pid));

    // The same control file with a bind address that is not loopback, or a
    // token that is too long, gives no request at all.
    std::string control = tvt::read_file_or_empty(state + L"\\control.json");
    ASSERT_NE(std::string::npos, control.find("\"bindAddress\":\"127.0.0.1\""));
    std::string wide_open = control;
    wide_open.replace(wide_open.find("127.0.0.1"), 9, "0.0.0.0");
    ASSERT_TRUE(tvt::write_file(state + L"\\control.json", wide_open));
    request(state);
    int port = tovrin_parse_control_port(control.c_str());
    std::string long_token = "{\"port\":" + std::to_string(port) + ",\"token\":\"" +
                             std::string(201, 'a') + "\"}";
    ASSERT_TRUE(tvt::write_file(state + L"\\control.json", long_token));
    request(state);
    // A token of exactly 200 bytes is sent (the sidecar refuses it: 401).
    std::string token200 = "{\"port\":" + std::to_string(port) + ",\"token\":\"" +
                           std::string(200, 'a') + "\"}";
    ASSERT_TRUE(tvt::write_file(state + L"\\control.json", token200));
    request(state);
    EXPECT_EQ("POST /shutdown Bearer 0123456789abcdef0123456789abcdef TovrinHost/0.1.1\r\n"
              "POST /shutdown Bearer " + std::string(200, 'a') + " TovrinHost/0.1.1\r\n",
              tvt::read_file_or_empty(log));

    // Nothing listening, or no control file: returns without a request.
    DeleteFileW((state + L"\\control.json").c_str());
    request(state);
    request(root + L"\\no such dir");
}

// ------------------------------------------------------------------
// the attempt loop, the merge and the table limit

struct fake_answer {
    uint32_t pid;
    uint32_t state;
    std::string image;
    std::string command;
    uint32_t error;
};

std::vector<fake_answer> g_answers;
std::vector<int32_t> g_ports;
// When set, the answer names a real process: once it has ended, nothing
// listens any more, as the system would report it.
bool g_answer_follows_process = false;
// A file the query removes, as a sidecar ending at that moment would.
std::wstring g_removed_during_query;

// Owners that listen besides the answer, on every look (a second program
// on another address of the port).
std::vector<fake_answer> g_more_owners;

// One look at the port: the answer for this look (pid 0: nobody; pid 0 with
// an error: a table that could not be read), and the further owners.
void fake_query(int32_t port, listener_owners *owners)
{
    size_t i = g_ports.size() < g_answers.size() ? g_ports.size() : g_answers.size() - 1;
    g_ports.push_back(port);
    if (!g_removed_during_query.empty()) {
        DeleteFileW(g_removed_during_query.c_str());
    }
    std::vector<fake_answer> all{g_answers[i]};
    all.insert(all.end(), g_more_owners.begin(), g_more_owners.end());
    owners->count = 0;
    owners->table_error = 0;
    for (const fake_answer &a : all) {
        if (a.pid == 0 || (g_answer_follows_process && !tvt::process_alive(a.pid))) {
            owners->table_error = a.pid == 0 ? a.error : 0;
            continue;
        }
        int32_t n = owners->count++;
        tovrin_listener_snap *snap = &owners->snaps[n];
        snap->pid = a.pid;
        snap->query_state = a.state;
        copy_text(owners->images[n], IMAGE_CAP, a.image.c_str());
        copy_text(owners->commands[n], COMMAND_CAP, a.command.c_str());
        snap->image = owners->images[n];
        snap->command_line = a.command.empty() ? NULL : owners->commands[n];
        owners->errors[n] = a.error;
    }
}

void set_answers(const std::vector<fake_answer> &answers, bool follows = false)
{
    g_answers = answers;
    g_ports.clear();
    g_answer_follows_process = follows;
    g_removed_during_query.clear();
    g_more_owners.clear();
}

// The token goes only to a port whose owners are proved this
// installation's (or nobody); the UI and the browser only to one not proved
// foreign. The owners are classified first, as the install plan does it.
TEST_F(StopTest, PortTrustByItsMostForeignOwner)
{
    std::string dir = u(install);
    std::string node = dir + "\\runtime\\node\\node.exe";
    // The directory as the system resolves it, as Windows names the images
    // of programs started through the given path; and a runtime the shell
    // starts from beside itself, with another install directory.
    install_names names = names_of(dir, "C:\\Real\\Host");
    copy_text(names.runtime, sizeof names.runtime, "C:\\Shell\\runtime\\node\\node.exe");
    const fake_answer foreign = {4243, 0, "C:\\Tools\\server.exe", "", 0};
    const int trusted = TOVRIN_PORT_TRUSTED, alien = TOVRIN_PORT_FOREIGN;
    struct row {
        std::vector<fake_answer> answers;
        std::vector<fake_answer> more; // on other addresses of the port
        int trust;
        size_t looks;
    } rows[] = {
        {{{0, 0, "", "", 0}}, {}, trusted, 1},                          // nobody, or a hidden owner
        {{{4242, 0, node, "", 0}}, {}, trusted, 1},                     // this installation's runtime
        {{{4242, 0, dir + "\\TovrinHost.exe", "", 0}}, {}, trusted, 1}, // or its shell
        {{{4242, 1, "", "", ERROR_INVALID_PARAMETER}}, {}, TOVRIN_PORT_UNKNOWN, 8}, // gone on every look
        {{foreign}, {}, alien, 1},                                      // a foreign program
        {{{4242, 0, "C:\\Tools\\node.exe", "", 0}}, {}, alien, 1},      // a node.exe elsewhere
        {{{4242, 2, "", "", ERROR_ACCESS_DENIED}}, {}, alien, 8},       // never readable
        {{{4242, 3, "", "", 31}, foreign}, {}, alien, 2},
        {{{0, 0, "", "", ERROR_INSUFFICIENT_BUFFER}}, {}, TOVRIN_PORT_UNKNOWN, 1}, // no table
        {{{4242, 0, "C:\\Real\\Host\\runtime\\node\\node.exe", "", 0}}, {}, trusted, 1},
        {{{4242, 0, "c:/real/host/TovrinHost.exe", "", 0}}, {}, trusted, 1},
        {{{4242, 0, "C:\\Real\\Host2\\runtime\\node\\node.exe", "", 0}}, {}, alien, 1},
        {{{4242, 0, "c:\\shell\\RUNTIME\\node\\node.exe", "", 0}}, {}, trusted, 1},
        // Its own runtime on 127.0.0.1 and a foreign program on 0.0.0.0 or
        // "::" of the same port: the foreign one decides, whichever comes.
        {{{4242, 0, node, "", 0}}, {foreign}, alien, 1},
        {{foreign}, {{4242, 0, node, "", 0}}, alien, 1},
        {{{4242, 0, node, "", 0}}, {{4244, 1, "", "", ERROR_INVALID_PARAMETER}}, TOVRIN_PORT_UNKNOWN, 8},
        {{{4242, 1, "", "", ERROR_INVALID_PARAMETER}, {0, 0, "", "", 0}}, {}, trusted, 2}, // it closed
        {{{4242, 0, node, "", 0}}, {{4244, 3, "", "", 31}}, alien, 8},
        {{{4242, 0, node, "", 0}}, {{0, 0, "", "", ERROR_NOT_SUPPORTED}}, TOVRIN_PORT_UNKNOWN, 1},
    };
    for (const row &r : rows) {
        set_answers(r.answers);
        g_more_owners = r.more;
        EXPECT_EQ(r.trust, port_trust(&names, 5123, fake_query)) << r.answers[0].image;
        EXPECT_EQ(r.looks, g_ports.size());
    }
    EXPECT_EQ(TOVRIN_PORT_UNKNOWN, tovrin_port_owner_verdict(L"", NULL, 5123));

    // A sidecar of this installation answering on a port whose owner is
    // reported foreign gets no request, and the token never leaves.
    std::wstring log = root + L"\\requests.log";
    start_copy(install + L"\\runtime\\node\\node.exe", "request_log=" + u(log) + "\r\n", L"n");
    ASSERT_FALSE(HasFatalFailure());
    set_answers({foreign});
    request_shutdown(state.c_str(), &names, fake_query);
    EXPECT_EQ(1u, g_ports.size());
    EXPECT_EQ("", tvt::read_file_or_empty(log));
    set_answers({{0, 0, "", "", 0}});
    request_shutdown(state.c_str(), &names, fake_query);
    EXPECT_NE(std::string::npos, tvt::read_file_or_empty(log).find("POST /shutdown Bearer"));
}

struct loop_result {
    int verdict;
    uint32_t plan_pid;
    install_probe probe;
};

loop_result run_loop(const char *install_utf8, int32_t port)
{
    loop_result r;
    static listener_owners owners;
    int32_t decider = -1;
    memset(&r.probe, 0, sizeof r.probe);
    r.probe.command_matches = -1;
    const install_names names = names_of(install_utf8);
    r.verdict = discover_listener(&names, port, fake_query, &owners, &decider, &r.probe,
                                  &r.plan_pid);
    return r;
}

TEST(AttemptLoop, VanishingOwnerOverEightAttempts)
{
    set_answers({{4242, 1, "", "", ERROR_INVALID_PARAMETER}});
    loop_result r = run_loop("C:\\Host", 5000);
    EXPECT_EQ(2, r.verdict);
    EXPECT_EQ(8u, g_ports.size());
    EXPECT_EQ(8, r.probe.discover_attempts);
    EXPECT_EQ(0u, r.plan_pid);
    EXPECT_EQ(4242u, r.probe.listener_pid);
    EXPECT_STREQ("process_gone", r.probe.image_query);
    EXPECT_STREQ("unavailable", r.probe.image_relation);
    EXPECT_STREQ("", r.probe.detail);
    EXPECT_EQ(87u, r.probe.win32_error);
    for (int32_t p : g_ports) {
        EXPECT_EQ(5000, p);
    }
}

TEST(AttemptLoop, AccessDeniedOnEveryAttemptBlocks)
{
    set_answers({{4242, 2, "", "", ERROR_ACCESS_DENIED}});
    loop_result r = run_loop("C:\\Host", 5000);
    EXPECT_EQ(5, r.verdict);
    EXPECT_EQ(8, r.probe.discover_attempts);
    EXPECT_STREQ("socket_image_unavailable", r.probe.detail);
    EXPECT_STREQ("access_denied", r.probe.image_query);
    EXPECT_EQ(5u, r.probe.win32_error);
    EXPECT_STREQ("socket_image_unavailable", foreign_detail(&r.probe));
}

TEST(AttemptLoop, ForeignOwnerBlocksAtOnce)
{
    set_answers({{4242, 0, "C:\\Tools\\server.exe", "server.exe --port 5000", 0}});
    // The installation's runtime on another address of the port does not
    // change the verdict, and the record reports the owner that decided.
    g_more_owners = {{4243, 0, "C:\\Host\\runtime\\node\\node.exe", "", 0}};
    loop_result r = run_loop("C:\\Host", 5000);
    EXPECT_EQ(4, r.verdict);
    EXPECT_EQ(1u, g_ports.size());
    EXPECT_EQ(1, r.probe.discover_attempts);
    EXPECT_STREQ("foreign_port_owner", r.probe.detail);
    EXPECT_STREQ("outside_install", r.probe.image_relation);
    EXPECT_STREQ("ok", r.probe.image_query);
    EXPECT_STREQ("C:\\Tools\\server.exe", r.probe.image);
    EXPECT_EQ(0, r.probe.command_matches);
}

TEST(AttemptLoop, OwnerReadableOnTheThirdAttempt)
{
    set_answers({{4242, 3, "", "", 31},
                 {4242, 0, "", "", 0},
                 {4242, 0, "C:\\Host\\runtime\\node\\node.exe",
                  "\"C:\\Host\\runtime\\node\\node.exe\" \"C:\\Host\\runtime\\dist\\hostRuntimeCli.js\" serve",
                  0}});
    loop_result r = run_loop("C:\\Host", 5000);
    EXPECT_EQ(1, r.verdict);
    EXPECT_EQ(3, r.probe.discover_attempts);
    EXPECT_EQ(4242u, r.plan_pid);
    EXPECT_STREQ("exact_install_node", r.probe.image_relation);
    EXPECT_STREQ("ok", r.probe.image_query);
    EXPECT_STREQ("", r.probe.detail);
    EXPECT_EQ(1, r.probe.command_matches);
    EXPECT_EQ(0u, r.probe.win32_error);
}

TEST(AttemptLoop, NoListenerAtPortZero)
{
    set_answers({{0, 0, "", "", 0}});
    loop_result r = run_loop("C:\\Host", 0);
    EXPECT_EQ(2, r.verdict);
    EXPECT_EQ(1, r.probe.discover_attempts);
    EXPECT_STREQ("no_listener", r.probe.image_query);
    EXPECT_EQ(-1, r.probe.command_matches);
    EXPECT_EQ(0, run_loop("", 0).verdict);
}

struct table_fixture {
    tovrin_process_record records[TABLE_CAP];
    char images[TABLE_CAP][IMAGE_CAP];
    char commands[TABLE_CAP][COMMAND_CAP];
    process_table table;
    table_fixture() : table{records, images, commands, 0} {}
    void add(uint32_t pid, const char *image, const char *command)
    {
        int32_t i = table.count++;
        copy_text(images[i], IMAGE_CAP, image);
        copy_text(commands[i], COMMAND_CAP, command);
        records[i].pid = pid;
        records[i].image = images[i];
        records[i].command_line = command ? commands[i] : NULL;
    }
};

tovrin_listener_snap snap_of(uint32_t pid, const char *image, const char *command)
{
    tovrin_listener_snap s;
    s.pid = pid;
    s.query_state = 0;
    s.image = image;
    s.command_line = command;
    return s;
}

TEST(MergeListener, OverwriteAppendAndFullTable)
{
    static table_fixture t;
    t.table.count = 0;
    t.add(10, "", "own command");
    t.add(20, "C:\\Host\\runtime\\node\\node.exe", NULL);

    // The record with the listener pid takes the proved image; with no
    // command line in the snapshot it keeps its own.
    tovrin_listener_snap s = snap_of(10, "C:\\Host\\runtime\\node\\node.exe", NULL);
    merge_listener(&t.table, &s);
    EXPECT_EQ(2, t.table.count);
    EXPECT_STREQ("C:\\Host\\runtime\\node\\node.exe", t.records[0].image);
    EXPECT_STREQ("own command", t.records[0].command_line);
    s = snap_of(10, "C:\\Host\\TovrinHost.exe", "new command");
    merge_listener(&t.table, &s);
    EXPECT_STREQ("C:\\Host\\TovrinHost.exe", t.records[0].image);
    EXPECT_STREQ("new command", t.records[0].command_line);

    // Missing from the snapshot: appended.
    s = snap_of(30, "C:\\Host\\runtime\\node\\node.exe", NULL);
    merge_listener(&t.table, &s);
    ASSERT_EQ(3, t.table.count);
    EXPECT_EQ(30u, t.records[2].pid);
    EXPECT_STREQ("C:\\Host\\runtime\\node\\node.exe", t.records[2].image);
    EXPECT_EQ(nullptr, t.records[2].command_line);

    // An empty image adds nothing.
    s = snap_of(40, "", "x");
    merge_listener(&t.table, &s);
    EXPECT_EQ(3, t.table.count);

    // A full table takes nothing, and the plan then blocks for want of the
    // listener's record.
    t.table.count = 0;
    for (uint32_t i = 0; i < TABLE_CAP; i++) {
        t.add(100 + i, "C:\\Elsewhere\\node.exe", NULL);
    }
    s = snap_of(4242, "C:\\Host\\runtime\\node\\node.exe", NULL);
    merge_listener(&t.table, &s);
    EXPECT_EQ(TABLE_CAP, t.table.count);
    tovrin_stop_plan plan;
    ASSERT_EQ(1, tovrin_plan_sidecar_stop("C:\\Host", 1, t.records, t.table.count, 0, NULL, 4242,
                                          &plan));
    EXPECT_EQ(1u, plan.blocked);
    EXPECT_EQ(0, plan.count);
}

TEST(KeepProcess, WhatIsKeptAndTheLimitOfFortyEight)
{
    static table_fixture t;
    t.table.count = 0;
    const install_names host = names_of("C:\\Host", "D:\\Real");
    // Ids far beyond any real process, so no command line can be read.
    const uint32_t base = 0x7fff0000u;
    EXPECT_EQ(1, keep_process(&t.table, &host, base + 4, "C:\\x\\server.exe", 0, 0));
    EXPECT_EQ(0, t.table.count);
    EXPECT_EQ(1, keep_process(&t.table, &host, base + 8, "C:\\x\\server.exe", base + 8, 0));
    EXPECT_EQ(1, keep_process(&t.table, &host, base + 12, "", 0, base + 12));
    EXPECT_EQ(1, keep_process(&t.table, &host, 0, "", 0, 0));
    EXPECT_EQ(1, keep_process(&t.table, &host, base + 16, "C:\\Host\\TovrinHost.exe", 0, 0));
    // Named like the installation's programs, but elsewhere, or a console
    // whose command line (unreadable here) names no helper script.
    EXPECT_EQ(1, keep_process(&t.table, &host, base + 20, "C:\\x\\CMD.EXE", 0, 0));
    EXPECT_EQ(1, keep_process(&t.table, &host, base + 24, "C:\\x\\node.exe", 0, 0));
    EXPECT_EQ(1, keep_process(&t.table, &host, base + 28, "C:\\x\\TovrinHost.exe", 0, 0));
    ASSERT_EQ(3, t.table.count);
    EXPECT_EQ(base + 8, t.records[0].pid);
    EXPECT_STREQ("C:\\x\\server.exe", t.records[0].image);
    EXPECT_EQ(base + 12, t.records[1].pid);
    EXPECT_STREQ("", t.records[1].image);
    EXPECT_EQ(base + 16, t.records[2].pid);

    t.table.count = 0;
    for (uint32_t i = 0; i < TABLE_CAP; i++) {
        EXPECT_EQ(1, keep_process(&t.table, &host, base + 4 * (i + 1),
                                  "C:\\Host\\runtime\\node\\node.exe", 0, 0));
    }
    EXPECT_EQ(TABLE_CAP, t.table.count);
    // Others still pass; the 49th that could belong to the installation
    // fails the collection.
    EXPECT_EQ(1, keep_process(&t.table, &host, base + 4000, "C:\\x\\node.exe", 0, 0));
    EXPECT_EQ(0, keep_process(&t.table, &host, base + 4004, "C:\\Host\\TovrinHost.exe", 0, 0));
    EXPECT_EQ(TABLE_CAP, t.table.count);
}

// ------------------------------------------------------------------
// the install plan and the orchestration with a listener of the test's own

TEST_F(StopTest, PlanInstallReadsLockOwnerAndControlFile)
{
    static tovrin_process_record records[TABLE_CAP];
    static char images[TABLE_CAP][IMAGE_CAP];
    static char targets[TOVRIN_STOP_PLAN_MAX][IMAGE_CAP];
    tovrin_stop_plan plan;
    int32_t count = -1;
    install_probe probe;

    // Nothing there: no lock owner, no port, nothing planned.
    set_answers({{0, 0, "", "", 0}});
    ASSERT_EQ(1, plan_install(install.c_str(), state.c_str(), &plan, records, images, &count,
                              targets, &probe, fake_query));
    EXPECT_EQ(0, plan.count);
    EXPECT_EQ(0u, probe.owner_metadata);
    EXPECT_EQ(0u, probe.pid_reused);
    EXPECT_EQ(std::vector<int32_t>{0}, g_ports);
    EXPECT_GE(count, 0);
    EXPECT_LE(count, TABLE_CAP);

    // A lock owner that is gone, and a control file whose bind address is
    // not loopback: no port is looked at.
    ASSERT_TRUE(tvt::write_file(state + L"\\runtime.lock.owner",
                                "pid=4000000000\r\nimage=" + u(install) +
                                    "\\runtime\\node\\node.exe\r\n"));
    ASSERT_TRUE(tvt::write_file(state + L"\\control.json",
                                "{\"port\":5123,\"bindAddress\":\"0.0.0.0\",\"token\":\"t\"}"));
    set_answers({{0, 0, "", "", 0}});
    ASSERT_EQ(1, plan_install(install.c_str(), state.c_str(), &plan, records, images, &count,
                              targets, &probe, fake_query));
    EXPECT_EQ(1u, probe.owner_metadata);
    EXPECT_EQ(1u, probe.pid_reused);
    EXPECT_EQ(1u, plan.pid_reused);
    EXPECT_EQ(std::vector<int32_t>{0}, g_ports);
    EXPECT_EQ(1, probe.discover_attempts);
    EXPECT_STREQ("no_listener", probe.image_query);

    // The same owner, but it removes its file and ends while the plan is
    // being made (between reading the file and the snapshot): it ended
    // cleanly, no pid was reused.
    set_answers({{0, 0, "", "", 0}});
    g_removed_during_query = state + L"\\runtime.lock.owner";
    ASSERT_EQ(1, plan_install(install.c_str(), state.c_str(), &plan, records, images, &count,
                              targets, &probe, fake_query));
    EXPECT_EQ(1u, probe.owner_metadata);
    EXPECT_EQ(0u, probe.pid_reused);
    EXPECT_FALSE(tvt::file_exists(state + L"\\runtime.lock.owner"));

    // A loopback control file: its port is queried.
    ASSERT_TRUE(tvt::write_file(state + L"\\control.json", "{\"port\":5123,\"token\":\"t\"}"));
    set_answers({{0, 0, "", "", 0}});
    ASSERT_EQ(1, plan_install(install.c_str(), state.c_str(), &plan, records, images, &count,
                              targets, &probe, fake_query));
    EXPECT_EQ(std::vector<int32_t>{5123}, g_ports);

    // A running runtime is planned with its image as the target.
    size_t node = start_copy(install + L"\\runtime\\node\\node.exe",
                             "write_control=0\r\nwrite_lock=0\r\n", L"n");
    ASSERT_FALSE(HasFatalFailure());
    set_answers({{0, 0, "", "", 0}});
    ASSERT_EQ(1, plan_install(install.c_str(), state.c_str(), &plan, records, images, &count,
                              targets, &probe, fake_query));
    ASSERT_EQ(1, plan.count);
    EXPECT_EQ(started[node].pid, plan.pids[0]);
    EXPECT_EQ(u(install + L"\\runtime\\node\\node.exe"), targets[0]);
    for (int32_t i = 0; i < count; i++) {
        EXPECT_EQ(nullptr, records[i].command_line) << "no pointer into the call's own slots";
    }

    // The listener, as the classification proved it, joins the table: its
    // image is the one judged, whatever the snapshot read for that pid.
    size_t waiter = start_copy(root + L"\\tools\\waiter.exe", "write_control=0\r\nwrite_lock=0\r\n",
                               L"w");
    ASSERT_FALSE(HasFatalFailure());
    set_answers({{started[waiter].pid, 0, u(install + L"\\runtime\\node\\node.exe"), "", 0}});
    ASSERT_EQ(1, plan_install(install.c_str(), state.c_str(), &plan, records, images, &count,
                              targets, &probe, fake_query));
    EXPECT_EQ(0u, plan.blocked);
    ASSERT_EQ(2, plan.count);
    std::vector<uint32_t> planned(plan.pids, plan.pids + plan.count);
    EXPECT_NE(planned.end(), std::find(planned.begin(), planned.end(), started[waiter].pid));
    for (int32_t j = 0; j < plan.count; j++) {
        EXPECT_EQ(u(install + L"\\runtime\\node\\node.exe"), targets[j]);
    }

    // A foreign owner blocks the plan before any snapshot is taken.
    set_answers({{4242, 0, "C:\\Tools\\server.exe", "", 0}});
    count = -7;
    ASSERT_EQ(1, plan_install(install.c_str(), state.c_str(), &plan, records, images, &count,
                              targets, &probe, fake_query));
    EXPECT_EQ(1u, plan.blocked);
    EXPECT_EQ(0, plan.count);
    EXPECT_EQ(-7, count) << "a blocked plan leaves the process table alone";
    EXPECT_STREQ("foreign_port_owner", probe.detail);
}

class StopRunTest : public StopTest {
protected:
    // The stop with the test's listener query; returns the result and the
    // record lines written.
    // The task steps run are collected in `tasks`, without the program.
    int stop(listener_query_fn query, std::vector<std::string> *lines)
    {
        static stop_state s;
        memset(&s, 0, sizeof s);
        s.mode = TOVRIN_STOP_FOR_UPGRADE;
        int result = 0;
        tasks = task_steps_during(
            [&] { result = stop_sidecar(install.c_str(), state.c_str(), query, &s); });
        *lines = tvt::record_lines(tvt::read_file_or_empty(state + L"\\upgrade-stop.log"));
        return result;
    }

    // The stand-in's task "ENABLED RUNNING" ("" for none) runs this program.
    void set_task(const std::string &enabled_running)
    {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(NULL, self, MAX_PATH);
        task = root + L"\\task.txt";
        ASSERT_TRUE(tvt::use_task_standin(task, enabled_running, self, false));
        g_schtasks_standin = tvt::build_dir() + L"\\tests\\support\\schtasks_standin.exe";
    }
    std::string task_state() { return tvt::read_file_or_empty(task).substr(0, 3); }
    void TearDown() override
    {
        g_schtasks_standin.clear();
        tvt::use_task_standin(L"", "", L"", false);
        StopTest::TearDown();
    }
    std::vector<std::string> tasks;
    std::wstring task;
};

TEST_F(StopRunTest, ForeignOwnerIsRefusedAndNothingIsTouched)
{
    std::wstring log = root + L"\\requests.log";
    size_t node = start_copy(install + L"\\runtime\\node\\node.exe",
                             "request_log=" + u(log) + "\r\n", L"n");
    ASSERT_FALSE(HasFatalFailure());
    int port = atoi(tvt::read_file_or_empty(root + L"\\ready-n.txt").c_str());

    set_answers({{4242, 0, "C:\\Tools\\server.exe", "", 0}});
    std::vector<std::string> lines;
    EXPECT_EQ(2, stop(fake_query, &lines));
    EXPECT_EQ(std::vector<int32_t>{port}, g_ports);
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0] + "\r\n", k_record_line)) << lines[0];
    EXPECT_EQ(0u, lines[0].find("result=refused detail=foreign_port_owner listener_pid=4242 "
                                "image_basename=server.exe image_relation=outside_install "
                                "image_query=ok win32_error=0 discover_attempts=1 "
                                "owner_metadata=present pid_reused=0 command_matches=unknown "))
        << lines[0];
    // No request, and the installation's runtime still runs.
    EXPECT_EQ("", tvt::read_file_or_empty(log));
    EXPECT_TRUE(tvt::process_alive(started[node].pid));
    EXPECT_TRUE(tasks.empty()) << "the scheduled task is not touched";
}

TEST_F(StopRunTest, UnreadableOwnerOnEveryAttemptIsRefused)
{
    ASSERT_TRUE(tvt::write_file(state + L"\\control.json", "{\"port\":5999,\"token\":\"t\"}"));
    set_answers({{4242, 2, "", "", ERROR_ACCESS_DENIED}});
    std::vector<std::string> lines;
    EXPECT_EQ(2, stop(fake_query, &lines));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("result=refused detail=socket_image_unavailable listener_pid=4242 "
                                "image_basename=- image_relation=unavailable "
                                "image_query=access_denied win32_error=5 discover_attempts=8 "
                                "owner_metadata=absent pid_reused=0 command_matches=unknown "))
        << lines[0];
    EXPECT_TRUE(tasks.empty());
}

TEST_F(StopRunTest, ThisInstallationsListenerIsStoppedByRequest)
{
    std::wstring log = root + L"\\requests.log";
    std::wstring node_exe = install + L"\\runtime\\node\\node.exe";
    size_t node = start_copy(node_exe, "request_log=" + u(log) + "\r\nexit_code=41\r\n", L"n");
    ASSERT_FALSE(HasFatalFailure());
    std::string command = u(tvt::quote(node_exe) + L" " + tvt::quote(root + L"\\behaviour-n.txt") +
                            L" serve");
    // The owner the system would report on Windows: this runtime, until it
    // ends.
    set_answers({{started[node].pid, 0, u(node_exe), command, 0}}, true);
    std::vector<std::string> lines;
    EXPECT_EQ(0, stop(fake_query, &lines));
    DWORD code = 0;
    ASSERT_TRUE(tvt::wait_process(started[node], 5000, &code));
    EXPECT_EQ(41u, code) << "it ended by itself, not by termination";
    EXPECT_EQ("POST /shutdown Bearer 0123456789abcdef0123456789abcdef TovrinHost/0.1.1\r\n",
              tvt::read_file_or_empty(log));
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0] + "\r\n", k_record_line)) << lines[0];
    // The last plan found nobody on the port any more.
    EXPECT_EQ(0u, lines[0].find("result=stopped detail=none listener_pid=0 image_basename=- "))
        << lines[0];
    EXPECT_GE(g_ports.size(), 2u);
    // Wine's schtasks.exe gives no definition: a task not read is left alone.
    EXPECT_EQ(std::vector<std::string>{k_query}, tasks);
    EXPECT_NE(std::string::npos, lines[0].find(" task_before=unknown task_after=unknown")) << lines[0];
}

TEST_F(StopRunTest, NothingRunningOnlyDisablesTheTask)
{
    set_answers({{0, 0, "", "", 0}});
    set_task("1 0");
    std::vector<std::string> lines;
    EXPECT_EQ(0, stop(fake_query, &lines));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("result=stopped detail=none ")) << lines[0];
    EXPECT_EQ((std::vector<std::string>{k_query, k_disable, k_query}), tasks);
}

TEST_F(StopRunTest, OwnerTurningForeignDuringTheWaitEndsTheStop)
{
    std::wstring log = root + L"\\requests.log";
    size_t node = start_copy(install + L"\\runtime\\node\\node.exe",
                             "request_log=" + u(log) + "\r\non_shutdown=ignore\r\n", L"n");
    ASSERT_FALSE(HasFatalFailure());
    // Nobody on the port at the first plan and when the request is sent; a
    // foreign program at the next plan. Then the same, with the foreign
    // program there already when the request would go: the token stays.
    const fake_answer nobody = {0, 0, "", "", 0};
    const fake_answer foreign = {4242, 0, "C:\\Tools\\server.exe", "", 0};
    const std::string post =
        "POST /shutdown Bearer 0123456789abcdef0123456789abcdef TovrinHost/0.1.1\r\n";
    struct row {
        std::vector<fake_answer> answers;
        std::string requests;
    } rows[] = {{{nobody, nobody, foreign}, post}, {{nobody, foreign}, ""}};
    for (const row &r : rows) {
        DeleteFileW(log.c_str());
        DeleteFileW((state + L"\\upgrade-stop.log").c_str());
        set_answers(r.answers);
        set_task("1 1");
        std::vector<std::string> lines;
        EXPECT_EQ(2, stop(fake_query, &lines));
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(0u, lines[0].find("result=refused detail=foreign_port_owner listener_pid=4242 "
                                    "image_basename=server.exe "))
            << lines[0];
        EXPECT_EQ((std::vector<std::string>{k_query, k_disable, k_end, k_enable, k_query}), tasks);
        EXPECT_EQ(r.requests, tvt::read_file_or_empty(log));
        EXPECT_TRUE(tvt::process_alive(started[node].pid)) << "nothing is terminated";
    }
}

// Every end of a stop leaves the logon task as found, but an upgrade's
// successful stop keeps it disabled. It runs this program: the window's
// stop must not end it, an upgrade's does.
TEST_F(StopRunTest, LogonTaskIsLeftAsItWasFound)
{
    const int window = TOVRIN_STOP_FOR_WINDOW, upgrade = TOVRIN_STOP_FOR_UPGRADE;
    const std::vector<std::string> kept = {k_query, k_end};
    const std::vector<std::string> enabled_again = {k_query, k_disable, k_end, k_enable, k_query};
    struct row { // the task "ENABLED RUNNING" ("" for none) before and after
        int mode, result;
        const char *before, *after, *words;
        std::vector<std::string> steps;
    } rows[] = {
        {window, 0, "1 1", "1 1", "enabled enabled", {k_query, k_disable, k_enable, k_query}},
        {window, 0, "0 1", "0 1", "disabled disabled", {k_query}},
        {upgrade, 0, "1 1", "0 0", "enabled disabled", {k_query, k_disable, k_end, k_query}},
        {upgrade, 0, "0 1", "0 0", "disabled disabled", kept},
        {upgrade, 1, "1 1", "1 0", "enabled enabled", enabled_again},
        {upgrade, 1, "0 1", "0 0", "disabled disabled", kept},
        {upgrade, 2, "1 1", "1 0", "enabled enabled", enabled_again},
        {upgrade, 2, "0 1", "0 0", "disabled disabled", kept},
        {upgrade, 0, "", "", "none none", {k_query}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::to_string(r.mode) + " " + r.before + " " + std::to_string(r.result));
        set_task(r.before);
        static stop_state s;
        memset(&s, 0, sizeof s);
        s.mode = r.mode;
        tasks = task_steps_during([&] { hold_task(&s, 1), s.result = r.result, release_task(&s); });
        EXPECT_EQ(r.steps, tasks);
        EXPECT_EQ(r.after, task_state());
        EXPECT_EQ(r.words, std::string(k_task_words[s.task_before]) + " " + k_task_words[s.task_after]);
    }
}

TEST_F(StopRunTest, ArgumentsAreCheckedWithoutARecord)
{
    static stop_state s;
    memset(&s, 0, sizeof s);
    EXPECT_EQ(1, stop_sidecar(NULL, state.c_str(), fake_query, &s));
    EXPECT_EQ(1, stop_sidecar(L"", state.c_str(), fake_query, &s));
    EXPECT_EQ(1, stop_sidecar(install.c_str(), NULL, fake_query, &s));
    EXPECT_EQ(1, tovrin_stop_existing_sidecar(NULL, state.c_str(), TOVRIN_STOP_FOR_UPGRADE));
    // A directory that cannot be made absolute proves nothing.
    std::wstring too_long(1100, L'r');
    EXPECT_EQ(1, stop_sidecar(too_long.c_str(), state.c_str(), fake_query, &s));
    EXPECT_FALSE(tvt::file_exists(state + L"\\upgrade-stop.log"));
}

// ------------------------------------------------------------------
// the record and the digest

TEST(StopRecord, LineFormat)
{
    char line[RECORD_CAP];
    install_probe p = probe_with(0, "", "");
    int n = format_stop_record(line, sizeof line, "refused", "socket_pid_unavailable", &p, 0, "", TASK_UNREAD, TASK_UNREAD);
    ASSERT_GT(n, 0);
    EXPECT_EQ((size_t)n, strlen(line));
    EXPECT_STREQ("result=refused detail=socket_pid_unavailable listener_pid=0 image_basename=- "
                 "image_relation=unavailable image_query=unknown win32_error=0 "
                 "discover_attempts=0 owner_metadata=absent pid_reused=0 command_matches=unknown "
                 "helper_matches_install=0 helper_sha256=unavailable task_before=unread "
                 "task_after=unread\r\n",
                 line);
    EXPECT_TRUE(std::regex_match(std::string(line), k_record_line));

    p = probe_with(4242, "C:/Tools/node.exe", "");
    copy_text(p.image_relation, sizeof p.image_relation, "outside_install");
    copy_text(p.image_query, sizeof p.image_query, "ok");
    p.win32_error = 4294967295u;
    p.discover_attempts = 8;
    p.owner_metadata = 1;
    p.pid_reused = 1;
    p.command_matches = 1;
    std::string sha(64, 'a');
    ASSERT_GT(format_stop_record(line, sizeof line, "refused", "image_mismatch", &p, 1,
                                 sha.c_str(), TASK_ENABLED, TASK_DISABLED),
              0);
    EXPECT_EQ("result=refused detail=image_mismatch listener_pid=4242 image_basename=node.exe "
              "image_relation=outside_install image_query=ok win32_error=4294967295 "
              "discover_attempts=8 owner_metadata=present pid_reused=1 command_matches=1 "
              "helper_matches_install=1 helper_sha256=" + sha +
                  " task_before=enabled task_after=disabled\r\n",
              std::string(line));
    p.command_matches = 0;
    format_stop_record(line, sizeof line, "stopped", "none", &p, 0, "", TASK_UNREAD, TASK_UNREAD);
    EXPECT_NE(nullptr, strstr(line, " command_matches=0 "));

    char base[BASENAME_CAP];
    image_basename("C:\\Tools\\Host\\", base);
    EXPECT_STREQ("-", base);
    image_basename("C:\\a/b.exe", base);
    EXPECT_STREQ("a/b.exe", base);
    image_basename("server.exe", base);
    EXPECT_STREQ("server.exe", base);
    std::string long_name(100, 'n');
    image_basename(("C:\\" + long_name).c_str(), base);
    EXPECT_EQ(long_name.substr(0, 79), std::string(base));

    // A line that does not fit the buffer is not written at all.
    EXPECT_EQ(0, format_stop_record(line, 100, "stopped", "none", &p, 0, "", TASK_NONE, TASK_NONE));
}

TEST_F(StopTest, RecordLogTakesNoLinePastItsCap)
{
    install_probe p = probe_with(0, "", "");
    std::wstring log = state + L"\\upgrade-stop.log";
    ASSERT_TRUE(tvt::write_file(log, std::string(RECORD_LOG_MAX, 'x')));
    append_stop_record(state.c_str(), "stopped", "none", &p, 0, "", TASK_UNREAD, TASK_UNREAD, TOVRIN_STOP_FOR_WINDOW);
    std::string text = tvt::read_file_or_empty(log);
    ASSERT_GT(text.size(), (size_t)RECORD_LOG_MAX);
    EXPECT_TRUE(std::regex_match(text.substr(RECORD_LOG_MAX), k_record_line));

    ASSERT_TRUE(tvt::write_file(log, std::string(RECORD_LOG_MAX + 1, 'x')));
    append_stop_record(state.c_str(), "stopped", "none", &p, 0, "", TASK_UNREAD, TASK_UNREAD, TOVRIN_STOP_FOR_WINDOW);
    EXPECT_EQ((size_t)RECORD_LOG_MAX + 1, tvt::read_file_or_empty(log).size());

    // Lines are appended, one per call.
    DeleteFileW(log.c_str());
    append_stop_record(state.c_str(), "stopped", "none", &p, 0, "", TASK_UNREAD, TASK_UNREAD, TOVRIN_STOP_FOR_WINDOW);
    append_stop_record(state.c_str(), "refused", "plan_failed", &p, 0, "", TASK_UNREAD, TASK_UNREAD, TOVRIN_STOP_FOR_WINDOW);
    std::vector<std::string> lines = tvt::record_lines(tvt::read_file_or_empty(log));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[1].find("result=refused detail=plan_failed "));

    // A state directory that does not exist gets nothing (and is not made).
    std::wstring missing = root + L"\\missing";
    append_stop_record(missing.c_str(), "stopped", "none", &p, 0, "", TASK_UNREAD, TASK_UNREAD, TOVRIN_STOP_FOR_WINDOW);
    EXPECT_FALSE(tvt::dir_exists(missing));
}

TEST(StopRecord, DigestOfTheRunningProgramFile)
{
    std::string expected = tvt::env_var(L"TOVRIN_TEST_EXE_SHA256");
    ASSERT_EQ(64u, expected.size())
        << "run through run_with_sha.sh, which computes the digest on the Linux side";
    char sha[SHA256_TEXT_CAP];
    ASSERT_EQ(1, compute_helper_sha256(sha));
    EXPECT_EQ(expected, std::string(sha));
}

TEST(StopRecord, HelperMatchesInstall)
{
    wchar_t self[1024];
    DWORD n = GetModuleFileNameW(NULL, self, 1024);
    ASSERT_GT(n, 0u);
    std::wstring dir(self, n);
    dir = dir.substr(0, dir.find_last_of(L'\\'));
    EXPECT_EQ(1, helper_matches_install(dir.c_str()));
    std::wstring upper = dir;
    CharUpperBuffW(&upper[0], (DWORD)upper.size());
    EXPECT_EQ(1, helper_matches_install(upper.c_str()));
    EXPECT_EQ(0, helper_matches_install((dir + L"\\").c_str()));
    EXPECT_EQ(0, helper_matches_install(dir.substr(0, dir.find_last_of(L'\\')).c_str()));
    EXPECT_EQ(0, helper_matches_install(L""));
}

TEST(Schtasks, StartsTheSystemProgramWithTheTaskArguments)
{
    // The task does not exist here; the program must still be started, once,
    // with the exact arguments, and come back.
    const std::pair<const wchar_t *, std::string> calls[] = {
        {k_task_disable, k_disable}, {k_task_end, k_end}, {k_task_enable, k_enable}};
    for (const auto &call : calls) {
        int started_ok = 0;
        std::vector<std::string> steps =
            task_steps_during([&] { started_ok = run_schtasks(call.first, NULL); });
        EXPECT_EQ(1, started_ok);
        EXPECT_EQ(std::vector<std::string>{call.second}, steps);
    }
}

} // namespace
