// Benchmark of the look at the port's owners that comes before the sidecar's
// token is sent, the UI counts as ready and the browser opens (the shell's
// start-up with a sidecar already answering pays it twice: token and
// browser; a start that launches pays it twice too: ready and browser; the
// stop once per request):
//
//   token_check_bench.exe RUNS
//
// It times tovrin_port_owner_verdict (both listener tables, then each owner
// found) against owners of a loopback port: this installation's runtime
// (the test sidecar installed as runtime\node\node.exe) on 127.0.0.1 and
// on 0.0.0.0, a program outside the installation on 127.0.0.1 and on "::",
// and nobody.
// Under a runtime that reports every listener's owner as pid 0 (Wine 8) all
// three are "nobody"; the figures that count come from one that names the
// owner (Wine 10). Prints min / median / max per case, in milliseconds.
#include "tovrin_test_support.h"

#include "../stop/tovrinHostStop.h"

#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

using tvt::now_ms;

void time_case(const char *name, const std::wstring &install, int port, int runs)
{
    std::vector<double> t;
    int verdict = -1;
    for (int i = 0; i < runs; i++) {
        double t0 = now_ms();
        verdict = tovrin_port_owner_verdict(install.c_str(), NULL, port);
        t.push_back(now_ms() - t0);
    }
    std::sort(t.begin(), t.end());
    printf("%-12s owner pid %-6lu token %-4s runs %d  min %6.2f  median %6.2f  max %6.2f ms\n",
           name, (unsigned long)tvt::listener_owner(port),
           verdict == TOVRIN_PORT_TRUSTED ? "sent" : "kept", runs,
           t.front(), t[t.size() / 2], t.back());
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int runs = argc >= 2 ? _wtoi(argv[1]) : 20;
    if (runs < 1) {
        fprintf(stderr, "usage: token_check_bench.exe RUNS\n");
        return 2;
    }
    std::wstring root = tvt::make_temp_dir(L"tokenbench");
    std::wstring install = root + L"\\Host";
    tvt::install_layout layout;
    tvt::make_dirs(root + L"\\state");
    if (root.empty() || !tvt::make_install(install, layout)) {
        fprintf(stderr, "cannot lay out the installation\n");
        return 1;
    }
    printf("owners of loopback listeners named by this runtime: %s\n",
           tvt::listener_owners_visible() ? "yes" : "no (pid 0)");
    struct listener_case {
        const char *name;
        const wchar_t *exe;
        const char *address;
        tvt::process proc;
        int port;
    } cases[] = {
        {"own", L"\\Host\\runtime\\node\\node.exe", "127.0.0.1", {}, 0},
        {"own any", L"\\Host\\runtime\\node\\node.exe", "0.0.0.0", {}, 0},
        {"foreign", L"\\tools\\holder.exe", "127.0.0.1", {}, 0},
        {"foreign ::", L"\\tools\\holder.exe", "::", {}, 0},
    };
    for (listener_case &c : cases) {
        std::string lines = "state_dir=" + tvt::narrow(root + L"\\state") +
                            "\nlisten_address=" + c.address + "\n";
        std::wstring tag = tvt::widen(std::to_string(&c - cases));
        c.port = tvt::serve_test_listener(root + c.exe, root, tag, lines, &c.proc);
        if (c.port == 0) {
            fprintf(stderr, "the listener %s did not start\n", c.name);
            return 1;
        }
    }
    for (listener_case &c : cases) {
        time_case(c.name, install, c.port, runs);
    }
    time_case("nobody", install, 1, runs);
    for (listener_case &c : cases) {
        TerminateProcess(c.proc.handle, 9);
        WaitForSingleObject(c.proc.handle, 5000);
    }
    tvt::remove_tree_retrying(root);
    return 0;
}
