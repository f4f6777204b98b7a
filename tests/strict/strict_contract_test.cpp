// Each rule of windows_contract.h (force-included here, as in the product's
// test build) refuses a call that breaks it, the way Windows fails it, with
// one line in the breach log naming the call; the calls the program makes
// pass untouched.
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <functional>

namespace {

struct breach_row {
    const char *call;
    DWORD expected; // last error, status or return value, as the call reports failure
    std::function<DWORD()> make;
};

DWORD failed_with(BOOL ok)
{
    return ok ? 0 : GetLastError();
}

DWORD create_with(DWORD flags, STARTUPINFOW *startup, BOOL inherit)
{
    wchar_t command[] = L"cmd.exe /c exit";
    PROCESS_INFORMATION info;
    BOOL ok = CreateProcessW(NULL, command, NULL, NULL, inherit, flags, NULL, NULL, startup, &info);
    if (ok) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    return failed_with(ok);
}

} // namespace

TEST(WindowsContract, EachRuleRefusesItsBreachOnce)
{
    HANDLE plain = CreateEventW(NULL, TRUE, FALSE, NULL); // not inheritable
    const breach_row rows[] = {
        {"CreateProcessW", ERROR_INVALID_PARAMETER, [] {
             STARTUPINFOEXW s = {};
             s.StartupInfo.cb = sizeof(STARTUPINFOW); // the size Windows refuses
             SIZE_T size = 0;
             InitializeProcThreadAttributeList(NULL, 1, 0, &size);
             std::vector<char> list(size);
             s.lpAttributeList = (LPPROC_THREAD_ATTRIBUTE_LIST)list.data();
             InitializeProcThreadAttributeList(s.lpAttributeList, 1, 0, &size);
             DWORD e = create_with(EXTENDED_STARTUPINFO_PRESENT, &s.StartupInfo, FALSE);
             DeleteProcThreadAttributeList(s.lpAttributeList);
             return e;
         }},
        {"CreateProcessW", ERROR_INVALID_PARAMETER, [plain] {
             STARTUPINFOW s = {};
             s.cb = sizeof s;
             s.dwFlags = STARTF_USESTDHANDLES;
             s.hStdOutput = plain;
             return create_with(0, &s, FALSE);
         }},
        {"CreateProcessW", ERROR_INVALID_PARAMETER, [plain] {
             STARTUPINFOEXW s = {};
             s.StartupInfo.cb = sizeof s;
             SIZE_T size = 0;
             InitializeProcThreadAttributeList(NULL, 1, 0, &size);
             std::vector<char> list(size);
             s.lpAttributeList = (LPPROC_THREAD_ATTRIBUTE_LIST)list.data();
             InitializeProcThreadAttributeList(s.lpAttributeList, 1, 0, &size);
             HANDLE handles[1] = {plain};
             UpdateProcThreadAttribute(s.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                       handles, sizeof handles, NULL, NULL);
             DWORD e = create_with(EXTENDED_STARTUPINFO_PRESENT, &s.StartupInfo, TRUE);
             DeleteProcThreadAttributeList(s.lpAttributeList);
             return e;
         }},
        {"CreateProcessW", ERROR_INVALID_PARAMETER, [] {
             STARTUPINFOW s = {};
             s.cb = sizeof s;
             return create_with(DETACHED_PROCESS | CREATE_NEW_CONSOLE, &s, FALSE);
         }},
        {"WideCharToMultiByte", ERROR_INVALID_PARAMETER, [] {
             char out[8];
             BOOL used = FALSE;
             return WideCharToMultiByte(CP_UTF8, 0, L"a", -1, out, 8, NULL, &used) ? 0 : GetLastError();
         }},
        {"WideCharToMultiByte", ERROR_INVALID_FLAGS, [] {
             char out[8];
             return WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, L"a", -1, out, 8, NULL, NULL)
                        ? 0
                        : GetLastError();
         }},
        {"MultiByteToWideChar", ERROR_INVALID_FLAGS, [] {
             wchar_t out[8];
             return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", -1, out, 8) ? 0 : GetLastError();
         }},
        {"CreateFileW", ERROR_INVALID_PARAMETER, [] {
             SECURITY_ATTRIBUTES sa = {3, NULL, TRUE};
             HANDLE f = CreateFileW(L"C:\\windows\\win.ini", GENERIC_READ, FILE_SHARE_READ, &sa,
                                    OPEN_EXISTING, 0, NULL);
             return f == INVALID_HANDLE_VALUE ? GetLastError() : (CloseHandle(f), 0);
         }},
        {"ReadFile", ERROR_INVALID_PARAMETER, [] {
             char b[4];
             return failed_with(ReadFile(GetStdHandle(STD_INPUT_HANDLE), b, 4, NULL, NULL));
         }},
        {"LoadLibraryExA", ERROR_INVALID_PARAMETER, [] {
             HMODULE m = LoadLibraryExA("winhttp.dll", NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
             return m ? (FreeLibrary(m), 0u) : GetLastError();
         }},
        {"HeapFree", ERROR_INVALID_PARAMETER,
         [] { return failed_with(HeapFree(GetProcessHeap(), 0, NULL)); }},
        {"Process32FirstW", ERROR_BAD_LENGTH, [] {
             HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
             PROCESSENTRY32W e = {};
             e.dwSize = 100;
             DWORD r = failed_with(Process32FirstW(snap, &e));
             CloseHandle(snap);
             return r;
         }},
        {"SystemParametersInfoW", ERROR_INVALID_PARAMETER, [] {
             NONCLIENTMETRICSW m = {};
             m.cbSize = sizeof m - 4;
             return failed_with(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0));
         }},
        {"BCryptFinishHash", 0xC000000Du, [] {
             BCRYPT_ALG_HANDLE alg = NULL;
             BCRYPT_HASH_HANDLE hash = NULL;
             unsigned char object[512];
             unsigned char digest[32];
             BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, NULL, 0);
             BCryptCreateHash(alg, &hash, object, sizeof object, NULL, 0, 0);
             DWORD r = (DWORD)BCryptFinishHash(hash, digest, 31, 0);
             BCryptDestroyHash(hash);
             BCryptCloseAlgorithmProvider(alg, 0);
             return r;
         }},
        {"ShellExecuteW", (DWORD)SE_ERR_ACCESSDENIED, [] { // no COM on this thread
             return (DWORD)(INT_PTR)ShellExecuteW(NULL, L"open", L"http://127.0.0.1:9/", NULL,
                                                   NULL, SW_SHOWNORMAL);
         }},
    };
    tvt::take_strict_breaches();
    for (const breach_row &row : rows) {
        EXPECT_EQ(row.expected, row.make()) << row.call;
        std::vector<std::string> lines = tvt::record_lines(tvt::take_strict_breaches());
        ASSERT_EQ(1u, lines.size()) << row.call;
        EXPECT_NE(std::string::npos, lines[0].find(std::string(" ") + row.call + ": ")) << lines[0];
    }
    CloseHandle(plain);
}

TEST(WindowsContract, TheProgramsOwnShapeOfCallsPasses)
{
    // The sidecar's launch: the extended start-up information of its size,
    // an inheritable log named alone in the handle list and as the standard
    // output and error, inheritance on.
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    std::wstring dir = tvt::make_temp_dir(L"strict");
    HANDLE log = CreateFileW((dir + L"\\log.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, log);
    STARTUPINFOEXW s = {};
    s.StartupInfo.cb = sizeof s;
    s.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    s.StartupInfo.hStdOutput = log;
    s.StartupInfo.hStdError = log;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(NULL, 1, 0, &size);
    std::vector<char> list(size);
    s.lpAttributeList = (LPPROC_THREAD_ATTRIBUTE_LIST)list.data();
    ASSERT_TRUE(InitializeProcThreadAttributeList(s.lpAttributeList, 1, 0, &size));
    ASSERT_TRUE(UpdateProcThreadAttribute(s.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                          &log, sizeof log, NULL, NULL));
    EXPECT_EQ(0u, create_with(EXTENDED_STARTUPINFO_PRESENT | DETACHED_PROCESS | CREATE_NO_WINDOW,
                              &s.StartupInfo, TRUE));
    DeleteProcThreadAttributeList(s.lpAttributeList);
    CloseHandle(log);

    // The listener table grows once between sizing and filling, as it may
    // on Windows; the grown size then fills.
    DWORD table_size = 0;
    ASSERT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER,
              GetExtendedTcpTable(NULL, &table_size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0));
    std::vector<char> table(table_size + 4096);
    DWORD sized = table_size;
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER,
              GetExtendedTcpTable(table.data(), &table_size, FALSE, AF_INET,
                                  TCP_TABLE_OWNER_PID_LISTENER, 0));
    EXPECT_GT(table_size, sized);
    table_size = (DWORD)table.size();
    EXPECT_EQ((DWORD)NO_ERROR, GetExtendedTcpTable(table.data(), &table_size, FALSE, AF_INET,
                                                   TCP_TABLE_OWNER_PID_LISTENER, 0));
    tvt::remove_tree_retrying(dir);
}
