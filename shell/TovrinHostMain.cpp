/*
 * Tovrin Host shell: start-up, records, the status window, the readiness
 * wait, the sidecar launch and the storage folder picker.
 */
#include "TovrinHostMain.h"

#include <shlobj.h>
#include <shobjidl.h>
#include <shellapi.h>
#include <commctrl.h>
#include <winhttp.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "../launch/tovrinHostLaunch.h"
#include "../stop/tovrinHostStop.h"

/* ------------------------------------------------------------------ */
/* shell state                                                         */
/* ------------------------------------------------------------------ */

wchar_t g_install_dir[TOVRIN_PATH_CAP];
wchar_t g_state_dir[TOVRIN_PATH_CAP];
wchar_t g_node_path[TOVRIN_PATH_CAP];
wchar_t g_cli_path[TOVRIN_PATH_CAP];
wchar_t g_channel[TOVRIN_CHANNEL_CAP] = L"production";
int g_path_error;

HWND g_hwnd;
HWND g_status;

volatile LONG g_ready;
volatile LONG g_sidecar_dead;
volatile LONG g_auto_opened;
volatile LONG g_failure_shown;
volatile DWORD g_wait_started;
volatile LONG g_poll_stop;
HANDLE g_poll_thread;
wchar_t g_ui_url[TOVRIN_UI_URL_CAP];
HANDLE g_sidecar;
volatile DWORD g_sidecar_pid;
volatile DWORD g_sidecar_started_tick;
volatile DWORD g_launch_id;
DWORD g_relied_launch;
DWORD g_wait_id;
volatile LONG g_poll_wait;
volatile LONG g_browser_failed;
int g_wait_pending;
int g_open_requested;
DWORD g_poll_pause_ms = 200;
volatile LONG g_session_ending;

/* The UI thread, the poll thread and the exit-watch threads all write
 * records. The files are opened sharing read access only, so two writers
 * at the same moment would lose one record; this lock keeps both. */
static SRWLOCK g_record_lock = SRWLOCK_INIT;

/* A build for the tests keeps a trail of what the shell did
 * (shell-trail.log in the state directory: each wait, status pair, dialog,
 * browser start and resume notice, in order), because the status file
 * holds only the latest pair; it may also shorten the slow-start time.
 * The program itself writes no trail and keeps the 60 s. */
#ifdef TOVRIN_TEST_TRAIL
#include <stdarg.h>
/* NOLINTNEXTLINE(cert-dcl50-cpp): trail lines are printf-formatted like every record here; vsnprintf bounds them */
static void trail(const char *format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    int len = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (len <= 0 || (size_t)len >= sizeof line - 1) {
        return;
    }
    line[len++] = '\n';
    wchar_t path[TOVRIN_PATH_CAP];
    join_wide_path(path, g_state_dir, L"shell-trail.log");
    AcquireSRWLockExclusive(&g_record_lock);
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, (DWORD)len, &written, NULL);
        CloseHandle(file);
    }
    ReleaseSRWLockExclusive(&g_record_lock);
}
#define TRAIL(...) trail(__VA_ARGS__)
#else
#define TRAIL(...) ((void)0)
#endif
#ifndef TOVRIN_SLOW_START_MS
#define TOVRIN_SLOW_START_MS 60000
#endif

/* ------------------------------------------------------------------ */
/* start-up                                                            */
/* ------------------------------------------------------------------ */

/* "%s\\%s" into a wide path, cut at 259 units; 1 when it fitted whole. */
int join_wide_path(wchar_t *out, const wchar_t *dir, const wchar_t *name)
{
    int n = _snwprintf(out, TOVRIN_PATH_CAP, L"%ls\\%ls", dir, name);
    out[TOVRIN_PATH_CAP - 1] = L'\0';
    return n >= 0 && n < TOVRIN_PATH_CAP;
}

static void copy_wide_path(wchar_t *out, const wchar_t *in)
{
    wcsncpy(out, in, TOVRIN_PATH_CAP - 1);
    out[TOVRIN_PATH_CAP - 1] = L'\0';
}

/* Install directory, state directory and the two runtime paths. */
void resolve_paths(void)
{
    wchar_t module[TOVRIN_PATH_CAP];
    DWORD n = GetModuleFileNameW(NULL, module, TOVRIN_PATH_CAP);
    if (n == 0 || n >= TOVRIN_PATH_CAP) {
        /* A cut path would name another directory: no directory at all, so
         * that neither the runtime nor CHANNEL.txt is looked for elsewhere
         * (--install-dir may still name the installation). */
        module[0] = L'\0';
    }
    module[TOVRIN_PATH_CAP - 1] = L'\0';
    wchar_t *slash = wcsrchr(module, L'\\');
    if (slash) {
        *slash = L'\0';
    }
    copy_wide_path(g_install_dir, module);

    wchar_t appdata[TOVRIN_PATH_CAP];
    appdata[0] = L'\0';
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, appdata))) {
        DWORD len = GetEnvironmentVariableW(L"LOCALAPPDATA", appdata, TOVRIN_PATH_CAP);
        if (len == 0 || len >= TOVRIN_PATH_CAP) {
            appdata[0] = L'\0';
        }
    }
    if (appdata[0] == L'\0') {
        /* Neither the shell nor the environment knows the user's local
         * folder. Rather than writing into the root of the current drive,
         * keep the records in the user's temporary folder. */
        DWORD len = GetTempPathW(TOVRIN_PATH_CAP, appdata);
        if (len == 0 || len >= TOVRIN_PATH_CAP) {
            appdata[0] = L'\0';
        }
        size_t alen = wcslen(appdata);
        if (alen > 0 && appdata[alen - 1] == L'\\') {
            appdata[alen - 1] = L'\0';
        }
    }
    join_wide_path(g_state_dir, appdata, L"TovrinHost");
    CreateDirectoryW(g_state_dir, NULL);

    /* A runtime path that does not fit stays empty: cut, it would name
     * another file, and the launch reports the path instead. */
    if (g_install_dir[0] == L'\0' ||
        !join_wide_path(g_node_path, g_install_dir, L"runtime\\node\\node.exe") ||
        !join_wide_path(g_cli_path, g_install_dir, L"runtime\\dist\\hostRuntimeCli.js")) {
        g_node_path[0] = L'\0';
        g_cli_path[0] = L'\0';
    }
}

/* The install directory as an absolute path. A relative --install-dir is
 * taken against the caller's current directory, once, here: every later
 * use (the proof of which processes belong to the installation, the
 * sidecar's working directory, its environment) needs the same absolute
 * path, and a relative one would only be a tail that other installations
 * share. When that is not possible within the path capacity, g_path_error
 * is set and neither mode uses the directory. */
void make_install_dir_absolute(void)
{
    wchar_t full[TOVRIN_PATH_CAP];
    if (g_install_dir[0] == L'\0') {
        g_path_error = 1;
        return;
    }
    DWORD n = GetFullPathNameW(g_install_dir, TOVRIN_PATH_CAP, full, NULL);
    if (n == 0 || n >= TOVRIN_PATH_CAP) {
        g_path_error = 1;
        return;
    }
    wcscpy(g_install_dir, full);
}

static int ascii_equal_nocase(const char *a, const char *b)
{
    for (; *a && *b; a++, b++) {
        char ca = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
        if (ca != cb) {
            return 0;
        }
    }
    return *a == *b;
}

/* The channel is "dev" when CHANNEL.txt beside the program says so in any
 * letter case, with trailing line ends and blanks ignored; otherwise
 * "production". Only the first 63 bytes count. */
void read_channel_file(void)
{
    wcscpy(g_channel, L"production");
    wchar_t path[TOVRIN_PATH_CAP];
    if (g_install_dir[0] == L'\0' || !join_wide_path(path, g_install_dir, L"CHANNEL.txt")) {
        return;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    char text[64];
    DWORD got = 0;
    text[0] = '\0';
    if (ReadFile(file, text, 63, &got, NULL) && got >= 1) {
        text[got] = '\0';
        while (got > 0 && (text[got - 1] == '\n' || text[got - 1] == '\r' ||
                           text[got - 1] == ' ')) {
            text[--got] = '\0';
        }
        if (ascii_equal_nocase(text, "dev")) {
            wcscpy(g_channel, L"dev");
        }
    }
    CloseHandle(file);
}

/* The installation's shell windows close by themselves first, so that the
 * stop has to end none of them; only where the stop itself runs. */
static int run_stop_only(void)
{
    if (g_path_error) {
        return 1;
    }
    DWORD attrs = GetFileAttributesW(g_install_dir);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        step_aside_shells();
    }
    return tovrin_stop_only(g_install_dir, g_state_dir);
}

/* Reads the options and runs the chosen mode; returns the exit code. */
int run_command_line(HINSTANCE instance)
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) {
        if (argv) {
            LocalFree(argv);
        }
        make_install_dir_absolute();
        return run_window_mode(instance);
    }
    int stop_only = 0;
    int autostart = 0;
    for (int i = 1; i < argc; i++) {
        if (wcscmp(argv[i], L"--pick-folder") == 0) {
            LocalFree(argv);
            return run_folder_picker();
        }
        if (wcscmp(argv[i], L"--stop-existing") == 0) {
            stop_only = 1;
        } else if (wcscmp(argv[i], L"--autostart") == 0) {
            autostart = 1;
        } else if (wcscmp(argv[i], L"--install-dir") == 0) {
            if (i + 1 >= argc) {
                break;
            }
            /* A directory that does not fit is not cut, which would name
             * another one: it is unusable. */
            i++;
            if (wcslen(argv[i]) >= TOVRIN_PATH_CAP) {
                g_path_error = 1;
                g_install_dir[0] = L'\0';
            } else if (!g_path_error) {
                copy_wide_path(g_install_dir, argv[i]);
            }
        }
    }
    LocalFree(argv);
    make_install_dir_absolute();
    if (stop_only) {
        return run_stop_only();
    }
    if (autostart) {
        return run_autostart();
    }
    return run_window_mode(instance);
}

/* The command line is read whole with CommandLineToArgvW; the other
 * arguments mean nothing to this program, so they stay unnamed. */
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    /* From here on a DLL loaded by name comes from the system folder, never
     * from the program's folder, which may be one that others can write to
     * (an installer may run the program from a download folder). The
     * delay-loaded DLLs name the system folder themselves. */
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    resolve_paths();
    read_channel_file();
    return run_command_line(instance);
}

/* ------------------------------------------------------------------ */
/* records and readers                                                 */
/* ------------------------------------------------------------------ */

void write_shell_status(const char *status, const char *detail)
{
    char record[256];
    int len = snprintf(record, sizeof record, "status=%s\ndetail=%s\n", status, detail);
    /* A pair that does not fit is dropped whole, and the old file stays. */
    if (len <= 0 || (size_t)len >= sizeof record) {
        return;
    }
    TRAIL("status %s %s", status, detail);
    wchar_t path[TOVRIN_PATH_CAP];
    join_wide_path(path, g_state_dir, L"shell-status.txt");
    AcquireSRWLockExclusive(&g_record_lock);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, record, (DWORD)len, &written, NULL);
        CloseHandle(file);
    }
    ReleaseSRWLockExclusive(&g_record_lock);
}

#define TOVRIN_LIFECYCLE_ROTATE_AT 262144u

void append_lifecycle(const char *event, DWORD pid, DWORD extra, const char *ready)
{
    SYSTEMTIME now;
    GetSystemTime(&now);

    wchar_t current[TOVRIN_PATH_CAP];
    wchar_t previous[TOVRIN_PATH_CAP];
    join_wide_path(current, g_state_dir, L"sidecar-lifecycle.log");
    join_wide_path(previous, g_state_dir, L"sidecar-lifecycle.previous.log");

    AcquireSRWLockExclusive(&g_record_lock);
    HANDLE probe = CreateFileW(current, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (probe != INVALID_HANDLE_VALUE) {
        DWORD size = GetFileSize(probe, NULL);
        CloseHandle(probe);
        /* One unsigned comparison: at least 256 KiB, and not the failure
         * value INVALID_FILE_SIZE. */
        if ((DWORD)(size - TOVRIN_LIFECYCLE_ROTATE_AT) <= 4294705150u) {
            DeleteFileW(previous);
            MoveFileW(current, previous);
        }
    }

    HANDLE file = CreateFileW(current, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD started = g_sidecar_started_tick;
        DWORD elapsed = started == 0 ? 0 : (DWORD)(GetTickCount() - started);
        char line[384];
        int len = snprintf(line, sizeof line,
                           "%04u-%02u-%02uT%02u:%02u:%02uZ event=%s pid=%lu extra=%lu "
                           "elapsed_ms=%lu ready=%s shell_initiated=%d\n",
                           (unsigned)now.wYear, (unsigned)now.wMonth, (unsigned)now.wDay,
                           (unsigned)now.wHour, (unsigned)now.wMinute, (unsigned)now.wSecond,
                           event, (unsigned long)pid, (unsigned long)extra,
                           (unsigned long)elapsed, ready, 0);
        if (len > 0 && (size_t)len < sizeof line) {
            DWORD written = 0;
            WriteFile(file, line, (DWORD)len, &written, NULL);
        }
        CloseHandle(file);
    }
    ReleaseSRWLockExclusive(&g_record_lock);
}

/* One read of at most 4095 bytes, shared with a writer, terminated.
 * Returns 1 when the file was opened and read; `got` is the byte count. */
static int read_small_file(const wchar_t *path, char *buf, size_t cap, DWORD *got)
{
    *got = 0;
    if (!buf || cap < TOVRIN_FILE_TEXT_CAP) {
        return 0;
    }
    /* The sidecar may rewrite or remove its files at any moment: sharing
     * write and delete access keeps a reader from making that fail. */
    HANDLE file = CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD n = 0;
    BOOL ok = ReadFile(file, buf, TOVRIN_FILE_TEXT_CAP - 1, &n, NULL);
    CloseHandle(file);
    if (!ok) {
        return 0;
    }
    buf[n] = '\0';
    *got = n;
    return 1;
}

int read_control_json(char *buf, size_t cap)
{
    wchar_t path[TOVRIN_PATH_CAP];
    join_wide_path(path, g_state_dir, L"control.json");
    DWORD got = 0;
    /* An empty control file is read successfully; the parsers reject it. */
    return read_small_file(path, buf, cap, &got);
}

int read_existing_file(const wchar_t *path, char *buf, size_t cap)
{
    DWORD got = 0;
    return read_small_file(path, buf, cap, &got) && got >= 1;
}

/* ------------------------------------------------------------------ */
/* texts                                                               */
/* ------------------------------------------------------------------ */

static const wchar_t k_caption[] = L"Tovrin Host";
static const wchar_t k_status_starting[] = L"Status: Starting\u2026";
static const wchar_t k_status_slow[] = L"Tovrin Host is still starting.";
static const wchar_t k_status_running[] = L"Status: Running";
static const wchar_t k_status_no_browser[] = L"Status: Running \u2014 browser did not open";
static const wchar_t k_status_attention[] = L"Status: Needs attention";
static const wchar_t k_status_replacing[] = L"Status: Replacing the running Tovrin Host\u2026";
static const wchar_t k_status_restarting[] = L"Status: Restarting after a crash\u2026";
static const wchar_t k_status_upgrade[] =
    L"Status: Waiting for the Tovrin Host update to finish\u2026";
static const wchar_t k_upgrade_text[] =
    L"A Tovrin Host update is still running. Try again when it has finished.";
static const wchar_t k_status_other_window[] =
    L"Status: Another Tovrin Host window is open but does not answer.";
static const wchar_t k_browser_failed_text[] =
    L"Couldn't open your browser. Hosting is still running.";
static const wchar_t k_foreign_text[] = L"Another program is using Tovrin Host's local address. "
                                        L"Tovrin Host left that program running.";
static const wchar_t k_incomplete[] =
    L"This Tovrin Host package is incomplete. Reinstall from the official package.";
static const wchar_t k_could_not_start[] = L"Tovrin Host could not start.";

#define TOVRIN_STATUS_TIMER 1
#define TOVRIN_STATUS_PERIOD_MS 200
#define TOVRIN_EXIT_REPORT_AGE_MS 400
#define TOVRIN_POLL_JOIN_MS 2000
/* A sidecar of this installation younger than this that does not answer
 * yet is still starting, not hung. */
#define TOVRIN_STARTING_GRACE_MS 20000
/* How long the launch step waits for an installer that holds the
 * installation's guard, looking again every 200 ms. */
#define TOVRIN_UPGRADE_WAIT_MS 180000
/* A sidecar that crashes after its UI answered is launched again by the
 * window, as a service supervisor would: after 1 s, then 2 s, then 4 s. A
 * fourth crash within 5 minutes of the first of the series ends that; a
 * later one, and so one after a sidecar that ran 5 minutes since its last
 * relaunch, starts a series anew. The test builds shorten the delays. */
#ifndef TOVRIN_RELAUNCH_FIRST_DELAY_MS
#define TOVRIN_RELAUNCH_FIRST_DELAY_MS 1000
#endif
#define TOVRIN_RELAUNCH_MAX 3
#define TOVRIN_RELAUNCH_SERIES_MS 300000
#define TOVRIN_RELAUNCH_TIMER 2
#define TOVRIN_HTTP_TIMEOUT_MS 1500
#define TOVRIN_STATUS_BODY_CAP 8192
#define TOVRIN_RELEASE_CAP 80
#define TOVRIN_TOKEN_CAP 256
#define TOVRIN_TOKEN_SEND_MAX 200
#define TOVRIN_HEADER_CAP 600
#define TOVRIN_CMDLINE_CAP 32768
#define TOVRIN_PATH_UTF8_CAP 1040
#define TOVRIN_DETAIL_CAP 64
/* Room for a reason: a folder path, a system message, a log's last line. */
#define TOVRIN_DIALOG_CAP 1024
#define TOVRIN_LOG_LINE_MAX 200
#define TOVRIN_LOG_TAIL 4096

/* A detail word with a number, such as launch_failed_5. The longest needs
 * 27 of the 64 bytes; should one not fit, the word is recorded without its
 * number rather than cut. */
static void detail_with_number(char *detail, const char *word, long long number)
{
    int n = snprintf(detail, TOVRIN_DETAIL_CAP, "%s%lld", word, number);
    if (n < 0 || n >= TOVRIN_DETAIL_CAP) {
        size_t i = 0;
        for (; word[i] && i + 1 < TOVRIN_DETAIL_CAP; i++) {
            detail[i] = word[i];
        }
        detail[i] = '\0';
    }
}

/* The window layout at 96 DPI; scaled for the window's DPI. */
#define TOVRIN_WINDOW_W 440
#define TOVRIN_WINDOW_H 250
#define TOVRIN_ID_NOTE 0
#define TOVRIN_ID_OPEN 1
#define TOVRIN_ID_STATUS 2

static HWND g_note;
static HWND g_open_button;
/* UI thread only: a wait's launch step runs on its worker; the window was
 * closed while it ran (hidden, destroyed once the step has ended); the
 * step is replacing the running sidecar; the step waits for an installer
 * at work. */
static int g_launching;
static int g_close_pending;
static int g_replacing;
static int g_upgrade_waiting;
/* The window's own relaunches of a crashed sidecar: how many in the
 * current series and when its first crash came; a relaunch waiting for its
 * delay, and the exit code of the crash it follows; the wait that is a
 * relaunch (0: none) and the address the user had before the crash. */
static int g_relaunch_count;
static DWORD g_relaunch_first_tick;
static int g_relaunch_due;
static DWORD g_relaunch_code;
static DWORD g_relaunch_wait;
static wchar_t g_relaunch_url[TOVRIN_UI_URL_CAP];
static HFONT g_font;
static UINT g_dpi = 96;

/* The probe writes the UI address on whichever thread it runs while the
 * UI thread reads it: the copy in and out is done under this lock. */
static SRWLOCK g_ui_url_lock = SRWLOCK_INIT;
/* The port of g_ui_url, under the same lock. */
static int g_ui_port;

/* The launch replaces and closes g_sidecar on the UI thread while the
 * poll thread of an earlier wait may still be testing it: both hold this
 * lock while they touch the handle, so no thread waits on a closed one. */
static SRWLOCK g_sidecar_lock = SRWLOCK_INIT;

static void set_status_line(const wchar_t *text)
{
    if (g_status) {
        SetWindowTextW(g_status, text);
    }
}

/* The UI address and its port (may be NULL), as the last probe composed them. */
static void copy_ui_url(wchar_t *out, size_t cap, int *port)
{
    AcquireSRWLockShared(&g_ui_url_lock);
    wcsncpy(out, g_ui_url, cap - 1);
    out[cap - 1] = L'\0';
    if (port) {
        *port = g_ui_port;
    }
    ReleaseSRWLockShared(&g_ui_url_lock);
}

/* The address is another program's: forgotten, so that it is neither
 * opened nor handed to the user. */
static void forget_ui_url(void)
{
    AcquireSRWLockExclusive(&g_ui_url_lock);
    g_ui_url[0] = L'\0';
    g_ui_port = 0;
    ReleaseSRWLockExclusive(&g_ui_url_lock);
}

static const char *ready_word(void)
{
    return g_ready ? "after_ready" : "before_ready";
}

/* ------------------------------------------------------------------ */
/* loopback HTTP                                                       */
/* ------------------------------------------------------------------ */

/* The body of a response, terminated. Windows hands it over as it arrives
 * (a chunked body chunk by chunk), so one read may return only its start:
 * reads go on until it ends. Each read waits at most the receive time-out,
 * and all of them together at most the same again, so that a body that
 * trickles in cannot hold the caller. A body that does not fit is no
 * answer at all. */
static int read_whole_body(HINTERNET request, char *body, size_t body_cap)
{
    size_t have = 0;
    DWORD started = GetTickCount();
    body[0] = '\0';
    for (;;) {
        DWORD got = 0;
        if (have + 1 >= body_cap) {
            char more;
            /* Full: one more byte would mean the body does not fit. */
            if (!WinHttpReadData(request, &more, 1, &got) || got != 0) {
                return 0;
            }
            break;
        }
        if (!WinHttpReadData(request, body + have, (DWORD)(body_cap - 1 - have), &got)) {
            return 0;
        }
        if (got == 0) {
            break;
        }
        have += got;
        if (GetTickCount() - started > TOVRIN_HTTP_TIMEOUT_MS) {
            return 0;
        }
    }
    body[have] = '\0';
    return 1;
}

/* One GET to 127.0.0.1:port, plain HTTP, no proxy, 1500 ms for each of
 * resolve, connect, send, receive and the wait for the response headers.
 * `header` may be NULL. When `body` is given, the whole body (at most
 * body_cap - 1 bytes; a longer one is a failure) is read and terminated.
 * Returns 1 with the numeric status code once a response was received. */
static int http_get_loopback(int port, const wchar_t *path, const wchar_t *agent,
                             const wchar_t *header, DWORD *status_code, char *body,
                             size_t body_cap)
{
    int ok = 0;
    HINTERNET session = NULL;
    HINTERNET connection = NULL;
    HINTERNET request = NULL;
    DWORD status = 0;
    DWORD size = sizeof status;

    session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        goto done;
    }
    WinHttpSetTimeouts(session, TOVRIN_HTTP_TIMEOUT_MS, TOVRIN_HTTP_TIMEOUT_MS,
                       TOVRIN_HTTP_TIMEOUT_MS, TOVRIN_HTTP_TIMEOUT_MS);
    {
        /* The wait for the response headers is not one of the four above:
         * it has its own time-out, 90 s by default on Windows, and without
         * it a sidecar that accepts but never answers (a frozen event loop)
         * holds the exchange for good under Wine. */
        DWORD response_timeout = TOVRIN_HTTP_TIMEOUT_MS;
        WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_timeout,
                         sizeof response_timeout);
    }
    connection = WinHttpConnect(session, L"127.0.0.1", (INTERNET_PORT)port, 0);
    if (!connection) {
        goto done;
    }
    request = WinHttpOpenRequest(connection, L"GET", path, NULL, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (!request) {
        goto done;
    }
    if (!WinHttpSendRequest(request, header ? header : WINHTTP_NO_ADDITIONAL_HEADERS,
                            header ? (DWORD)-1L : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        goto done;
    }
    if (!WinHttpReceiveResponse(request, NULL)) {
        goto done;
    }
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        goto done;
    }
    if (body && !read_whole_body(request, body, body_cap)) {
        goto done;
    }
    *status_code = status;
    ok = 1;
done:
    if (request) {
        WinHttpCloseHandle(request);
    }
    if (connection) {
        WinHttpCloseHandle(connection);
    }
    if (session) {
        WinHttpCloseHandle(session);
    }
    return ok;
}

/* The port of a usable control file: loopback first, then the port. */
static int control_port(const char *control)
{
    if (!tovrin_control_bind_is_loopback(control)) {
        return 0;
    }
    return tovrin_parse_control_port(control);
}

/* The "gitSha" of the installation's host-release.json; 0 when the file
 * is missing or empty or names no release. */
static int read_installed_release(char *out, size_t cap)
{
    wchar_t path[TOVRIN_PATH_CAP];
    char text[TOVRIN_FILE_TEXT_CAP];
    /* An unusable install directory names no file at all. */
    if (g_path_error || g_install_dir[0] == L'\0' ||
        !join_wide_path(path, g_install_dir, L"host-release.json")) {
        return 0;
    }
    return read_existing_file(path, text, sizeof text) &&
           tovrin_extract_json_string(text, "\"gitSha\"", out, cap);
}

/* ------------------------------------------------------------------ */
/* readiness probe                                                     */
/* ------------------------------------------------------------------ */

/* 1 when GET / on the control file's port answers 200; composes the UI
 * address (with the installed release as its query when there is one).
 * `answered_port` (may be NULL) receives the port that answered. */
static int probe_ui(int *answered_port)
{
    char control[TOVRIN_FILE_TEXT_CAP];
    int port = read_control_json(control, sizeof control) ? control_port(control) : 0;
    /* Only the port is needed: the copy of the file, token and all, goes. */
    SecureZeroMemory(control, sizeof control);
    if (port == 0) {
        return 0;
    }
    DWORD status = 0;
    if (!http_get_loopback(port, L"/", L"TovrinHost/0.1", NULL, &status, NULL, 0) ||
        status != 200) {
        return 0;
    }

    char release[TOVRIN_RELEASE_CAP];
    int has_release = read_installed_release(release, sizeof release);
    char url[TOVRIN_UI_URL_CAP];
    int composed = has_release
                       ? tovrin_format_ui_url_with_release(port, release, url, sizeof url)
                       : tovrin_format_ui_url(port, url, sizeof url);
    if (!composed) {
        return 0;
    }
    wchar_t wide[TOVRIN_UI_URL_CAP];
    if (MultiByteToWideChar(CP_UTF8, 0, url, -1, wide, TOVRIN_UI_URL_CAP) <= 0) {
        return 0;
    }
    AcquireSRWLockExclusive(&g_ui_url_lock);
    wcscpy(g_ui_url, wide);
    g_ui_port = port;
    ReleaseSRWLockExclusive(&g_ui_url_lock);
    if (answered_port) {
        *answered_port = port;
    }
    return 1;
}

int ui_is_ready(void)
{
    return probe_ui(NULL);
}

/* ------------------------------------------------------------------ */
/* sidecar environment                                                 */
/* ------------------------------------------------------------------ */

#define TOVRIN_ENV_UNITS 65536
#define TOVRIN_ENV_LIMIT 65535
#define TOVRIN_ENV_HELD_BACK 2048

/* Variables the sidecar must not inherit: its PATH is rebuilt from system
 * folders only, Node.js must not be redirected, and the values the shell
 * sets itself (or that carry secrets) are never passed through. */
static const wchar_t *const k_env_removed[] = {
    L"PATH=",
    L"NODE_PATH=",
    L"NODE_OPTIONS=",
    L"npm_config_prefix=",
    L"NPM_CONFIG_PREFIX=",
    L"TOVRIN_HOST_BOOTSTRAP_ORIGIN=",
    L"TOVRIN_HOST_CHANNEL=",
    L"TOVRIN_HOST_STATE_DIR=",
    L"TOVRIN_HOST_BUNDLE_PATH=",
    L"QV_HOST_JWT=",
    L"QV_HOST_ENROLLMENT_TOKEN=",
    L"QV_BUILD_SHA=",
    L"TOVRIN_HOST_GIT_SHA=",
    NULL,
};

static int env_entry_removed(const wchar_t *entry)
{
    for (int i = 0; k_env_removed[i]; i++) {
        if (_wcsnicmp(entry, k_env_removed[i], wcslen(k_env_removed[i])) == 0) {
            return 1;
        }
    }
    return 0;
}

static void format_env_entry(wchar_t *out, size_t cap, const wchar_t *format, const wchar_t *value)
{
    _snwprintf(out, cap, format, value);
    out[cap - 1] = L'\0';
}

/* The shell's environment minus the removed variables, then the system
 * PATH and the sidecar's channel, state directory and install directory.
 * NULL when it cannot be built; the caller frees it with HeapFree. */
wchar_t *build_sidecar_env(void)
{
    wchar_t root[TOVRIN_PATH_CAP];
    DWORD root_len = GetEnvironmentVariableW(L"SystemRoot", root, TOVRIN_PATH_CAP);
    if (root_len == 0 || root_len >= TOVRIN_PATH_CAP) {
        /* Unset, empty, or too long for the buffer (then its content would
         * be undefined): use the usual location. */
        wcscpy(root, L"C:\\Windows");
    }
    wchar_t path_entry[1040];
    _snwprintf(path_entry, 1040, L"PATH=%ls\\System32;%ls;%ls\\System32\\Wbem", root, root, root);
    path_entry[1039] = L'\0';
    wchar_t channel_entry[64];
    format_env_entry(channel_entry, 64, L"TOVRIN_HOST_CHANNEL=%ls", g_channel);
    wchar_t state_entry[292];
    format_env_entry(state_entry, 292, L"TOVRIN_HOST_STATE_DIR=%ls", g_state_dir);
    wchar_t bundle_entry[292];
    format_env_entry(bundle_entry, 292, L"TOVRIN_HOST_BUNDLE_PATH=%ls", g_install_dir);
    const wchar_t *added[] = {path_entry, channel_entry, state_entry, bundle_entry};

    wchar_t *own = GetEnvironmentStringsW();
    if (!own) {
        return NULL;
    }
    wchar_t *block = static_cast<wchar_t *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, TOVRIN_ENV_UNITS * sizeof(wchar_t)));
    if (!block) {
        FreeEnvironmentStringsW(own);
        return NULL;
    }
    size_t b = 0;
    for (const wchar_t *entry = own; *entry; entry += wcslen(entry) + 1) {
        if (env_entry_removed(entry)) {
            continue;
        }
        size_t len = wcslen(entry);
        /* Room for the added entries is held back; once one entry does not
         * fit, it and all after it are left out, so the order stays whole. */
        if (b + len + 1 + TOVRIN_ENV_HELD_BACK > TOVRIN_ENV_LIMIT) {
            break;
        }
        memcpy(block + b, entry, (len + 1) * sizeof(wchar_t));
        b += len + 1;
    }
    FreeEnvironmentStringsW(own);

    for (size_t i = 0; i < sizeof added / sizeof added[0]; i++) {
        size_t len = wcslen(added[i]);
        if (b + len + 2 > TOVRIN_ENV_LIMIT) {
            HeapFree(GetProcessHeap(), 0, block);
            return NULL;
        }
        memcpy(block + b, added[i], (len + 1) * sizeof(wchar_t));
        b += len + 1;
    }
    block[b] = L'\0';
    return block;
}

/* ------------------------------------------------------------------ */
/* runtime launch                                                      */
/* ------------------------------------------------------------------ */

/* Every report of a wait's worker, its poll and the exit watches reaches
 * the window here, as a post: none of them waits for the UI thread. 0 when
 * there is no window (the logon task's start) or the post failed. */
static int report_to_window(UINT message, WPARAM wparam, LPARAM lparam)
{
    return g_hwnd && PostMessageW(g_hwnd, message, wparam, lparam);
}

/* Waits for one launched sidecar to end, records it and tells the window.
 * Owns (and closes) its duplicate of the process handle and frees `param`.
 * The line names the sidecar that ended, and the message carries its
 * launch number: by the time it ends, a newer sidecar may be the current
 * one, and its end is no news about that one. */
DWORD WINAPI sidecar_exit_watch(LPVOID param)
{
    struct exit_watch *watch = static_cast<struct exit_watch *>(param);
    DWORD code = 1;
    if (!watch) {
        return 0;
    }
    if (watch->process) {
        WaitForSingleObject(watch->process, INFINITE);
        if (!GetExitCodeProcess(watch->process, &code)) {
            code = 1;
        }
        append_lifecycle("sidecar_exited", watch->pid, code, ready_word());
        report_to_window(WM_APP_SIDECAR_EXITED, (WPARAM)code, (LPARAM)watch->launch_id);
        CloseHandle(watch->process);
    }
    HeapFree(GetProcessHeap(), 0, watch);
    return 0;
}

/* 1 when a sidecar that answers runs the installed release. */
static int sidecar_runs_installed_release(void)
{
    char installed[TOVRIN_RELEASE_CAP];
    if (!read_installed_release(installed, sizeof installed)) {
        return 0;
    }
    char control[TOVRIN_FILE_TEXT_CAP];
    char token[TOVRIN_TOKEN_CAP];
    int port = read_control_json(control, sizeof control) ? control_port(control) : 0;
    size_t token_len = port != 0 && tovrin_extract_json_string(control, "\"token\"", token,
                                                               sizeof token)
                           ? strlen(token)
                           : 0;
    /* The secret is kept no longer than needed, in none of its copies. */
    SecureZeroMemory(control, sizeof control);
    /* The secret goes only to a port whose owners are proved to be this
     * installation's (or nobody); a foreign one makes the sidecar count as
     * not current, and the replacement then refuses to touch that program. */
    wchar_t wide_token[TOVRIN_TOKEN_CAP];
    int have_token = token_len >= 1 && token_len <= TOVRIN_TOKEN_SEND_MAX &&
                     tovrin_port_owner_verdict(g_install_dir, g_node_path, port) ==
                         TOVRIN_PORT_TRUSTED &&
                     MultiByteToWideChar(CP_UTF8, 0, token, -1, wide_token, TOVRIN_TOKEN_CAP) > 0;
    SecureZeroMemory(token, sizeof token);
    if (!have_token) {
        SecureZeroMemory(wide_token, sizeof wide_token);
        return 0;
    }
    wchar_t header[TOVRIN_HEADER_CAP];
    _snwprintf(header, TOVRIN_HEADER_CAP, L"Authorization: Bearer %ls\r\n", wide_token);
    header[TOVRIN_HEADER_CAP - 1] = L'\0';
    SecureZeroMemory(wide_token, sizeof wide_token);

    static char body[TOVRIN_STATUS_BODY_CAP]; /* one launch step runs at a time */
    DWORD status = 0;
    int answered = http_get_loopback(port, L"/status", L"TovrinHost/0.1.1", header, &status,
                                     body, sizeof body);
    SecureZeroMemory(header, sizeof header);
    if (!answered || status != 200) {
        return 0;
    }
    char running[TOVRIN_RELEASE_CAP];
    if (!tovrin_extract_json_string(body, "\"gitSha\"", running, sizeof running)) {
        return 0;
    }
    return tovrin_release_ids_match(running, installed);
}

/* 1 when the attributes of `path` can be read and it is no directory. */
static int is_file(const wchar_t *path)
{
    DWORD attrs = GetFileAttributesW(path);
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

/* An attribute list that lets a new process inherit `*handle` and nothing
 * else: every other inheritable handle of the shell (a caller's pipe on its
 * standard output, say) would stay open for the sidecar's whole life, and
 * the caller reading to the end of that pipe would wait as long. NULL when
 * the system cannot make one; free_inherit_list releases it. */
static LPPROC_THREAD_ATTRIBUTE_LIST inherit_only(HANDLE *handle)
{
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(NULL, 1, 0, &size);
    LPPROC_THREAD_ATTRIBUTE_LIST list =
        size ? static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size))
             : NULL;
    if (!list) {
        return NULL;
    }
    if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handle,
                                      sizeof *handle, NULL, NULL)) {
            return list;
        }
        DeleteProcThreadAttributeList(list);
    }
    HeapFree(GetProcessHeap(), 0, list);
    return NULL;
}

static void free_inherit_list(LPPROC_THREAD_ATTRIBUTE_LIST list)
{
    if (list) {
        DeleteProcThreadAttributeList(list);
        HeapFree(GetProcessHeap(), 0, list);
    }
}

/* 1 when the runtime's owner (runtime.lock.owner) is the sidecar this
 * shell launched last, whether or not it still runs: one that ended after
 * its UI answered has its end still to report, and that report must count.
 * The handle held keeps its pid from being given to another process. */
int own_sidecar_holds_runtime(void)
{
    AcquireSRWLockShared(&g_sidecar_lock);
    DWORD pid = g_sidecar ? g_sidecar_pid : 0;
    ReleaseSRWLockShared(&g_sidecar_lock);
    return pid != 0 && tovrin_lock_owner_pid(g_state_dir) == pid;
}

/* A failure of the launch step: the status pair now, the dialog's message
 * for the window. */
static int report_launch_failure(struct launch_outcome *outcome, const char *detail,
                                 const wchar_t *message)
{
    write_shell_status("needs_attention", detail);
    wcsncpy(outcome->message, message, TOVRIN_MESSAGE_CAP - 1);
    outcome->message[TOVRIN_MESSAGE_CAP - 1] = L'\0';
    outcome->result = TOVRIN_LAUNCH_FAILED;
    return TOVRIN_LAUNCH_FAILED;
}

/* The system's own words for `error`, without the line break it ends with;
 * empty when it has none. */
static void system_message(DWORD error, wchar_t *out, size_t cap)
{
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                             error, 0, out, (DWORD)cap, NULL);
    if (n == 0 || n >= cap) {
        n = 0;
    }
    out[n] = L'\0';
    while (n > 0 && (out[n - 1] == L'\r' || out[n - 1] == L'\n' || out[n - 1] == L' ')) {
        out[--n] = L'\0';
    }
}

/* 0 when the state directory can be made and written, else the system's
 * error. A sidecar launched without it would end at once with its output
 * lost, and the user would see no reason. The check writes a small file
 * of this process's own (so that two shells never share one) and removes
 * it; a few kilobytes, so that a full disk shows as well. */
static DWORD state_dir_write_error(void)
{
    if (!CreateDirectoryW(g_state_dir, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return GetLastError();
    }
    wchar_t name[64];
    _snwprintf(name, 64, L"shell-write-check-%lu.tmp", (unsigned long)GetCurrentProcessId());
    name[63] = L'\0';
    wchar_t path[TOVRIN_PATH_CAP];
    if (!join_wide_path(path, g_state_dir, name)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    static const char k_block[4096] = {0};
    DWORD written = 0;
    DWORD error = 0;
    if (!WriteFile(file, k_block, sizeof k_block, &written, NULL)) {
        error = GetLastError();
    } else if (written != sizeof k_block) {
        error = ERROR_DISK_FULL;
    }
    CloseHandle(file);
    return error;
}

static int report_state_dir_error(struct launch_outcome *outcome, DWORD error)
{
    wchar_t reason[512];
    system_message(error, reason, 512);
    wchar_t message[TOVRIN_MESSAGE_CAP];
    _snwprintf(message, TOVRIN_MESSAGE_CAP,
               L"Tovrin Host can't write to its folder:\n%ls\n\n%ls", g_state_dir,
               reason[0] ? reason : L"The system gave no reason.");
    message[TOVRIN_MESSAGE_CAP - 1] = L'\0';
    char detail[TOVRIN_DETAIL_CAP];
    detail_with_number(detail, "state_dir_failed_", (long long)error);
    return report_launch_failure(outcome, detail, message);
}

static int poll_told_to_stop(DWORD wait);

/* While an installer works on the installation it replaces the files that
 * a launch would start, keep or stop: the step waits until it lets go,
 * looking again every 200 ms. 1 once the guard is free, 0 when the window
 * no longer wants this wait, -1 when it is still held after 180 s. */
static int wait_for_upgrade(DWORD wait)
{
    if (!upgrade_guard_held()) {
        return 1;
    }
    write_shell_status("starting", "waiting_for_upgrade");
    report_to_window(WM_APP_UPGRADE_WAIT, 1, (LPARAM)wait);
    DWORD started = GetTickCount();
    int result;
    for (;;) {
        if (poll_told_to_stop(wait)) {
            result = 0;
            break;
        }
        if (!upgrade_guard_held()) {
            write_shell_status("starting", "waiting_for_ui");
            report_to_window(WM_APP_UPGRADE_WAIT, 0, (LPARAM)wait);
            result = 1;
            break;
        }
        if (GetTickCount() - started >= TOVRIN_UPGRADE_WAIT_MS) {
            result = -1;
            break;
        }
        Sleep(TOVRIN_POLL_PAUSE_MS);
    }
    return result;
}

/* A step of the launch found nothing that ends it: the next one follows. */
#define TOVRIN_STEP_GO_ON (-1)

/* While an installer works on the installation, nothing is judged: what
 * answers or runs may be about to go. TOVRIN_STEP_GO_ON once it has let go. */
static int let_installer_finish(struct launch_outcome *outcome)
{
    int upgrade = wait_for_upgrade(outcome->wait);
    if (upgrade == 0) {
        outcome->result = TOVRIN_LAUNCH_ABANDONED;
        return TOVRIN_LAUNCH_ABANDONED;
    }
    if (upgrade < 0) {
        return report_launch_failure(outcome, "upgrade_running", k_upgrade_text);
    }
    return TOVRIN_STEP_GO_ON;
}

/* A sidecar that answers and runs the installed release is kept. The
 * window relies on it: on its own last launch when that is the one that
 * holds the runtime, else on none. */
static int keep_current_sidecar(struct launch_outcome *outcome)
{
    AcquireSRWLockShared(&g_sidecar_lock);
    DWORD own = g_launch_id;
    ReleaseSRWLockShared(&g_sidecar_lock);
    outcome->launch_id = own_sidecar_holds_runtime() ? own : 0;
    write_shell_status("running", "already_ready");
    outcome->result = TOVRIN_LAUNCH_KEPT;
    return TOVRIN_LAUNCH_KEPT;
}

/* A sidecar of this installation that does not answer yet but started
 * less than 20 s ago (another shell's, the logon task's) is given the rest
 * of that time rather than replaced in the middle of its start.
 * `*running` says whether anything of the installation runs at all. */
static int give_starting_sidecar_time(struct launch_outcome *outcome, int answering,
                                      int may_wait, int *running)
{
    uint32_t newest_ms = UINT32_MAX;
    *running = tovrin_install_runtime_age(g_install_dir, &newest_ms);
    if (!answering && *running && may_wait && newest_ms < TOVRIN_STARTING_GRACE_MS) {
        outcome->grace_ms = TOVRIN_STARTING_GRACE_MS - newest_ms;
        outcome->result = TOVRIN_LAUNCH_WAITING;
        return TOVRIN_LAUNCH_WAITING;
    }
    return TOVRIN_STEP_GO_ON;
}

/* What answers without the installed release, or runs of the installation
 * without answering, is stopped before a new sidecar is launched; a
 * foreign program on the sidecar's address is left alone. */
static int replace_running_sidecar(struct launch_outcome *outcome)
{
    report_to_window(WM_APP_REPLACING, 0, (LPARAM)outcome->wait);
    int stopped = tovrin_stop_existing_sidecar(g_install_dir, g_state_dir, TOVRIN_STOP_FOR_WINDOW);
    if (stopped == 2) {
        forget_ui_url();
        outcome->foreign = 1;
        return report_launch_failure(outcome, "foreign_listener", k_foreign_text);
    }
    if (stopped != 0) {
        return report_launch_failure(outcome, "sidecar_stop_failed",
                                     L"Tovrin Host could not replace the running Host. "
                                     L"Your Host data was not changed.");
    }
    write_shell_status("starting", "replaced_sidecar");
    return TOVRIN_STEP_GO_ON;
}

/* The runtime or its script missing (noted before the replacement, acted
 * on after it), or a state folder that cannot be written, ends the step. */
static int check_package_and_state_dir(struct launch_outcome *outcome,
                                       const char *package_problem)
{
    if (package_problem) {
        return report_launch_failure(outcome, package_problem, k_incomplete);
    }
    DWORD state_error = state_dir_write_error();
    if (state_error != 0) {
        return report_state_dir_error(outcome, state_error);
    }
    return TOVRIN_STEP_GO_ON;
}

/* The sidecar's command line into `out` (TOVRIN_CMDLINE_CAP units); 0
 * when a path cannot be converted or the line does not fit. */
static int compose_command_line(wchar_t *out)
{
    /* One launch step runs at a time, and too large for comfort on the stack. */
    static char node_utf8[TOVRIN_PATH_UTF8_CAP];
    static char cli_utf8[TOVRIN_PATH_UTF8_CAP];
    static char command_utf8[TOVRIN_CMDLINE_CAP];
    return WideCharToMultiByte(CP_UTF8, 0, g_node_path, -1, node_utf8, sizeof node_utf8, NULL,
                               NULL) > 0 &&
           WideCharToMultiByte(CP_UTF8, 0, g_cli_path, -1, cli_utf8, sizeof cli_utf8, NULL,
                               NULL) > 0 &&
           tovrin_win32_node_serve_cmdline(node_utf8, cli_utf8, command_utf8,
                                           sizeof command_utf8) &&
           MultiByteToWideChar(CP_UTF8, 0, command_utf8, -1, out, TOVRIN_CMDLINE_CAP) > 0;
}

/* The sidecar's output goes to a fresh log; the last one is kept. The
 * handle is inheritable, for the sidecar; INVALID_HANDLE_VALUE when the
 * log cannot be created. */
static HANDLE open_sidecar_log(void)
{
    wchar_t log_path[TOVRIN_PATH_CAP];
    wchar_t previous_log[TOVRIN_PATH_CAP];
    join_wide_path(log_path, g_state_dir, L"sidecar-stderr.log");
    join_wide_path(previous_log, g_state_dir, L"sidecar-stderr.previous.log");
    if (is_file(log_path)) {
        DeleteFileW(previous_log);
        MoveFileW(log_path, previous_log);
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    return CreateFileW(log_path, GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

/* Creates the sidecar with its own environment, in the install directory,
 * with `log` (INVALID_HANDLE_VALUE for none) as its standard output and
 * error. 1 with `*created`; 0 with the system's error in `*error`. */
static int create_sidecar(wchar_t *command_line, HANDLE log, PROCESS_INFORMATION *created,
                          DWORD *error)
{
    /* The log is handed over only through a list that names it alone.
     * Without the list the log is not handed over either: better an
     * uncaptured sidecar than one that holds every inheritable handle, and
     * without inheritance a standard handle would be a number that means
     * nothing, or something else, in the child. */
    LPPROC_THREAD_ATTRIBUTE_LIST attributes =
        log != INVALID_HANDLE_VALUE ? inherit_only(&log) : NULL;
    STARTUPINFOEXW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    /* A console nobody sees, rather than none: a detached sidecar has no
     * console, so each console program it starts (cmd.exe, git) would open
     * a window of its own, and Windows ignores CREATE_NO_WINDOW together
     * with DETACHED_PROCESS. With this one its console children share it. */
    DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT |
                  CREATE_NO_WINDOW; /* 0x08000600 */
    if (attributes) {
        /* With the extended flag Windows reads the whole STARTUPINFOEXW and
         * refuses the call for any other size. */
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = NULL;
        startup.StartupInfo.hStdOutput = log;
        startup.StartupInfo.hStdError = log;
        startup.lpAttributeList = attributes;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    wchar_t *environment = build_sidecar_env();
    ZeroMemory(created, sizeof *created);
    /* The sidecar outlives whatever started the shell: a launcher that runs
     * the shell in a job (and closes it, killing what is inside) must not
     * take the sidecar along. A job that does not allow breakaway refuses
     * the flag; the sidecar then stays in it, as any child would. */
    BOOL ok = CreateProcessW(g_node_path, command_line, NULL, NULL, attributes != NULL,
                             flags | CREATE_BREAKAWAY_FROM_JOB, environment, g_install_dir,
                             &startup.StartupInfo, created);
    *error = ok ? 0 : GetLastError();
    if (!ok && *error == ERROR_ACCESS_DENIED) {
        ok = CreateProcessW(g_node_path, command_line, NULL, NULL, attributes != NULL, flags,
                            environment, g_install_dir, &startup.StartupInfo, created);
        *error = ok ? 0 : GetLastError();
    }
    free_inherit_list(attributes);
    if (environment) {
        HeapFree(GetProcessHeap(), 0, environment);
    }
    return ok ? 1 : 0;
}

/* Composes the command line and launches the sidecar detached, its output
 * in a fresh log. TOVRIN_STEP_GO_ON with `*created` once it runs. */
static int launch_detached(struct launch_outcome *outcome, PROCESS_INFORMATION *created)
{
    static wchar_t command_line[TOVRIN_CMDLINE_CAP]; /* one launch step runs at a time */
    if (!compose_command_line(command_line)) {
        return report_launch_failure(outcome, "path_error", k_could_not_start);
    }
    HANDLE log = open_sidecar_log();
    DWORD error = 0;
    int ok = create_sidecar(command_line, log, created, &error);
    if (log != INVALID_HANDLE_VALUE) {
        CloseHandle(log);
    }
    if (!ok) {
        char detail[TOVRIN_DETAIL_CAP];
        detail_with_number(detail, "launch_failed_", (long long)error);
        return report_launch_failure(outcome, detail, k_could_not_start);
    }
    return TOVRIN_STEP_GO_ON;
}

/* The launched sidecar becomes the shell's current one: its handle and its
 * launch number, its lifecycle line, and the record of its exit watch
 * (`*watch`, started once the window knows of the launch). */
static int record_launch(struct launch_outcome *outcome, const PROCESS_INFORMATION *created,
                         struct exit_watch **watch)
{
    CloseHandle(created->hThread);
    AcquireSRWLockExclusive(&g_sidecar_lock);
    if (g_sidecar) {
        CloseHandle(g_sidecar);
    }
    g_sidecar = created->hProcess;
    g_sidecar_pid = created->dwProcessId;
    DWORD launch_id = g_launch_id + 1;
    g_launch_id = launch_id;
    ReleaseSRWLockExclusive(&g_sidecar_lock);
    g_sidecar_started_tick = GetTickCount();
    TRAIL("launch %lu pid %lu", (unsigned long)launch_id, (unsigned long)created->dwProcessId);
    append_lifecycle("sidecar_started", created->dwProcessId, 0, ready_word());

    struct exit_watch *record = static_cast<struct exit_watch *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *record));
    if (record && DuplicateHandle(GetCurrentProcess(), created->hProcess, GetCurrentProcess(),
                                  &record->process, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        record->pid = created->dwProcessId;
        record->launch_id = launch_id;
        *watch = record;
    } else if (record) {
        HeapFree(GetProcessHeap(), 0, record);
    }
    write_shell_status("starting", "runtime_launched");
    outcome->launch_id = launch_id;
    outcome->result = TOVRIN_LAUNCH_STARTED;
    return TOVRIN_LAUNCH_STARTED;
}

/* Makes sure one current sidecar runs: keeps a ready one of the installed
 * release, otherwise stops this installation's and launches a new one.
 * Runs on the wait's worker, never on the UI thread: a stop can take
 * seconds. Touches none of the window's flags; the outcome tells the
 * window what happened. `*watch` receives the exit watch of a launched
 * sidecar, to be started once the window has been told of the launch.
 * With `may_wait`, a sidecar of this installation that does not answer
 * yet but started less than 20 s ago (another shell's, the logon task's)
 * is given the rest of that time (TOVRIN_LAUNCH_WAITING) instead of being
 * replaced in the middle of its start. While an installer holds the
 * installation's guard, it waits first (wait_for_upgrade). */
int start_runtime(struct launch_outcome *outcome, struct exit_watch **watch, int may_wait)
{
    *watch = NULL;
    outcome->launch_id = 0;
    /* Without whole paths there is nothing to judge, stop or launch: a
     * cut or relative path would name another installation's files. */
    if (g_path_error || g_node_path[0] == L'\0' || g_cli_path[0] == L'\0') {
        return report_launch_failure(outcome, "path_error", k_could_not_start);
    }
    int result = let_installer_finish(outcome);
    if (result != TOVRIN_STEP_GO_ON) {
        return result;
    }

    const char *package_problem = !is_file(g_node_path)  ? "node_missing"
                                  : !is_file(g_cli_path) ? "cli_missing"
                                                         : NULL;

    int answering = ui_is_ready();
    if (answering && sidecar_runs_installed_release()) {
        return keep_current_sidecar(outcome);
    }
    int running = 0;
    result = give_starting_sidecar_time(outcome, answering, may_wait, &running);
    if (result != TOVRIN_STEP_GO_ON) {
        return result;
    }
    if (answering || running) {
        result = replace_running_sidecar(outcome);
        if (result != TOVRIN_STEP_GO_ON) {
            return result;
        }
    }
    result = check_package_and_state_dir(outcome, package_problem);
    if (result != TOVRIN_STEP_GO_ON) {
        return result;
    }
    PROCESS_INFORMATION created;
    result = launch_detached(outcome, &created);
    if (result != TOVRIN_STEP_GO_ON) {
        return result;
    }
    return record_launch(outcome, &created, watch);
}

/* Starts the thread that reports the end of a launched sidecar; the
 * thread owns `watch` from then on. */
void start_exit_watch(struct exit_watch *watch)
{
    if (!watch) {
        return;
    }
    HANDLE watcher = CreateThread(NULL, 0, sidecar_exit_watch, watch, 0, NULL);
    if (watcher) {
        CloseHandle(watcher);
        return;
    }
    CloseHandle(watch->process);
    HeapFree(GetProcessHeap(), 0, watch);
}

/* ------------------------------------------------------------------ */
/* readiness wait                                                      */
/* ------------------------------------------------------------------ */

/* 1 once the UI thread asked the poll thread of wait `wait` to end: by
 * the stop flag, or by having started another wait since. */
static int poll_told_to_stop(DWORD wait)
{
    return InterlockedCompareExchange(&g_poll_stop, 0, 0) != 0 ||
           (DWORD)InterlockedCompareExchange(&g_poll_wait, 0, 0) != wait;
}

/* What wakes a poll before its 200 ms are up: a change of the state
 * directory that changed control.json, which the sidecar writes once it
 * listens. The 200 ms stay for what no notification shows (a folder that
 * cannot be watched, a network folder, a file written before the listen). */
struct state_watch {
    HANDLE change; /* NULL when the folder cannot be watched */
    WIN32_FILE_ATTRIBUTE_DATA control;
};

static void control_stamp(WIN32_FILE_ATTRIBUTE_DATA *stamp)
{
    wchar_t path[TOVRIN_PATH_CAP];
    if (!join_wide_path(path, g_state_dir, L"control.json") ||
        !GetFileAttributesExW(path, GetFileExInfoStandard, stamp)) {
        ZeroMemory(stamp, sizeof *stamp);
    }
}

static void open_state_watch(struct state_watch *watch)
{
#ifdef TOVRIN_POLL_ONLY
    /* A build for the benchmark that measures the poll alone. */
    watch->change = NULL;
#else
    HANDLE change = FindFirstChangeNotificationW(
        g_state_dir, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
    watch->change = change == INVALID_HANDLE_VALUE ? NULL : change;
#endif
    control_stamp(&watch->control);
}

static void close_state_watch(struct state_watch *watch)
{
    if (watch->change) {
        FindCloseChangeNotification(watch->change);
        watch->change = NULL;
    }
}

/* The pause between two probes: `ms`, or less when control.json changed
 * meanwhile. The shell's own records change the folder too; those only
 * send it back to waiting for the rest of the pause. */
static void pause_for_control(struct state_watch *watch, DWORD ms)
{
    DWORD started = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - started;
        if (spent >= ms) {
            return;
        }
        if (!watch->change) {
            Sleep(ms - spent);
            return;
        }
        if (WaitForSingleObject(watch->change, ms - spent) != WAIT_OBJECT_0) {
            return;
        }
        if (!FindNextChangeNotification(watch->change)) {
            close_state_watch(watch); /* the plain pause from now on */
        }
        WIN32_FILE_ATTRIBUTE_DATA now;
        control_stamp(&now);
        if (memcmp(&now.ftLastWriteTime, &watch->control.ftLastWriteTime, sizeof(FILETIME)) != 0 ||
            now.nFileSizeLow != watch->control.nFileSizeLow ||
            now.ftCreationTime.dwLowDateTime != watch->control.ftCreationTime.dwLowDateTime) {
            watch->control = now;
            return;
        }
    }
}

/* What ended a poll for the UI. */
#define TOVRIN_POLL_STOPPED 0 /* told to stop, or its bound passed */
#define TOVRIN_POLL_READY 1   /* the UI answers, on a port proved the installation's */
#define TOVRIN_POLL_FOREIGN 2 /* it answers on a port not proved the installation's */
#define TOVRIN_POLL_EXITED 3  /* the launched sidecar ended with a failure first */

/* Probes the UI every 200 ms, and at once when control.json changes,
 * until it answers, the launched sidecar ends with a failure (its exit
 * code and launch number in `code` and `launch_id`), the caller asks it to
 * stop, or `bound_ms` have passed (0: no bound). */
static int poll_for_ui(DWORD wait, struct state_watch *watch, DWORD bound_ms, DWORD *code,
                       DWORD *launch_id)
{
    int reported_clean_exit = 0;
    DWORD started = GetTickCount();
    for (;;) {
        if (poll_told_to_stop(wait) || (bound_ms != 0 && GetTickCount() - started >= bound_ms)) {
            return TOVRIN_POLL_STOPPED;
        }
        int port = 0;
        if (probe_ui(&port)) {
            /* Whoever answers is asked about once: a program on the port
             * not proved this installation's (or nobody's) is no ready UI;
             * one that cannot be named is not proved either. */
            return tovrin_port_owner_verdict(g_install_dir, g_node_path, port) ==
                           TOVRIN_PORT_TRUSTED
                       ? TOVRIN_POLL_READY
                       : TOVRIN_POLL_FOREIGN;
        }
        int ended = 0;
        AcquireSRWLockShared(&g_sidecar_lock);
        if (g_sidecar && WaitForSingleObject(g_sidecar, 0) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(g_sidecar, code)) {
            ended = 1;
            *launch_id = g_launch_id;
        }
        ReleaseSRWLockShared(&g_sidecar_lock);
        if (ended && *code != 0) {
            if ((DWORD)(GetTickCount() - g_wait_started) > TOVRIN_EXIT_REPORT_AGE_MS) {
                return TOVRIN_POLL_EXITED;
            }
        } else if (ended && !reported_clean_exit) {
            reported_clean_exit = 1;
            write_shell_status("starting", "already_running");
        }
        pause_for_control(watch, g_poll_pause_ms);
    }
}

/* The window's poll. Reports only by posting to the window, never once
 * told to stop: a probe can take seconds, and a report of an ended wait
 * would be taken for a newer one's. `param` is the number of its wait,
 * which every report carries. */
DWORD WINAPI ready_poll_thread(LPVOID param)
{
    DWORD wait = (DWORD)(uintptr_t)param;
    DWORD code = 0;
    DWORD launch_id = 0;
    struct state_watch watch;
    open_state_watch(&watch);
    int polled = poll_for_ui(wait, &watch, 0, &code, &launch_id);
    close_state_watch(&watch);
    if (!poll_told_to_stop(wait)) {
        if (polled == TOVRIN_POLL_READY || polled == TOVRIN_POLL_FOREIGN) {
            report_to_window(WM_APP_READY, (WPARAM)(polled == TOVRIN_POLL_FOREIGN), (LPARAM)wait);
        } else if (polled == TOVRIN_POLL_EXITED) {
            report_to_window(WM_APP_SIDECAR_EXITED, (WPARAM)code, (LPARAM)launch_id);
        }
    }
    return 0;
}

void stop_ready_poll(void)
{
    if (g_hwnd) {
        KillTimer(g_hwnd, TOVRIN_STATUS_TIMER);
    }
    /* Never joined here: the UI thread does not wait on a probe. */
    InterlockedExchange(&g_poll_stop, 1);
}

/* Waits for a sidecar of this installation that is still starting: until
 * its UI answers, `grace_ms` have passed or nothing of the installation
 * runs any more (1), or the window no longer wants this wait (0). Probes
 * as the poll does. */
static int wait_for_starting_sidecar(DWORD wait, DWORD grace_ms)
{
    DWORD started = GetTickCount();
    struct state_watch watch;
    int result;
    open_state_watch(&watch);
    for (;;) {
        if (poll_told_to_stop(wait)) {
            result = 0;
            break;
        }
        /* The one waited for may also be gone (a second shell that handed
         * over, a sidecar that failed): then there is nothing to wait for. */
        if (ui_is_ready() || GetTickCount() - started >= grace_ms ||
            !tovrin_install_runtime_running(g_install_dir)) {
            result = 1;
            break;
        }
        pause_for_control(&watch, g_poll_pause_ms);
    }
    close_state_watch(&watch);
    return result;
}

/* The launch step (keep, replace or launch): a sidecar of the installation
 * that is still starting is given its time, and once it answers, or is old
 * enough to count as hung, the step looks again and keeps, or replaces, it
 * as any other. */
static int launch_step(struct launch_outcome *outcome, struct exit_watch **watch)
{
    int result;
    for (;;) {
        result = start_runtime(outcome, watch, 1);
        if (result != TOVRIN_LAUNCH_WAITING) {
            break;
        }
        if (!wait_for_starting_sidecar(outcome->wait, outcome->grace_ms)) {
            result = TOVRIN_LAUNCH_ABANDONED;
            outcome->result = result;
            break;
        }
    }
    return result;
}

/* The worker of one wait: the launch step (keep, replace or launch), then,
 * after a launch, the poll for the UI. Everything that may wait on the
 * network, the sidecar or a stop happens here, so that the window keeps
 * answering. `param` is the number of its wait. */
DWORD WINAPI wait_worker(LPVOID param)
{
    DWORD wait = (DWORD)(uintptr_t)param;
    struct launch_outcome *outcome = static_cast<struct launch_outcome *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *outcome));
    if (!outcome) {
        /* Nothing can be reported without it; the window's end of the
         * launch step must still come, or it would wait for good. */
        report_to_window(WM_APP_LAUNCHED, 0, 0);
        return 0;
    }
    outcome->wait = wait;
    struct exit_watch *watch = NULL;
    int result = launch_step(outcome, &watch);
    if (!report_to_window(WM_APP_LAUNCHED, 0, (LPARAM)outcome)) {
        HeapFree(GetProcessHeap(), 0, outcome);
    }
    /* Only now: the window must know of the launch before it hears of the
     * sidecar's end, or it would not count that end as its sidecar's. */
    start_exit_watch(watch);
    if (result == TOVRIN_LAUNCH_STARTED) {
        ready_poll_thread(param);
    }
    return 0;
}

/* What the logon task runs: the window's launch step and poll on this
 * thread, without a window, a browser or a dialog; the records say what
 * came of it. 0 when a sidecar of the installation answers (kept, or
 * launched and ready) or is still starting after the slow-start time, 2
 * when a foreign program holds its address, 1 for any other failure. */
int run_autostart(void)
{
    static struct launch_outcome outcome; /* the process's only launch step */
    struct exit_watch *watch = NULL;
    int polled = TOVRIN_POLL_STOPPED;
    int code = 1;
    /* The one wait of the process, which nothing asks to stop. */
    outcome.wait = 1;
    InterlockedExchange(&g_poll_wait, 1);
    g_wait_started = GetTickCount();
    write_shell_status("starting", "waiting_for_ui");
    int result = launch_step(&outcome, &watch);
    if (result == TOVRIN_LAUNCH_KEPT) {
        code = 0;
    } else if (result == TOVRIN_LAUNCH_FAILED) {
        code = outcome.foreign ? 2 : 1;
    } else if (result == TOVRIN_LAUNCH_STARTED) {
        DWORD exit_code = 0;
        DWORD launch_id = 0;
        struct state_watch changes;
        open_state_watch(&changes);
        polled = poll_for_ui(outcome.wait, &changes, TOVRIN_SLOW_START_MS, &exit_code, &launch_id);
        close_state_watch(&changes);
        char detail[TOVRIN_DETAIL_CAP];
        switch (polled) {
        case TOVRIN_POLL_READY:
            write_shell_status("running", "ui_ready");
            code = 0;
            break;
        case TOVRIN_POLL_FOREIGN:
            write_shell_status("needs_attention", "foreign_listener");
            code = 2;
            break;
        case TOVRIN_POLL_EXITED:
            detail_with_number(detail, "sidecar_exited_", (long long)exit_code);
            write_shell_status("needs_attention", detail);
            break;
        default:
            write_shell_status("starting", "ui_slow");
            code = 0;
            break;
        }
    }
    if (watch && polled == TOVRIN_POLL_EXITED) {
        sidecar_exit_watch(watch); /* its line now: the process ends next */
    } else if (watch) {
        CloseHandle(watch->process);
        HeapFree(GetProcessHeap(), 0, watch);
    }
    AcquireSRWLockExclusive(&g_sidecar_lock);
    if (g_sidecar) {
        CloseHandle(g_sidecar); /* the sidecar itself keeps running */
        g_sidecar = NULL;
    }
    ReleaseSRWLockExclusive(&g_sidecar_lock);
    return code;
}

/* One attempt to bring the UI up: the worker launches (or keeps) the
 * sidecar and waits for it, while the window keeps answering. A wait
 * asked for while another wait's launch step runs is not run inside it:
 * it is remembered and runs once that step has failed (when it kept or
 * launched a sidecar, that sidecar serves the new wait too). */
void begin_ready_wait(void)
{
    if (g_launching) {
        g_wait_pending = 1;
        return;
    }
    if (g_session_ending || g_close_pending) {
        return;
    }
    /* A press or a wake during a relaunch's delay is that relaunch. */
    int relaunch = g_relaunch_due;
    if (relaunch && g_hwnd) {
        KillTimer(g_hwnd, TOVRIN_RELAUNCH_TIMER);
    }
    g_relaunch_due = 0;
    DWORD now = GetTickCount();
    DWORD wait_id = ++g_wait_id;
    TRAIL("wait %lu", (unsigned long)wait_id);
    g_relaunch_wait = relaunch ? wait_id : 0;
    g_failure_shown = 0;
    g_browser_failed = 0;
    g_replacing = 0;
    g_upgrade_waiting = 0;
    /* Until the launch step says which sidecar serves this wait, the end of
     * any is no news: it may be the one being replaced. */
    g_relied_launch = 0;
    g_wait_started = now;
    set_status_line(relaunch ? k_status_restarting : k_status_starting);
    write_shell_status("starting", "waiting_for_ui");
    if (g_hwnd) {
        SetTimer(g_hwnd, TOVRIN_STATUS_TIMER, TOVRIN_STATUS_PERIOD_MS, NULL);
    }
    /* An earlier worker still polling sees another wait and ends by itself. */
    InterlockedExchange(&g_poll_wait, (LONG)wait_id);
    InterlockedExchange(&g_poll_stop, 0);
    HANDLE worker = CreateThread(NULL, 0, wait_worker, (LPVOID)(uintptr_t)wait_id, 0, NULL);
    DWORD error = worker ? 0 : GetLastError();
    if (g_poll_thread) {
        CloseHandle(g_poll_thread);
    }
    g_poll_thread = worker;
    if (!worker) {
        stop_ready_poll();
        char detail[TOVRIN_DETAIL_CAP];
        detail_with_number(detail, "launch_failed_", (long long)error);
        write_shell_status("needs_attention", detail);
        g_open_requested = 0;
        show_attention(L"Tovrin Host could not start.");
        return;
    }
    g_launching = 1;
}

/* ------------------------------------------------------------------ */
/* user-facing actions                                                 */
/* ------------------------------------------------------------------ */

/* Puts the UI address on the clipboard; silently skipped when the
 * clipboard or the memory cannot be had. */
static void copy_to_clipboard(const wchar_t *text)
{
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (!block) {
        return;
    }
    void *locked = GlobalLock(block);
    if (!locked) {
        GlobalFree(block);
        return;
    }
    memcpy(locked, text, bytes);
    GlobalUnlock(block);
    if (!OpenClipboard(g_hwnd)) {
        GlobalFree(block);
        return;
    }
    EmptyClipboard();
    /* On success the clipboard owns the block; otherwise it is still ours. */
    if (!SetClipboardData(CF_UNICODETEXT, block)) {
        /* cppcheck-suppress doubleFree ; SetClipboardData takes the block only when it succeeds */
        GlobalFree(block);
    }
    CloseClipboard();
}

/* The warning dialog of a launch failure, once per readiness wait. */
void show_attention(const wchar_t *message)
{
    /* Nobody is there to read it while the session ends, and a dialog
     * would hold up the end of the session. */
    if (g_failure_shown || g_session_ending) {
        return;
    }
    g_failure_shown = 1;
    set_status_line(k_status_attention);
    wchar_t url[TOVRIN_UI_URL_CAP];
    copy_ui_url(url, TOVRIN_UI_URL_CAP, NULL);
    wchar_t text[TOVRIN_DIALOG_CAP];
    if (url[0]) {
        _snwprintf(text, TOVRIN_DIALOG_CAP,
                   L"%ls\n\nIf needed, this address was copied to the clipboard:\n%ls", message,
                   url);
        copy_to_clipboard(url);
    } else {
        _snwprintf(text, TOVRIN_DIALOG_CAP, L"%ls", message);
    }
    text[TOVRIN_DIALOG_CAP - 1] = L'\0';
    TRAIL("dialog attention wait %lu", (unsigned long)g_wait_id);
    MessageBoxW(g_hwnd, text, k_caption, MB_OK | MB_ICONWARNING);
}

/* A program that is not this installation's holds the UI's address: the
 * wait ends as when the replacement refuses to touch it. */
static void report_foreign_port(void)
{
    g_ready = 0;
    g_open_requested = 0;
    forget_ui_url();
    stop_ready_poll();
    write_shell_status("needs_attention", "foreign_listener");
    show_attention(k_foreign_text);
}

/* Info dialog of a browser that did not open, when the user asked. */
static void tell_browser_failed(void)
{
    if (g_session_ending) {
        return;
    }
    TRAIL("dialog browser wait %lu", (unsigned long)g_wait_id);
    MessageBoxW(g_hwnd, k_browser_failed_text, k_caption, MB_OK | MB_ICONINFORMATION);
}

/* Opens the UI that the current wait found ready: automatically once in
 * the life of the process, and every time the user asks. Only a worker
 * finds the UI ready, and it has proven the port's owners by then (the
 * ready report, or the kept sidecar that was given the token), so nothing
 * here waits on the network. */
void maybe_open_browser(int user_initiated)
{
    if (!g_ready || g_sidecar_dead) {
        return;
    }
    wchar_t url[TOVRIN_UI_URL_CAP];
    copy_ui_url(url, TOVRIN_UI_URL_CAP, NULL);
    /* Once the browser did not open in this wait, the line keeps saying so
     * until a later attempt succeeds or a new wait starts. */
    set_status_line(g_browser_failed ? k_status_no_browser : k_status_running);
    write_shell_status("running", "ui_ready");

    if (!user_initiated) {
        if (g_auto_opened) {
            return;
        }
        g_auto_opened = 1;
        if (!url[0]) {
            g_browser_failed = 1;
            set_status_line(k_status_no_browser);
            return;
        }
    } else if (!url[0]) {
        g_browser_failed = 1;
        set_status_line(k_status_no_browser);
        tell_browser_failed();
        return;
    }

    DWORD wait = g_wait_id;
    /* Recorded before the start: messages run during it record their own
     * steps, which come after this one. */
    TRAIL("browser %s wait %lu", user_initiated ? "user" : "auto", (unsigned long)wait);
    HINSTANCE result = ShellExecuteW(g_hwnd, L"open", url, NULL, NULL, SW_SHOWNORMAL);
    INT_PTR code = (INT_PTR)result;
    TRAIL("browser result %ld", (long)code);
    /* The shell may run this thread's messages while it starts the
     * browser: an exit report or a new wait handled meanwhile set the line
     * and the status of that moment, which stay. */
    if (wait != g_wait_id || g_sidecar_dead) {
        return;
    }
    if (code > 32) {
        g_browser_failed = 0;
        set_status_line(k_status_running);
        write_shell_status("running", "browser_opened");
        return;
    }
    char detail[TOVRIN_DETAIL_CAP];
    detail_with_number(detail, "browser_failed_", (long long)(int32_t)(uint32_t)code);
    write_shell_status("running", detail);
    g_browser_failed = 1;
    set_status_line(k_status_no_browser);
    if (user_initiated) {
        tell_browser_failed();
    }
}

/* The ready UI opens as the user asked, or automatically once. */
static void open_ready_ui(void)
{
    if (g_relaunch_wait != 0 && g_relaunch_wait == g_wait_id) {
        /* After a relaunch the user's page comes back by itself at the same
         * address; at a new one the browser opens there once, so that the
         * user is not left with a dead page. */
        wchar_t url[TOVRIN_UI_URL_CAP];
        copy_ui_url(url, TOVRIN_UI_URL_CAP, NULL);
        if (wcscmp(url, g_relaunch_url) != 0) {
            g_auto_opened = 0;
        }
        g_relaunch_wait = 0;
    }
    int user_initiated = g_open_requested;
    g_open_requested = 0;
    maybe_open_browser(user_initiated);
}

/* ------------------------------------------------------------------ */
/* window                                                              */
/* ------------------------------------------------------------------ */

typedef UINT(WINAPI *get_dpi_for_window_fn)(HWND);
typedef BOOL(WINAPI *system_parameters_for_dpi_fn)(UINT, UINT, PVOID, UINT, UINT);

static UINT screen_dpi(void)
{
    HDC screen = GetDC(NULL);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) {
        ReleaseDC(NULL, screen);
    }
    return dpi > 0 ? (UINT)dpi : 96;
}

/* The window's DPI; GetDpiForWindow is looked up at run time so that the
 * program still starts on systems without it. */
static UINT window_dpi(HWND hwnd)
{
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    get_dpi_for_window_fn get_dpi =
        user32 ? reinterpret_cast<get_dpi_for_window_fn>(
                     reinterpret_cast<void *>(GetProcAddress(user32, "GetDpiForWindow")))
               : NULL;
    UINT dpi = get_dpi ? get_dpi(hwnd) : 0;
    return dpi ? dpi : screen_dpi();
}

static int scaled(int value)
{
    return MulDiv(value, (int)g_dpi, 96);
}

/* The system's message font at the window's DPI (the stock control font
 * looks dated). */
static void update_font(void)
{
    NONCLIENTMETRICSW metrics;
    ZeroMemory(&metrics, sizeof metrics);
    metrics.cbSize = sizeof metrics;
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    system_parameters_for_dpi_fn for_dpi =
        user32 ? reinterpret_cast<system_parameters_for_dpi_fn>(reinterpret_cast<void *>(
                     GetProcAddress(user32, "SystemParametersInfoForDpi")))
               : NULL;
    int have = 0;
    if (for_dpi && for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, g_dpi)) {
        have = 1;
    } else if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        metrics.lfMessageFont.lfHeight =
            MulDiv(metrics.lfMessageFont.lfHeight, (int)g_dpi, (int)screen_dpi());
        have = 1;
    }
    HFONT font = have ? CreateFontIndirectW(&metrics.lfMessageFont) : NULL;
    if (!font) {
        return; /* the controls keep the font they have */
    }
    const HWND controls[] = {g_note, g_open_button, g_status};
    for (HWND control : controls) {
        if (control) {
            SendMessageW(control, WM_SETFONT, (WPARAM)font, TRUE);
        }
    }
    if (g_font) {
        DeleteObject(g_font);
    }
    g_font = font;
}

/* Place and size of each control at 96 DPI. */
struct control_box {
    int x;
    int y;
    int w;
    int h;
};
static const struct control_box k_note_box = {28, 16, 380, 48};
static const struct control_box k_open_box = {28, 78, 360, 40};
static const struct control_box k_status_box = {28, 136, 380, 40};

static HWND create_control(const wchar_t *window_class, const wchar_t *text, DWORD style,
                           const struct control_box *box, int id, HINSTANCE instance)
{
    return CreateWindowExW(0, window_class, text, WS_CHILD | WS_VISIBLE | style, scaled(box->x),
                           scaled(box->y), scaled(box->w), scaled(box->h), g_hwnd,
                           (HMENU)(INT_PTR)id, instance, NULL);
}

static void place_control(HWND control, const struct control_box *box)
{
    if (control) {
        MoveWindow(control, scaled(box->x), scaled(box->y), scaled(box->w), scaled(box->h),
                   TRUE);
    }
}

static void layout_controls(void)
{
    place_control(g_note, &k_note_box);
    place_control(g_open_button, &k_open_box);
    place_control(g_status, &k_status_box);
}

/* 1 while the current wait still polls for its own new sidecar. */
static int polling_own_sidecar(void)
{
    return !g_launching && !g_ready && !g_sidecar_dead && !g_failure_shown &&
           InterlockedCompareExchange(&g_poll_stop, 0, 0) == 0;
}

/* Every press ends in the browser: at once through a wait that finds the
 * running UI (its worker proves the port's owners again, off this
 * thread), or once the wait under way, or a new one, finds it ready. A
 * press gives up on its own new sidecar only once that has had the time
 * any starting sidecar is given. */
static void on_open_button(void)
{
    if (!take_over_installation()) {
        set_status_line(k_status_other_window);
        return;
    }
    g_open_requested = 1;
    if (g_launching) {
        g_wait_pending = 1; /* one more wait, should this launch step fail */
        return;
    }
    if (polling_own_sidecar() &&
        (DWORD)(GetTickCount() - g_wait_started) < TOVRIN_STARTING_GRACE_MS) {
        return; /* its own sidecar is still starting: opened once it answers */
    }
    begin_ready_wait();
}

/* The last line of a sidecar's error log that holds text, as plain text
 * of at most 200 characters: control characters (a terminal's colour
 * codes, say) are replaced, since a dialog would show them as boxes or
 * act on them. 0 when the log is missing or holds no text. */
int last_log_line(const wchar_t *path, wchar_t *out, size_t cap)
{
    out[0] = L'\0';
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    static char tail[TOVRIN_LOG_TAIL + 1]; /* UI thread only */
    LARGE_INTEGER size;
    DWORD got = 0;
    int read = GetFileSizeEx(file, &size);
    if (read && size.QuadPart > TOVRIN_LOG_TAIL) {
        LARGE_INTEGER from;
        from.QuadPart = size.QuadPart - TOVRIN_LOG_TAIL;
        read = SetFilePointerEx(file, from, NULL, FILE_BEGIN);
    }
    read = read && ReadFile(file, tail, TOVRIN_LOG_TAIL, &got, NULL);
    CloseHandle(file);
    if (!read) {
        return 0;
    }
    tail[got] = '\0';
    /* The last line with anything but blanks in it. */
    size_t end = got;
    size_t start = 0;
    for (;;) {
        while (end > 0 && (tail[end - 1] == '\n' || tail[end - 1] == '\r' ||
                           tail[end - 1] == ' ' || tail[end - 1] == '\t')) {
            end--;
        }
        if (end == 0) {
            return 0;
        }
        start = end;
        while (start > 0 && tail[start - 1] != '\n') {
            start--;
        }
        break;
    }
    tail[end] = '\0';
    /* Invalid UTF-8 becomes the replacement character, never a failure.
     * The whole line is converted, then cut: a conversion into the short
     * buffer would fail for a long line. */
    static wchar_t wide[TOVRIN_LOG_TAIL + 1]; /* UI thread only */
    int units = MultiByteToWideChar(CP_UTF8, 0, tail + start, (int)(end - start), wide,
                                    TOVRIN_LOG_TAIL);
    if (units <= 0 || cap == 0) {
        return 0;
    }
    size_t keep = (size_t)units;
    keep = keep < TOVRIN_LOG_LINE_MAX ? keep : TOVRIN_LOG_LINE_MAX;
    keep = keep < cap - 1 ? keep : cap - 1;
    /* Never half of a surrogate pair at the cut. */
    if (keep < (size_t)units && keep > 0 && wide[keep - 1] >= 0xD800 && wide[keep - 1] <= 0xDBFF) {
        keep--;
    }
    memcpy(out, wide, keep * sizeof(wchar_t));
    out[keep] = L'\0';
    for (size_t i = 0; i < keep; i++) {
        if (out[i] < 0x20 || out[i] == 0x7F || (out[i] >= 0x80 && out[i] < 0xA0)) {
            out[i] = L'?';
        }
    }
    return 1;
}

/* The dialog of a sidecar that ended before its UI answered, or that
 * keeps crashing after it did: its exit code, where its output went, and
 * the last thing it said. */
static void report_sidecar_end(DWORD code, int crashed_again)
{
    wchar_t log_path[TOVRIN_PATH_CAP];
    wchar_t line[TOVRIN_LOG_LINE_MAX + 1];
    wchar_t message[TOVRIN_MESSAGE_CAP];
    int have_path = join_wide_path(log_path, g_state_dir, L"sidecar-stderr.log");
    int have_line = have_path && last_log_line(log_path, line, TOVRIN_LOG_LINE_MAX + 1);
    int n = crashed_again
                ? _snwprintf(message, TOVRIN_MESSAGE_CAP,
                             L"Tovrin Host stopped unexpectedly again (exit code %lu). It was "
                             L"restarted %d times within a few minutes and was not restarted "
                             L"once more.",
                             (unsigned long)code, TOVRIN_RELAUNCH_MAX)
                : _snwprintf(message, TOVRIN_MESSAGE_CAP,
                             L"Tovrin Host stopped right after it started (exit code %lu).",
                             (unsigned long)code);
    if (n > 0) {
        int m = _snwprintf(message + n, TOVRIN_MESSAGE_CAP - (size_t)n,
                           L"\n\nIts messages are in:\n%ls",
                           have_path ? log_path : L"sidecar-stderr.log");
        n = m < 0 ? -1 : n + m;
    }
    if (n > 0 && have_line) {
        _snwprintf(message + n, TOVRIN_MESSAGE_CAP - (size_t)n, L"\n\nLast message:\n%ls", line);
    }
    message[TOVRIN_MESSAGE_CAP - 1] = L'\0';
    show_attention(message);
}

/* A crash of the sidecar the window relies on, after its UI answered: 1
 * when its relaunch is due after the series' next delay (its line written,
 * the window saying so), 0 when the series has run out. */
static int schedule_relaunch(DWORD code)
{
    DWORD now = GetTickCount();
    if (g_relaunch_count == 0 || now - g_relaunch_first_tick >= TOVRIN_RELAUNCH_SERIES_MS) {
        g_relaunch_count = 0;
        g_relaunch_first_tick = now;
    }
    if (g_relaunch_count >= TOVRIN_RELAUNCH_MAX) {
        g_relaunch_count = 0; /* the user's next start begins a series anew */
        return 0;
    }
    g_relaunch_count++;
    TRAIL("relaunch %d code %lu", g_relaunch_count, (unsigned long)code);
    append_lifecycle("sidecar_relaunch", g_sidecar_pid, (DWORD)g_relaunch_count, "after_ready");
    char detail[TOVRIN_DETAIL_CAP];
    detail_with_number(detail, "relaunch_", g_relaunch_count);
    write_shell_status("starting", detail);
    set_status_line(k_status_restarting);
    copy_ui_url(g_relaunch_url, TOVRIN_UI_URL_CAP, NULL);
    g_relaunch_code = code;
    g_relaunch_due = 1;
    SetTimer(g_hwnd, TOVRIN_RELAUNCH_TIMER,
             (UINT)TOVRIN_RELAUNCH_FIRST_DELAY_MS << (g_relaunch_count - 1), NULL);
    return 1;
}

/* The delay of a relaunch has passed. An installer or the end of the
 * session that began meanwhile leaves the crash as it is. */
static void on_relaunch_timer(void)
{
    KillTimer(g_hwnd, TOVRIN_RELAUNCH_TIMER);
    if (!g_relaunch_due) {
        return;
    }
    if (g_session_ending || g_close_pending || upgrade_guard_held()) {
        g_relaunch_due = 0;
        char detail[TOVRIN_DETAIL_CAP];
        detail_with_number(detail, "sidecar_exited_", (long long)g_relaunch_code);
        write_shell_status("needs_attention", detail);
        set_status_line(k_status_attention);
        return;
    }
    begin_ready_wait();
}

/* The worker's launch step has ended: what it found becomes the window's. */
static void on_launched(struct launch_outcome *outcome)
{
    g_launching = 0;
    g_replacing = 0;
    g_upgrade_waiting = 0;
    int pending = g_wait_pending;
    g_wait_pending = 0;
    int result = outcome ? outcome->result : TOVRIN_LAUNCH_FAILED;
    static wchar_t message[TOVRIN_MESSAGE_CAP]; /* UI thread only */
    wcscpy(message, outcome ? outcome->message : L"Tovrin Host could not start.");
    if (result == TOVRIN_LAUNCH_KEPT) {
        g_sidecar_dead = 0;
        g_ready = 1;
        g_relied_launch = outcome->launch_id;
    } else if (result == TOVRIN_LAUNCH_STARTED) {
        g_sidecar_dead = 0;
        g_relied_launch = outcome->launch_id;
    } else {
        g_ready = 0;
    }
    if (outcome) {
        HeapFree(GetProcessHeap(), 0, outcome);
    }
    if (g_close_pending) {
        /* The launch step has ended whole; now the window may go. */
        DestroyWindow(g_hwnd);
        return;
    }
    if (result == TOVRIN_LAUNCH_STARTED || result == TOVRIN_LAUNCH_ABANDONED) {
        return; /* the worker polls for the UI; or nobody waits any more */
    }
    if (result == TOVRIN_LAUNCH_KEPT) {
        /* Its end may have been reported while the step still ran, when
         * the window relied on no sidecar; the handle says it now. */
        DWORD code = 0;
        int ended = 0;
        AcquireSRWLockShared(&g_sidecar_lock);
        if (g_relied_launch != 0 && g_relied_launch == g_launch_id && g_sidecar &&
            WaitForSingleObject(g_sidecar, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(g_sidecar, &code)) {
            ended = 1;
        }
        ReleaseSRWLockShared(&g_sidecar_lock);
        if (ended) {
            PostMessageW(g_hwnd, WM_APP_SIDECAR_EXITED, (WPARAM)code, (LPARAM)g_relied_launch);
            return;
        }
        open_ready_ui();
        return;
    }
    DWORD wait = g_wait_id;
    stop_ready_poll();
    g_open_requested = 0;
    show_attention(message);
    /* A press or a resume during the step asked for one more attempt;
     * unless the dialog's own message loop has started one meanwhile. */
    if (pending && wait == g_wait_id) {
        begin_ready_wait();
    }
}

static void on_status_timer(void)
{
    /* A wait that reported a failure, or whose sidecar exited, keeps its
     * "Needs attention" line; its timer may still tick while the failure's
     * dialog is open, and must not turn the line back. */
    if (g_sidecar_dead || g_failure_shown) {
        KillTimer(g_hwnd, TOVRIN_STATUS_TIMER);
        return;
    }
    if (g_replacing) {
        set_status_line(k_status_replacing);
        return;
    }
    if (g_upgrade_waiting) {
        set_status_line(k_status_upgrade);
        return;
    }
    if (g_ready) {
        set_status_line(g_browser_failed ? k_status_no_browser : k_status_running);
        KillTimer(g_hwnd, TOVRIN_STATUS_TIMER);
        return;
    }
    if ((DWORD)(GetTickCount() - g_wait_started) > TOVRIN_SLOW_START_MS) {
        write_shell_status("starting", "ui_slow");
        set_status_line(k_status_slow);
    } else {
        set_status_line(g_relaunch_wait != 0 && g_relaunch_wait == g_wait_id ? k_status_restarting
                                                                              : k_status_starting);
    }
}

static LRESULT on_close(HWND hwnd)
{
    if (g_launching) {
        /* A stop or a launch is never cut in half: the window goes at
         * once, the process once the launch step has ended. */
        g_close_pending = 1;
        stop_ready_poll();
        ShowWindow(hwnd, SW_HIDE);
        return 0;
    }
    DestroyWindow(hwnd);
    return 0;
}

static LRESULT on_query_end_session(void)
{
    /* From here on no dialog: it would hold up the end of the session. */
    InterlockedExchange(&g_session_ending, 1);
    return TRUE;
}

static LRESULT on_end_session(WPARAM ending)
{
    if (!ending) {
        InterlockedExchange(&g_session_ending, 0); /* the end was called off */
        return 0;
    }
    /* Windows ends the process after this without WM_DESTROY, and the
     * sidecar with the session: the records say so now, and nothing
     * here waits. */
    InterlockedExchange(&g_session_ending, 1);
    stop_ready_poll();
    append_lifecycle("shell_session_ended", g_sidecar_pid, 0, ready_word());
    write_shell_status("stopped", "session_ended");
    return 0;
}

static LRESULT on_activate(WPARAM state)
{
    /* The button has the keyboard focus whenever the window is active. */
    if (LOWORD(state) != WA_INACTIVE && g_open_button) {
        SetFocus(g_open_button);
    }
    return 0;
}

static LRESULT on_destroy(void)
{
    /* A dialog that returns after the window went starts nothing more. */
    g_close_pending = 1;
    stop_ready_poll();
    append_lifecycle("shell_window_closed", g_sidecar_pid, 0, ready_word());
    AcquireSRWLockExclusive(&g_sidecar_lock);
    if (g_sidecar) {
        CloseHandle(g_sidecar); /* the sidecar itself keeps running */
        g_sidecar = NULL;
    }
    ReleaseSRWLockExclusive(&g_sidecar_lock);
    PostQuitMessage(0);
    return 0;
}

static LRESULT on_command(WPARAM command)
{
    if (LOWORD(command) == TOVRIN_ID_OPEN) {
        on_open_button();
    }
    return 0;
}

static LRESULT on_timer(WPARAM timer)
{
    if (timer == TOVRIN_STATUS_TIMER) {
        on_status_timer();
    } else if (timer == TOVRIN_RELAUNCH_TIMER) {
        on_relaunch_timer();
    }
    return 0;
}

/* A second start of this installation: the user wants the Host. The
 * window comes forward; it opens the UI as its button does, unless its
 * wait still runs (its own open follows). */
static LRESULT on_handover(HWND hwnd, WPARAM key)
{
    if (!g_is_first || (ULONGLONG)key != g_install_hash) {
        return 0;
    }
    if (g_close_pending) {
        return 2;
    }
    TRAIL("handover wait %lu", (unsigned long)g_wait_id);
    if (IsIconic(hwnd)) {
        ShowWindow(hwnd, SW_RESTORE);
    }
    SetForegroundWindow(hwnd);
    if (!g_launching && !polling_own_sidecar()) {
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(TOVRIN_ID_OPEN, BN_CLICKED), 0);
    }
    return 1;
}

static LRESULT on_replacing(LPARAM wait)
{
    if ((DWORD)wait == g_wait_id && g_launching) {
        g_replacing = 1;
        set_status_line(k_status_replacing);
    }
    return 0;
}

static LRESULT on_upgrade_wait(WPARAM waiting, LPARAM wait)
{
    if ((DWORD)wait == g_wait_id && g_launching) {
        g_upgrade_waiting = (int)waiting;
        if (!waiting) {
            /* The UI is given its time from now on, not from before
             * the update. */
            g_wait_started = GetTickCount();
        }
        set_status_line(waiting ? k_status_upgrade : k_status_starting);
    }
    return 0;
}

/* An installer's stop of this installation is about to begin: the window
 * closes as the user's close does, so that the stop has no shell to end
 * by force. */
static LRESULT on_step_aside(HWND hwnd, WPARAM key, LPARAM asking_pid)
{
    if (g_install_hash == 0 || (ULONGLONG)key != g_install_hash) {
        return 0;
    }
    append_lifecycle("shell_stepped_aside", g_sidecar_pid, (DWORD)asking_pid, ready_word());
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return 1;
}

static LRESULT on_power(WPARAM event)
{
    if (event == PBT_APMRESUMESUSPEND || event == PBT_APMRESUMEAUTOMATIC) {
        /* Waking up never opens a browser by itself. */
        TRAIL("resume %u", (unsigned)event);
        g_ready = 0;
        g_auto_opened = 1;
        begin_ready_wait();
    }
    return TRUE;
}

static LRESULT on_ready(WPARAM foreign, LPARAM wait)
{
    /* Only the current wait's report counts. */
    if ((DWORD)wait != g_wait_id) {
        return 0;
    }
    stop_ready_poll();
    if (foreign) {
        report_foreign_port();
        return 0;
    }
    g_ready = 1;
    open_ready_ui();
    return 0;
}

static LRESULT on_sidecar_exited(WPARAM exit_code, LPARAM launch)
{
    /* Only the end of the sidecar the window relies on counts: a
     * replaced one, one this shell stopped itself, or its own when it
     * kept another shell's, says nothing about it (its line is in the
     * lifecycle log). */
    TRAIL("exited launch %lu code %lu relied %lu", (unsigned long)(DWORD)launch,
          (unsigned long)(DWORD)exit_code, (unsigned long)g_relied_launch);
    if ((DWORD)launch != g_relied_launch) { /* launch numbers start at 1 */
        return 0;
    }
    /* The session's end takes the sidecar along: no failure of it. */
    if (g_session_ending) {
        return 0;
    }
    int answered = g_ready != 0;
    int first_report = !g_sidecar_dead;
    g_sidecar_dead = 1;
    g_ready = 0;
    g_open_requested = 0;
    DWORD code = (DWORD)(exit_code & 0xFFFFFFFFu);
    stop_ready_poll();
    /* A crash after the UI answered is brought back by the window,
     * throttled. Not a deliberate end (0: the sidecar's own quit, a
     * shutdown request, the stop's termination), not a start that
     * failed, nor while an installer works on the installation or the
     * window closes. */
    int crashed = answered && first_report && code != 0 && g_hwnd && !g_close_pending &&
                  !upgrade_guard_held();
    if (crashed && schedule_relaunch(code)) {
        return 0;
    }
    char detail[TOVRIN_DETAIL_CAP];
    detail_with_number(detail, "sidecar_exited_", (long long)code);
    write_shell_status("needs_attention", detail);
    set_status_line(k_status_attention);
    /* One that never answered, or one that keeps crashing, tells the
     * user why, once per wait. */
    if (first_report && (!answered || crashed)) {
        report_sidecar_end(code, crashed);
    }
    return 0;
}

/* Static text on the window's own background instead of grey boxes. */
static LRESULT on_ctl_color_static(HDC dc)
{
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return (LRESULT)GetSysColorBrush(COLOR_WINDOW);
}

static LRESULT on_dpi_changed(HWND hwnd, WPARAM dpi, const RECT *suggested)
{
    g_dpi = HIWORD(dpi);
    SetWindowPos(hwnd, NULL, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    layout_controls();
    update_font();
    return 0;
}

LRESULT CALLBACK wnd_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CLOSE:
        return on_close(hwnd);
    case WM_QUERYENDSESSION:
        return on_query_end_session();
    case WM_ENDSESSION:
        return on_end_session(wparam);
    case WM_ACTIVATE:
        return on_activate(wparam);
    case WM_DESTROY:
        return on_destroy();
    case WM_COMMAND:
        return on_command(wparam);
    case WM_TIMER:
        return on_timer(wparam);
    case WM_APP_LAUNCHED:
        on_launched(reinterpret_cast<struct launch_outcome *>(lparam));
        return 0;
    case WM_APP_HANDOVER:
        return on_handover(hwnd, wparam);
    case WM_APP_REPLACING:
        return on_replacing(lparam);
    case WM_APP_UPGRADE_WAIT:
        return on_upgrade_wait(wparam, lparam);
    case WM_APP_STEP_ASIDE:
        return on_step_aside(hwnd, wparam, lparam);
    case WM_POWERBROADCAST:
        return on_power(wparam);
    case WM_APP_READY:
        return on_ready(wparam, lparam);
    case WM_APP_SIDECAR_EXITED:
        return on_sidecar_exited(wparam, lparam);
    case WM_CTLCOLORSTATIC:
        return on_ctl_color_static((HDC)wparam);
    case WM_DPICHANGED:
        return on_dpi_changed(hwnd, wparam, reinterpret_cast<const RECT *>(lparam));
    default:
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

static void create_shell_window(HINSTANCE instance)
{
    WNDCLASSW wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = wnd_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = L"TovrinHostShell";
    RegisterClassW(&wc);

    g_hwnd = CreateWindowExW(0, L"TovrinHostShell", k_caption,
                             WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                             CW_USEDEFAULT, TOVRIN_WINDOW_W, TOVRIN_WINDOW_H, NULL, NULL,
                             instance, NULL);
    if (!g_hwnd) {
        return;
    }
    g_dpi = window_dpi(g_hwnd);
    if (g_dpi != 96) {
        SetWindowPos(g_hwnd, NULL, 0, 0, scaled(TOVRIN_WINDOW_W), scaled(TOVRIN_WINDOW_H),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    g_note = create_control(L"STATIC",
                            L"You can close this window. Tovrin Host keeps working.\n"
                            L"Uninstalling does not delete Tovrin Host Data.",
                            0, &k_note_box, TOVRIN_ID_NOTE, instance);
    /* A tab stop with the focus, and the dialog keys in the message loop:
     * Enter and Space press it for those who use no mouse. */
    g_open_button = create_control(L"BUTTON", L"Open Tovrin Host",
                                   BS_DEFPUSHBUTTON | WS_TABSTOP, &k_open_box, TOVRIN_ID_OPEN,
                                   instance);
    g_status = create_control(L"STATIC", k_status_starting, 0, &k_status_box, TOVRIN_ID_STATUS,
                              instance);
    update_font();
    ShowWindow(g_hwnd, SW_SHOWNORMAL);
    UpdateWindow(g_hwnd);
    if (g_open_button) {
        SetFocus(g_open_button);
    }
}

/* The status window: runs until the user closes it; the sidecar stays. */
int run_window_mode(HINSTANCE instance)
{
    /* The shell's browser start may use COM; give this thread an apartment. */
    HRESULT com = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    DWORD first_pid = 0;
    int claim = claim_installation(&first_pid);
    if (claim == 0) {
        append_lifecycle("shell_handed_over", 0, first_pid, ready_word());
    } else {
        create_shell_window(instance);
        if (claim > 0) {
            begin_ready_wait();
        } else {
            set_status_line(k_status_other_window);
        }
    }

    MSG msg;
    while (claim != 0 && GetMessageW(&msg, NULL, 0, 0) > 0) {
        if (g_hwnd && IsWindow(g_hwnd) && IsDialogMessageW(g_hwnd, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    /* A worker still polling finishes its probe first, bounded by the
     * probe's time-outs; a launch step has ended before the window went. */
    if (g_poll_thread) {
        WaitForSingleObject(g_poll_thread, TOVRIN_POLL_JOIN_MS);
        CloseHandle(g_poll_thread);
        g_poll_thread = NULL;
    }
    if (g_font) {
        DeleteObject(g_font);
        g_font = NULL;
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}

/* ------------------------------------------------------------------ */
/* storage folder picker                                               */
/* ------------------------------------------------------------------ */

#define TOVRIN_PICK_CHOSEN 0
#define TOVRIN_PICK_FAILED 1
#define TOVRIN_PICK_CANCELLED 2

/* Writes the chosen path as UTF-8 and one newline; the CRT's text mode
 * turns that newline into CR LF for the reader. */
static int print_path_utf8(const wchar_t *path)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, path, -1, NULL, 0, NULL, NULL);
    if (size <= 1) {
        return TOVRIN_PICK_FAILED;
    }
    char *utf8 = static_cast<char *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)size));
    if (!utf8) {
        return TOVRIN_PICK_FAILED;
    }
    WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, size, NULL, NULL);
    /* Nothing is left to do when standard output fails: a caller that did
     * not redirect it has none, and the exit code still reports the choice. */
    (void)fwrite(utf8, 1, (size_t)(size - 1), stdout);
    (void)fputc('\n', stdout);
    (void)fflush(stdout);
    HeapFree(GetProcessHeap(), 0, utf8);
    return TOVRIN_PICK_CHOSEN;
}

/* Shows the system's folder dialog; 0 chosen and printed, 1 failed,
 * 2 cancelled. Nothing but the path is ever written to stdout/stderr. */
int run_folder_picker(void)
{
    HRESULT hr = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    (void)hr; /* S_FALSE or a changed mode still lets the dialog run */

    int result = TOVRIN_PICK_FAILED;
    IFileOpenDialog *dialog = NULL;
    IShellItem *item = NULL;
    PWSTR path = NULL;

    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, NULL, CLSCTX_INPROC_SERVER,
                                IID_IFileOpenDialog, (void **)&dialog)) ||
        !dialog) {
        dialog = NULL;
        goto done;
    }
    {
        FILEOPENDIALOGOPTIONS options = 0;
        dialog->GetOptions(&options);
        dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
        dialog->SetTitle(L"Choose where Tovrin can use storage.");
    }
    hr = dialog->Show(NULL);
    if (hr == HRESULT_FROM_WIN32(ERROR_CANCELLED)) {
        result = TOVRIN_PICK_CANCELLED;
        goto done;
    }
    if (FAILED(hr)) {
        goto done;
    }
    if (FAILED(dialog->GetResult(&item)) || !item) {
        item = NULL;
        goto done;
    }
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || !path) {
        path = NULL;
        goto done;
    }
    result = print_path_utf8(path);

done:
    if (path) {
        CoTaskMemFree(path);
    }
    if (item) {
        item->Release();
    }
    if (dialog) {
        dialog->Release();
    }
    CoUninitialize();
    return result;
}
