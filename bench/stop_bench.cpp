// Benchmark of the stop-only mode, run inside Windows (Wine) so that the
// figures hold only TovrinHost.exe's own work, not the Wine launcher's.
//
//   stop_bench.exe HOST_EXE SIDECAR_EXE RUNS DELAY_MS
//
// For each run it builds a fresh installation in the temporary folder and
// times `TovrinHost.exe --stop-existing` from CreateProcess to the exit:
//   idle      nothing of the installation runs
//   request   a sidecar that exits DELAY_MS after POST /shutdown; the
//             figure reported is the time minus DELAY_MS: the shell's own
//             overhead around the sidecar's wait
//   ignore    a sidecar that ignores the request: the forced path, set
//             against the 4000 ms graceful wait
//   schtasks  one run of the system's schtasks.exe with the disable step's
//             arguments, as the stop makes it (two of them precede the
//             request, one is all of the idle case)
// Prints every run, then min / median / max per case.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

std::string narrow(const std::wstring &w)
{
    if (w.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), NULL, 0, NULL, NULL);
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &out[0], n, NULL, NULL);
    return out;
}

bool write_file(const std::wstring &path, const std::string &bytes)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(f, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(f);
    return ok && written == bytes.size();
}

std::wstring quote(const std::wstring &s)
{
    return L"\"" + s + L"\"";
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

bool start(const std::wstring &cmd, const std::wstring &cwd, PROCESS_INFORMATION *pi)
{
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(L'\0');
    return CreateProcessW(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL,
                          cwd.empty() ? NULL : cwd.c_str(), &si, pi) != 0;
}

struct install {
    std::wstring dir;
    std::wstring host;
    std::wstring node;
    std::wstring script;
    std::wstring ready;
};

bool make_install(const std::wstring &base, int run, const std::wstring &host_exe,
                  const std::wstring &sidecar_exe, install *out)
{
    wchar_t name[64];
    _snwprintf(name, 64, L"\\tvh-bench-%lu-%d", (unsigned long)GetCurrentProcessId(), run);
    name[63] = L'\0';
    out->dir = base + name;
    out->host = out->dir + L"\\TovrinHost.exe";
    out->node = out->dir + L"\\runtime\\node\\node.exe";
    out->script = out->dir + L"\\runtime\\dist\\hostRuntimeCli.js";
    out->ready = out->dir + L"\\ready.txt";
    CreateDirectoryW(out->dir.c_str(), NULL);
    CreateDirectoryW((out->dir + L"\\runtime").c_str(), NULL);
    CreateDirectoryW((out->dir + L"\\runtime\\node").c_str(), NULL);
    CreateDirectoryW((out->dir + L"\\runtime\\dist").c_str(), NULL);
    return CopyFileW(host_exe.c_str(), out->host.c_str(), FALSE) &&
           CopyFileW(sidecar_exe.c_str(), out->node.c_str(), FALSE);
}

void remove_install(const install &in)
{
    DeleteFileW(in.host.c_str());
    DeleteFileW(in.node.c_str());
    DeleteFileW(in.script.c_str());
    DeleteFileW(in.ready.c_str());
    RemoveDirectoryW((in.dir + L"\\runtime\\node").c_str());
    RemoveDirectoryW((in.dir + L"\\runtime\\dist").c_str());
    RemoveDirectoryW((in.dir + L"\\runtime").c_str());
    RemoveDirectoryW(in.dir.c_str());
}

// Starts the installation's sidecar with `behaviour` and waits until it
// listens. Returns its process handle, or NULL.
HANDLE start_sidecar(const install &in, const std::string &behaviour, const std::wstring &state)
{
    std::string text = "state_dir=" + narrow(state) + "\r\nready_file=" + narrow(in.ready) +
                       "\r\n" + behaviour;
    if (!write_file(in.script, text)) {
        return NULL;
    }
    PROCESS_INFORMATION pi;
    if (!start(quote(in.node) + L" " + quote(in.script) + L" serve", in.dir, &pi)) {
        return NULL;
    }
    CloseHandle(pi.hThread);
    for (int i = 0; i < 500; i++) {
        if (GetFileAttributesW(in.ready.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return pi.hProcess;
        }
        Sleep(10);
    }
    TerminateProcess(pi.hProcess, 9);
    CloseHandle(pi.hProcess);
    return NULL;
}

// Milliseconds of one `--stop-existing`, or a negative value on failure.
double time_stop(const install &in, DWORD *exit_code)
{
    PROCESS_INFORMATION pi;
    double t0 = now_ms();
    if (!start(quote(in.host) + L" --stop-existing", L"", &pi)) {
        return -1;
    }
    WaitForSingleObject(pi.hProcess, 120000);
    double t1 = now_ms();
    GetExitCodeProcess(pi.hProcess, exit_code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return t1 - t0;
}

void summary(const char *name, std::vector<double> v, const char *note)
{
    if (v.empty()) {
        printf("%-8s no successful run\n", name);
        return;
    }
    std::sort(v.begin(), v.end());
    printf("%-8s runs %zu  min %7.1f  median %7.1f  max %7.1f ms  %s\n", name, v.size(), v.front(),
           v[v.size() / 2], v.back(), note);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: stop_bench.exe HOST_EXE SIDECAR_EXE RUNS DELAY_MS\n");
        return 2;
    }
    std::wstring host_exe = argv[1];
    std::wstring sidecar_exe = argv[2];
    int runs = _wtoi(argv[3]);
    int delay = _wtoi(argv[4]);
    wchar_t temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, n);
    if (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    wchar_t appdata[MAX_PATH];
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, appdata))) {
        fprintf(stderr, "no local application-data folder\n");
        return 1;
    }
    std::wstring state = std::wstring(appdata) + L"\\TovrinHost";
    CreateDirectoryW(state.c_str(), NULL);

    wchar_t sysdir[MAX_PATH];
    GetSystemDirectoryW(sysdir, MAX_PATH);
    std::wstring schtasks = std::wstring(sysdir) + L"\\schtasks.exe";
    std::vector<double> idle, request, ignore, tasks;
    for (int run = 0; run < runs; run++) {
        install in;
        if (!make_install(base, run, host_exe, sidecar_exe, &in)) {
            fprintf(stderr, "run %d: cannot build the installation\n", run);
            return 1;
        }
        DWORD code = 0;
        DeleteFileW((state + L"\\control.json").c_str());
        DeleteFileW((state + L"\\runtime.lock.owner").c_str());

        double t = time_stop(in, &code);
        printf("run %d idle     %7.1f ms  exit %lu\n", run, t, (unsigned long)code);
        if (t >= 0 && code == 0) {
            idle.push_back(t);
        }

        PROCESS_INFORMATION pi;
        double t0 = now_ms();
        if (start(quote(schtasks) + L" /Change /TN \"Tovrin Host\" /DISABLE", L"", &pi)) {
            WaitForSingleObject(pi.hProcess, 15000);
            double t1 = now_ms();
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
            printf("run %d schtasks %7.1f ms\n", run, t1 - t0);
            tasks.push_back(t1 - t0);
        }

        char behaviour[128];
        snprintf(behaviour, sizeof behaviour, "on_shutdown=exit\r\nshutdown_delay_ms=%d\r\n", delay);
        HANDLE sidecar = start_sidecar(in, behaviour, state);
        if (sidecar) {
            t = time_stop(in, &code);
            DWORD sidecar_code = 99;
            WaitForSingleObject(sidecar, 5000);
            GetExitCodeProcess(sidecar, &sidecar_code);
            printf("run %d request  %7.1f ms  minus %d ms: %7.1f ms  exit %lu\n", run, t, delay,
                   t - delay, (unsigned long)code);
            if (t >= 0 && code == 0) {
                request.push_back(t - delay);
            }
            CloseHandle(sidecar);
        }

        sidecar = start_sidecar(in, "on_shutdown=ignore\r\n", state);
        if (sidecar) {
            t = time_stop(in, &code);
            printf("run %d ignore   %7.1f ms  (graceful wait 4000 ms)  exit %lu\n", run, t,
                   (unsigned long)code);
            if (t >= 0 && code == 0) {
                ignore.push_back(t);
            }
            TerminateProcess(sidecar, 9);
            WaitForSingleObject(sidecar, 5000);
            CloseHandle(sidecar);
        }
        remove_install(in);
    }
    printf("\n");
    summary("idle", idle, "nothing running");
    summary("request", request, "overhead beyond the sidecar's delay (target < 300 ms)");
    summary("ignore", ignore, "forced path; the shell waits 4000 ms before terminating");
    summary("schtasks", tasks, "one schtasks.exe run");
    return 0;
}
