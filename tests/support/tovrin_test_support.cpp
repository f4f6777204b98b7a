#include <winsock2.h>
#include <ws2tcpip.h>

#include "tovrin_test_support.h"

#include <iphlpapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>

namespace tvt {

std::wstring widen(const std::string &utf8)
{
    if (utf8.empty()) {
        return std::wstring();
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), NULL, 0);
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &out[0], n);
    return out;
}

std::string narrow(const std::wstring &wide)
{
    if (wide.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), NULL, 0, NULL, NULL);
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &out[0], n, NULL, NULL);
    return out;
}

std::string env_var(const wchar_t *name)
{
    wchar_t buf[4096];
    DWORD n = GetEnvironmentVariableW(name, buf, 4096);
    return n > 0 && n < 4096 ? narrow(std::wstring(buf, n)) : std::string();
}

std::wstring build_dir()
{
    // Wine maps the Unix root to drive Z:.
    std::wstring dir = L"Z:" + widen(TOVRIN_BUILD_DIR_UNIX);
    for (wchar_t &c : dir) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return dir;
}

std::wstring host_exe()
{
    return build_dir() + L"\\tests\\strict\\TovrinHostStrict.exe";
}

std::wstring release_host_exe()
{
    return build_dir() + L"\\TovrinHost.exe";
}

namespace {
std::wstring g_strict_log;
size_t g_strict_seen = 0;
} // namespace

void use_own_strict_log(const wchar_t *program)
{
    make_dirs(build_dir() + L"\\strict");
    g_strict_log = build_dir() + L"\\strict\\" + program + L"-" +
                   std::to_wstring(GetCurrentProcessId()) + L".log";
    DeleteFileW(g_strict_log.c_str());
    g_strict_seen = 0;
    SetEnvironmentVariableW(L"TOVRIN_STRICT_LOG", g_strict_log.c_str());
}

std::string take_strict_breaches()
{
    std::string text = read_file_or_empty(g_strict_log);
    if (text.size() < g_strict_seen) {
        g_strict_seen = 0;
    }
    std::string fresh = text.substr(g_strict_seen);
    g_strict_seen = text.size();
    return fresh;
}

std::wstring host_trail_exe()
{
    return build_dir() + L"\\tests\\e2e\\TovrinHostTrail.exe";
}

std::wstring test_sidecar_exe()
{
    return build_dir() + L"\\tests\\sidecar\\test_sidecar.exe";
}

bool use_task_standin(const std::wstring &file, const std::string &task,
                      const std::wstring &command, bool prefix)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring own = std::wstring(system) + L"\\schtasks.exe", saved = own + L".wine";
    SetEnvironmentVariableW(L"TOVRIN_TASK_FILE", file.empty() ? NULL : file.c_str());
    if (file.empty()) {
        return !prefix || !file_exists(saved) || MoveFileExW(saved.c_str(), own.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    DeleteFileW(file.c_str());
    return (task.empty() || write_file(file, task + " \"" + narrow(command) + "\"\r\n")) &&
           (!prefix || ((file_exists(saved) || copy_file(own, saved)) &&
                        copy_file(build_dir() + L"\\tests\\support\\schtasks_standin.exe", own)));
}

bool write_file(const std::wstring &path, const std::string &bytes)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = bytes.empty() ||
              WriteFile(f, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(f);
    return ok && written == bytes.size();
}

bool read_file(const std::wstring &path, std::string *bytes)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        return false;
    }
    bytes->clear();
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, NULL) && got > 0) {
        bytes->append(buf, got);
    }
    CloseHandle(f);
    return true;
}

std::string read_file_or_empty(const std::wstring &path)
{
    std::string s;
    read_file(path, &s);
    return s;
}

bool file_exists(const std::wstring &path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool dir_exists(const std::wstring &path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool make_dirs(const std::wstring &path)
{
    if (dir_exists(path)) {
        return true;
    }
    size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 2) {
        make_dirs(path.substr(0, cut));
    }
    return CreateDirectoryW(path.c_str(), NULL) || dir_exists(path);
}

void remove_tree(const std::wstring &path)
{
    if (path.size() < 4) {
        return; // never a drive root
    }
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = path + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(path.c_str());
}

bool remove_tree_retrying(const std::wstring &path, DWORD timeout_ms)
{
    return wait_until(
        [&] {
            remove_tree(path);
            return !dir_exists(path);
        },
        timeout_ms);
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> record_lines(const std::string &text)
{
    std::vector<std::string> lines = split_lines(text);
    for (std::string &line : lines) {
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
    }
    return lines;
}

bool copy_file(const std::wstring &from, const std::wstring &to)
{
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

std::wstring make_temp_dir(const wchar_t *tag)
{
    wchar_t temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, n);
    if (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    static unsigned counter = 0;
    for (;;) {
        wchar_t name[96];
        _snwprintf(name, 96, L"\\tvh-%ls-%lu-%u", tag, (unsigned long)GetCurrentProcessId(),
                   ++counter);
        name[95] = L'\0';
        std::wstring dir = base + name;
        if (CreateDirectoryW(dir.c_str(), NULL)) {
            return dir;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return std::wstring();
        }
    }
}

std::wstring state_dir()
{
    wchar_t appdata[MAX_PATH];
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, appdata))) {
        return std::wstring();
    }
    return std::wstring(appdata) + L"\\TovrinHost";
}

void clear_state_dir()
{
    std::wstring dir = state_dir();
    if (dir.empty()) {
        return;
    }
    remove_tree(dir);
    CreateDirectoryW(dir.c_str(), NULL);
}

bool make_install(const std::wstring &dir, const install_layout &layout)
{
    if (!make_dirs(dir + L"\\runtime\\node") || !make_dirs(dir + L"\\runtime\\dist")) {
        return false;
    }
    if (layout.shell &&
        !copy_file(layout.trail     ? host_trail_exe()
                   : layout.release ? release_host_exe()
                                    : host_exe(),
                   dir + L"\\TovrinHost.exe")) {
        return false;
    }
    if (layout.node && !copy_file(test_sidecar_exe(), dir + L"\\runtime\\node\\node.exe")) {
        return false;
    }
    if (layout.cli && !write_file(dir + L"\\runtime\\dist\\hostRuntimeCli.js", layout.script)) {
        return false;
    }
    return true;
}

// CreateProcessW with the application taken from the command line. When
// `output` is given, standard output and error go to it (and input to
// `input`) and handles are inherited; otherwise the child gets the defaults.
static bool create_process(const std::wstring &command_line, const std::wstring &cwd,
                           DWORD flags, HANDLE input, HANDLE output, PROCESS_INFORMATION *pi,
                           HANDLE job = NULL)
{
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (output) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = input;
        si.hStdOutput = output;
        si.hStdError = output;
    }
    // Wine 8 now and then loses a new process while it loads its libraries
    // and reports ERROR_INTERNAL_ERROR ("died during start-up"), most often
    // on a busy machine right after another program closed its windows.
    // The program under test never ran, so starting it again is the same
    // test; any other error fails at once.
    for (int attempt = 1;; ++attempt) {
        std::vector<wchar_t> cmd(command_line.begin(), command_line.end());
        cmd.push_back(L'\0');
        if (CreateProcessW(NULL, cmd.data(), NULL, NULL, output != NULL,
                           flags | (job ? CREATE_SUSPENDED : 0), NULL,
                           cwd.empty() ? NULL : cwd.c_str(), &si, pi)) {
            break;
        }
        DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
            fprintf(stderr, "CreateProcessW failed with %lu: %ls\n", error, command_line.c_str());
            return false;
        }
        fprintf(stderr, "the new process died during start-up (attempt %d); starting it again\n", attempt);
    }
    // In its job before it runs a single instruction, so that every program
    // it starts is counted there too.
    if (job && (!AssignProcessToJobObject(job, pi->hProcess) || ResumeThread(pi->hThread) == (DWORD)-1)) {
        TerminateProcess(pi->hProcess, 99);
        CloseHandle(pi->hThread);
        CloseHandle(pi->hProcess);
        return false;
    }
    return true;
}

static bool keep_started(bool ok, const PROCESS_INFORMATION &pi, process *out)
{
    if (!ok) {
        return false;
    }
    CloseHandle(pi.hThread);
    out->handle = pi.hProcess;
    out->pid = pi.dwProcessId;
    return true;
}

bool start_process(const std::wstring &command_line, const std::wstring &cwd, process *out,
                   const std::wstring &stdout_file)
{
    HANDLE log = NULL;
    if (!stdout_file.empty()) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
        log = CreateFileW(stdout_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (log == INVALID_HANDLE_VALUE) {
            return false;
        }
    }
    PROCESS_INFORMATION pi;
    bool ok = create_process(command_line, cwd, 0, NULL, log, &pi);
    if (log) {
        CloseHandle(log);
    }
    return keep_started(ok, pi, out);
}

bool start_process_quiet(const std::wstring &command_line, const std::wstring &cwd, process *out,
                         DWORD creation_flags, HANDLE job)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, NULL);
    if (nul == INVALID_HANDLE_VALUE) {
        return false;
    }
    PROCESS_INFORMATION pi;
    bool ok = create_process(command_line, cwd, creation_flags, nul, nul, &pi, job);
    CloseHandle(nul);
    return keep_started(ok, pi, out);
}

bool wait_process(const process &p, DWORD timeout_ms, DWORD *exit_code)
{
    if (!p.handle || WaitForSingleObject(p.handle, timeout_ms) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(p.handle, &code);
    if (exit_code) {
        *exit_code = code;
    }
    return true;
}

bool process_alive(DWORD pid)
{
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!h) {
        return false;
    }
    bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return alive;
}

void close_process(process *p)
{
    if (p->handle) {
        CloseHandle(p->handle);
    }
    p->handle = NULL;
    p->pid = 0;
}

bool run_process(const std::wstring &command_line, DWORD timeout_ms, DWORD *exit_code,
                 std::string *output, const std::wstring &cwd, DWORD *job_processes)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE read_end = NULL;
    HANDLE write_end = NULL;
    if (!CreatePipe(&read_end, &write_end, &sa, 0)) {
        return false;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE job = NULL;
    if (job_processes) {
        *job_processes = 0;
        job = CreateJobObjectW(NULL, NULL);
        if (!job) {
            CloseHandle(read_end);
            CloseHandle(write_end);
            return false;
        }
    }
    PROCESS_INFORMATION pi;
    bool ok = create_process(command_line, cwd, 0, NULL, write_end, &pi, job);
    CloseHandle(write_end);
    if (!ok) {
        if (job) {
            CloseHandle(job);
        }
        CloseHandle(read_end);
        return false;
    }
    CloseHandle(pi.hThread);
    std::string text;
    DWORD start = GetTickCount();
    bool ended = false;
    for (;;) {
        DWORD avail = 0;
        while (PeekNamedPipe(read_end, NULL, 0, NULL, &avail, NULL) && avail > 0) {
            char buf[4096];
            DWORD got = 0;
            if (!ReadFile(read_end, buf, sizeof buf, &got, NULL) || got == 0) {
                break;
            }
            text.append(buf, got);
        }
        if (ended) {
            break;
        }
        if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) {
            ended = true; // one more drain of the pipe
            continue;
        }
        if (GetTickCount() - start > timeout_ms) {
            break;
        }
    }
    DWORD code = 0;
    if (ended) {
        GetExitCodeProcess(pi.hProcess, &code);
    } else {
        TerminateProcess(pi.hProcess, 99);
    }
    CloseHandle(pi.hProcess);
    CloseHandle(read_end);
    if (job) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
        ZeroMemory(&info, sizeof info);
        if (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info,
                                      sizeof info, NULL)) {
            *job_processes = info.TotalProcesses;
        }
        CloseHandle(job);
    }
    if (exit_code) {
        *exit_code = code;
    }
    if (output) {
        *output = text;
    }
    return ended;
}

DWORD listener_owner(int port)
{
    // Every row that receives a connection to 127.0.0.1: bound there, to
    // 0.0.0.0, or to "::".
    for (ULONG family : {(ULONG)AF_INET, (ULONG)AF_INET6}) {
        DWORD size = 0;
        if (GetExtendedTcpTable(NULL, &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0) !=
                ERROR_INSUFFICIENT_BUFFER ||
            size == 0) {
            continue;
        }
        size += 4096; // room for a table that grew meanwhile
        std::vector<char> buf(size);
        if (GetExtendedTcpTable(buf.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER,
                                0) != NO_ERROR) {
            continue;
        }
        if (family == AF_INET) {
            const MIB_TCPTABLE_OWNER_PID *table = (const MIB_TCPTABLE_OWNER_PID *)buf.data();
            for (DWORD i = 0; i < table->dwNumEntries; i++) {
                const MIB_TCPROW_OWNER_PID &row = table->table[i];
                if (ntohs((u_short)(row.dwLocalPort & 0xFFFF)) == port &&
                    (row.dwLocalAddr == htonl(INADDR_LOOPBACK) || row.dwLocalAddr == 0)) {
                    return row.dwOwningPid;
                }
            }
        } else {
            const MIB_TCP6TABLE_OWNER_PID *table = (const MIB_TCP6TABLE_OWNER_PID *)buf.data();
            static const UCHAR any[16] = {0};
            for (DWORD i = 0; i < table->dwNumEntries; i++) {
                const MIB_TCP6ROW_OWNER_PID &row = table->table[i];
                if (ntohs((u_short)(row.dwLocalPort & 0xFFFF)) == port &&
                    memcmp(row.ucLocalAddr, any, sizeof any) == 0) {
                    return row.dwOwningPid;
                }
            }
        }
    }
    return 0;
}

const char k_owners_hidden[] =
    "this runtime does not name the owner of a loopback listener (Wine 8 reports pid 0 for "
    "every one); the suite runs these tests under Wine 10";

bool listener_owners_visible()
{
    static int known = -1;
    if (known >= 0) {
        return known == 1;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        return false;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr;
    ZeroMemory(&addr, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    bool visible = s != INVALID_SOCKET && bind(s, (sockaddr *)&addr, sizeof addr) == 0 &&
                   listen(s, 1) == 0 && getsockname(s, (sockaddr *)&addr, &len) == 0 &&
                   listener_owner(ntohs(addr.sin_port)) == GetCurrentProcessId();
    if (s != INVALID_SOCKET) {
        closesocket(s);
    }
    WSACleanup();
    known = visible ? 1 : 0;
    return visible;
}

namespace {
struct window_query {
    DWORD pid;
    const wchar_t *window_class;
    const wchar_t *title;
    HWND found;
};

BOOL CALLBACK match_window(HWND hwnd, LPARAM lp)
{
    window_query *q = (window_query *)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != q->pid || !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    wchar_t text[256];
    if (q->window_class &&
        (!GetClassNameW(hwnd, text, 256) || wcscmp(text, q->window_class) != 0)) {
        return TRUE;
    }
    if (q->title) {
        text[0] = L'\0';
        GetWindowTextW(hwnd, text, 256);
        if (wcscmp(text, q->title) != 0) {
            return TRUE;
        }
    }
    q->found = hwnd;
    return FALSE;
}
} // namespace

HWND find_visible_window(DWORD pid, const wchar_t *window_class, const wchar_t *title)
{
    window_query q = {pid, window_class, title, NULL};
    EnumWindows(match_window, (LPARAM)&q);
    return q.found;
}

std::vector<std::pair<DWORD, std::wstring>> list_processes()
{
    std::vector<std::pair<DWORD, std::wstring>> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) {
        return out;
    }
    PROCESSENTRY32W e;
    e.dwSize = sizeof e;
    for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e)) {
        std::wstring image;
        HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID);
        if (h) {
            wchar_t buf[1024];
            DWORD size = 1024;
            if (QueryFullProcessImageNameW(h, 0, buf, &size)) {
                image.assign(buf, size);
            }
            CloseHandle(h);
        }
        out.push_back(std::make_pair(e.th32ProcessID, image));
    }
    CloseHandle(snap);
    return out;
}

int serve_test_listener(const std::wstring &exe, const std::wstring &work,
                        const std::wstring &tag, const std::string &lines, process *out)
{
    std::wstring ready = work + L"\\ready-" + tag + L".txt";
    std::wstring script = work + L"\\behaviour-" + tag + L".txt";
    DeleteFileW(ready.c_str());
    if ((!file_exists(exe) && (!make_dirs(exe.substr(0, exe.find_last_of(L'\\'))) ||
                               !copy_file(test_sidecar_exe(), exe))) ||
        !write_file(script, lines + "ready_file=" + narrow(ready) + "\n") ||
        !start_process_quiet(quote(exe) + L" " + quote(script) + L" serve", L"", out) ||
        !wait_until([&] { return file_exists(ready); }, 10000)) {
        return 0;
    }
    return atoi(read_file_or_empty(ready).c_str());
}

std::vector<DWORD> pids_of_image(const std::wstring &image)
{
    std::vector<DWORD> pids;
    for (const auto &p : list_processes()) {
        if (_wcsicmp(p.second.c_str(), image.c_str()) == 0) {
            pids.push_back(p.first);
        }
    }
    return pids;
}

size_t count_images(const std::wstring &image)
{
    return pids_of_image(image).size();
}

bool start_console(const std::wstring &work, const std::wstring &helper_dir, process *out)
{
    std::wstring waiter = work + L"\\tools\\waiter.exe";
    std::wstring waiter_behaviour = work + L"\\behaviour-waiter.txt";
    make_dirs(work + L"\\tools");
    if ((!file_exists(waiter) && !copy_file(test_sidecar_exe(), waiter)) ||
        !write_file(waiter_behaviour, "write_control=0\r\nwrite_lock=0\r\nexit_after_ms=30000\r\n")) {
        return false;
    }
    std::wstring target = quote(waiter) + L" " + quote(waiter_behaviour) + L" wait";
    if (!helper_dir.empty()) {
        std::wstring helper = helper_dir + L"\\tovrinhostsidecar.cmd";
        if (!make_dirs(helper_dir) || !write_file(helper, "@echo off\r\n" + narrow(target) + "\r\n")) {
            return false;
        }
        target = quote(helper);
    }
    size_t waiters = count_images(waiter);
    wchar_t sysdir[MAX_PATH];
    GetSystemDirectoryW(sysdir, MAX_PATH);
    // Without a window of its own, the console is shared with the waiter:
    // no console host outlives them.
    return start_process_quiet(quote(std::wstring(sysdir) + L"\\cmd.exe") + L" /c \"" + target +
                                   L"\"",
                               work, out, CREATE_NO_WINDOW) &&
           wait_until([&] { return count_images(waiter) > waiters; }, 10000);
}

double now_ms()
{
    static LARGE_INTEGER freq;
    if (freq.QuadPart == 0) {
        QueryPerformanceFrequency(&freq);
    }
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)freq.QuadPart;
}

void kill_processes_below(const std::wstring &dir, UINT code)
{
    std::wstring prefix = dir + L"\\";
    for (const auto &p : list_processes()) {
        if (p.second.size() > prefix.size() &&
            _wcsnicmp(p.second.c_str(), prefix.c_str(), prefix.size()) == 0 &&
            p.first != GetCurrentProcessId()) {
            HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, p.first);
            if (h) {
                TerminateProcess(h, code);
                WaitForSingleObject(h, 5000);
                CloseHandle(h);
            }
        }
    }
}

void end_console_hosts()
{
    FILETIME own_created, unused1, unused2, unused3;
    if (!GetProcessTimes(GetCurrentProcess(), &own_created, &unused1, &unused2, &unused3)) {
        return;
    }
    for (const auto &p : list_processes()) {
        size_t slash = p.second.find_last_of(L'\\');
        std::wstring name = slash == std::wstring::npos ? p.second : p.second.substr(slash + 1);
        if (_wcsicmp(name.c_str(), L"conhost.exe") != 0) {
            continue;
        }
        HANDLE h = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                               FALSE, p.first);
        FILETIME created;
        if (h && GetProcessTimes(h, &created, &unused1, &unused2, &unused3) &&
            CompareFileTime(&created, &own_created) > 0) {
            TerminateProcess(h, 9);
            WaitForSingleObject(h, 5000);
        }
        if (h) {
            CloseHandle(h);
        }
    }
}

bool wait_until(const std::function<bool()> &condition, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount() - start > timeout_ms) {
            return false;
        }
        Sleep(20);
    }
}

std::wstring quote(const std::wstring &arg)
{
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        if (c == L'"') {
            out.append(2 * backslashes + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out.push_back(c);
        backslashes = 0;
    }
    out.append(2 * backslashes, L'\\');
    out.push_back(L'"');
    return out;
}

} // namespace tvt
