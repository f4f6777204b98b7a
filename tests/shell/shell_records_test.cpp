// The shell's records and readers, and the start-up steps that can run
// inside a test process: the status file, the lifecycle log with its
// rotation, the two small-file readers, CHANNEL.txt and the paths.
#include <winsock2.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include "../../shell/TovrinHostMain.h"

#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

void set_wide(wchar_t *dst, size_t cap, const std::wstring &value)
{
    ASSERT_LT(value.size(), cap);
    wcsncpy(dst, value.c_str(), cap - 1);
    dst[cap - 1] = L'\0';
}

class ShellFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = tvt::make_temp_dir(L"shell");
        ASSERT_FALSE(dir.empty());
        set_wide(g_state_dir, TOVRIN_PATH_CAP, dir);
        set_wide(g_install_dir, TOVRIN_PATH_CAP, dir);
        g_sidecar_started_tick = 0;
    }
    void TearDown() override
    {
        g_sidecar_started_tick = 0;
        tvt::remove_tree(dir);
    }
    std::wstring file(const wchar_t *name) const { return dir + L"\\" + name; }

    std::wstring dir;
};

ULONGLONG system_time_100ns(const SYSTEMTIME &st)
{
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

// Sentinel-filled reader buffer, larger than the readers' 4096 so that a
// write beyond the one 4095-byte read would show.
struct reader_buf {
    reader_buf() : bytes(8192, '\x5a') {}
    bool untouched_from(size_t at) const
    {
        for (size_t i = at; i < bytes.size(); i++) {
            if (bytes[i] != '\x5a') {
                return false;
            }
        }
        return true;
    }
    std::vector<char> bytes;
};

std::string patterned(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        s[i] = (char)('a' + (i * 7 + i / 26) % 26);
    }
    return s;
}

} // namespace

// ---------------------------------------------------------------------------
// Status file
// ---------------------------------------------------------------------------

TEST_F(ShellFiles, StatusPairReplacesALongerFileWhole)
{
    std::wstring path = file(L"shell-status.txt");
    ASSERT_TRUE(tvt::write_file(path, std::string(1000, 'x') + "\nstatus=old\ndetail=old\n"));
    write_shell_status("running", "ui_ready");
    EXPECT_EQ("status=running\ndetail=ui_ready\n", tvt::read_file_or_empty(path));

    write_shell_status("needs_attention", "launch_failed_2");
    EXPECT_EQ("status=needs_attention\ndetail=launch_failed_2\n", tvt::read_file_or_empty(path));
}

TEST_F(ShellFiles, StatusPairUpTo239BytesIsWrittenAndALongerOneDropped)
{
    std::wstring path = file(L"shell-status.txt");
    // 8 + 231 = 239 bytes: the record is 255 bytes and fits the 256-byte buffer.
    std::string detail231(231, 'd');
    write_shell_status("starting", detail231.c_str());
    std::string expected = "status=starting\ndetail=" + detail231 + "\n";
    EXPECT_EQ(255u, expected.size());
    EXPECT_EQ(expected, tvt::read_file_or_empty(path));

    // One byte more does not fit: the pair is not written at all (no cut
    // record), and the previous file stays as it was.
    std::string detail232(232, 'd');
    write_shell_status("starting", detail232.c_str());
    EXPECT_EQ(expected, tvt::read_file_or_empty(path));
}

TEST_F(ShellFiles, StatusFileInAMissingDirectoryIsDropped)
{
    std::wstring missing = dir + L"\\missing";
    set_wide(g_state_dir, TOVRIN_PATH_CAP, missing);
    write_shell_status("running", "ui_ready");
    append_lifecycle("sidecar_started", 1, 0, "before_ready");
    EXPECT_FALSE(tvt::dir_exists(missing));
}

// ---------------------------------------------------------------------------
// Lifecycle log
// ---------------------------------------------------------------------------

TEST_F(ShellFiles, LifecycleLineFormat)
{
    SYSTEMTIME before;
    GetSystemTime(&before);
    append_lifecycle("sidecar_started", 4321, 0, "before_ready");
    append_lifecycle("sidecar_exited", 4294967295u, 4294967295u, "after_ready");
    SYSTEMTIME after;
    GetSystemTime(&after);

    std::string log = tvt::read_file_or_empty(file(L"sidecar-lifecycle.log"));
    std::vector<std::string> lines = tvt::split_lines(log);
    ASSERT_EQ(2u, lines.size()) << log;

    const std::regex first("(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})Z "
                           "event=sidecar_started pid=4321 extra=0 elapsed_ms=0 "
                           "ready=before_ready shell_initiated=0\n");
    const std::regex second("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z "
                            "event=sidecar_exited pid=4294967295 extra=4294967295 elapsed_ms=0 "
                            "ready=after_ready shell_initiated=0\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, first)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], second)) << lines[1];
    EXPECT_EQ(std::string::npos, log.find('\r'));

    // The time stamp is the UTC time of the call, to the second.
    SYSTEMTIME stamp = {};
    stamp.wYear = (WORD)std::stoi(m[1]);
    stamp.wMonth = (WORD)std::stoi(m[2]);
    stamp.wDay = (WORD)std::stoi(m[3]);
    stamp.wHour = (WORD)std::stoi(m[4]);
    stamp.wMinute = (WORD)std::stoi(m[5]);
    stamp.wSecond = (WORD)std::stoi(m[6]);
    before.wMilliseconds = 0;
    ULONGLONG t = system_time_100ns(stamp);
    EXPECT_GE(t, system_time_100ns(before));
    EXPECT_LE(t, system_time_100ns(after));
}

TEST_F(ShellFiles, ElapsedSinceTheLaunch)
{
    std::wstring path = file(L"sidecar-lifecycle.log");
    const std::regex elapsed_re(".* elapsed_ms=(\\d+) ready=.*\n");
    auto elapsed_of = [&](size_t index) -> unsigned long long {
        std::vector<std::string> lines = tvt::split_lines(tvt::read_file_or_empty(path));
        std::smatch m;
        if (index >= lines.size() || !std::regex_match(lines[index], m, elapsed_re)) {
            ADD_FAILURE() << "no line " << index;
            return 0;
        }
        return std::stoull(m[1]);
    };

    g_sidecar_started_tick = 0; // no launch yet
    append_lifecycle("shell_window_closed", 0, 0, "before_ready");
    EXPECT_EQ(0u, elapsed_of(0));

    g_sidecar_started_tick = GetTickCount() - 5000;
    append_lifecycle("shell_window_closed", 77, 0, "after_ready");
    unsigned long long e = elapsed_of(1);
    EXPECT_GE(e, 5000u);
    EXPECT_LT(e, 15000u);

    // The difference is taken modulo 2^32: a launch tick "ahead" of the
    // current count means the counter wrapped since the launch.
    g_sidecar_started_tick = GetTickCount() + 1000;
    append_lifecycle("sidecar_exited", 77, 1, "after_ready");
    e = elapsed_of(2);
    EXPECT_GE(e, 4294967296ull - 1000);
    EXPECT_LE(e, 4294967295ull);
}

TEST_F(ShellFiles, LifecycleLogBelowTheLimitIsAppendedTo)
{
    std::wstring current = file(L"sidecar-lifecycle.log");
    std::wstring previous = file(L"sidecar-lifecycle.previous.log");
    const std::string big = patterned(262143);
    ASSERT_TRUE(tvt::write_file(current, big));
    ASSERT_TRUE(tvt::write_file(previous, "older generation\n"));

    append_lifecycle("sidecar_started", 5, 0, "before_ready");

    std::string now = tvt::read_file_or_empty(current);
    ASSERT_GT(now.size(), big.size());
    EXPECT_EQ(big, now.substr(0, big.size()));
    EXPECT_EQ(1u, tvt::split_lines(now.substr(big.size())).size());
    EXPECT_NE(std::string::npos, now.find("event=sidecar_started pid=5 ", big.size()));
    EXPECT_EQ("older generation\n", tvt::read_file_or_empty(previous));
}

TEST_F(ShellFiles, LifecycleLogAtTheLimitIsRotated)
{
    std::wstring current = file(L"sidecar-lifecycle.log");
    std::wstring previous = file(L"sidecar-lifecycle.previous.log");
    const std::string big = patterned(262144);
    ASSERT_TRUE(tvt::write_file(current, big));
    ASSERT_TRUE(tvt::write_file(previous, "older generation\n"));

    append_lifecycle("sidecar_started", 6, 0, "before_ready");

    // The full log became the previous one, replacing the older generation;
    // the new line starts a fresh log.
    EXPECT_EQ(big, tvt::read_file_or_empty(previous));
    std::vector<std::string> lines = tvt::split_lines(tvt::read_file_or_empty(current));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" event=sidecar_started pid=6 "));

    // Without an older generation the rotation works the same.
    ASSERT_TRUE(DeleteFileW(previous.c_str()));
    const std::string bigger = patterned(300000);
    ASSERT_TRUE(tvt::write_file(current, bigger));
    append_lifecycle("sidecar_exited", 6, 0, "before_ready");
    EXPECT_EQ(bigger, tvt::read_file_or_empty(previous));
    EXPECT_EQ(1u, tvt::split_lines(tvt::read_file_or_empty(current)).size());
}

TEST_F(ShellFiles, LifecycleLinesAreAppendedInOrder)
{
    append_lifecycle("sidecar_started", 1, 0, "before_ready");
    append_lifecycle("sidecar_exited", 1, 3, "before_ready");
    append_lifecycle("shell_window_closed", 1, 0, "before_ready");
    std::vector<std::string> lines = tvt::split_lines(tvt::read_file_or_empty(file(L"sidecar-lifecycle.log")));
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" event=sidecar_started pid=1 extra=0 "));
    EXPECT_NE(std::string::npos, lines[1].find(" event=sidecar_exited pid=1 extra=3 "));
    EXPECT_NE(std::string::npos, lines[2].find(" event=shell_window_closed pid=1 extra=0 "));
}

// ---------------------------------------------------------------------------
// Readers
// ---------------------------------------------------------------------------

TEST_F(ShellFiles, ReadersSeeOnlyTheFirst4095Bytes)
{
    const std::string text = patterned(5000);
    ASSERT_TRUE(tvt::write_file(file(L"control.json"), text));
    reader_buf control;
    EXPECT_EQ(1, read_control_json(control.bytes.data(), control.bytes.size()));
    EXPECT_EQ(0, memcmp(text.data(), control.bytes.data(), 4095));
    EXPECT_EQ('\0', control.bytes[4095]);
    EXPECT_TRUE(control.untouched_from(4096));

    std::wstring release = file(L"host-release.json");
    ASSERT_TRUE(tvt::write_file(release, text));
    reader_buf existing;
    EXPECT_EQ(1, read_existing_file(release.c_str(), existing.bytes.data(), existing.bytes.size()));
    EXPECT_EQ(std::string(text, 0, 4095), std::string(existing.bytes.data()));
    EXPECT_TRUE(existing.untouched_from(4096));

    // Exactly 4095 bytes are read whole.
    ASSERT_TRUE(tvt::write_file(release, text.substr(0, 4095)));
    reader_buf exact;
    EXPECT_EQ(1, read_existing_file(release.c_str(), exact.bytes.data(), exact.bytes.size()));
    EXPECT_EQ(text.substr(0, 4095), std::string(exact.bytes.data()));
}

TEST_F(ShellFiles, EmptyFiles)
{
    ASSERT_TRUE(tvt::write_file(file(L"control.json"), ""));
    reader_buf control;
    EXPECT_EQ(1, read_control_json(control.bytes.data(), control.bytes.size()));
    EXPECT_EQ('\0', control.bytes[0]);

    std::wstring release = file(L"host-release.json");
    ASSERT_TRUE(tvt::write_file(release, ""));
    reader_buf existing;
    EXPECT_EQ(0, read_existing_file(release.c_str(), existing.bytes.data(), existing.bytes.size()));
    EXPECT_EQ('\0', existing.bytes[0]); // set to the empty text all the same

    ASSERT_TRUE(tvt::write_file(release, "x"));
    EXPECT_EQ(1, read_existing_file(release.c_str(), existing.bytes.data(), existing.bytes.size()));
    EXPECT_STREQ("x", existing.bytes.data());
}

TEST_F(ShellFiles, MissingOrUnopenableFileLeavesTheBufferUntouched)
{
    reader_buf control;
    EXPECT_EQ(0, read_control_json(control.bytes.data(), control.bytes.size()));
    EXPECT_TRUE(control.untouched_from(0));

    reader_buf existing;
    std::wstring missing = file(L"host-release.json");
    EXPECT_EQ(0, read_existing_file(missing.c_str(), existing.bytes.data(), existing.bytes.size()));
    EXPECT_TRUE(existing.untouched_from(0));

    // A directory in place of the file cannot be read either.
    EXPECT_EQ(0, read_existing_file(dir.c_str(), existing.bytes.data(), existing.bytes.size()));
    EXPECT_TRUE(existing.untouched_from(0));
}

TEST_F(ShellFiles, FileHeldOpenByAWriterThatSharesReading)
{
    std::wstring path = file(L"control.json");
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    const char text[] = "{\"port\": 8080}";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, text, (DWORD)strlen(text), &written, NULL));

    reader_buf control;
    EXPECT_EQ(1, read_control_json(control.bytes.data(), control.bytes.size()));
    EXPECT_STREQ(text, control.bytes.data());
    reader_buf existing;
    EXPECT_EQ(1, read_existing_file(path.c_str(), existing.bytes.data(), existing.bytes.size()));
    EXPECT_STREQ(text, existing.bytes.data());
    CloseHandle(writer);

    // A sidecar removing its file at that moment (a handle with delete
    // access) does not keep the reader out, so the reader cannot make the
    // removal fail either.
    HANDLE remover = CreateFileW(path.c_str(), DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, remover);
    reader_buf while_removed;
    EXPECT_EQ(1, read_control_json(while_removed.bytes.data(), while_removed.bytes.size()));
    EXPECT_STREQ(text, while_removed.bytes.data());
    CloseHandle(remover);

    // A writer that shares nothing keeps the reader out.
    HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
    reader_buf refused;
    EXPECT_EQ(0, read_control_json(refused.bytes.data(), refused.bytes.size()));
    EXPECT_TRUE(refused.untouched_from(0));
    CloseHandle(exclusive);
}

// The last line of the error log that a dialog shows: text only, at most
// 200 characters, never half a character.
TEST_F(ShellFiles, LastLogLineForTheDialog)
{
    const struct {
        std::string log;
        std::wstring line; // empty: none
    } rows[] = {
        {"first\r\nlast words\r\n\r\n  \r\n", L"last words"},
        {"\x1b[31mred\x1b[0m\tand a bell\a", L"?[31mred?[0m?and a bell?"},
        {std::string(300, 'x'), std::wstring(200, L'x')},
        {std::string(199, 'y') + "\xf0\x9f\x98\x80z", std::wstring(199, L'y')}, // no half pair
        {"\r\n \r\n", L""},
        {"", L""},
    };
    for (const auto &row : rows) {
        tvt::write_file(file(L"err.log"), row.log);
        wchar_t out[201];
        EXPECT_EQ(row.line.empty() ? 0 : 1, last_log_line(file(L"err.log").c_str(), out, 201));
        EXPECT_EQ(row.line, std::wstring(out)) << tvt::narrow(row.line);
    }
    wchar_t out[8];
    EXPECT_EQ(0, last_log_line(file(L"missing.log").c_str(), out, 8));
}

// ---------------------------------------------------------------------------
// Start-up: channel and paths
// ---------------------------------------------------------------------------

TEST_F(ShellFiles, ChannelFile)
{
    struct row {
        std::string content;
        const wchar_t *channel;
    };
    const row rows[] = {
        {"DEV\r\n", L"dev"},
        {"dev ", L"dev"},
        {"Dev", L"dev"},
        {"dev", L"dev"},
        {"dEv\n\r \n\r", L"dev"},
        {"dev" + std::string(60, ' ') + "and more text", L"dev"}, // only 63 bytes count
        {" dev", L"production"},
        {"dev\t", L"production"},
        {"development", L"production"},
        {"\xef\xbb\xbf" "dev", L"production"},
        {"de", L"production"},
        {"dev.", L"production"},
        {"prod", L"production"},
        {"dev" + std::string(59, ' ') + "x", L"production"}, // the 63rd byte is seen
        {"", L"production"},
        {"  \r\n\n \r", L"production"},
    };
    std::wstring path = file(L"CHANNEL.txt");
    for (const row &r : rows) {
        ASSERT_TRUE(tvt::write_file(path, r.content));
        // Start from the other value so that a step that does nothing shows.
        wcscpy(g_channel, wcscmp(r.channel, L"dev") == 0 ? L"production" : L"dev");
        read_channel_file();
        EXPECT_STREQ(r.channel, g_channel) << r.content;
    }

    ASSERT_TRUE(DeleteFileW(path.c_str()));
    wcscpy(g_channel, L"dev");
    read_channel_file();
    EXPECT_STREQ(L"production", g_channel);

    ASSERT_TRUE(CreateDirectoryW(path.c_str(), NULL));
    wcscpy(g_channel, L"dev");
    read_channel_file();
    EXPECT_STREQ(L"production", g_channel);
}

TEST(ShellPaths, JoinedPathsAreCutAt259Units)
{
    wchar_t out[TOVRIN_PATH_CAP];
    EXPECT_EQ(1, join_wide_path(out, L"C:\\Apps\\Host", L"runtime\\node\\node.exe"));
    EXPECT_STREQ(L"C:\\Apps\\Host\\runtime\\node\\node.exe", out);

    // 259 units fit; the cut one is reported.
    std::wstring name = L"runtime\\node\\node.exe";
    std::wstring dir = L"C:\\" + std::wstring(259 - 1 - name.size() - 3, L'd');
    EXPECT_EQ(1, join_wide_path(out, dir.c_str(), name.c_str()));
    EXPECT_EQ(259u, wcslen(out));
    dir += L"d";
    EXPECT_EQ(0, join_wide_path(out, dir.c_str(), name.c_str()));
    std::wstring whole = dir + L"\\" + name;
    EXPECT_EQ(259u, wcslen(out));
    EXPECT_EQ(whole.substr(0, 259), std::wstring(out));
}

TEST(ShellPaths, InstallDirectoryIsMadeAbsoluteOrMarkedUnusable)
{
    std::wstring work = tvt::make_temp_dir(L"abs");
    ASSERT_FALSE(work.empty());
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    ASSERT_TRUE(SetCurrentDirectoryW(work.c_str()));
    struct row {
        std::wstring given;
        std::wstring absolute; // empty: unusable
    } rows[] = {
        {L"Host", work + L"\\Host"},
        {L"..\\x\\.\\Host", work.substr(0, work.find_last_of(L'\\')) + L"\\x\\Host"},
        {L"C:\\Apps\\Host", L"C:\\Apps\\Host"},
        {L"", L""},
        {std::wstring(258 - work.size(), L'h'), work + L"\\" + std::wstring(258 - work.size(), L'h')},
        {std::wstring(259 - work.size(), L'h'), L""},
    };
    for (const row &r : rows) {
        set_wide(g_install_dir, TOVRIN_PATH_CAP, r.given);
        g_path_error = 0;
        make_install_dir_absolute();
        if (r.absolute.empty()) {
            EXPECT_EQ(1, g_path_error) << tvt::narrow(r.given);
        } else {
            EXPECT_EQ(0, g_path_error) << tvt::narrow(r.given);
            EXPECT_EQ(r.absolute, std::wstring(g_install_dir));
        }
    }
    g_path_error = 0;
    SetCurrentDirectoryW(cwd);
    tvt::remove_tree(work);
}

TEST(ShellPaths, ResolvedFromTheProgramFileAndTheUsersFolder)
{
    // Uses the real state directory of the prefix: deleted first, so that
    // its creation is seen.
    std::wstring state = tvt::state_dir();
    ASSERT_FALSE(state.empty());
    tvt::remove_tree(state);
    ASSERT_FALSE(tvt::dir_exists(state));

    resolve_paths();

    wchar_t module[MAX_PATH];
    DWORD n = GetModuleFileNameW(NULL, module, MAX_PATH);
    ASSERT_GT(n, 0u);
    std::wstring program_dir(module, n);
    program_dir = program_dir.substr(0, program_dir.find_last_of(L'\\'));
    EXPECT_EQ(program_dir, std::wstring(g_install_dir));
    EXPECT_NE(L'\\', g_install_dir[wcslen(g_install_dir) - 1]);
    EXPECT_EQ(state, std::wstring(g_state_dir));
    EXPECT_TRUE(tvt::dir_exists(state));
    EXPECT_EQ(program_dir + L"\\runtime\\node\\node.exe", std::wstring(g_node_path));
    EXPECT_EQ(program_dir + L"\\runtime\\dist\\hostRuntimeCli.js", std::wstring(g_cli_path));
}

// ---------------------------------------------------------------------------
// Reports reaching the window
// ---------------------------------------------------------------------------

namespace {

// A hidden window of the shell's own procedure, as g_hwnd.
HWND shell_window()
{
    static HWND hwnd = NULL;
    if (!hwnd) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = wnd_proc;
        wc.hInstance = GetModuleHandleW(NULL);
        wc.lpszClassName = L"TovrinHostShellUnderTest";
        RegisterClassW(&wc);
        hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                               wc.hInstance, NULL);
    }
    return hwnd;
}

// A socket bound to 127.0.0.1 at a port the system chose, not listening yet.
SOCKET bound_loopback(int *port)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    bind(listener, (sockaddr *)&addr, sizeof addr);
    getsockname(listener, (sockaddr *)&addr, &len);
    *port = ntohs(addr.sin_port);
    return listener;
}

// Accepts one connection, reads its request, runs `meanwhile`, then
// answers 200 with no body.
std::thread answer_once(SOCKET listener, std::function<void()> meanwhile = {})
{
    return std::thread([listener, meanwhile] {
        SOCKET client = accept(listener, NULL, NULL);
        char request[1024];
        recv(client, request, sizeof request, 0);
        if (meanwhile) {
            meanwhile();
        }
        const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send(client, answer, sizeof answer - 1, 0);
        closesocket(client);
    });
}

} // namespace

// A ready report counts only for its own wait, an exit report only for the
// sidecar the window relies on.
TEST_F(ShellFiles, ReportsCountOnlyForTheirWaitAndTheSidecarReliedOn)
{
    g_wait_id = 7;
    g_ready = 0;
    wnd_proc(NULL, WM_APP_READY, 0, 6);
    EXPECT_EQ(0, g_ready) << "an earlier wait's report made this one ready";
    write_shell_status("running", "already_ready");
    g_sidecar_dead = 0;
    g_launch_id = 3;
    g_relied_launch = 0; // it kept another shell's sidecar, or stopped its own
    wnd_proc(NULL, WM_APP_SIDECAR_EXITED, 0, 3);
    EXPECT_EQ(0, g_sidecar_dead);
    g_relied_launch = 3;
    g_ready = 1; // it had answered, and ended as asked (0): no dialog, no relaunch
    wnd_proc(NULL, WM_APP_SIDECAR_EXITED, 0, 3);
    EXPECT_EQ(1, g_sidecar_dead);
    EXPECT_EQ("status=needs_attention\ndetail=sidecar_exited_0\n",
              tvt::read_file_or_empty(file(L"shell-status.txt")));

    // A kept sidecar is relied on when the lock names this shell's last
    // launch, even one that ended after its UI answered: that end is still
    // to come.
    tvt::process ended;
    DWORD code = 0;
    ASSERT_TRUE(tvt::start_process_quiet(L"cmd.exe /c exit 6", L"", &ended));
    ASSERT_TRUE(tvt::wait_process(ended, 15000, &code));
    g_sidecar = ended.handle;
    g_sidecar_pid = ended.pid;
    for (DWORD owner : {ended.pid, ended.pid + 4}) {
        tvt::write_file(file(L"runtime.lock.owner"), "pid=" + std::to_string(owner) + "\r\n");
        EXPECT_EQ(owner == ended.pid ? 1 : 0, own_sidecar_holds_runtime()) << "owner " << owner;
    }
    g_sidecar = NULL;
    tvt::close_process(&ended);
}

// A poll thread asked to stop while a probe was under way reports nothing.
TEST_F(ShellFiles, PollThreadToldToStopDuringAProbeNeverReports)
{
    int port = 0;
    SOCKET listener = bound_loopback(&port);
    ASSERT_EQ(0, listen(listener, 1));
    tvt::write_file(file(L"control.json"), "{\"port\":" + std::to_string(port) + "}");
    // The UI answers, but only after the window started another wait.
    std::thread ui = answer_once(listener, [] { InterlockedExchange(&g_poll_wait, 0); });
    g_hwnd = shell_window();
    g_poll_stop = 0;
    g_poll_wait = 4;
    ready_poll_thread((LPVOID)(uintptr_t)4);
    ui.join();
    closesocket(listener);
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, g_hwnd, WM_APP_READY, WM_APP_READY, PM_REMOVE));
    g_hwnd = NULL;
}

// The poll is woken by the control file the sidecar writes once it
// listens: seen long before a pause of a minute would end. Without such a
// change the pause itself still finds a UI that begins to answer.
TEST_F(ShellFiles, PollIsWokenByTheControlFileAndStillPolls)
{
    for (bool woken : {true, false}) {
        SCOPED_TRACE(woken);
        int port = 0;
        SOCKET listener = bound_loopback(&port);
        std::string control = "{\"port\":" + std::to_string(port) + "}";
        DeleteFileW(file(L"control.json").c_str());
        if (!woken) {
            tvt::write_file(file(L"control.json"), control); // before the poll: no change
        }
        g_poll_pause_ms = woken ? 60000 : 200;
        g_hwnd = shell_window();
        g_poll_stop = 0;
        g_poll_wait = 5;
        std::thread poll([] { ready_poll_thread((LPVOID)(uintptr_t)5); });
        Sleep(500); // the poll is in its pause
        // The UI answers from now on; the woken poll also gets its file.
        ASSERT_EQ(0, listen(listener, 4));
        std::thread ui = answer_once(listener);
        if (woken) {
            tvt::write_file(file(L"control.json"), control);
        }
        MSG message;
        bool ready = tvt::wait_until(
            [&] { return PeekMessageW(&message, g_hwnd, WM_APP_READY, WM_APP_READY, PM_REMOVE) != 0; },
            20000);
        EXPECT_TRUE(ready);
        InterlockedExchange(&g_poll_stop, 1);
        poll.join();
        closesocket(listener); // ends an accept that nobody answered
        ui.join();
    }
    g_poll_pause_ms = 200;
    g_hwnd = NULL;
}

// The probe keeps no copy of the control file, whose token is a secret,
// in the stack it leaves behind.
TEST_F(ShellFiles, ProbeLeavesNoCopyOfTheControlFile)
{
    static const char token[] = "q7secretq7secretq7secretq7secret";
    tvt::write_file(file(L"control.json"), std::string("{\"port\":9,\"token\":\"") + token + "\"}");
    volatile char here = 0;
    int ready = ui_is_ready(); // nothing listens on port 9
    // Below this frame, down to the lowest committed byte of the stack:
    // where the probe's frames were. Scanned before any further call.
    const volatile char *low = (const volatile char *)((NT_TIB *)NtCurrentTeb())->StackLimit;
    size_t found = 0;
    for (const volatile char *p = low; p + sizeof token - 1 < &here && !found; p++) {
        size_t i = 0;
        while (i < sizeof token - 1 && p[i] == token[i]) {
            i++;
        }
        found = i == sizeof token - 1;
    }
    EXPECT_EQ(0, ready);
    EXPECT_EQ(0u, found) << "the token is still in the stack";
}

// The shell may run this thread's messages while it starts the browser:
// what they changed (here the end of the sidecar) stays.
TEST_F(ShellFiles, BrowserStartKeepsWhatChangedMeanwhile)
{
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    g_hwnd = shell_window();
    g_ready = 1;
    g_sidecar_dead = 0;
    g_auto_opened = 0;
    g_launch_id = 9;
    g_relied_launch = 9;
    wcscpy(g_ui_url, L"tovrin-no-such-scheme:x"); // nothing opens it
    PostMessageW(g_hwnd, WM_APP_SIDECAR_EXITED, 0, 9);
    maybe_open_browser(0);
    EXPECT_EQ("status=needs_attention\ndetail=sidecar_exited_0\n",
              tvt::read_file_or_empty(file(L"shell-status.txt")));
    g_hwnd = NULL;
    CoUninitialize();
}
