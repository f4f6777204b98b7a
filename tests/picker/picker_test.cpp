// The storage folder picker, driven from outside like a user would: the
// test starts TovrinHost.exe --pick-folder with its standard output and
// standard error on real pipes (or a file), finds the dialog by its title,
// types a folder into the file-name field and confirms, or cancels.
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <functional>
#include <string>
#include <vector>

namespace {

const wchar_t k_title[] = L"Choose where Tovrin can use storage.";

struct picker_run {
    tvt::process proc;
    HANDLE out_read = NULL;
    HANDLE err_read = NULL;
};

// Starts the picker; standard output goes to a pipe, or to `out_file`.
bool start_picker(const std::wstring &args, picker_run *run, const std::wstring &out_file = L"",
                  bool redirect = true)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE out_write = NULL;
    HANDLE err_write = NULL;
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (redirect) {
        if (out_file.empty()) {
            if (!CreatePipe(&run->out_read, &out_write, &sa, 0)) {
                return false;
            }
            SetHandleInformation(run->out_read, HANDLE_FLAG_INHERIT, 0);
        } else {
            out_write = CreateFileW(out_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (out_write == INVALID_HANDLE_VALUE) {
                return false;
            }
        }
        if (!CreatePipe(&run->err_read, &err_write, &sa, 0)) {
            return false;
        }
        SetHandleInformation(run->err_read, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out_write;
        si.hStdError = err_write;
    }
    std::wstring cmd = tvt::quote(tvt::host_exe()) + L" " + args;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(L'\0');
    PROCESS_INFORMATION pi;
    BOOL ok = CreateProcessW(NULL, buf.data(), NULL, NULL, redirect, 0, NULL, NULL, &si, &pi);
    if (out_write) {
        CloseHandle(out_write);
    }
    if (err_write) {
        CloseHandle(err_write);
    }
    if (!ok) {
        return false;
    }
    CloseHandle(pi.hThread);
    run->proc.handle = pi.hProcess;
    run->proc.pid = pi.dwProcessId;
    return true;
}

HWND wait_for_dialog(DWORD pid, DWORD timeout_ms)
{
    HWND found = NULL;
    tvt::wait_until(
        [&] { return (found = tvt::find_visible_window(pid, L"#32770", k_title)) != NULL; },
        timeout_ms);
    return found;
}

// Reads a pipe to its end (the writer has exited by then).
std::string drain(HANDLE pipe)
{
    std::string text;
    char buf[4096];
    DWORD got = 0;
    while (pipe && ReadFile(pipe, buf, sizeof buf, &got, NULL) && got > 0) {
        text.append(buf, got);
    }
    return text;
}

struct picker_result {
    bool exited = false;
    DWORD exit_code = 99;
    std::string out;
    std::string err;
};

picker_result finish(picker_run *run)
{
    picker_result r;
    r.exited = tvt::wait_process(run->proc, 20000, &r.exit_code);
    if (!r.exited) {
        TerminateProcess(run->proc.handle, 99);
    }
    r.out = drain(run->out_read);
    r.err = drain(run->err_read);
    if (run->out_read) {
        CloseHandle(run->out_read);
    }
    if (run->err_read) {
        CloseHandle(run->err_read);
    }
    tvt::close_process(&run->proc);
    return r;
}

// The file-name field: control 0x47c on Windows (an edit inside a combo
// box), a plain edit with id 0x480 in Wine 8's dialog. Take the first that
// exists, so the test drives either.
HWND file_name_field(HWND dialog)
{
    const int ids[] = {0x47c, 0x480};
    for (int id : ids) {
        HWND h = GetDlgItem(dialog, id);
        wchar_t cls[32];
        if (h && GetClassNameW(h, cls, 32) && wcscmp(cls, L"Edit") == 0) {
            return h;
        }
        if (h) {
            HWND inner = FindWindowExW(h, NULL, L"Edit", NULL);
            if (inner) {
                return inner;
            }
        }
    }
    return NULL;
}

void choose(HWND dialog, const std::wstring &folder)
{
    HWND edit = file_name_field(dialog);
    ASSERT_NE(edit, (HWND)NULL) << "file-name field not found";
    SendMessageW(edit, WM_SETTEXT, 0, (LPARAM)folder.c_str());
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

void cancel(HWND dialog)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

// Starts the picker, waits for its dialog, lets `act` answer it, and
// collects what the program wrote and its exit code.
picker_result pick(const std::wstring &args, const std::function<void(HWND)> &act,
                   const std::wstring &out_file = L"", bool redirect = true)
{
    picker_result r;
    picker_run run;
    if (!start_picker(args, &run, out_file, redirect)) {
        ADD_FAILURE() << "the program did not start";
        return r;
    }
    HWND dialog = wait_for_dialog(run.proc.pid, 20000);
    if (dialog) {
        act(dialog);
    } else {
        ADD_FAILURE() << "the folder dialog did not appear";
    }
    r = finish(&run);
    EXPECT_TRUE(r.exited) << "the program did not exit";
    return r;
}

class PickerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tvt::remove_tree(tvt::state_dir());
        ASSERT_FALSE(tvt::dir_exists(tvt::state_dir()));
        root_ = tvt::make_temp_dir(L"picker");
        ASSERT_FALSE(root_.empty());
    }
    void TearDown() override { tvt::remove_tree(root_); }
    std::wstring folder(const wchar_t *name)
    {
        std::wstring f = root_ + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(f.c_str(), NULL));
        return f;
    }
    std::wstring root_;
};

TEST_F(PickerTest, ChosenNonAsciiFolderArrivesAsUtf8AndCrLfOnAPipe)
{
    // Latin letters with diacritics, Greek, CJK and a character outside the
    // Basic Multilingual Plane (a surrogate pair in UTF-16).
    std::wstring chosen = folder(L"Speicher \u00c4\u00f6\u00fc \u03a9 \u5b58\u50a8 \U0001F4BE");
    picker_result r = pick(L"--pick-folder", [&](HWND d) { choose(d, chosen); });
    EXPECT_EQ(0u, r.exit_code);
    EXPECT_EQ(tvt::narrow(chosen) + "\r\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(tvt::dir_exists(tvt::state_dir()));
}

TEST_F(PickerTest, OutputRedirectedToAFileReceivesThePath)
{
    std::wstring chosen = folder(L"plain");
    std::wstring out_file = root_ + L"\\out.txt";
    picker_result r = pick(L"--pick-folder", [&](HWND d) { choose(d, chosen); }, out_file);
    EXPECT_EQ(0u, r.exit_code);
    EXPECT_EQ(tvt::narrow(chosen) + "\r\n", tvt::read_file_or_empty(out_file));
}

TEST_F(PickerTest, CancelOrCloseGivesExitCode2AndNoOutputAndStillCreatesTheStateDirectory)
{
    picker_result r = pick(L"--pick-folder", cancel);
    EXPECT_EQ(2u, r.exit_code);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(tvt::dir_exists(tvt::state_dir()));

    r = pick(L"--pick-folder", [](HWND d) { PostMessageW(d, WM_CLOSE, 0, 0); });
    EXPECT_EQ(2u, r.exit_code);
    EXPECT_EQ("", r.out);
}

// --pick-folder wins over --stop-existing whichever comes first: the dialog
// appears (the stop-only mode would show none and exit by itself).
TEST_F(PickerTest, PickFolderWinsOverStopExistingInEitherOrder)
{
    for (const wchar_t *args : {L"--pick-folder --stop-existing", L"--stop-existing --pick-folder"}) {
        SCOPED_TRACE(tvt::narrow(args));
        picker_result r = pick(args, cancel);
        EXPECT_EQ(2u, r.exit_code);
        EXPECT_EQ("", r.out);
    }
    // The stop-only mode would have written its record.
    EXPECT_FALSE(tvt::file_exists(tvt::state_dir() + L"\\upgrade-stop.log"));
}

TEST_F(PickerTest, WithoutRedirectedOutputAChoiceStillExitsWithZero)
{
    std::wstring chosen = folder(L"quiet");
    picker_result r = pick(L"--pick-folder", [&](HWND d) { choose(d, chosen); }, L"", false);
    EXPECT_EQ(0u, r.exit_code);
}

} // namespace
