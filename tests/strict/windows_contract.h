/*
 * Windows' documented contract for the calls the program makes, checked
 * where Wine does not check it.
 *
 * Wine runs calls that Windows refuses (a wrong structure size, a flag that
 * Windows rejects, a handle that cannot reach the child), so a suite that
 * only runs under Wine cannot see such a fault. The test build of the
 * program and of the code the unit tests link is compiled with this header
 * force-included (-include): it includes the Windows headers first, so the
 * product's own includes of them are then no-ops, defines one checking
 * wrapper per call, and at its end renames each call to its wrapper. The
 * release program is compiled without it and stays unchanged.
 *
 * A call that breaks a rule fails the way Windows fails it (the documented
 * result and last error; where Windows faults or silently hands a child
 * meaningless values instead, the wrapper refuses with
 * ERROR_INVALID_PARAMETER) and appends one line naming the call and the
 * rule to the breach log: the file named by TOVRIN_STRICT_LOG, else
 * TOVRIN_STRICT_LOG_DEFAULT. The tests fail on any line there.
 *
 * Besides, the listener table behaves as Windows' may: it grows between
 * the call that sizes the buffer and the call that fills it, once per
 * sizing, so the caller's retry is exercised on every query. And what Wine
 * cannot produce, a test can ask for: a listener row whose owner no longer
 * exists (TOVRIN_STRICT_DEAD_OWNER), and a path that answers access denied
 * (TOVRIN_STRICT_DENIED).
 */
#ifndef TOVRIN_WINDOWS_CONTRACT_H
#define TOVRIN_WINDOWS_CONTRACT_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <tlhelp32.h>
#include <bcrypt.h>
#include <objbase.h>
#include <shellapi.h>
#include <commctrl.h>
#include <winhttp.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#ifndef TOVRIN_STRICT_LOG_DEFAULT
#define TOVRIN_STRICT_LOG_DEFAULT L"strict-breaches.log"
#endif

/* One line to the breach log; the caller's last error is set afterwards. */
inline void strict_breach(const char *call, const char *format, ...)
{
    char line[640];
    int n = snprintf(line, sizeof line, "pid=%lu %s: ", (unsigned long)GetCurrentProcessId(), call);
    if (n < 0 || (size_t)n >= sizeof line) {
        return;
    }
    va_list args;
    va_start(args, format);
    int m = vsnprintf(line + n, sizeof line - (size_t)n - 2, format, args);
    va_end(args);
    if (m < 0) {
        return;
    }
    size_t len = strlen(line);
    line[len++] = '\r';
    line[len++] = '\n';
    wchar_t path[MAX_PATH];
    DWORD got = GetEnvironmentVariableW(L"TOVRIN_STRICT_LOG", path, MAX_PATH);
    if (got == 0 || got >= MAX_PATH) {
        wcscpy(path, TOVRIN_STRICT_LOG_DEFAULT);
    }
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, (DWORD)len, &written, NULL);
        CloseHandle(file);
    }
}

#define STRICT_REFUSE(result, error, call, ...)                                                   \
    do {                                                                                          \
        strict_breach(call, __VA_ARGS__);                                                         \
        SetLastError(error);                                                                      \
        return result;                                                                            \
    } while (0)

inline int strict_inheritable(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT);
}

/* ---- attribute lists: what each one holds, for CreateProcessW ---- */

struct strict_attribute_list {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    const HANDLE *handles; /* the handle list, when one was set */
    SIZE_T handle_count;
};

inline strict_attribute_list *strict_lists(void)
{
    static strict_attribute_list lists[8];
    return lists;
}

inline strict_attribute_list *strict_find_list(LPPROC_THREAD_ATTRIBUTE_LIST list)
{
    for (int i = 0; i < 8; i++) {
        if (strict_lists()[i].list == list) {
            return &strict_lists()[i];
        }
    }
    return NULL;
}

inline BOOL WINAPI strict_InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list,
                                                            DWORD count, DWORD flags,
                                                            PSIZE_T size)
{
    const char *call = "InitializeProcThreadAttributeList";
    if (flags != 0) {
        STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, call, "dwFlags is %lu; it is reserved and must be 0",
                      (unsigned long)flags);
    }
    BOOL ok = InitializeProcThreadAttributeList(list, count, flags, size);
    if (ok && list) {
        strict_attribute_list *slot = strict_find_list(NULL);
        if (slot) {
            slot->list = list;
            slot->handles = NULL;
            slot->handle_count = 0;
        }
    }
    return ok;
}

inline BOOL WINAPI strict_UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags,
                                                    DWORD_PTR attribute, PVOID value, SIZE_T size,
                                                    PVOID previous, PSIZE_T return_size)
{
    const char *call = "UpdateProcThreadAttribute";
    if (flags != 0 || previous || return_size) {
        STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, call,
                      "dwFlags, lpPreviousValue and lpReturnSize are reserved: 0 and NULL");
    }
    if (attribute == PROC_THREAD_ATTRIBUTE_HANDLE_LIST) {
        const HANDLE *handles = static_cast<const HANDLE *>(value);
        if (!handles || size == 0 || size % sizeof(HANDLE) != 0) {
            STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, call,
                          "the handle list of %lu bytes is not a whole number of handles",
                          (unsigned long)size);
        }
        for (SIZE_T i = 0; i < size / sizeof(HANDLE); i++) {
            if (handles[i] == GetCurrentProcess() || handles[i] == GetCurrentThread()) {
                STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, call,
                              "the handle list holds a pseudo handle");
            }
        }
    }
    BOOL ok = UpdateProcThreadAttribute(list, flags, attribute, value, size, previous, return_size);
    strict_attribute_list *slot = strict_find_list(list);
    if (ok && slot && attribute == PROC_THREAD_ATTRIBUTE_HANDLE_LIST) {
        /* The value must stay valid until the list is deleted; it is read
         * again when the process is created. */
        slot->handles = static_cast<const HANDLE *>(value);
        slot->handle_count = size / sizeof(HANDLE);
    }
    return ok;
}

inline void WINAPI strict_DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list)
{
    strict_attribute_list *slot = strict_find_list(list);
    if (slot) {
        slot->list = NULL;
        slot->handles = NULL;
        slot->handle_count = 0;
    }
    DeleteProcThreadAttributeList(list);
}

/* ---- processes ---- */

inline int strict_writable(const void *address)
{
    MEMORY_BASIC_INFORMATION info;
    if (!VirtualQuery(address, &info, sizeof info) || info.State != MEM_COMMIT) {
        return 0;
    }
    DWORD protect = info.Protect & 0xFF;
    return protect == PAGE_READWRITE || protect == PAGE_WRITECOPY ||
           protect == PAGE_EXECUTE_READWRITE || protect == PAGE_EXECUTE_WRITECOPY;
}

inline int strict_full_path(const wchar_t *path)
{
    return (((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
            path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
           (path[0] == L'\\' && path[1] == L'\\');
}

inline BOOL WINAPI strict_CreateProcessW(LPCWSTR application, LPWSTR command_line,
                                         LPSECURITY_ATTRIBUTES process_attributes,
                                         LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit,
                                         DWORD flags, LPVOID environment, LPCWSTR directory,
                                         LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info)
{
    const char *call = "CreateProcessW";
    const BOOL no = FALSE;
    const DWORD bad = ERROR_INVALID_PARAMETER;
    if (!startup || !info) {
        STRICT_REFUSE(no, bad, call, "lpStartupInfo and lpProcessInformation are required");
    }
    const strict_attribute_list *attributes = NULL;
    if (flags & EXTENDED_STARTUPINFO_PRESENT) {
        if (startup->cb != sizeof(STARTUPINFOEXW)) {
            STRICT_REFUSE(no, bad, call,
                          "StartupInfo.cb is %lu with EXTENDED_STARTUPINFO_PRESENT; Windows requires "
                          "sizeof(STARTUPINFOEXW) = %u",
                          (unsigned long)startup->cb, (unsigned)sizeof(STARTUPINFOEXW));
        }
        LPPROC_THREAD_ATTRIBUTE_LIST list =
            reinterpret_cast<LPSTARTUPINFOEXW>(startup)->lpAttributeList;
        if (!list) {
            STRICT_REFUSE(no, bad, call, "EXTENDED_STARTUPINFO_PRESENT without an attribute list");
        }
        attributes = strict_find_list(list);
    } else if (startup->cb != sizeof(STARTUPINFOW)) {
        STRICT_REFUSE(no, bad, call, "STARTUPINFOW.cb is %lu, not sizeof(STARTUPINFOW) = %u",
                      (unsigned long)startup->cb, (unsigned)sizeof(STARTUPINFOW));
    }
    if ((process_attributes && process_attributes->nLength != sizeof(SECURITY_ATTRIBUTES)) ||
        (thread_attributes && thread_attributes->nLength != sizeof(SECURITY_ATTRIBUTES))) {
        STRICT_REFUSE(no, bad, call, "SECURITY_ATTRIBUTES.nLength is not its size");
    }
    if ((flags & DETACHED_PROCESS) && (flags & CREATE_NEW_CONSOLE)) {
        STRICT_REFUSE(no, bad, call, "DETACHED_PROCESS cannot be used with CREATE_NEW_CONSOLE");
    }
    if ((flags & CREATE_NO_WINDOW) && (flags & (DETACHED_PROCESS | CREATE_NEW_CONSOLE))) {
        /* Windows runs it, without the flag: the process has no console or a
         * visible one, and its console children each open a window. */
        STRICT_REFUSE(no, bad, call,
                      "CREATE_NO_WINDOW is ignored with DETACHED_PROCESS or CREATE_NEW_CONSOLE");
    }
    if (environment && !(flags & CREATE_UNICODE_ENVIRONMENT)) {
        STRICT_REFUSE(no, bad, call,
                      "an environment block without CREATE_UNICODE_ENVIRONMENT is read as ANSI");
    }
    if (command_line) {
        if (!strict_writable(command_line)) {
            STRICT_REFUSE(no, ERROR_NOACCESS, call,
                          "lpCommandLine is not writable memory (CreateProcessW may modify it)");
        }
        if (wcsnlen(command_line, 32768) > 32767) {
            STRICT_REFUSE(no, ERROR_FILENAME_EXCED_RANGE, call,
                          "the command line exceeds 32,767 characters");
        }
    }
    if (directory && !strict_full_path(directory)) {
        STRICT_REFUSE(no, ERROR_DIRECTORY, call, "lpCurrentDirectory is not a full path");
    }
    if (startup->dwFlags & STARTF_USESTDHANDLES) {
        const HANDLE standard[3] = {startup->hStdInput, startup->hStdOutput, startup->hStdError};
        if (!inherit) {
            STRICT_REFUSE(no, bad, call,
                          "STARTF_USESTDHANDLES without bInheritHandles: the child would get handle "
                          "values that mean nothing, or something else, in it");
        }
        for (HANDLE handle : standard) {
            if (handle && handle != INVALID_HANDLE_VALUE && !strict_inheritable(handle)) {
                STRICT_REFUSE(no, bad, call, "a standard handle is not inheritable");
            }
            int listed = !attributes || !attributes->handles || !handle ||
                         handle == INVALID_HANDLE_VALUE;
            for (SIZE_T i = 0; !listed && i < attributes->handle_count; i++) {
                listed = attributes->handles[i] == handle;
            }
            if (!listed) {
                STRICT_REFUSE(no, bad, call,
                              "a standard handle is missing from PROC_THREAD_ATTRIBUTE_HANDLE_LIST, "
                              "so the child cannot inherit it");
            }
        }
    }
    if (attributes && attributes->handles) {
        if (!inherit) {
            STRICT_REFUSE(no, bad, call,
                          "PROC_THREAD_ATTRIBUTE_HANDLE_LIST needs bInheritHandles TRUE");
        }
        for (SIZE_T i = 0; i < attributes->handle_count; i++) {
            if (!strict_inheritable(attributes->handles[i])) {
                STRICT_REFUSE(no, bad, call,
                              "PROC_THREAD_ATTRIBUTE_HANDLE_LIST holds a handle that is not "
                              "inheritable");
            }
        }
    }
    return CreateProcessW(application, command_line, process_attributes, thread_attributes,
                          inherit, flags, environment, directory, startup, info);
}

/* ---- text conversion ---- */

inline int WINAPI strict_MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH source,
                                             int source_length, LPWSTR out, int out_length)
{
    const char *call = "MultiByteToWideChar";
    if (code_page == CP_UTF8 && flags != 0 && flags != MB_ERR_INVALID_CHARS) {
        STRICT_REFUSE(0, ERROR_INVALID_FLAGS, call,
                      "CP_UTF8 takes only 0 or MB_ERR_INVALID_CHARS, not dwFlags %lu",
                      (unsigned long)flags);
    }
    if (!source || source_length == 0 || source_length < -1 || out_length < 0 ||
        (out && static_cast<const void *>(out) == static_cast<const void *>(source))) {
        STRICT_REFUSE(0, ERROR_INVALID_PARAMETER, call,
                      "no source, a source length of 0, or the output on top of the source");
    }
    return MultiByteToWideChar(code_page, flags, source, source_length, out, out_length);
}

inline int WINAPI strict_WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH source,
                                             int source_length, LPSTR out, int out_length,
                                             LPCCH default_char, LPBOOL used_default)
{
    const char *call = "WideCharToMultiByte";
    if (code_page == CP_UTF8 && flags != 0 && flags != WC_ERR_INVALID_CHARS) {
        STRICT_REFUSE(0, ERROR_INVALID_FLAGS, call,
                      "CP_UTF8 takes only 0 or WC_ERR_INVALID_CHARS, not dwFlags %lu",
                      (unsigned long)flags);
    }
    if (code_page == CP_UTF8 && (default_char || used_default)) {
        STRICT_REFUSE(0, ERROR_INVALID_PARAMETER, call,
                      "CP_UTF8 requires lpDefaultChar and lpUsedDefaultChar to be NULL");
    }
    if (!source || source_length == 0 || source_length < -1 || out_length < 0 ||
        (out && static_cast<const void *>(out) == static_cast<const void *>(source))) {
        STRICT_REFUSE(0, ERROR_INVALID_PARAMETER, call,
                      "no source, a source length of 0, or the output on top of the source");
    }
    return WideCharToMultiByte(code_page, flags, source, source_length, out, out_length,
                               default_char, used_default);
}

/* ---- files ---- */

inline HANDLE WINAPI strict_CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                        LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                        DWORD flags, HANDLE template_file)
{
    if (security && security->nLength != sizeof(SECURITY_ATTRIBUTES)) {
        STRICT_REFUSE(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER, "CreateFileW",
                      "SECURITY_ATTRIBUTES.nLength is %lu, not %u", (unsigned long)security->nLength,
                      (unsigned)sizeof(SECURITY_ATTRIBUTES));
    }
    return CreateFileW(name, access, share, security, disposition, flags, template_file);
}

inline BOOL WINAPI strict_ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got,
                                   LPOVERLAPPED overlapped)
{
    if (!got && !overlapped) {
        STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, "ReadFile",
                      "lpNumberOfBytesRead may be NULL only with lpOverlapped");
    }
    return ReadFile(file, buffer, size, got, overlapped);
}

inline BOOL WINAPI strict_WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                                    LPOVERLAPPED overlapped)
{
    if (!written && !overlapped) {
        STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, "WriteFile",
                      "lpNumberOfBytesWritten may be NULL only with lpOverlapped");
    }
    return WriteFile(file, buffer, size, written, overlapped);
}

/* A path the caller may not read (another user's folder, a share without
 * access) answers access denied on Windows; root under Wine is never
 * refused. TOVRIN_STRICT_DENIED names one such path. */
inline DWORD WINAPI strict_GetFileAttributesW(LPCWSTR name)
{
    wchar_t denied[MAX_PATH];
    DWORD saved = GetLastError();
    DWORD got = GetEnvironmentVariableW(L"TOVRIN_STRICT_DENIED", denied, MAX_PATH);
    if (name && got > 0 && got < MAX_PATH && _wcsicmp(name, denied) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    SetLastError(saved);
    return GetFileAttributesW(name);
}

/* ---- loading DLLs ---- */

/* The LOAD_LIBRARY_SEARCH_* flags; DLL_LOAD_DIR needs a full path. */
#define STRICT_SEARCH_FLAGS 0x5F00u

inline BOOL WINAPI strict_SetDefaultDllDirectories(DWORD flags)
{
    const DWORD allowed = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                          LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (flags == 0 || (flags & ~allowed) != 0) {
        STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, "SetDefaultDllDirectories",
                      "dwFlags %lu is not a combination of LOAD_LIBRARY_SEARCH_APPLICATION_DIR, "
                      "_USER_DIRS, _SYSTEM32 and _DEFAULT_DIRS",
                      (unsigned long)flags);
    }
    return SetDefaultDllDirectories(flags);
}

inline HMODULE WINAPI strict_LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags)
{
    int full = name && ((name[0] && name[1] == ':' && (name[2] == '\\' || name[2] == '/')) ||
                        (name[0] == '\\' && name[1] == '\\'));
    if (file || ((flags & LOAD_WITH_ALTERED_SEARCH_PATH) && (flags & STRICT_SEARCH_FLAGS)) ||
        ((flags & LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR) && !full)) {
        STRICT_REFUSE(static_cast<HMODULE>(NULL), ERROR_INVALID_PARAMETER, "LoadLibraryExA",
                      "hFile must be NULL; LOAD_WITH_ALTERED_SEARCH_PATH takes no "
                      "LOAD_LIBRARY_SEARCH_* flag, and LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR a full path");
    }
    return LoadLibraryExA(name, file, flags);
}

/* ---- memory ---- */

inline BOOL WINAPI strict_HeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    if (!block) {
        /* Windows leaves the outcome undefined. */
        STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, "HeapFree", "lpMem is NULL");
    }
    return HeapFree(heap, flags, block);
}

/* ---- other processes ---- */

inline int strict_entry_refused(LPPROCESSENTRY32W entry, const char *call)
{
    if (!entry || entry->dwSize != sizeof(PROCESSENTRY32W)) {
        strict_breach(call, "PROCESSENTRY32W.dwSize is not sizeof(PROCESSENTRY32W) = %u",
                      (unsigned)sizeof(PROCESSENTRY32W));
        SetLastError(ERROR_BAD_LENGTH);
        return 1;
    }
    return 0;
}

inline BOOL WINAPI strict_Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    return !strict_entry_refused(entry, "Process32FirstW") && Process32FirstW(snapshot, entry);
}

inline BOOL WINAPI strict_Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    return !strict_entry_refused(entry, "Process32NextW") && Process32NextW(snapshot, entry);
}

/* The real addresses of the functions the program finds at run time. */
enum { STRICT_NT_QUERY, STRICT_SPI_FOR_DPI, STRICT_RUN_TIME_COUNT };
inline FARPROC &strict_real(int which)
{
    static FARPROC real[STRICT_RUN_TIME_COUNT];
    return real[which];
}
#define STRICT_REAL(which, type) reinterpret_cast<type>(reinterpret_cast<void *>(strict_real(which)))

/* ProcessBasicInformation is 48 bytes in a 64-bit process; any other
 * length is STATUS_INFO_LENGTH_MISMATCH. */
inline LONG WINAPI strict_NtQueryInformationProcess(HANDLE process, ULONG info_class, PVOID info,
                                                    ULONG length, PULONG returned)
{
    if (info_class == 0 && length != 48) {
        strict_breach("NtQueryInformationProcess",
                      "ProcessBasicInformation takes 48 bytes, not %lu", (unsigned long)length);
        return (LONG)0xC0000004L;
    }
    return STRICT_REAL(STRICT_NT_QUERY, LONG(WINAPI *)(HANDLE, ULONG, PVOID, ULONG, PULONG))(
        process, info_class, info, length, returned);
}

/* ---- listener table ---- */

/* A listener whose creator handed the socket to a child and exited: the
 * table keeps naming the creator, a process that no longer exists.
 * TOVRIN_STRICT_DEAD_OWNER="PORT PID" adds such a row (127.0.0.1:PORT,
 * owner PID) to every IPv4 listener table; 1 when it is asked for. */
inline int strict_dead_owner_row(MIB_TCPROW_OWNER_PID *row)
{
    char text[32];
    unsigned long port = 0;
    unsigned long pid = 0;
    DWORD got = GetEnvironmentVariableA("TOVRIN_STRICT_DEAD_OWNER", text, sizeof text);
    if (got == 0 || got >= sizeof text || sscanf(text, "%lu %lu", &port, &pid) != 2) {
        return 0;
    }
    memset(row, 0, sizeof *row);
    row->dwState = MIB_TCP_STATE_LISTEN;
    row->dwLocalAddr = 0x0100007Fu; /* 127.0.0.1 in network order */
    row->dwLocalPort = ((port & 0xFFu) << 8) | ((port >> 8) & 0xFFu);
    row->dwOwningPid = (DWORD)pid;
    return 1;
}

inline DWORD WINAPI strict_GetExtendedTcpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                                               TCP_TABLE_CLASS table_class, ULONG reserved)
{
    static volatile LONG sized = 0; /* the size last reported to a sizing call */
    static volatile LONG grow_next = 1; /* every other filling call finds it grown */
    if (reserved != 0 || !size || (family != AF_INET && family != AF_INET6)) {
        strict_breach("GetExtendedTcpTable",
                      "Reserved must be 0, pdwSize given, ulAf AF_INET or AF_INET6");
        return ERROR_INVALID_PARAMETER;
    }
    if (table && *size != 0 &&
        (InterlockedCompareExchange(&sized, 0, (LONG)*size) == (LONG)*size ||
         InterlockedExchange(&grow_next, 0) == 1)) {
        /* The table grew between the two calls, or since the caller last
         * learnt its size, as it may on Windows. */
        *size += (DWORD)(family == AF_INET6 ? sizeof(MIB_TCP6ROW_OWNER_PID)
                                            : sizeof(MIB_TCPROW_OWNER_PID));
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (table) {
        InterlockedExchange(&grow_next, 1);
    }
    MIB_TCPROW_OWNER_PID dead;
    DWORD extra = family == AF_INET && table_class == TCP_TABLE_OWNER_PID_LISTENER &&
                          strict_dead_owner_row(&dead)
                      ? (DWORD)sizeof dead
                      : 0;
    DWORD room = *size > extra ? *size - extra : 0;
    DWORD rc = GetExtendedTcpTable(room ? table : NULL, &room, order, family, table_class, reserved);
    if (rc == NO_ERROR || rc == ERROR_INSUFFICIENT_BUFFER || !table) {
        *size = room + extra;
    }
    if (rc == NO_ERROR && table && extra) {
        MIB_TCPTABLE_OWNER_PID *rows = static_cast<MIB_TCPTABLE_OWNER_PID *>(table);
        rows->table[rows->dwNumEntries++] = dead;
    }
    if (!table && rc == ERROR_INSUFFICIENT_BUFFER) {
        InterlockedExchange(&sized, (LONG)*size);
    }
    return rc;
}

/* ---- CNG ---- */

inline NTSTATUS WINAPI strict_BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR out, ULONG out_size,
                                               ULONG flags)
{
    DWORD length = 0;
    ULONG got = 0;
    if (flags != 0 ||
        (BCRYPT_SUCCESS(BCryptGetProperty(hash, BCRYPT_HASH_LENGTH, (PUCHAR)&length, sizeof length,
                                          &got, 0)) &&
         out_size != length)) {
        strict_breach("BCryptFinishHash",
                      "cbOutput %lu must equal the hash length %lu exactly, dwFlags 0",
                      (unsigned long)out_size, (unsigned long)length);
        return (NTSTATUS)0xC000000DL; /* STATUS_INVALID_PARAMETER */
    }
    return BCryptFinishHash(hash, out, out_size, flags);
}

/* ---- user interface ---- */

/* 1 (logged, the last error set) when SPI_GETNONCLIENTMETRICS is not given
 * the structure's size in both uiParam and cbSize. */
inline int strict_spi_refused(const char *call, UINT action, UINT ui_param, PVOID pv_param)
{
    if (action != SPI_GETNONCLIENTMETRICS ||
        (pv_param && ui_param == sizeof(NONCLIENTMETRICSW) &&
         static_cast<const NONCLIENTMETRICSW *>(pv_param)->cbSize == sizeof(NONCLIENTMETRICSW))) {
        return 0;
    }
    strict_breach(call, "SPI_GETNONCLIENTMETRICS needs uiParam and cbSize = "
                        "sizeof(NONCLIENTMETRICSW) = %u",
                  (unsigned)sizeof(NONCLIENTMETRICSW));
    SetLastError(ERROR_INVALID_PARAMETER);
    return 1;
}

inline BOOL WINAPI strict_SystemParametersInfoW(UINT action, UINT ui_param, PVOID pv_param,
                                                UINT win_ini)
{
    return !strict_spi_refused("SystemParametersInfoW", action, ui_param, pv_param) &&
           SystemParametersInfoW(action, ui_param, pv_param, win_ini);
}

inline BOOL WINAPI strict_SystemParametersInfoForDpi(UINT action, UINT ui_param, PVOID pv_param,
                                                     UINT win_ini, UINT dpi)
{
    return !strict_spi_refused("SystemParametersInfoForDpi", action, ui_param, pv_param) &&
           STRICT_REAL(STRICT_SPI_FOR_DPI, BOOL(WINAPI *)(UINT, UINT, PVOID, UINT, UINT))(
               action, ui_param, pv_param, win_ini, dpi);
}

inline BOOL WINAPI strict_InitCommonControlsEx(const INITCOMMONCONTROLSEX *controls)
{
    if (!controls || controls->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        STRICT_REFUSE(FALSE, ERROR_INVALID_PARAMETER, "InitCommonControlsEx",
                      "INITCOMMONCONTROLSEX.dwSize is not its size");
    }
    return InitCommonControlsEx(controls);
}

/* The shell may hand the request to extensions that need COM on this
 * thread, which the caller must have initialised before; and it may run
 * the thread's messages meanwhile. */
inline HINSTANCE WINAPI strict_ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file,
                                             LPCWSTR parameters, LPCWSTR directory, INT show)
{
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (CoGetApartmentType(&type, &qualifier) == CO_E_NOTINITIALIZED) {
        STRICT_REFUSE(reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(SE_ERR_ACCESSDENIED)),
                      CO_E_NOTINITIALIZED, "ShellExecuteW",
                      "called on a thread without COM initialised");
    }
    /* On Windows the shell may run this thread's messages while it starts
     * the program (COM and DDE pump them); here those already queued always
     * run, so that a caller sees what its handlers changed meanwhile. */
    MSG message;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage((int)message.wParam);
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return ShellExecuteW(window, verb, file, parameters, directory, show);
}

/* ---- WinHTTP ---- */

/* Windows waits 90 s for the response headers unless the session or the
 * request says otherwise (WinHttpSetTimeouts does not), Wine without end;
 * a request takes its session's value when it is opened. */
#define STRICT_RESPONSE_WAIT_MAX 60000
inline BOOL WINAPI strict_WinHttpReceiveResponse(HINTERNET request, LPVOID reserved)
{
    DWORD timeout = 0;
    DWORD size = sizeof timeout;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout, &size) ||
        timeout == 0 || timeout > STRICT_RESPONSE_WAIT_MAX) { /* 0 and -1 wait for good */
        STRICT_REFUSE(FALSE, ERROR_WINHTTP_TIMEOUT, "WinHttpReceiveResponse",
                      "the wait for the response headers is not bounded "
                      "(WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT; 90 s by default on Windows)");
    }
    return WinHttpReceiveResponse(request, reserved);
}

/* Windows hands over what has arrived, a chunked body chunk by chunk;
 * Wine fills the buffer. Here every read returns a few bytes at most. */
#define STRICT_HTTP_READ_MAX 5
inline BOOL WINAPI strict_WinHttpReadData(HINTERNET request, LPVOID buffer, DWORD to_read,
                                          LPDWORD read)
{
    return WinHttpReadData(request, buffer,
                           to_read < STRICT_HTTP_READ_MAX ? to_read : STRICT_HTTP_READ_MAX, read);
}

/* Functions found at run time get their wrapper too. */
inline FARPROC WINAPI strict_GetProcAddress(HMODULE module, LPCSTR name)
{
    static const struct {
        const char *name;
        int which;
        FARPROC wrapper;
    } wrapped[] = {
        {"NtQueryInformationProcess", STRICT_NT_QUERY,
         reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&strict_NtQueryInformationProcess))},
        {"SystemParametersInfoForDpi", STRICT_SPI_FOR_DPI,
         reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&strict_SystemParametersInfoForDpi))},
    };
    FARPROC real = GetProcAddress(module, name);
    for (const auto &w : wrapped) {
        if (real && !IS_INTRESOURCE(name) && strcmp(name, w.name) == 0) {
            strict_real(w.which) = real;
            return w.wrapper;
        }
    }
    return real;
}

#undef STRICT_REFUSE

/* From here on the product's calls reach the wrappers. */
#define InitializeProcThreadAttributeList strict_InitializeProcThreadAttributeList
#define UpdateProcThreadAttribute strict_UpdateProcThreadAttribute
#define DeleteProcThreadAttributeList strict_DeleteProcThreadAttributeList
#define CreateProcessW strict_CreateProcessW
#define MultiByteToWideChar strict_MultiByteToWideChar
#define WideCharToMultiByte strict_WideCharToMultiByte
#define CreateFileW strict_CreateFileW
#define GetFileAttributesW strict_GetFileAttributesW
#define SetDefaultDllDirectories strict_SetDefaultDllDirectories
#define LoadLibraryExA strict_LoadLibraryExA
#define HeapFree strict_HeapFree
#define ReadFile strict_ReadFile
#define WriteFile strict_WriteFile
#define Process32FirstW strict_Process32FirstW
#define Process32NextW strict_Process32NextW
#define GetExtendedTcpTable strict_GetExtendedTcpTable
#define BCryptFinishHash strict_BCryptFinishHash
#define SystemParametersInfoW strict_SystemParametersInfoW
#define InitCommonControlsEx strict_InitCommonControlsEx
#define ShellExecuteW strict_ShellExecuteW
#define GetProcAddress strict_GetProcAddress
#define WinHttpReceiveResponse strict_WinHttpReceiveResponse
#define WinHttpReadData strict_WinHttpReadData

#endif
