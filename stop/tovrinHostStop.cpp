/*
 * Replacement of an existing sidecar.
 *
 * Before anything is stopped, the processes that run for an installation
 * are found from the system itself (the process list, the loopback listener
 * table, each process's image and command line) and judged by the launch
 * policy. Only processes proved to belong to the installation are ever
 * terminated, and each one only after its proof (its image, and for a
 * helper console its command line) was read again through the very handle
 * that terminates it, so a process id that was reused by an unrelated
 * program in the meantime is left alone.
 *
 * The steps that decide (the listener row walk, the merge of the listener
 * into the process table, the lock owner and token scans, the record line)
 * take their inputs as arguments; the steps that talk to the system are
 * kept at the edge. The listener query reaches the install plan through a
 * function pointer, because the owner pid of a socket cannot be produced on
 * demand: the production path passes query_listener.
 *
 * The logon task's reading and restoring are in tovrinHostTask.cpp, the
 * listener tables and the trust in the port's owners in
 * tovrinHostPortOwner.cpp; tovrinHostStopPrivate.h is what they share.
 */
#include "tovrinHostStop.h"

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <winhttp.h>
#include <bcrypt.h>

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "../launch/tovrinHostLaunch.h"
#include "tovrinHostStopPrivate.h"

static const char k_hex_digits[] = "0123456789abcdef";

/* ------------------------------------------------------------------ */
/* records                                                             */
/* ------------------------------------------------------------------ */

/* One process snapshot. Record i points at image slot i and, when it has
 * one, at command slot i; nothing is allocated per record. */
struct process_table {
    tovrin_process_record *records; /* TABLE_CAP entries */
    char (*images)[IMAGE_CAP];      /* TABLE_CAP slots */
    char (*commands)[COMMAND_CAP];  /* TABLE_CAP slots */
    int32_t count;
};

typedef LONG(WINAPI *nt_query_information_process_fn)(HANDLE process, ULONG info_class,
                                                      PVOID info, ULONG info_length,
                                                      PULONG return_length);

/* ------------------------------------------------------------------ */
/* small text and path routines                                        */
/* ------------------------------------------------------------------ */

/* Copy cut at cap - 1 and always terminated: the probe's texts are
 * reports of what was seen, and their fields say so. */
static void copy_text(char *out, size_t cap, const char *in)
{
    size_t n = 0;
    if (cap == 0) {
        return;
    }
    if (in) {
        while (n < cap - 1 && in[n] != '\0') {
            n++;
        }
        memcpy(out, in, n);
    }
    out[n] = '\0';
}

/* Reads at most capacity - 1 bytes in one read. A larger file is cut: the
 * files read here are small, and their readers only look at the start. */
static int read_file_utf8(const wchar_t *path, char *buf, size_t cap)
{
    HANDLE file;
    DWORD got = 0;
    int ok = 0;
    if (!path || !buf || cap < 1 || cap - 1 > MAXDWORD) {
        return 0;
    }
    /* Sharing write and delete access too: the sidecar may rewrite or
     * remove the file at any moment, and a reader must not make that fail
     * (a lock file left behind would later name a process that is gone). */
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (ReadFile(file, buf, (DWORD)(cap - 1), &got, NULL)) {
        buf[got] = '\0';
        ok = 1;
    }
    CloseHandle(file);
    return ok;
}

/* Removes a leading "\\?\" or "\??\": image paths may come back in the
 * extended form, the install directory never does. */
static void strip_extended_prefix(wchar_t *path)
{
    if (!path) {
        return;
    }
    if ((path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?' && path[3] == L'\\') ||
        (path[0] == L'\\' && path[1] == L'?' && path[2] == L'?' && path[3] == L'\\')) {
        memmove(path, path + 4, (wcslen(path + 4) + 1) * sizeof(wchar_t));
    }
}

/* The install directory made absolute, in its long form: the image paths
 * that the system reports are always absolute and long, and a relative
 * directory would only be a tail of them, matching any installation whose
 * path ends the same way. 0, with `out` empty, when the directory cannot be
 * made absolute within 1023 units; such a directory matches no process. */
static int canonicalize_install_dir(const wchar_t *dir, wchar_t *out)
{
    wchar_t full[CANON_CAP];
    wchar_t long_form[CANON_CAP];
    DWORD n;
    out[0] = L'\0';
    if (!dir || dir[0] == L'\0') {
        return 0;
    }
    n = GetFullPathNameW(dir, CANON_CAP, full, NULL);
    if (n < 1 || n > CANON_CAP - 1) {
        return 0;
    }
    wcscpy(out, full);
    n = GetLongPathNameW(full, long_form, CANON_CAP);
    if (n >= 1 && n <= CANON_CAP - 1) {
        wcscpy(out, long_form);
    }
    return 1;
}

/* Canonical install directory (wide, into `canon`) and its UTF-8 form. */
static int install_dir_to_utf8(const wchar_t *dir, wchar_t *canon, char *utf8)
{
    utf8[0] = '\0';
    if (!canonicalize_install_dir(dir, canon) ||
        WideCharToMultiByte(CP_UTF8, 0, canon, -1, utf8, DIR_UTF8_CAP, NULL, NULL) <= 0) {
        utf8[0] = '\0';
        return 0;
    }
    return 1;
}

/* The path the system resolves `path` to (through every link, junction
 * and subst drive on the way), without the extended-length prefix, as
 * UTF-8 into `cap` bytes; 0 and empty when it cannot be had. Some network
 * redirectors refuse the normalized name (over SMB it is asked of each
 * component, and one the user may not read fails it); the name as opened
 * is still resolved. A directory is opened only with backup semantics. */
int final_path_of(const wchar_t *path, char *out, size_t cap)
{
    wchar_t final_path[CANON_CAP];
    wchar_t *use = final_path;
    HANDLE file;
    DWORD n;
    out[0] = '\0';
    file = CreateFileW(path, FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    n = GetFinalPathNameByHandleW(file, final_path, CANON_CAP, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n < 1 || n > CANON_CAP - 1) {
        n = GetFinalPathNameByHandleW(file, final_path, CANON_CAP, FILE_NAME_OPENED | VOLUME_NAME_DOS);
    }
    CloseHandle(file);
    if (n < 1 || n > CANON_CAP - 1) {
        return 0;
    }
    /* "\\?\UNC\server\share" is the share "\\server\share". */
    if (wcsncmp(final_path, L"\\\\?\\UNC\\", 8) == 0) {
        use = final_path + 6;
        use[0] = L'\\';
    } else {
        strip_extended_prefix(final_path);
    }
    if (WideCharToMultiByte(CP_UTF8, 0, use, -1, out, (int)cap, NULL, NULL) <= 0) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

/* The final path of `name` in the directory `canon` (IMAGE_CAP bytes). */
static void final_path_in(const wchar_t *canon, const wchar_t *name, char *out)
{
    wchar_t path[CANON_CAP + 32];
    int n = _snwprintf(path, CANON_CAP + 32, L"%ls\\%ls", canon, name);
    path[CANON_CAP + 31] = L'\0';
    out[0] = '\0';
    if (n > 0 && n < CANON_CAP + 32) {
        final_path_of(path, out, IMAGE_CAP);
    }
}

/* Both names of the install directory (the canonical wide form into
 * `canon`); 0 when it cannot be made absolute or converted. */
int install_names_of(const wchar_t *dir, wchar_t *canon, struct install_names *names)
{
    names->resolved[0] = '\0';
    names->runtime[0] = '\0';
    names->runtime_final[0] = '\0';
    if (!install_dir_to_utf8(dir, canon, names->given)) {
        return 0;
    }
    if (!final_path_of(canon, names->resolved, DIR_UTF8_CAP) ||
        _stricmp(names->resolved, names->given) == 0) {
        names->resolved[0] = '\0';
    }
    final_path_in(canon, L"runtime\\node\\node.exe", names->node_final);
    final_path_in(canon, L"TovrinHost.exe", names->shell_final);
    return 1;
}

/* dir + "\" + name, written only when it fits; callers clear `out` first,
 * so an over-long path stays empty and every file operation on it fails. */
static void join_path(wchar_t *out, const wchar_t *dir, const wchar_t *name)
{
    size_t dir_len;
    size_t name_len;
    if (!out || !dir || !name) {
        return;
    }
    dir_len = wcslen(dir);
    name_len = wcslen(name);
    if (dir_len + name_len + 2 > JOIN_CAP) {
        return;
    }
    memcpy(out, dir, dir_len * sizeof(wchar_t));
    if (dir_len > 0 && dir[dir_len - 1] != L'\\') {
        out[dir_len++] = L'\\';
    }
    memcpy(out + dir_len, name, (name_len + 1) * sizeof(wchar_t));
}

/* Lower case and backslashes, for comparing paths as Windows does. */
static void fold_path_text(char *out, size_t cap, const char *in)
{
    size_t n = 0;
    while (n < cap - 1 && in[n] != '\0') {
        char c = in[n];
        if (c >= 'A' && c <= 'Z') {
            c = (char)(c - 'A' + 'a');
        } else if (c == '/') {
            c = '\\';
        }
        out[n++] = c;
    }
    out[n] = '\0';
}

/* 1 when the last component of `path` is `name` (lower case), letter case
 * and slash direction ignored. */
static int image_filename_is(const char *path, const char *name)
{
    char scratch[IMAGE_CAP];
    size_t path_len;
    size_t name_len;
    if (!path || !name) {
        return 0;
    }
    path_len = strlen(path);
    name_len = strlen(name);
    if (path_len > IMAGE_CAP - 1 || path_len < name_len) {
        return 0;
    }
    fold_path_text(scratch, sizeof scratch, path);
    if (memcmp(scratch + path_len - name_len, name, name_len) != 0) {
        return 0;
    }
    return path_len == name_len || scratch[path_len - name_len - 1] == '\\';
}

static int same_path(const char *a, const char *b);

/* A runtime or shell image that is the installation's own file reached
 * through a link below the install directory, respelled as the
 * installation's path; 0 when it is not (or is already spelled so). Only
 * the final path of the file itself tells, compared with the final path of
 * the installation's file: a program elsewhere never has the same one. */
static int respell_linked_image(char *image, const struct install_names *names)
{
    wchar_t wide[IMAGE_WIDE_CAP];
    char final_path[IMAGE_CAP];
    char own[IMAGE_CAP];
    const char *expected = names->node_final;
    const char *suffix = "runtime\\node\\node.exe";
    size_t given_len = strlen(names->given);
    int n;
    if (image_filename_is(image, "tovrinhost.exe")) {
        expected = names->shell_final;
        suffix = "TovrinHost.exe";
    } else if (!image_filename_is(image, "node.exe")) {
        return 0;
    }
    while (given_len > 0 && names->given[given_len - 1] == '\\') {
        given_len--;
    }
    n = snprintf(own, sizeof own, "%.*s\\%s", (int)given_len, names->given, suffix);
    if (n < 1 || (size_t)n >= sizeof own || same_path(image, own) ||
        same_path(image, names->runtime) ||
        MultiByteToWideChar(CP_UTF8, 0, image, -1, wide, IMAGE_WIDE_CAP) <= 0 ||
        !final_path_of(wide, final_path, sizeof final_path)) {
        return 0;
    }
    /* The runtime a shell starts from beside itself, with another install
     * directory, may lie behind such a link as well. */
    if (names->runtime_final[0] != '\0' && _stricmp(final_path, names->runtime_final) == 0) {
        copy_text(image, IMAGE_CAP, names->runtime);
        return 1;
    }
    if (expected[0] == '\0' || _stricmp(final_path, expected) != 0) {
        return 0;
    }
    memcpy(image, own, (size_t)n + 1);
    return 1;
}

/* An image below the resolved install directory, respelled below the
 * given one (IMAGE_CAP bytes), and the installation's own runtime or shell
 * file reached through a link further down, respelled as its path; any
 * other image, and one whose respelling would not fit, stays as it is. */
static void respell_image(char *image, const struct install_names *names)
{
    char folded_image[IMAGE_CAP];
    char folded_dir[DIR_UTF8_CAP];
    char respelled[IMAGE_CAP];
    size_t dir_len;
    size_t given_len;
    int n;
    if (!image || !names || respell_linked_image(image, names) || names->resolved[0] == '\0') {
        return;
    }
    fold_path_text(folded_image, sizeof folded_image, image);
    fold_path_text(folded_dir, sizeof folded_dir, names->resolved);
    dir_len = strlen(folded_dir);
    while (dir_len > 0 && folded_dir[dir_len - 1] == '\\') {
        dir_len--; /* a drive's root keeps its separator below */
    }
    if (dir_len == 0 || strncmp(folded_image, folded_dir, dir_len) != 0 ||
        folded_image[dir_len] != '\\') {
        return;
    }
    given_len = strlen(names->given);
    while (given_len > 0 && (names->given[given_len - 1] == '\\' || names->given[given_len - 1] == '/')) {
        given_len--;
    }
    n = snprintf(respelled, sizeof respelled, "%.*s%s", (int)given_len, names->given,
                 image + dir_len);
    if (n > 0 && (size_t)n < sizeof respelled) {
        memcpy(image, respelled, (size_t)n + 1);
    }
}

/* Long form, without the extended prefix, as UTF-8 into 520 bytes. A path
 * whose UTF-8 form does not fit is no image at all: a cut path could name
 * a different file. */
static int store_image_wide(wchar_t *image, char *out)
{
    wchar_t long_form[IMAGE_WIDE_CAP];
    wchar_t *use = image;
    DWORD n;
    out[0] = '\0';
    if (!image || image[0] == L'\0') {
        return 0;
    }
    n = GetLongPathNameW(image, long_form, IMAGE_WIDE_CAP);
    if (n >= 1 && n <= IMAGE_WIDE_CAP - 1) {
        use = long_form;
    }
    strip_extended_prefix(use);
    if (WideCharToMultiByte(CP_UTF8, 0, use, -1, out, IMAGE_CAP, NULL, NULL) <= 0) {
        out[0] = '\0';
        return 0;
    }
    return out[0] != '\0';
}

/* ------------------------------------------------------------------ */
/* other processes                                                     */
/* ------------------------------------------------------------------ */

/* The image of an open process in Win32 form; 0 and the error otherwise. */
static int query_image_wide(HANDLE process, wchar_t *image, DWORD *error)
{
    DWORD size = IMAGE_WIDE_CAP;
    image[0] = L'\0';
    if (!QueryFullProcessImageNameW(process, 0, image, &size) || size == 0 ||
        image[0] == L'\0') {
        *error = GetLastError();
        image[0] = L'\0';
        return 0;
    }
    image[IMAGE_WIDE_CAP - 1] = L'\0';
    return 1;
}

/* The stored image of process `pid`; `out` stays empty when the process
 * cannot be opened or queried (it may have exited, or be protected). */
static int query_image(DWORD pid, char *out)
{
    wchar_t wide[IMAGE_WIDE_CAP];
    DWORD error = 0;
    HANDLE process;
    int ok = 0;
    out[0] = '\0';
    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        return 0;
    }
    ok = query_image_wide(process, wide, &error);
    CloseHandle(process);
    if (ok) {
        ok = store_image_wide(wide, out);
    }
    return ok;
}

/* The whole command line of another process, read from its process
 * parameters through `process` (opened with PROCESS_QUERY_INFORMATION and
 * PROCESS_VM_READ). There is no documented call for this; the offsets are
 * those of the 64-bit layout (PEB at 8 in the basic information, process
 * parameters at 32 in the PEB, the command line at 112 in them). A command
 * line whose UTF-8 form exceeds 1023 bytes is left out rather than cut. */
static void command_utf8_of(HANDLE process, char *out)
{
    nt_query_information_process_fn query;
    HMODULE ntdll;
    unsigned char basic[48];
    unsigned char counted[16];
    ULONG returned = 0;
    unsigned long long peb = 0;
    unsigned long long params = 0;
    unsigned long long buffer = 0;
    unsigned short length = 0;
    SIZE_T got = 0;
    wchar_t *copy = NULL;

    out[0] = '\0';
    ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) {
        goto done;
    }
    query = reinterpret_cast<nt_query_information_process_fn>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
    if (!query) {
        goto done;
    }
    memset(basic, 0, sizeof basic);
    if (query(process, 0 /* ProcessBasicInformation */, basic, sizeof basic, &returned) != 0) {
        goto done;
    }
    memcpy(&peb, basic + 8, 8);
    if (peb == 0) {
        goto done;
    }
    if (!ReadProcessMemory(process, (LPCVOID)(uintptr_t)(peb + 32), &params, 8, &got) ||
        got != 8 || params == 0) {
        goto done;
    }
    if (!ReadProcessMemory(process, (LPCVOID)(uintptr_t)(params + 112), counted, 16, &got) ||
        got != 16) {
        goto done;
    }
    memcpy(&length, counted, 2);
    memcpy(&buffer, counted + 8, 8);
    if (buffer == 0 || length < 2) {
        goto done;
    }
    if (length > COMMAND_READ_MAX) {
        length = COMMAND_READ_MAX;
    }
    copy = static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), 0, (SIZE_T)length + 2));
    if (!copy) {
        goto done;
    }
    if (ReadProcessMemory(process, (LPCVOID)(uintptr_t)buffer, copy, length, &got) &&
        got == length) {
        copy[length / 2] = L'\0';
        if (WideCharToMultiByte(CP_UTF8, 0, copy, -1, out, COMMAND_CAP, NULL, NULL) <= 0) {
            out[0] = '\0';
        }
    }

done:
    if (copy) {
        HeapFree(GetProcessHeap(), 0, copy);
    }
}

/* The command line of process `pid`; empty when it cannot be read. */
static void command_utf8(DWORD pid, char *out)
{
    HANDLE process;
    out[0] = '\0';
    process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        return;
    }
    command_utf8_of(process, out);
    CloseHandle(process);
}

/* Appends a record with copies of `image` and `command_line` (either may
 * be NULL) in the table's own slots; 0 when the table is full. */
static int add_record(struct process_table *table, uint32_t pid, const char *image,
                      const char *command_line)
{
    int32_t i = table->count;
    if (i >= TABLE_CAP) {
        return 0;
    }
    copy_text(table->images[i], IMAGE_CAP, image);
    copy_text(table->commands[i], COMMAND_CAP, command_line);
    table->records[i].pid = pid;
    table->records[i].image = table->images[i];
    table->records[i].command_line = table->commands[i][0] != '\0' ? table->commands[i] : NULL;
    table->count = i + 1;
    return 1;
}

/* 1 when a process of this image and command line (either may be NULL)
 * is one of the installation's programs, judged as the stop plan judges. */
static int is_install_process(const char *install_utf8, uint32_t pid, const char *image,
                              const char *command_line)
{
    tovrin_process_record record;
    tovrin_stop_plan plan;
    record.pid = pid;
    record.image = image;
    record.command_line = command_line;
    return tovrin_plan_sidecar_stop(install_utf8, 0, &record, 1, 0, NULL, 0, &plan) &&
           plan.count == 1;
}

/* Keeps one snapshot entry when the plan must see it: the listener, the
 * lock owner, or a process that could belong to the installation, judged
 * by the plan's own test (its runtime or shell by image, its helper script
 * by a console's command line). A busy machine runs many node.exe and
 * cmd.exe of other folders, and none of them may take a slot. 1 when kept
 * or skipped, 0 when a 49th entry would be kept: a table that cannot hold
 * every candidate must fail the plan, or a process could escape it. */
static int keep_process(struct process_table *table, const struct install_names *names,
                        uint32_t pid, const char *image, uint32_t listener_pid,
                        uint32_t owner_pid)
{
    int watched = pid != 0 && (pid == listener_pid || pid == owner_pid);
    int is_cmd = image_filename_is(image, "cmd.exe");
    char command[COMMAND_CAP];
    if (!watched && !is_cmd && !is_install_process(names->given, pid, image, NULL)) {
        return 1;
    }
    command[0] = '\0';
    /* Only programs that can run the sidecar or its helper script, and the
     * listener, are worth the three reads of another process's memory. */
    if (is_cmd || image_filename_is(image, "node.exe") || (pid != 0 && pid == listener_pid)) {
        command_utf8(pid, command);
    }
    if (!watched && is_cmd &&
        !is_install_process(names->given, pid, image, command[0] != '\0' ? command : NULL)) {
        return 1;
    }
    if (table->count >= TABLE_CAP) {
        return 0;
    }
    return add_record(table, pid, image, command);
}

/* The candidate processes of the system, in snapshot order. */
static int collect_processes(struct process_table *table, const struct install_names *names,
                             uint32_t listener_pid, uint32_t owner_pid)
{
    PROCESSENTRY32W entry;
    HANDLE snapshot;
    char image[IMAGE_CAP];
    int ok = 0;

    table->count = 0;
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot, &entry)) {
        goto done;
    }
    do {
        memset(image, 0, sizeof image);
        query_image(entry.th32ProcessID, image);
        respell_image(image, names);
        if (!keep_process(table, names, entry.th32ProcessID, image, listener_pid, owner_pid)) {
            goto done;
        }
    } while (Process32NextW(snapshot, &entry));
    ok = 1;

done:
    CloseHandle(snapshot);
    return ok;
}

/* What can be read about the owner `pid` of a listener: its image and
 * command line into the two slots, or why not. */
static void snapshot_owner(uint32_t pid, tovrin_listener_snap *snap, char *image_slot,
                           char *command_slot, uint32_t *win32_error)
{
    HANDLE process;
    wchar_t wide[IMAGE_WIDE_CAP];
    DWORD error = 0;

    snap->pid = pid;
    snap->query_state = 0;
    snap->image = image_slot;
    snap->command_line = NULL;
    image_slot[0] = '\0';
    command_slot[0] = '\0';
    *win32_error = 0;
    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        error = GetLastError();
        snap->query_state = (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_FOUND) ? 1
                            : error == ERROR_ACCESS_DENIED                               ? 2
                                                                                         : 3;
        *win32_error = error;
        return;
    }
    if (!query_image_wide(process, wide, &error)) {
        CloseHandle(process);
        snap->query_state = (error == ERROR_INVALID_PARAMETER || error == ERROR_PARTIAL_COPY) ? 1
                            : error == ERROR_ACCESS_DENIED                                  ? 2
                                                                                            : 3;
        *win32_error = error;
        return;
    }
    CloseHandle(process);
    if (!store_image_wide(wide, image_slot)) {
        image_slot[0] = '\0';
        snap->query_state = 3;
        *win32_error = ERROR_INVALID_NAME;
        return;
    }
    command_utf8(pid, command_slot);
    snap->command_line = command_slot[0] != '\0' ? command_slot : NULL;
}

/* The owners of every listener that receives a connection to 127.0.0.1 at
 * `port`, with what could be read about each. A table that cannot be read,
 * or more owners than fit, leaves its error in `table_error`: then nobody
 * may be named, but nobody was proved absent either. */
void query_listener(int32_t port, struct listener_owners *owners)
{
    uint32_t pids[OWNERS_MAX];
    int32_t count = 0;
    int32_t i;

    owners->count = 0;
    owners->table_error = 0;
    if (port < 1 || port > 65535) {
        return;
    }
    owners->table_error = find_port_owners(port, pids, &count);
    for (i = 0; i < count; i++) {
        snapshot_owner(pids[i], &owners->snaps[i], owners->images[i], owners->commands[i],
                       &owners->errors[i]);
    }
    owners->count = count;
}

/* ------------------------------------------------------------------ */
/* install plan                                                        */
/* ------------------------------------------------------------------ */

/* runtime.lock.owner: the owner pid from the first "pid=" (its leading
 * digits; none, or a number beyond 32 bits, give 0) and, only when a value
 * followed "pid=", the owner image from the first "image=" up to the line
 * end (at most 519 bytes). */
static void parse_lock_owner(const char *text, uint32_t *pid, char *image)
{
    char run[32];
    const char *at;
    uint64_t value = 0;
    size_t i;
    size_t n = 0;
    *pid = 0;
    image[0] = '\0';
    if (!text) {
        return;
    }
    at = strstr(text, "pid=");
    if (!at || sscanf(at + 4, "%31s", run) != 1) {
        return;
    }
    for (i = 0; run[i] >= '0' && run[i] <= '9'; i++) {
        value = value * 10 + (uint64_t)(run[i] - '0');
        if (value > 0xFFFFFFFFull) {
            value = 0;
            break;
        }
    }
    *pid = (uint32_t)value;
    at = strstr(text, "image=");
    if (!at) {
        return;
    }
    at += 6;
    while (n < IMAGE_CAP - 1 && at[n] != '\0' && at[n] != '\r' && at[n] != '\n') {
        n++;
    }
    memcpy(image, at, n);
    image[n] = '\0';
}

/* The owner that runtime.lock.owner in `state_dir` names (its path into
 * `lock_path`, JOIN_CAP units): pid 0 and no image when the file names
 * none or cannot be read. */
static void read_lock_owner(const wchar_t *state_dir, wchar_t *lock_path, uint32_t *pid,
                            char *image)
{
    char text[LOCK_TEXT_CAP];
    *pid = 0;
    image[0] = '\0';
    lock_path[0] = L'\0';
    if (state_dir) {
        join_path(lock_path, state_dir, L"runtime.lock.owner");
    }
    if (read_file_utf8(lock_path, text, sizeof text)) {
        parse_lock_owner(text, pid, image);
    }
}

/* 1 when the command line runs this installation's script with "serve". */
static int command_matches_install(const char *command_line, const char *install_utf8)
{
    char command[COMMAND_CAP];
    char dir[IMAGE_CAP];
    if (!command_line || !install_utf8) {
        return 0;
    }
    fold_path_text(command, sizeof command, command_line);
    fold_path_text(dir, sizeof dir, install_utf8);
    return dir[0] != '\0' && strstr(command, dir) != NULL &&
           strstr(command, "\\runtime\\dist\\hostruntimecli.js") != NULL &&
           strstr(command, " serve") != NULL;
}

/* Why a blocked plan was refused, as the record words it. */
static const char *foreign_detail(const struct install_probe *probe)
{
    if (probe->detail[0] != '\0') {
        return probe->detail;
    }
    if (probe->listener_pid == 0) {
        return "socket_pid_unavailable";
    }
    if (probe->image[0] == '\0') {
        return "socket_image_unavailable";
    }
    if (image_filename_is(probe->image, "node.exe") || image_filename_is(probe->image, "cmd.exe") ||
        image_filename_is(probe->image, "tovrinhost.exe")) {
        return "image_mismatch";
    }
    return "foreign_port_owner";
}

/* How foreign a verdict is. When several programs listen where a
 * connection to 127.0.0.1 arrives, the most foreign one decides: a program
 * outside the installation, then an owner that stayed unreadable, then one
 * to look at again, then this installation's own, then nobody. */
static int verdict_rank(int verdict)
{
    switch (verdict) {
    case 4:
        return 5;
    case 5:
        return 4;
    case 3:
        return 3;
    case 1:
        return 2;
    default:
        return 1;
    }
}

/* 1 when two paths name one file, letter case and slash direction aside. */
static int same_path(const char *a, const char *b)
{
    char fa[IMAGE_CAP];
    char fb[IMAGE_CAP];
    if (!a || !b || strlen(a) > IMAGE_CAP - 1 || strlen(b) > IMAGE_CAP - 1) {
        return 0;
    }
    fold_path_text(fa, sizeof fa, a);
    fold_path_text(fb, sizeof fb, b);
    return fa[0] != '\0' && strcmp(fa, fb) == 0;
}

/* Up to eight looks at the owners of the port, 200 ms apart while an
 * owner's image cannot be read yet (a process that just started or is
 * exiting). Returns the verdict of the owner that decides (`*decider`, -1
 * when nobody listens): 1 this installation's runtime or shell (its pid in
 * *plan_listener_pid), 2 no listener, 4 or 5 blocked, 0 invalid arguments.
 * The probe reports that owner in the last attempt. */
int discover_listener(const struct install_names *names, int32_t port,
                      listener_query_fn query, struct listener_owners *owners,
                      int32_t *decider, struct install_probe *probe,
                      uint32_t *plan_listener_pid)
{
    static const tovrin_listener_snap nobody = {0, 0, NULL, NULL};
    const char *install_utf8 = names->given;
    int32_t attempt;
    *plan_listener_pid = 0;
    *decider = -1;
    for (attempt = 0; attempt < LISTENER_ATTEMPTS; attempt++) {
        const tovrin_listener_snap *decided = &nobody;
        uint32_t classified_pid = 0;
        const char *detail = NULL;
        const char *relation = NULL;
        const char *query_word = NULL;
        int verdict;
        int32_t i;

        query(port, owners);
        *decider = -1;
        verdict = tovrin_classify_listener_snap(install_utf8, &nobody, attempt, LISTENER_ATTEMPTS,
                                                &classified_pid, &detail, &relation, &query_word);
        for (i = 0; i < owners->count && verdict != 0; i++) {
            tovrin_listener_snap *snap = &owners->snaps[i];
            uint32_t pid = 0;
            const char *d = NULL;
            const char *r = NULL;
            const char *q = NULL;
            int v;
            if (snap->image == owners->images[i]) {
                respell_image(owners->images[i], names);
            }
            v = tovrin_classify_listener_snap(install_utf8, snap, attempt, LISTENER_ATTEMPTS, &pid,
                                              &d, &r, &q);
            /* The runtime this shell starts is its own, wherever it lies
             * (with another install directory it lies beside the shell). */
            if (v == 4 && names->runtime[0] != '\0' && same_path(snap->image, names->runtime)) {
                v = 1;
                pid = snap->pid;
                d = "none";
                r = "exact_install_node";
            }
            if (v == 0 || *decider < 0 || verdict_rank(v) > verdict_rank(verdict)) {
                verdict = v;
                *decider = i;
                decided = snap;
                classified_pid = pid;
                detail = d;
                relation = r;
                query_word = q;
            }
        }
        probe->listener_pid = decided->pid;
        probe->win32_error = *decider >= 0 ? owners->errors[*decider] : owners->table_error;
        probe->discover_attempts = attempt + 1;
        probe->command_matches = decided->command_line
                                     ? command_matches_install(decided->command_line, install_utf8)
                                     : -1;
        copy_text(probe->image, sizeof probe->image, decided->image);
        copy_text(probe->image_relation, sizeof probe->image_relation, relation);
        copy_text(probe->image_query, sizeof probe->image_query, query_word);
        copy_text(probe->detail, sizeof probe->detail, detail);
        if (verdict == 3) {
            Sleep(ATTEMPT_SLEEP_MS);
            continue;
        }
        if (verdict == 1 || verdict == 2) {
            probe->detail[0] = '\0';
            *plan_listener_pid = verdict == 1 ? classified_pid : 0;
        }
        return verdict;
    }
    /* Not reached: the classification never asks for another try on the
     * last attempt. Treated as invalid rather than as a clear port. */
    return 0;
}

/* The listener as the classification saw it goes into the table, so that
 * the stop plan judges the image that was proved, also when the snapshot
 * could not read it or missed the process. A full table takes nothing, and
 * the plan then blocks for want of the listener's record. */
static void merge_listener(struct process_table *table, const tovrin_listener_snap *snap)
{
    int32_t i;
    if (!snap->image || snap->image[0] == '\0') {
        return;
    }
    for (i = 0; i < table->count; i++) {
        if (table->records[i].pid == snap->pid) {
            copy_text(table->images[i], IMAGE_CAP, snap->image);
            table->records[i].image = table->images[i];
            if (snap->command_line) {
                copy_text(table->commands[i], COMMAND_CAP, snap->command_line);
                table->records[i].command_line = table->commands[i];
            }
            return;
        }
    }
    add_record(table, snap->pid, snap->image, snap->command_line);
}

/* One fresh look at what runs for the installation, and what may be
 * stopped. 1 with the plan (possibly blocked), the records, their count and
 * the image of every planned pid in `targets`; 0 when no plan could be
 * made. The probe is filled as far as the call got. */
static int plan_install(const wchar_t *install_dir, const wchar_t *state_dir,
                        tovrin_stop_plan *plan, tovrin_process_record *records,
                        char (*images)[IMAGE_CAP], int32_t *count, char (*targets)[IMAGE_CAP],
                        struct install_probe *probe, listener_query_fn query)
{
    wchar_t canon[CANON_CAP];
    wchar_t path[JOIN_CAP];
    wchar_t lock_path[JOIN_CAP];
    struct install_names names;
    const char *install_utf8 = names.given;
    char control_text[CONTROL_TEXT_CAP];
    char owner_image[IMAGE_CAP];
    struct listener_owners owners;
    int32_t decider = -1;
    /* The command slots live only for this call; the records' command
     * pointers are cleared before it returns. */
    char commands[TABLE_CAP][COMMAND_CAP];
    struct process_table table;
    uint32_t owner_pid = 0;
    uint32_t listener_pid = 0;
    int32_t port = 0;
    int32_t i;
    int32_t j;
    int verdict;
    int ok = 0;

    memset(probe, 0, sizeof *probe);
    probe->command_matches = -1;
    table.records = records;
    table.images = images;
    table.commands = commands;
    table.count = 0;
    owner_image[0] = '\0';
    if (!install_names_of(install_dir, canon, &names)) {
        goto done;
    }

    read_lock_owner(state_dir, lock_path, &owner_pid, owner_image);
    respell_image(owner_image, &names);
    probe->owner_metadata = GetFileAttributesW(lock_path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;

    path[0] = L'\0';
    join_path(path, state_dir, L"control.json");
    if (read_file_utf8(path, control_text, sizeof control_text) &&
        tovrin_control_bind_is_loopback(control_text)) {
        port = tovrin_parse_control_port(control_text);
    }

    verdict = discover_listener(&names, port, query, &owners, &decider, probe, &listener_pid);
    if (verdict == 0) {
        goto done;
    }
    if (verdict == 4 || verdict == 5) {
        memset(plan, 0, sizeof *plan);
        plan->blocked = 1;
        ok = 1;
        goto done;
    }

    if (!collect_processes(&table, &names, listener_pid, owner_pid)) {
        *count = 0;
        goto done;
    }
    /* The snapshot needs the lock owner's pid, so the file is read before
     * it. A sidecar that ends cleanly removes the file and then exits: when
     * the file is gone once the snapshot is taken, its owner ended in
     * between, and its pid missing from the snapshot is no sign of reuse. */
    if (owner_pid != 0 && GetFileAttributesW(lock_path) == INVALID_FILE_ATTRIBUTES) {
        owner_pid = 0;
        owner_image[0] = '\0';
    }
    if (verdict == 1 && decider >= 0) {
        merge_listener(&table, &owners.snaps[decider]);
    }
    *count = table.count;
    if (!tovrin_plan_sidecar_stop(install_utf8, (uint32_t)GetCurrentProcessId(), records,
                                  table.count, owner_pid,
                                  owner_image[0] != '\0' ? owner_image : NULL, listener_pid,
                                  plan)) {
        goto done;
    }
    probe->pid_reused = plan->pid_reused;
    for (j = 0; j < plan->count; j++) {
        targets[j][0] = '\0';
        for (i = 0; i < table.count; i++) {
            if (records[i].pid == plan->pids[j] && records[i].image &&
                records[i].image[0] != '\0') {
                copy_text(targets[j], IMAGE_CAP, records[i].image);
                break;
            }
        }
    }
    ok = 1;

done:
    for (i = 0; i < table.count; i++) {
        records[i].command_line = NULL;
    }
    return ok;
}

/* ------------------------------------------------------------------ */
/* stopping                                                            */
/* ------------------------------------------------------------------ */

/* The system's schtasks.exe (`program`, JOIN_CAP units) and its command
 * line with `args` (`command`, SCHTASKS_CMD_CAP units); 0 when either
 * cannot be had whole. */
static int schtasks_command(const wchar_t *args, wchar_t *program, wchar_t *command)
{
    wchar_t system_dir[JOIN_CAP];
    UINT n;
    int written;

    n = GetSystemDirectoryW(system_dir, JOIN_CAP);
    if (n == 0 || n >= JOIN_CAP) {
        return 0;
    }
    program[0] = L'\0';
    join_path(program, system_dir, L"schtasks.exe");
    if (program[0] == L'\0') {
        return 0;
    }
    written = _snwprintf(command, SCHTASKS_CMD_CAP, L"\"%ls\" %ls", program, args);
    command[SCHTASKS_CMD_CAP - 1] = L'\0';
    return written >= 0 && written < SCHTASKS_CMD_CAP;
}

/* The system's schtasks.exe with `args`, waited for at most 15 s. Without
 * `answer` its exit code is not read: the task may not exist, and a change
 * step decides nothing. With `answer`, its standard output is collected
 * through a pipe that it alone inherits (tovrinHostTask.cpp); the run then
 * fails when the program did not end within the wait or wrote more than
 * fits. 0 when it could not be started or failed so. */
int run_schtasks(const wchar_t *args, struct schtasks_answer *answer)
{
    wchar_t program[JOIN_CAP];
    wchar_t command[SCHTASKS_CMD_CAP];
    STARTUPINFOEXW startup;
    PROCESS_INFORMATION info;
    struct answer_pipe pipe;
    DWORD flags = CREATE_NO_WINDOW;
    int ok = 0;

    memset(&info, 0, sizeof info);
    memset(&pipe, 0, sizeof pipe);
    if (!schtasks_command(args, program, command)) {
        goto done;
    }
    memset(&startup, 0, sizeof startup);
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    if (answer && !open_answer_pipe(&pipe, answer, &startup, &flags)) {
        goto done;
    }
    if (!CreateProcessW(program, command, NULL, NULL, answer ? TRUE : FALSE, flags, NULL, NULL,
                        &startup.StartupInfo, &info)) {
        memset(&info, 0, sizeof info);
        goto done;
    }
    if (!answer) {
        WaitForSingleObject(info.hProcess, SCHTASKS_WAIT_MS);
        ok = 1;
        goto done;
    }
    ok = read_answer(&pipe, info.hProcess, answer);

done:
    if (info.hThread) {
        CloseHandle(info.hThread);
    }
    if (info.hProcess) {
        CloseHandle(info.hProcess);
    }
    close_answer_pipe(&pipe);
    return ok;
}

/* The bearer token of the control file, by a scan of its own: behind the
 * first colon after "token", blanks, tabs, line breaks and further colons
 * are skipped, and the value runs to the next quote (escapes are not
 * decoded, so a token never holds a quote). 1 only for a token of 1 to 200
 * bytes; an empty or longer one is never sent. */
static int scan_token(const char *text, char *out)
{
    const char *at;
    const char *end;
    size_t len;
    out[0] = '\0';
    if (!text) {
        return 0;
    }
    at = strstr(text, "\"token\"");
    if (!at) {
        return 0;
    }
    at = strchr(at + 7, ':');
    if (!at) {
        return 0;
    }
    while (*at == '\t' || *at == '\n' || *at == '\r' || *at == ' ' || *at == ':') {
        at++;
    }
    if (*at != '"') {
        return 0;
    }
    at++;
    end = strchr(at, '"');
    if (!end) {
        return 0;
    }
    len = (size_t)(end - at);
    if (len > TOKEN_CAP - 1 || len == 0 || len > TOKEN_SEND_MAX) {
        return 0;
    }
    memcpy(out, at, len);
    out[len] = '\0';
    return 1;
}

/* One POST /shutdown to the sidecar, as far as the control file allows and
 * only to a listener that may receive the token. What it answers does not
 * matter: only the processes going away count. */
static void request_shutdown(const wchar_t *state_dir, const struct install_names *names,
                             listener_query_fn query)
{
    wchar_t path[JOIN_CAP];
    wchar_t token_wide[TOKEN_CAP];
    wchar_t header[HEADER_CAP];
    char control[CONTROL_TEXT_CAP];
    char token[TOKEN_CAP];
    HINTERNET session = NULL;
    HINTERNET connection = NULL;
    HINTERNET request = NULL;
    DWORD status = 0;
    DWORD status_size = sizeof status;
    DWORD response_timeout = HTTP_TIMEOUT_MS;
    int32_t port;
    int written;

    control[0] = '\0';
    token[0] = '\0';
    token_wide[0] = L'\0';
    header[0] = L'\0';
    path[0] = L'\0';
    join_path(path, state_dir, L"control.json");
    if (!read_file_utf8(path, control, sizeof control)) {
        goto done;
    }
    if (!tovrin_control_bind_is_loopback(control)) {
        goto done;
    }
    port = tovrin_parse_control_port(control);
    if (port == 0) {
        goto done;
    }
    if (!scan_token(control, token)) {
        goto done;
    }
    if (port_trust(names, port, query) != TOVRIN_PORT_TRUSTED) {
        goto done;
    }
    session = WinHttpOpen(L"TovrinHost/0.1.1", WINHTTP_ACCESS_TYPE_NO_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        goto done;
    }
    WinHttpSetTimeouts(session, HTTP_TIMEOUT_MS, HTTP_TIMEOUT_MS, HTTP_TIMEOUT_MS,
                       HTTP_TIMEOUT_MS);
    /* The wait for the answer's headers has a time-out of its own (90 s by
     * default on Windows, none under Wine): a sidecar whose event loop
     * froze accepts the request and never answers it. */
    WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_timeout,
                     sizeof response_timeout);
    connection = WinHttpConnect(session, L"127.0.0.1", (INTERNET_PORT)port, 0);
    if (!connection) {
        goto done;
    }
    request = WinHttpOpenRequest(connection, L"POST", L"/shutdown", NULL, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (!request) {
        goto done;
    }
    if (MultiByteToWideChar(CP_UTF8, 0, token, -1, token_wide, TOKEN_CAP) <= 0) {
        goto done;
    }
    written = _snwprintf(header, HEADER_CAP, L"Authorization: Bearer %ls\r\n", token_wide);
    header[HEADER_CAP - 1] = L'\0';
    if (written < 0 || written >= HEADER_CAP) {
        goto done;
    }
    if (!WinHttpSendRequest(request, header, (DWORD)-1L, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        goto done;
    }
    if (!WinHttpReceiveResponse(request, NULL)) {
        goto done;
    }
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                        WINHTTP_NO_HEADER_INDEX);

done:
    if (request) {
        WinHttpCloseHandle(request);
    }
    if (connection) {
        WinHttpCloseHandle(connection);
    }
    if (session) {
        WinHttpCloseHandle(session);
    }
    /* The secret is not kept beyond this request. */
    SecureZeroMemory(control, sizeof control);
    SecureZeroMemory(token, sizeof token);
    SecureZeroMemory(token_wide, sizeof token_wide);
    SecureZeroMemory(header, sizeof header);
}

/* Terminates process `pid` only while it is still what the plan proved,
 * with the proof taken again through the very handle that terminates, so
 * that the pid cannot be handed to another program between the check and
 * the termination. The image proves the installation's runtime and shell;
 * a helper console runs the system's cmd.exe, as every console does, so
 * its command line must still name the installation's script as well. */
static int terminate_if_unchanged(uint32_t pid, const char *target,
                                  const struct install_names *names)
{
    const char *install_utf8 = names->given;
    wchar_t wide[IMAGE_WIDE_CAP];
    char current[IMAGE_CAP];
    char command[COMMAND_CAP];
    DWORD error = 0;
    DWORD access;
    HANDLE process;
    int by_image;
    int terminated = 0;

    if (!target || target[0] == '\0') {
        return 0;
    }
    /* SYNCHRONIZE as well, or the wait for the end below would fail at
     * once instead of waiting. */
    access = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
    by_image = is_install_process(install_utf8, pid, target, NULL);
    if (!by_image) {
        access |= PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    }
    process = OpenProcess(access, FALSE, pid);
    if (!process) {
        return 0;
    }
    if (!query_image_wide(process, wide, &error) || !store_image_wide(wide, current)) {
        goto done;
    }
    respell_image(current, names);
    if (_stricmp(current, target) != 0) {
        goto done;
    }
    if (!by_image) {
        command_utf8_of(process, command);
        if (!is_install_process(install_utf8, pid, current,
                                command[0] != '\0' ? command : NULL)) {
            goto done;
        }
    }
    if (TerminateProcess(process, 0)) {
        WaitForSingleObject(process, TERMINATE_WAIT_MS);
        terminated = 1;
    }

done:
    CloseHandle(process);
    return terminated;
}

/* ------------------------------------------------------------------ */
/* upgrade-stop record                                                 */
/* ------------------------------------------------------------------ */

/* SHA-256 of the running program file as 64 lower-case hex digits, so a
 * record tells which build of the shell made the attempt. */
static int compute_helper_sha256(char *out)
{
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    wchar_t module[IMAGE_WIDE_CAP];
    unsigned char object[HASH_OBJECT_MAX];
    unsigned char chunk[HASH_CHUNK];
    unsigned char digest[32];
    DWORD object_length = 0;
    DWORD property_size = 0;
    DWORD got = 0;
    DWORD n;
    int i;
    int ok = 0;

    out[0] = '\0';
    n = GetModuleFileNameW(NULL, module, IMAGE_WIDE_CAP);
    if (n < 1 || n > IMAGE_WIDE_CAP - 1) {
        goto done;
    }
    module[n] = L'\0';
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0))) {
        algorithm = NULL;
        goto done;
    }
    if (!BCRYPT_SUCCESS(BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, (PUCHAR)&object_length,
                                          sizeof object_length, &property_size, 0)) ||
        object_length < 1 || object_length > HASH_OBJECT_MAX) {
        goto done;
    }
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, object, object_length, NULL, 0, 0))) {
        hash = NULL;
        goto done;
    }
    file = CreateFileW(module, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        goto done;
    }
    /* A failed read ends the data like the end of the file. */
    while (ReadFile(file, chunk, sizeof chunk, &got, NULL) && got > 0) {
        if (!BCRYPT_SUCCESS(BCryptHashData(hash, chunk, got, 0))) {
            goto done;
        }
    }
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0))) {
        goto done;
    }
    for (i = 0; i < 32; i++) {
        out[2 * (size_t)i] = k_hex_digits[digest[i] >> 4];
        out[2 * (size_t)i + 1] = k_hex_digits[digest[i] & 0x0f];
    }
    out[64] = '\0';
    ok = 1;

done:
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (hash) {
        BCryptDestroyHash(hash);
    }
    if (algorithm) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    return ok;
}

/* 1 when the running program file lies directly in the install directory. */
static int helper_matches_install(const wchar_t *install_dir)
{
    wchar_t module[IMAGE_WIDE_CAP];
    wchar_t *slash;
    DWORD n = GetModuleFileNameW(NULL, module, IMAGE_WIDE_CAP);
    if (n < 1 || n > IMAGE_WIDE_CAP - 1 || !install_dir || install_dir[0] == L'\0') {
        return 0;
    }
    module[n] = L'\0';
    slash = wcsrchr(module, L'\\');
    if (!slash) {
        return 0;
    }
    *slash = L'\0';
    return _wcsicmp(module, install_dir) == 0 ? 1 : 0;
}

/* The last component of an image path, at most 79 bytes; "-" for none. */
static void image_basename(const char *image, char *out)
{
    const char *at = strrchr(image, '\\');
    if (at) {
        at++;
    } else {
        at = strrchr(image, '/');
        at = at ? at + 1 : image;
    }
    copy_text(out, BASENAME_CAP, at);
    if (out[0] == '\0') {
        copy_text(out, BASENAME_CAP, "-");
    }
}

/* The record line; its length, or 0 when it does not fit. */
static int format_stop_record(char *out, size_t cap, const char *result_word, const char *detail,
                              const struct install_probe *probe, int helper_matches,
                              const char *helper_sha256, int task_before, int task_after)
{
    char basename[BASENAME_CAP];
    int n;
    image_basename(probe->image, basename);
    n = snprintf(out, cap,
                 "result=%s detail=%s listener_pid=%lu image_basename=%s image_relation=%s "
                 "image_query=%s win32_error=%lu discover_attempts=%d owner_metadata=%s "
                 "pid_reused=%d command_matches=%s helper_matches_install=%d "
                 "helper_sha256=%s task_before=%s task_after=%s\r\n",
                 result_word, detail, (unsigned long)probe->listener_pid, basename,
                 probe->image_relation[0] != '\0' ? probe->image_relation : "unavailable",
                 probe->image_query[0] != '\0' ? probe->image_query : "unknown",
                 (unsigned long)probe->win32_error, (int)probe->discover_attempts,
                 probe->owner_metadata ? "present" : "absent", probe->pid_reused ? 1 : 0,
                 probe->command_matches == 1   ? "1"
                 : probe->command_matches == 0 ? "0"
                                               : "unknown",
                 helper_matches ? 1 : 0,
                 helper_sha256 && helper_sha256[0] != '\0' ? helper_sha256 : "unavailable",
                 k_task_words[task_before], k_task_words[task_after]);
    if (n < 1 || (size_t)n >= cap) {
        return 0;
    }
    return n;
}

/* Appends one line to upgrade-stop.log; best effort, never reported. The
 * log is never rotated, so it stops growing past 256 KiB. An upgrade's stop
 * (`mode`) also writes the line to standard output, for the installer that
 * runs it to read and keep in its own log, also when the log is full or
 * cannot be written. */
static void append_stop_record(const wchar_t *state_dir, const char *result_word,
                               const char *detail, const struct install_probe *probe,
                               int helper_matches, const char *helper_sha256, int task_before,
                               int task_after, int mode)
{
    wchar_t path[JOIN_CAP];
    char line[RECORD_CAP];
    LARGE_INTEGER size;
    HANDLE file;
    HANDLE out;
    DWORD written = 0;
    int n;

    n = format_stop_record(line, sizeof line, result_word, detail, probe, helper_matches,
                           helper_sha256, task_before, task_after);
    if (n < 1) {
        return;
    }
    path[0] = L'\0';
    join_path(path, state_dir, L"upgrade-stop.log");
    /* Append-only and shared: several shells may write at once, and each
     * line lands whole at the end in its single write. */
    file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        if (!GetFileSizeEx(file, &size) || size.QuadPart <= RECORD_LOG_MAX) {
            WriteFile(file, line, (DWORD)n, &written, NULL);
        }
        CloseHandle(file);
    }
    /* A program started without standard handles has none (NULL). */
    out = mode == TOVRIN_STOP_FOR_UPGRADE ? GetStdHandle(STD_OUTPUT_HANDLE) : NULL;
    if (out != NULL && out != INVALID_HANDLE_VALUE) {
        WriteFile(out, line, (DWORD)n, &written, NULL);
    }
}

/* ------------------------------------------------------------------ */
/* orchestration                                                       */
/* ------------------------------------------------------------------ */

#define REPLAN_ENDED 0   /* failed or blocked: the result is set */
#define REPLAN_EMPTY 1   /* nothing of the installation runs */
#define REPLAN_REMAINS 2 /* planned processes still run */

/* A plan during the waits. A failed or blocked plan ends the stop. */
static int replan(struct stop_state *stop)
{
    if (!plan_install(stop->install_dir, stop->state_dir, &stop->plan, stop->records,
                      stop->images, &stop->count, stop->targets, &stop->probe, stop->query)) {
        stop->result = 1;
        stop->result_word = "refused";
        stop->detail = "plan_failed";
        return REPLAN_ENDED;
    }
    if (stop->plan.blocked) {
        stop->result = 2;
        stop->result_word = "refused";
        stop->detail = foreign_detail(&stop->probe);
        return REPLAN_ENDED;
    }
    return stop->plan.count == 0 ? REPLAN_EMPTY : REPLAN_REMAINS;
}

/* Plans again every 200 ms, the first time at once, until the plan ends
 * the stop, nothing of the installation runs, or `wait_ms` have passed
 * (REPLAN_REMAINS). Tick counts are compared by unsigned difference, which
 * survives a wrap. */
static int wait_for_stop(struct stop_state *stop, DWORD wait_ms)
{
    DWORD started = GetTickCount();
    for (;;) {
        int state = replan(stop);
        if (state != REPLAN_REMAINS || GetTickCount() - started >= wait_ms) {
            return state;
        }
        Sleep(POLL_SLEEP_MS);
    }
}

static void set_stopped(struct stop_state *stop, int consult_pid_reused)
{
    stop->result = 0;
    stop->result_word = "stopped";
    stop->detail = consult_pid_reused && stop->probe.pid_reused ? "pid_reused" : "none";
}

/* The caller sets stop->mode; the rest of `stop` is the stop's own. */
static int stop_sidecar(const wchar_t *install_dir, const wchar_t *state_dir,
                        listener_query_fn query, struct stop_state *stop)
{
    char helper_sha256[SHA256_TEXT_CAP];
    int helper_matches;
    int state;
    int32_t j;

    memset(&stop->probe, 0, sizeof stop->probe);
    stop->probe.command_matches = -1;
    helper_sha256[0] = '\0';
    if (!install_dir || install_dir[0] == L'\0' || !state_dir) {
        return 1;
    }
    /* A directory that cannot be made absolute could name any installation
     * whose path ends the same way: nothing is proved, nothing is touched. */
    if (!install_names_of(install_dir, stop->install_dir, &stop->names)) {
        return 1;
    }
    stop->state_dir = state_dir;
    stop->query = query;
    stop->count = 0;
    stop->task_before = stop->task_after = TASK_UNREAD;
    stop->task_disabled = 0;
    compute_helper_sha256(helper_sha256);
    helper_matches = helper_matches_install(stop->install_dir);

    if (!plan_install(stop->install_dir, state_dir, &stop->plan, stop->records, stop->images,
                      &stop->count, stop->targets, &stop->probe, query)) {
        stop->result = 1;
        stop->result_word = "refused";
        stop->detail = stop->probe.listener_pid == 0 ? "socket_pid_unavailable" : "plan_failed";
        goto report;
    }
    if (stop->plan.blocked) {
        stop->result = 2;
        stop->result_word = "refused";
        stop->detail = foreign_detail(&stop->probe);
        goto report;
    }
    if (stop->plan.count == 0) {
        /* Nothing runs. An upgrade still has the task disabled, so that it
         * cannot start the sidecar while files are replaced; the window,
         * which leaves the task as it was, has no reason to touch it. */
        if (stop->mode == TOVRIN_STOP_FOR_UPGRADE) {
            hold_task(stop, 0);
        }
        set_stopped(stop, 1);
        goto report;
    }

    hold_task(stop, 1);
    request_shutdown(state_dir, &stop->names, query);

    /* Graceful wait: the first plan right after the request. */
    state = wait_for_stop(stop, GRACEFUL_WAIT_MS);
    if (state == REPLAN_EMPTY) {
        set_stopped(stop, 1);
    }
    if (state != REPLAN_REMAINS) {
        goto report;
    }

    /* Forced termination, of proved processes only. */
    state = replan(stop);
    if (state == REPLAN_ENDED) {
        goto report;
    }
    if (state == REPLAN_REMAINS) {
        for (j = 0; j < stop->plan.count; j++) {
            if (stop->targets[j][0] != '\0' && stop->plan.pids[j] != 0) {
                terminate_if_unchanged(stop->plan.pids[j], stop->targets[j], &stop->names);
            }
        }
    }

    /* Final wait: the first plan follows the terminations at once. */
    state = wait_for_stop(stop, FINAL_WAIT_MS);
    if (state == REPLAN_EMPTY) {
        set_stopped(stop, 0);
    } else if (state == REPLAN_REMAINS) {
        stop->result = 1;
        stop->result_word = "refused";
        stop->detail = "shutdown_timeout";
    }

report:
    release_task(stop);
    append_stop_record(state_dir, stop->result_word, stop->detail, &stop->probe, helper_matches,
                       helper_sha256, stop->task_before, stop->task_after, stop->mode);
    return stop->result;
}

/* ------------------------------------------------------------------ */
/* public                                                              */
/* ------------------------------------------------------------------ */

/* Milliseconds since the newest of the planned processes was created. One
 * whose creation time cannot be read counts as old: the replacement then
 * goes on as it would without the look. */
static uint32_t newest_age_ms(const tovrin_stop_plan *plan)
{
    FILETIME now_time;
    ULARGE_INTEGER now;
    uint32_t newest = UINT32_MAX;
    int32_t j;
    GetSystemTimeAsFileTime(&now_time);
    now.LowPart = now_time.dwLowDateTime;
    now.HighPart = now_time.dwHighDateTime;
    for (j = 0; j < plan->count; j++) {
        FILETIME created, ended, kernel, user;
        ULARGE_INTEGER at;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, plan->pids[j]);
        if (!process) {
            continue;
        }
        if (GetProcessTimes(process, &created, &ended, &kernel, &user)) {
            at.LowPart = created.dwLowDateTime;
            at.HighPart = created.dwHighDateTime;
            if (at.QuadPart <= now.QuadPart) {
                ULONGLONG age = (now.QuadPart - at.QuadPart) / 10000u; /* 100 ns to ms */
                if (age < newest) {
                    newest = (uint32_t)age;
                }
            }
        }
        CloseHandle(process);
    }
    return newest;
}

int tovrin_install_runtime_age(const wchar_t *install_dir, uint32_t *newest_ms)
{
    wchar_t canon[CANON_CAP];
    struct install_names names;
    tovrin_process_record records[TABLE_CAP];
    char images[TABLE_CAP][IMAGE_CAP];
    char commands[TABLE_CAP][COMMAND_CAP];
    struct process_table table;
    tovrin_stop_plan plan;

    *newest_ms = UINT32_MAX;
    if (!install_dir || install_dir[0] == L'\0') {
        return 0;
    }
    if (!install_names_of(install_dir, canon, &names)) {
        return 0;
    }
    table.records = records;
    table.images = images;
    table.commands = commands;
    table.count = 0;
    if (!collect_processes(&table, &names, 0, 0)) {
        return 0;
    }
    if (!tovrin_plan_sidecar_stop(names.given, (uint32_t)GetCurrentProcessId(), records,
                                  table.count, 0, NULL, 0, &plan)) {
        return 0;
    }
    if (plan.count == 0) {
        return 0;
    }
    *newest_ms = newest_age_ms(&plan);
    return 1;
}

int tovrin_install_runtime_running(const wchar_t *install_dir)
{
    uint32_t newest_ms;
    return tovrin_install_runtime_age(install_dir, &newest_ms);
}

int tovrin_install_key(const wchar_t *install_dir, char *out, size_t cap)
{
    wchar_t canon[CANON_CAP];
    struct install_names names;
    size_t n;
    if (cap == 0) {
        return 0;
    }
    out[0] = '\0';
    if (!install_dir || !install_names_of(install_dir, canon, &names)) {
        return 0;
    }
    /* The folder itself, wherever the path that reached it came from. */
    fold_path_text(out, cap, names.resolved[0] != '\0' ? names.resolved : names.given);
    n = strlen(out);
    while (n > 3 && out[n - 1] == '\\') {
        out[--n] = '\0';
    }
    return n > 0;
}

uint32_t tovrin_lock_owner_pid(const wchar_t *state_dir)
{
    wchar_t path[JOIN_CAP];
    char image[IMAGE_CAP];
    uint32_t pid = 0;
    read_lock_owner(state_dir, path, &pid, image);
    return pid;
}

int tovrin_stop_only(const wchar_t *install_dir, const wchar_t *state_dir)
{
    struct install_probe probe;
    wchar_t canon[CANON_CAP];
    char helper_sha256[SHA256_TEXT_CAP];
    DWORD attrs;
    DWORD error;
    if (!install_dir || install_dir[0] == L'\0' || !state_dir) {
        return 1;
    }
    attrs = GetFileAttributesW(install_dir);
    if (attrs != INVALID_FILE_ATTRIBUTES) {
        if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            return 0;
        }
        return tovrin_stop_existing_sidecar(install_dir, state_dir, TOVRIN_STOP_FOR_UPGRADE);
    }
    /* Only a directory that is not there means that nothing of it runs; one
     * that cannot be read (access denied, a share that does not answer) may
     * well run a sidecar, and the caller must not go on as if none did. */
    error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return 0;
    }
    memset(&probe, 0, sizeof probe);
    probe.command_matches = -1;
    probe.win32_error = error;
    helper_sha256[0] = '\0';
    compute_helper_sha256(helper_sha256);
    canonicalize_install_dir(install_dir, canon);
    append_stop_record(state_dir, "refused", "install_dir_unreadable", &probe,
                       helper_matches_install(canon), helper_sha256, TASK_UNREAD, TASK_UNREAD,
                       TOVRIN_STOP_FOR_UPGRADE);
    return 1;
}

int tovrin_stop_existing_sidecar(const wchar_t *install_dir, const wchar_t *state_dir, int mode)
{
    /* The tables of the stop (about 30 KB) live for the whole call. */
    struct stop_state stop;
    memset(&stop, 0, sizeof stop);
    stop.mode = mode;
    return stop_sidecar(install_dir, state_dir, query_listener, &stop);
}
