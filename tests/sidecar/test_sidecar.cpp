// The test sidecar: a small native stand-in for the Node.js runtime that the
// shell launches. Tests copy it as runtime\node\node.exe into a throw-away
// installation (and elsewhere, as decoys) and start it like the real
// runtime:
//
//   "...\node.exe" "...\runtime\dist\hostRuntimeCli.js" serve
//
// Its first argument names its behaviour file: plain key=value lines,
// '#' starts a comment line, unknown keys are ignored. When the shell
// starts it, that file is the installation's hostRuntimeCli.js.
//
//   state_dir=        where control.json and runtime.lock.owner go; default
//                     %TOVRIN_HOST_STATE_DIR%, else LOCALAPPDATA\TovrinHost
//   port=0            port to listen on (0: the system chooses)
//   reuse_address=0   1: bind that port although connections of an ended
//                     listener linger on it (SO_REUSEADDR)
//   listen_address=127.0.0.1   address to listen on (e.g. 0.0.0.0, or :: for
//                     every IPv6 and, dual stack, every IPv4 address)
//   token=            bearer token (default: a fixed 32-hex-digit token)
//   token_length=N    a generated token of exactly N bytes instead
//   bind_address=127.0.0.1     "bindAddress" in control.json; "-" omits it
//   control_json=     written verbatim as control.json ({port}, {token}
//                     substituted)
//   write_control=1   write control.json
//   write_lock=1      write runtime.lock.owner ("pid=" and "image=" lines)
//   lock_pid=, lock_image=     values written there instead of its own
//   release=          "gitSha" of GET /status (default: none, no member);
//                     "installed": the one in host-release.json of the
//                     installation the shell names (TOVRIN_HOST_BUNDLE_PATH)
//   status_code=200   code of GET /status when the token is right (a wrong
//                     or missing token always gives 401)
//   root_code=200     code of GET /
//   root_delay_ms=0   GET / answers 503 until this long after the start
//   start_delay_ms=0  wait this long before listening and writing files
//   listen=1          0: listen nowhere, write nothing, only run
//   answer=1          0: listen and write its files, then answer nothing (a
//                     frozen event loop: connections are still accepted)
//   exit_after_ms=-1  exit by itself after this long (-1: never)
//   exit_code=0       the code of every exit it chooses
//   on_shutdown=exit  what POST /shutdown with the right token does:
//                     exit | ignore
//   shutdown_delay_ms=0        delay between the answer and the exit
//   remove_on_shutdown=1       on an exit by POST /shutdown, remove
//                     control.json and runtime.lock.owner when they still
//                     name this process (as the sample sidecar does)
//   request_log=      every request appended as one line
//                     "METHOD PATH AUTHORIZATION-OR-DASH USER-AGENT-OR-DASH"
//   dump=             written at the start: "cmdline=", "cwd=",
//                     "stdout_valid=0|1", "stderr_valid=0|1", "elevated=0|1"
//                     (the process token's elevation), then one
//                     "env=NAME=VALUE" line per variable in block order
//   ready_file=       written with the port once it listens and the
//                     control and lock files are in place
//   console_child=0   1: the dump ends with what a console program it starts
//                     plainly (as a sidecar starts git) sees: its console
//                     "shared" or its "own", and that one's window "visible" or "hidden"
//
// A request log or dump given by a bare file name goes to the state
// directory (an installer's package cannot know where the test runs).
//
// Every file it writes, except the request log, is written whole under a
// temporary name and then moved over the target, so a reader never sees
// half of one. Lines end in CR LF. At the start it writes
// "test sidecar started" to standard output and "test sidecar stderr" to
// standard error.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shlobj.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "tovrin_test_support.h"

namespace {

std::map<std::string, std::string> g_config;
DWORD g_start_tick;
std::string g_token;
std::string g_control_path;
std::string g_lock_path;
std::string g_request_log;
int g_exit_code;
CRITICAL_SECTION g_log_lock;

using tvt::narrow;
using tvt::widen;

std::string get(const char *key, const char *fallback)
{
    auto it = g_config.find(key);
    return it == g_config.end() ? std::string(fallback) : it->second;
}

long get_int(const char *key, long fallback)
{
    auto it = g_config.find(key);
    if (it == g_config.end() || it->second.empty()) {
        return fallback;
    }
    return strtol(it->second.c_str(), NULL, 10);
}

void load_behaviour(const std::wstring &path)
{
    std::string text;
    if (!tvt::read_file(path, &text)) {
        return;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        g_config[line.substr(0, eq)] = line.substr(eq + 1);
    }
}

// Whole-file write: a temporary name beside the target, then a replacing
// move, so readers see the old file or the new one and nothing between.
bool write_whole(const std::string &path, const std::string &bytes)
{
    if (path.empty()) {
        return false;
    }
    char suffix[40];
    snprintf(suffix, sizeof suffix, ".%lu.tmp", (unsigned long)GetCurrentProcessId());
    std::wstring target = widen(path);
    std::wstring temp = widen(path + suffix);
    HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(f, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(f);
    if (!ok || written != bytes.size()) {
        DeleteFileW(temp.c_str());
        return false;
    }
    // The shell reads these files without delete sharing, and a replacing
    // move fails while a reader has the target open: try again for a while.
    for (int attempt = 0; attempt < 200; attempt++) {
        if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
        Sleep(10);
    }
    DeleteFileW(temp.c_str());
    return false;
}

void append_request_log(const std::string &line)
{
    if (g_request_log.empty()) {
        return;
    }
    EnterCriticalSection(&g_log_lock);
    HANDLE f = CreateFileW(widen(g_request_log).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f != INVALID_HANDLE_VALUE) {
        std::string text = line + "\r\n";
        DWORD written = 0;
        WriteFile(f, text.data(), (DWORD)text.size(), &written, NULL);
        FlushFileBuffers(f);
        CloseHandle(f);
    }
    LeaveCriticalSection(&g_log_lock);
}

void write_std(DWORD which, const char *text)
{
    HANDLE h = GetStdHandle(which);
    if (h && h != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(h, text, (DWORD)strlen(text), &written, NULL);
    }
}

bool std_valid(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    return h && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

std::string own_image()
{
    wchar_t buf[1024];
    DWORD size = 1024;
    if (QueryFullProcessImageNameW(GetCurrentProcess(), 0, buf, &size)) {
        return narrow(std::wstring(buf, size));
    }
    DWORD n = GetModuleFileNameW(NULL, buf, 1024);
    return narrow(std::wstring(buf, n < 1024 ? n : 0));
}

void write_dump(const std::string &path)
{
    std::string text = "cmdline=" + narrow(GetCommandLineW()) + "\r\n";
    wchar_t cwd[1024];
    DWORD n = GetCurrentDirectoryW(1024, cwd);
    text += "cwd=" + narrow(std::wstring(cwd, n < 1024 ? n : 0)) + "\r\n";
    text += std::string("stdout_valid=") + (std_valid(STD_OUTPUT_HANDLE) ? "1" : "0") + "\r\n";
    text += std::string("stderr_valid=") + (std_valid(STD_ERROR_HANDLE) ? "1" : "0") + "\r\n";
    HANDLE token = NULL;
    TOKEN_ELEVATION elevation = {0};
    DWORD got = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got);
        CloseHandle(token);
    }
    text += std::string("elevated=") + (elevation.TokenIsElevated ? "1" : "0") + "\r\n";
    wchar_t *block = GetEnvironmentStringsW();
    if (block) {
        for (const wchar_t *p = block; *p; p += wcslen(p) + 1) {
            text += "env=" + narrow(p) + "\r\n";
        }
        FreeEnvironmentStringsW(block);
    }
    std::string child;
    DWORD code = 0;
    if (get_int("console_child", 0) != 0 &&
        tvt::run_process(tvt::quote(widen(own_image())) + L" --console-report", 10000, &code, &child)) {
        text += child;
    }
    write_whole(path, text);
}

std::string default_state_dir()
{
    wchar_t buf[1024];
    DWORD n = GetEnvironmentVariableW(L"TOVRIN_HOST_STATE_DIR", buf, 1024);
    if (n > 0 && n < 1024) {
        return narrow(std::wstring(buf, n));
    }
    wchar_t appdata[MAX_PATH];
    if (SUCCEEDED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT,
                                   appdata))) {
        return narrow(appdata) + "\\TovrinHost";
    }
    return std::string();
}

std::string make_token()
{
    auto it = g_config.find("token_length");
    if (it != g_config.end() && !it->second.empty()) {
        long n = strtol(it->second.c_str(), NULL, 10);
        std::string t;
        static const char digits[] = "abcdef0123456789";
        for (long i = 0; i < n; i++) {
            t.push_back(digits[i % 16]);
        }
        return t;
    }
    return get("token", "0123456789abcdef0123456789abcdef");
}

void replace_all(std::string *s, const std::string &from, const std::string &to)
{
    size_t pos = 0;
    while ((pos = s->find(from, pos)) != std::string::npos) {
        s->replace(pos, from.size(), to);
        pos += to.size();
    }
}

std::string control_text(int port)
{
    auto it = g_config.find("control_json");
    if (it != g_config.end()) {
        std::string text = it->second;
        replace_all(&text, "{port}", std::to_string(port));
        replace_all(&text, "{token}", g_token);
        return text;
    }
    std::string text = "{\"port\":" + std::to_string(port);
    std::string bind = get("bind_address", "127.0.0.1");
    if (bind != "-") {
        text += ",\"bindAddress\":\"" + bind + "\"";
    }
    text += ",\"token\":\"" + g_token + "\",\"pid\":" +
            std::to_string((unsigned long)GetCurrentProcessId()) + "}\r\n";
    return text;
}

std::string lock_text()
{
    std::string pid = get("lock_pid", std::to_string((unsigned long)GetCurrentProcessId()).c_str());
    std::string image = get("lock_image", own_image().c_str());
    return "pid=" + pid + "\r\nimage=" + image + "\r\n";
}

// A reader that does not share deletion (the shell reads these files every
// 200 ms while it waits for this process to end) makes DeleteFileW fail for
// the moment it holds the file; a real sidecar's clean-up has to retry too.
void delete_retrying(const std::string &path)
{
    for (int attempt = 0; attempt < 50; attempt++) {
        if (DeleteFileW(widen(path).c_str()) || GetLastError() != ERROR_SHARING_VIOLATION) {
            return;
        }
        Sleep(10);
    }
}

// The state files are removed only while they still name this process, so
// that a successor's files are left alone.
void remove_own_files()
{
    std::string text;
    if (tvt::read_file(widen(g_lock_path), &text) && text == lock_text()) {
        delete_retrying(g_lock_path);
    }
    if (tvt::read_file(widen(g_control_path), &text) && !g_token.empty() &&
        text.find("\"" + g_token + "\"") != std::string::npos) {
        delete_retrying(g_control_path);
    }
}

DWORD WINAPI exit_timer(void *arg)
{
    Sleep((DWORD)(uintptr_t)arg);
    ExitProcess((UINT)g_exit_code);
    return 0;
}

const char *reason(int code)
{
    switch (code) {
    case 200: return "OK";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

void send_all(SOCKET s, const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(s, bytes.data() + sent, (int)(bytes.size() - sent), 0);
        if (n <= 0) {
            return;
        }
        sent += (size_t)n;
    }
}

void respond(SOCKET s, int code, const char *type, const std::string &body)
{
    std::string head = "HTTP/1.1 " + std::to_string(code) + " " + reason(code) +
                       "\r\nContent-Type: " + type +
                       "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    send_all(s, head + body);
}

std::string lower(std::string s)
{
    for (char &c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = (char)(c - 'A' + 'a');
        }
    }
    return s;
}

DWORD WINAPI serve_connection(void *arg)
{
    SOCKET s = (SOCKET)(uintptr_t)arg;
    DWORD timeout = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof timeout);
    std::string data;
    char buf[4096];
    size_t head_end = std::string::npos;
    while (head_end == std::string::npos && data.size() < 65536) {
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) {
            closesocket(s);
            return 0;
        }
        data.append(buf, (size_t)n);
        head_end = data.find("\r\n\r\n");
    }
    if (head_end == std::string::npos) {
        closesocket(s);
        return 0;
    }
    std::string head = data.substr(0, head_end);
    size_t line_end = head.find("\r\n");
    std::string request_line = head.substr(0, line_end);
    std::string method, path;
    size_t sp1 = request_line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? std::string::npos : request_line.find(' ', sp1 + 1);
    if (sp1 != std::string::npos) {
        method = request_line.substr(0, sp1);
        path = request_line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos
                                                                      : sp2 - sp1 - 1);
    }
    std::string authorization, user_agent;
    long content_length = 0;
    bool has_authorization = false;
    size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos) {
            end = head.size();
        }
        std::string line = head.substr(pos, end - pos);
        pos = end + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = lower(line.substr(0, colon));
        size_t v = colon + 1;
        while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) {
            v++;
        }
        std::string value = line.substr(v);
        if (name == "authorization") {
            authorization = value;
            has_authorization = true;
        } else if (name == "user-agent") {
            user_agent = value;
        } else if (name == "content-length") {
            content_length = strtol(value.c_str(), NULL, 10);
        }
    }
    // The body, if any, is read and dropped so the client sees a clean end.
    size_t have = data.size() - (head_end + 4);
    while ((long)have < content_length) {
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        have += (size_t)n;
    }

    append_request_log(method + " " + path + " " + (has_authorization ? authorization : "-") +
                       " " + (user_agent.empty() ? "-" : user_agent));

    std::string route = path.substr(0, path.find('?'));
    bool token_ok = has_authorization && authorization == "Bearer " + g_token;
    bool exit_after = false;
    if (method == "GET" && route == "/") {
        long delay = get_int("root_delay_ms", 0);
        int code = (int)get_int("root_code", 200);
        if (delay > 0 && GetTickCount() - g_start_tick < (DWORD)delay) {
            code = 503;
        }
        respond(s, code, "text/html; charset=utf-8",
                "<!doctype html><title>Tovrin Host</title><p>test sidecar</p>\r\n");
    } else if (method == "GET" && route == "/status") {
        if (!token_ok) {
            respond(s, 401, "application/json", "{\"error\":\"unauthorized\"}");
        } else {
            std::string body = "{\"pid\":" + std::to_string((unsigned long)GetCurrentProcessId());
            auto it = g_config.find("release");
            if (it != g_config.end()) {
                body += ",\"gitSha\":\"" + it->second + "\"";
            }
            body += "}";
            respond(s, (int)get_int("status_code", 200), "application/json", body);
        }
    } else if (method == "POST" && route == "/shutdown") {
        if (!token_ok) {
            respond(s, 401, "application/json", "{\"error\":\"unauthorized\"}");
        } else {
            respond(s, 200, "application/json", "{\"stopping\":true}");
            exit_after = get("on_shutdown", "exit") == "exit";
        }
    } else {
        respond(s, 404, "application/json", "{\"error\":\"not found\"}");
    }
    shutdown(s, SD_SEND);
    closesocket(s);
    if (exit_after) {
        if (get_int("remove_on_shutdown", 1) != 0) {
            remove_own_files();
        }
        long delay = get_int("shutdown_delay_ms", 0);
        if (delay > 0) {
            Sleep((DWORD)delay);
        }
        ExitProcess((UINT)g_exit_code);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    g_start_tick = GetTickCount();
    InitializeCriticalSection(&g_log_lock);
    if (argc == 2 && wcscmp(argv[1], L"--console-report") == 0) {
        DWORD pids[4];
        HWND console = GetConsoleWindow();
        write_std(STD_OUTPUT_HANDLE, (std::string("child_console=") + (GetConsoleProcessList(pids, 4) >= 2 ? "shared" : "own") +
                                      "\r\nchild_console_window=" + (console && IsWindowVisible(console) ? "visible" : "hidden") + "\r\n").c_str());
        return 0;
    }
    if (argc >= 2) {
        load_behaviour(argv[1]);
    }
    g_exit_code = (int)get_int("exit_code", 0);
    long exit_after = get_int("exit_after_ms", -1);
    if (exit_after >= 0) {
        HANDLE t = CreateThread(NULL, 0, exit_timer, (void *)(uintptr_t)exit_after, 0, NULL);
        if (t) {
            CloseHandle(t);
        }
    }
    write_std(STD_OUTPUT_HANDLE, "test sidecar started\r\n");
    write_std(STD_ERROR_HANDLE, "test sidecar stderr\r\n");
    std::string state_dir = get("state_dir", "");
    if (state_dir.empty()) {
        state_dir = default_state_dir();
    }
    auto in_state_dir = [&](const std::string &name) {
        return name.empty() || name.find('\\') != std::string::npos ? name : state_dir + "\\" + name;
    };
    if (get("release", "") == "installed") {
        std::string text;
        tvt::read_file(widen(tvt::env_var(L"TOVRIN_HOST_BUNDLE_PATH")) + L"\\host-release.json", &text);
        size_t at = text.find("\"gitSha\"");
        at = at == std::string::npos ? at : text.find('"', text.find(':', at) + 1);
        g_config["release"] = at == std::string::npos ? "" : text.substr(at + 1, text.find('"', at + 1) - at - 1);
    }
    std::string dump = in_state_dir(get("dump", ""));
    if (!dump.empty()) {
        write_dump(dump);
    }
    g_request_log = in_state_dir(get("request_log", ""));
    g_token = make_token();
    g_control_path = state_dir + "\\control.json";
    g_lock_path = state_dir + "\\runtime.lock.owner";

    long start_delay = get_int("start_delay_ms", 0);
    if (start_delay > 0) {
        Sleep((DWORD)start_delay);
    }
    // A process that only runs (a decoy of a busy machine): no listener, so
    // that many of them leave the listener tables alone.
    if (get_int("listen", 1) == 0) {
        Sleep(INFINITE);
    }

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        write_std(STD_ERROR_HANDLE, "test sidecar: WSAStartup failed\r\n");
        return 3;
    }
    // "::" listens on every IPv6 address and, dual stack, on every IPv4 one.
    std::string address = get("listen_address", "127.0.0.1");
    bool six = address == "::";
    SOCKET listener = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        write_std(STD_ERROR_HANDLE, "test sidecar: socket failed\r\n");
        return 3;
    }
    sockaddr_storage addr;
    ZeroMemory(&addr, sizeof addr);
    u_short wanted = htons((u_short)get_int("port", 0));
    if (six) {
        DWORD v6_only = 0;
        setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, (const char *)&v6_only, sizeof v6_only);
        sockaddr_in6 *a6 = (sockaddr_in6 *)&addr;
        a6->sin6_family = AF_INET6;
        a6->sin6_port = wanted;
    } else {
        sockaddr_in *a4 = (sockaddr_in *)&addr;
        a4->sin_family = AF_INET;
        a4->sin_port = wanted;
        a4->sin_addr.s_addr = inet_addr(address.c_str());
    }
    int addr_len = six ? (int)sizeof(sockaddr_in6) : (int)sizeof(sockaddr_in);
    BOOL reuse = get_int("reuse_address", 0) != 0;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, (const char *)&reuse, sizeof reuse);
    if (bind(listener, (sockaddr *)&addr, addr_len) != 0 || listen(listener, 16) != 0) {
        write_std(STD_ERROR_HANDLE, "test sidecar: cannot listen\r\n");
        return 3;
    }
    addr_len = sizeof addr;
    getsockname(listener, (sockaddr *)&addr, &addr_len);
    int port = ntohs(six ? ((sockaddr_in6 *)&addr)->sin6_port : ((sockaddr_in *)&addr)->sin_port);

    if (!state_dir.empty()) {
        CreateDirectoryW(widen(state_dir).c_str(), NULL);
    }
    if (get_int("write_lock", 1) != 0) {
        write_whole(g_lock_path, lock_text());
    }
    if (get_int("write_control", 1) != 0) {
        write_whole(g_control_path, control_text(port));
    }
    std::string ready = get("ready_file", "");
    if (!ready.empty()) {
        write_whole(ready, std::to_string(port) + "\r\n");
    }

    if (get_int("answer", 1) == 0) {
        Sleep(INFINITE);
    }
    for (;;) {
        SOCKET client = accept(listener, NULL, NULL);
        if (client == INVALID_SOCKET) {
            Sleep(10);
            continue;
        }
        HANDLE t = CreateThread(NULL, 0, serve_connection, (void *)(uintptr_t)client, 0, NULL);
        if (t) {
            CloseHandle(t);
        } else {
            closesocket(client);
        }
    }
}
