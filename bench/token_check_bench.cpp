// Benchmark of the look at the port's owner that comes before the sidecar's
// token is sent (the shell's start-up with a sidecar already answering pays
// it once, the stop once per request):
//
//   token_check_bench.exe RUNS
//
// It times tovrin_listener_may_receive_token against three owners of a
// loopback port: this installation's runtime (the test sidecar installed as
// runtime\node\node.exe), a program outside the installation, and nobody.
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
        verdict = tovrin_listener_may_receive_token(install.c_str(), port);
        t.push_back(now_ms() - t0);
    }
    std::sort(t.begin(), t.end());
    printf("%-10s owner pid %-6lu token %-4s runs %d  min %6.2f  median %6.2f  max %6.2f ms\n",
           name, (unsigned long)tvt::listener_owner(port), verdict ? "sent" : "kept", runs,
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
    tvt::process own, foreign;
    std::string lines = "state_dir=" + tvt::narrow(root + L"\\state") + "\n";
    int own_port = tvt::serve_test_listener(install + L"\\runtime\\node\\node.exe", root, L"own",
                                            lines, &own);
    int foreign_port =
        tvt::serve_test_listener(root + L"\\tools\\holder.exe", root, L"foreign", lines, &foreign);
    if (own_port == 0 || foreign_port == 0) {
        fprintf(stderr, "the listeners did not start\n");
        return 1;
    }
    time_case("own", install, own_port, runs);
    time_case("foreign", install, foreign_port, runs);
    time_case("nobody", install, 1, runs);
    TerminateProcess(own.handle, 9);
    TerminateProcess(foreign.handle, 9);
    WaitForSingleObject(own.handle, 5000);
    WaitForSingleObject(foreign.handle, 5000);
    tvt::remove_tree_retrying(root);
    return 0;
}
