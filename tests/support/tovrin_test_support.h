// Helpers shared by the Windows tests: paths of the built programs, throw-away
// install directories, files, processes and waiting. Tests only.
#ifndef TOVRIN_TEST_SUPPORT_H
#define TOVRIN_TEST_SUPPORT_H

#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace tvt {

std::wstring widen(const std::string &utf8);
std::string narrow(const std::wstring &wide);
// An environment variable of this process in UTF-8; empty when unset.
std::string env_var(const wchar_t *name);

// Windows form (Z:\...) of the build tree and of the programs built in it.
std::wstring build_dir();
// The program as the tests start it: built with the Windows contract checks
// (tests/strict), copied as TovrinHost.exe into installations.
std::wstring host_exe();
std::wstring release_host_exe(); // the release TovrinHost.exe itself
// The program built for the tests: it keeps a trail of what it did
// (shell-trail.log in the state directory) and reports a slow start after
// 2 s instead of 60 s.
std::wstring host_trail_exe();
std::wstring test_sidecar_exe(); // the native test sidecar
// The task "ENABLED RUNNING" ("" for none) running `command` of the stand-in
// schtasks.exe. With `prefix` it replaces the prefix's own (run only where
// CTest set WINEDLLOVERRIDES "schtasks.exe=n,b"); no `file` puts that back.
bool use_task_standin(const std::wstring &file, const std::string &task = "",
                      const std::wstring &command = L"", bool prefix = true);

// The breach log of the Windows contract checks: this process and every
// program it starts (the variable TOVRIN_STRICT_LOG is inherited) write to a
// fresh file of its own. take_strict_breaches() returns the lines written
// since it was last called. The tests' main() fails every test during which
// a line appeared.
void use_own_strict_log(const wchar_t *program);
std::string take_strict_breaches();

// Files.
bool write_file(const std::wstring &path, const std::string &bytes);
bool read_file(const std::wstring &path, std::string *bytes);
std::string read_file_or_empty(const std::wstring &path);
bool file_exists(const std::wstring &path);
bool dir_exists(const std::wstring &path);
bool make_dirs(const std::wstring &path);
void remove_tree(const std::wstring &path);
// remove_tree, retried while files of programs that just ended are still
// held (Wine releases them a moment later); true once the tree is gone.
bool remove_tree_retrying(const std::wstring &path, DWORD timeout_ms = 3000);
bool copy_file(const std::wstring &from, const std::wstring &to);
// The lines of a record file, each with its line break; an unterminated
// tail is a line of its own (a torn record shows up).
std::vector<std::string> split_lines(const std::string &text);
// The same lines without their CR LF or LF.
std::vector<std::string> record_lines(const std::string &text);

// A fresh empty directory under the temporary folder; removed by the caller.
std::wstring make_temp_dir(const wchar_t *tag);

// The current user's state directory (LOCALAPPDATA\TovrinHost) and a way to
// empty it between tests. Tests that use it must not run in parallel.
std::wstring state_dir();
void clear_state_dir();

// A throw-away installation: TovrinHost.exe at the top, the test sidecar
// as runtime\node\node.exe and `script` as runtime\dist\hostRuntimeCli.js.
struct install_layout {
    bool shell = true;
    bool trail = false;   // the trail build as TovrinHost.exe
    bool release = false; // the release program (no contract checks) as TovrinHost.exe
    bool node = true;
    bool cli = true;
    std::string script; // the test sidecar reads its behaviour from it
};
bool make_install(const std::wstring &dir, const install_layout &layout);

// Processes.
struct process {
    HANDLE handle = NULL;
    DWORD pid = 0;
};
// Starts `command_line` (application name taken from it). `stdout_file`, when
// not empty, receives standard output and standard error.
bool start_process(const std::wstring &command_line, const std::wstring &cwd, process *out,
                   const std::wstring &stdout_file = L"");
// Starts `command_line` with standard input, output and error on the NUL
// device and the given creation flags (default DETACHED_PROCESS, the way the
// shell starts the sidecar). Under Wine a child that shares the test's
// output, or a console host made for it, can keep the test runner's pipe
// open after the test has ended; a child started this way cannot. With
// `job`, it runs in that job from its first instruction.
bool start_process_quiet(const std::wstring &command_line, const std::wstring &cwd, process *out,
                         DWORD creation_flags = DETACHED_PROCESS, HANDLE job = NULL);
// Waits up to `timeout_ms`; true and the exit code when it ended.
bool wait_process(const process &p, DWORD timeout_ms, DWORD *exit_code);
bool process_alive(DWORD pid);
void close_process(process *p);
// Runs and waits; captures standard output through a real pipe. `cwd`,
// when not empty, is its current directory. With `job_processes`, it runs in
// a job object of its own, and receives how many processes ran in that job
// in all (1: the program started no other program).
bool run_process(const std::wstring &command_line, DWORD timeout_ms, DWORD *exit_code,
                 std::string *output = nullptr, const std::wstring &cwd = L"",
                 DWORD *job_processes = nullptr);
// Terminates every process whose image lies below `dir` (clean-up), with
// exit code 9 unless `code` says otherwise.
void kill_processes_below(const std::wstring &dir, UINT code = 9);
// Ends the console hosts made since this test program started. Under Wine a
// sidecar's hidden console gets a conhost.exe that keeps the Unix files of
// the program that made it, the test runner's output pipe among them, and
// Wine 10's may outlive every program of its console: CTest would then wait
// for the pipe until its time-out.
void end_console_hosts();
// cmd.exe without a window, its standard handles on NUL, running a waiter
// (a copy of the test sidecar in `work`\tools that ends by itself after
// 30 s): through `helper_dir`\tovrinhostsidecar.cmd, written first, when
// `helper_dir` is given, else directly. True once the new waiter runs, so
// that none starts after a test's clean-up.
bool start_console(const std::wstring &work, const std::wstring &helper_dir, process *out);
// A copy of the test sidecar as `exe` (copied there when it is missing)
// serving on 127.0.0.1 with the behaviour `lines` ("key=value\n" each), its
// standard handles on NUL. `work`\ready-`tag`.txt and behaviour-`tag`.txt
// are its files there. Its port once it listens, or 0.
int serve_test_listener(const std::wstring &exe, const std::wstring &work,
                        const std::wstring &tag, const std::string &lines, process *out);
// The ids of the running processes that have exactly this image (letter
// case aside), and how many there are.
std::vector<DWORD> pids_of_image(const std::wstring &image);
size_t count_images(const std::wstring &image);
// Milliseconds from a high-resolution counter (benchmarks).
double now_ms();
// Image paths and ids of running processes.
std::vector<std::pair<DWORD, std::wstring>> list_processes();

// The owner of the listener on 127.0.0.1 at `port` as the system reports
// it (0 for none, and under runtimes that do not name listeners' owners).
DWORD listener_owner(int port);
// Whether this runtime names the owner of a loopback listener at all: it
// listens itself and looks. Wine 8 reports every owner as pid 0.
bool listener_owners_visible();
extern const char k_owners_hidden[]; // the reason a test skips without them

// A visible top-level window of process `pid`, of class `window_class` and
// with the title `title` when those are given; NULL when there is none.
HWND find_visible_window(DWORD pid, const wchar_t *window_class = nullptr,
                         const wchar_t *title = nullptr);

// Polls `condition` every 20 ms until it holds or `timeout_ms` passed.
bool wait_until(const std::function<bool()> &condition, DWORD timeout_ms);

// Quoted for CreateProcessW's command line (tests' own arguments only).
std::wstring quote(const std::wstring &arg);

} // namespace tvt

#endif
