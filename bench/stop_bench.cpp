// Benchmark of the stop-only mode, run inside Windows (Wine) so that the
// figures hold only TovrinHost.exe's own work, not the Wine launcher's.
//
//   stop_bench.exe RUNS DELAY_MS
//
// For each run it builds a fresh installation in the temporary folder, with
// the TovrinHost.exe and the test sidecar of the build tree it was built in, and
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
#include "tovrin_test_support.h"

#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

using tvt::now_ms;

struct install {
    std::wstring dir;
    std::wstring host;
    std::wstring node;
    std::wstring script;
    std::wstring ready;
};

// A fresh installation with this build's TovrinHost.exe and the test
// sidecar as its runtime.
bool make_install(install *out)
{
    out->dir = tvt::make_temp_dir(L"bench");
    out->host = out->dir + L"\\TovrinHost.exe";
    out->node = out->dir + L"\\runtime\\node\\node.exe";
    out->script = out->dir + L"\\runtime\\dist\\hostRuntimeCli.js";
    out->ready = out->dir + L"\\ready.txt";
    tvt::install_layout layout;
    layout.cli = false; // each case writes its own behaviour
    return !out->dir.empty() && tvt::make_install(out->dir, layout);
}

// Starts the installation's sidecar with `behaviour` and waits until it
// listens. Returns its process handle, or NULL.
HANDLE start_sidecar(const install &in, const std::string &behaviour, const std::wstring &state)
{
    std::string text = "state_dir=" + tvt::narrow(state) + "\r\nready_file=" +
                       tvt::narrow(in.ready) + "\r\n" + behaviour;
    DeleteFileW(in.ready.c_str());
    if (!tvt::write_file(in.script, text)) {
        return NULL;
    }
    tvt::process p;
    if (!tvt::start_process(tvt::quote(in.node) + L" " + tvt::quote(in.script) + L" serve",
                            in.dir, &p)) {
        return NULL;
    }
    if (tvt::wait_until([&] { return tvt::file_exists(in.ready); }, 5000)) {
        return p.handle;
    }
    TerminateProcess(p.handle, 9);
    tvt::close_process(&p);
    return NULL;
}

// Milliseconds of one `--stop-existing`, or a negative value on failure.
double time_stop(const install &in, DWORD *exit_code)
{
    tvt::process p;
    double t0 = now_ms();
    if (!tvt::start_process(tvt::quote(in.host) + L" --stop-existing", L"", &p)) {
        return -1;
    }
    bool ended = tvt::wait_process(p, 120000, exit_code);
    double t1 = now_ms();
    tvt::close_process(&p);
    return ended ? t1 - t0 : -1;
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
    if (argc < 3) {
        fprintf(stderr, "usage: stop_bench.exe RUNS DELAY_MS\n");
        return 2;
    }
    int runs = _wtoi(argv[1]);
    int delay = _wtoi(argv[2]);
    std::wstring state = tvt::state_dir();
    if (state.empty()) {
        fprintf(stderr, "no local application-data folder\n");
        return 1;
    }
    CreateDirectoryW(state.c_str(), NULL);

    wchar_t sysdir[MAX_PATH];
    GetSystemDirectoryW(sysdir, MAX_PATH);
    std::wstring schtasks = std::wstring(sysdir) + L"\\schtasks.exe";
    std::vector<double> idle, request, ignore, tasks;
    for (int run = 0; run < runs; run++) {
        install in;
        if (!make_install(&in)) {
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

        tvt::process task;
        double t0 = now_ms();
        if (tvt::start_process(tvt::quote(schtasks) + L" /Change /TN \"Tovrin Host\" /DISABLE",
                               L"", &task)) {
            tvt::wait_process(task, 15000, NULL);
            double t1 = now_ms();
            tvt::close_process(&task);
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
        tvt::remove_tree_retrying(in.dir);
    }
    printf("\n");
    summary("idle", idle, "nothing running");
    summary("request", request, "overhead beyond the sidecar's delay (target < 300 ms)");
    summary("ignore", ignore, "forced path; the shell waits 4000 ms before terminating");
    summary("schtasks", tasks, "one schtasks.exe run");
    return 0;
}
