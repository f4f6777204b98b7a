/*
 * Tovrin Host shell: start-up, records, the status window, the readiness
 * wait, the sidecar launch and the storage folder picker.
 */
#include "TovrinHostMain.h"

#include <shlobj.h>
#include <shobjidl.h>
#include <shellapi.h>
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

/* The UI thread, the poll thread and the exit-watch threads all write
 * records. The files are opened sharing read access only, so two writers
 * at the same moment would lose one record; this lock keeps both. */
static SRWLOCK g_record_lock = SRWLOCK_INIT;

/* ------------------------------------------------------------------ */
/* start-up                                                            */
/* ------------------------------------------------------------------ */

/* "%s\\%s" into a wide path, cut at 259 units. */
void join_wide_path(wchar_t *out, const wchar_t *dir, const wchar_t *name)
{
    _snwprintf(out, TOVRIN_PATH_CAP, L"%ls\\%ls", dir, name);
    out[TOVRIN_PATH_CAP - 1] = L'\0';
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

    join_wide_path(g_node_path, g_install_dir, L"runtime\\node\\node.exe");
    join_wide_path(g_cli_path, g_install_dir, L"runtime\\dist\\hostRuntimeCli.js");
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
    join_wide_path(path, g_install_dir, L"CHANNEL.txt");
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

static int run_stop_only(void)
{
    DWORD attrs = GetFileAttributesW(g_install_dir);
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        return 0;
    }
    return tovrin_stop_existing_sidecar(g_install_dir, g_state_dir);
}

int run_window_mode(HINSTANCE instance);

/* Reads the options and runs the chosen mode; returns the exit code. */
int run_command_line(HINSTANCE instance)
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) {
        return run_window_mode(instance);
    }
    if (argc < 2) {
        LocalFree(argv);
        return run_window_mode(instance);
    }
    int stop_only = 0;
    for (int i = 1; i < argc; i++) {
        if (wcscmp(argv[i], L"--pick-folder") == 0) {
            LocalFree(argv);
            return run_folder_picker();
        }
        if (wcscmp(argv[i], L"--stop-existing") == 0) {
            stop_only = 1;
        } else if (wcscmp(argv[i], L"--install-dir") == 0) {
            if (i + 1 >= argc) {
                break;
            }
            copy_wide_path(g_install_dir, argv[++i]);
        }
    }
    LocalFree(argv);
    if (stop_only) {
        return run_stop_only();
    }
    return run_window_mode(instance);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show)
{
    (void)previous;
    (void)command_line;
    (void)show;
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
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
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
/* window mode                                                         */
/* ------------------------------------------------------------------ */

int run_window_mode(HINSTANCE instance)
{
    (void)instance;
    /* The status window is not part of this build yet. */
    return 1;
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
    char *utf8 = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)size);
    if (!utf8) {
        return TOVRIN_PICK_FAILED;
    }
    WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, size, NULL, NULL);
    fwrite(utf8, 1, (size_t)(size - 1), stdout);
    fputc('\n', stdout);
    fflush(stdout);
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
