// Each rule of windows_contract.h (force-included here, as in the product's
// test build) refuses a call that breaks it, the way Windows fails it, with
// one line in the breach log naming the call. (That the program's own calls
// pass is what every other test checks, through the breach log.)
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <functional>

namespace {

struct breach_row {
    const char *call;
    DWORD expected; // last error, status or return value, as the call reports failure
    std::function<DWORD()> make;
    size_t lines = 1; // in the breach log; 0 for an answer of Windows given on request
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

// With an attribute list, holding `listed` as its handle list when given.
DWORD create_extended(DWORD cb, const HANDLE *listed, BOOL inherit)
{
    STARTUPINFOEXW s = {};
    s.StartupInfo.cb = cb;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(NULL, 1, 0, &size);
    std::vector<char> list(size);
    s.lpAttributeList = (LPPROC_THREAD_ATTRIBUTE_LIST)list.data();
    InitializeProcThreadAttributeList(s.lpAttributeList, 1, 0, &size);
    if (listed) {
        UpdateProcThreadAttribute(s.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                  (PVOID)listed, sizeof *listed, NULL, NULL);
    }
    DWORD e = create_with(EXTENDED_STARTUPINFO_PRESENT, &s.StartupInfo, inherit);
    DeleteProcThreadAttributeList(s.lpAttributeList);
    return e;
}

} // namespace

TEST(WindowsContract, EachRuleRefusesItsBreachOnce)
{
    HANDLE plain = CreateEventW(NULL, TRUE, FALSE, NULL); // not inheritable
    const breach_row rows[] = {
        {"CreateProcessW", ERROR_INVALID_PARAMETER, // the size Windows refuses
         [] { return create_extended(sizeof(STARTUPINFOW), NULL, FALSE); }},
        {"CreateProcessW", ERROR_INVALID_PARAMETER, [plain] {
             STARTUPINFOW s = {};
             s.cb = sizeof s;
             s.dwFlags = STARTF_USESTDHANDLES;
             s.hStdOutput = plain;
             return create_with(0, &s, FALSE);
         }},
        {"CreateProcessW", ERROR_INVALID_PARAMETER,
         [&plain] { return create_extended(sizeof(STARTUPINFOEXW), &plain, TRUE); }},
        {"CreateProcessW", ERROR_INVALID_PARAMETER, [] { // a flag that Windows would ignore
             STARTUPINFOW s = {};
             s.cb = sizeof s;
             return create_with(DETACHED_PROCESS | CREATE_NO_WINDOW, &s, FALSE);
         }},
        {"GetFileAttributesW", ERROR_ACCESS_DENIED, [] {
             SetEnvironmentVariableW(L"TOVRIN_STRICT_DENIED", L"C:\\windows");
             DWORD error = GetFileAttributesW(L"c:\\Windows") == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
             SetEnvironmentVariableW(L"TOVRIN_STRICT_DENIED", NULL);
             return error;
         }, 0},
        {"GetExtendedTcpTable", ERROR_INVALID_PARAMETER, [] { // a last row whose owner is gone
             SetEnvironmentVariableW(L"TOVRIN_STRICT_DEAD_OWNER", L"9 2147483644"); // no process has it
             std::vector<DWORD> table(1 << 14); // the count, then rows of six fields
             DWORD size = (DWORD)(table.size() * sizeof(DWORD));
             while (GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET,
                                        TCP_TABLE_OWNER_PID_LISTENER, 0) == ERROR_INSUFFICIENT_BUFFER) {
                 table.resize(size / sizeof(DWORD) + 1); // it grew, as it may
             }
             SetEnvironmentVariableW(L"TOVRIN_STRICT_DEAD_OWNER", NULL);
             const DWORD *last = &table[table[0] ? 6 * table[0] - 5 : 0];
             return last[2] == htons(9) && !OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, last[5])
                        ? GetLastError() : 0;
         }, 0},
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
        {"LoadLibraryExA", ERROR_INVALID_PARAMETER, [] {
             HMODULE m = LoadLibraryExA("winhttp.dll", NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
             return m ? (FreeLibrary(m), 0u) : GetLastError();
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
        {"WinHttpReceiveResponse", ERROR_WINHTTP_TIMEOUT, [] { // headers awaited without end
             HINTERNET session = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_NO_PROXY, NULL, NULL, 0);
             HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", 9, 0);
             HINTERNET request = WinHttpOpenRequest(connection, L"GET", L"/", NULL, NULL, NULL, 0);
             DWORD e = failed_with(WinHttpReceiveResponse(request, NULL));
             WinHttpCloseHandle(request);
             WinHttpCloseHandle(connection);
             WinHttpCloseHandle(session);
             return e;
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
        ASSERT_EQ(row.lines, lines.size()) << row.call;
        EXPECT_TRUE(!row.lines || lines[0].find(std::string(" ") + row.call + ": ") != std::string::npos)
            << lines[0];
    }
    CloseHandle(plain);
}
