/*
 * The program's own defences: its delay-loaded DLLs come from the system
 * folder only, and its stack guard is seeded without loading anything.
 */
#include <windows.h>
#include <delayimp.h>
#include <stdint.h>

/*
 * Where the program's delay-loaded DLLs come from, and what a call into one
 * does when it cannot be had.
 *
 * WinHTTP, the IP helper and CNG (winhttp.dll, iphlpapi.dll, bcrypt.dll) are
 * not KnownDLLs. Imported statically, they would be looked for in the
 * program's own folder first, before wWinMain runs, and an installer may
 * start the program from a folder that others can write to. The program
 * links them through delay-import libraries instead (made from the .def
 * files in cmake/delayload), so none is loaded before its first call, and
 * the hook below loads each one by name from the system folder only,
 * whatever the process's search path is.
 *
 * Left to itself, the delay-load helper raises an exception when a DLL or a
 * function cannot be loaded. Here the call goes to a stand-in instead that
 * fails the way every function of that DLL reports failure, so the caller
 * takes its ordinary failure path. One stand-in serves every function of a
 * DLL: on x64 the caller owns the argument space, so arguments the stand-in
 * does not read do no harm. (Programs that link the system's own import
 * libraries, such as the tests, never consult the hook.)
 */
/* WinHTTP: FALSE or a NULL handle, the reason in the last error. */
static INT_PTR WINAPI winhttp_unavailable(void)
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

/* IP helper: the error code is the result; neither NO_ERROR nor
 * ERROR_INSUFFICIENT_BUFFER, which would ask for a second call. */
static INT_PTR WINAPI iphlpapi_unavailable(void)
{
    return ERROR_MOD_NOT_FOUND;
}

/* CNG: an NTSTATUS that BCRYPT_SUCCESS refuses (never 0). */
static INT_PTR WINAPI bcrypt_unavailable(void)
{
    return (LONG)STATUS_DLL_NOT_FOUND;
}

struct delay_loaded_dll {
    const char *name;
    FARPROC unavailable;
};

/* Every DLL the program delay-loads: the build makes delay-import
 * libraries for these three only (CMakeLists.txt). */
static const struct delay_loaded_dll k_delay_loaded[] = {
    {"winhttp.dll", winhttp_unavailable},
    {"iphlpapi.dll", iphlpapi_unavailable},
    {"bcrypt.dll", bcrypt_unavailable},
};

/* Called by the helper on a function's first call. Whatever is returned
 * becomes that function's address for good, so the helper's own search
 * (LoadLibraryA) and its exception are never reached for these DLLs. Each
 * first call takes one more reference to its DLL; the program never
 * unloads them. */
static FARPROC WINAPI load_from_system_folder(unsigned notice, PDelayLoadInfo info)
{
    FARPROC unavailable = NULL;
    size_t i;

    if (notice != dliStartProcessing) {
        return NULL;
    }
    for (i = 0; i < sizeof k_delay_loaded / sizeof k_delay_loaded[0]; i++) {
        if (_stricmp(info->szDll, k_delay_loaded[i].name) == 0) {
            unavailable = k_delay_loaded[i].unavailable;
        }
    }
    if (!unavailable) {
        return NULL;
    }
    HMODULE module = LoadLibraryExA(info->szDll, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    FARPROC proc = NULL;
    if (module) {
        proc = GetProcAddress(module, info->dlp.fImportByName
                                          ? info->dlp.szProcName
                                          : MAKEINTRESOURCEA(info->dlp.dwOrdinal));
    }
    return proc ? proc : unavailable;
}

/* The hook the C runtime's delay-load helper reads (delayimp.h). */
PfnDliHook __pfnDliNotifyHook2 = load_from_system_folder;

/*
 * The stack protector's guard value and the ends of a failed check, for
 * the Windows builds (-fstack-protector-strong, -D_FORTIFY_SOURCE=2).
 *
 * The compiler's own support library (libssp) would seed the guard in a
 * constructor through CryptAcquireContext, which loads a cryptographic
 * provider and its DLLs before wWinMain has restricted the DLL search (a
 * bcrypt.dll planted beside the program was loaded that way under Wine),
 * and it reports a failed check with an illegal instruction. Here the guard
 * is seeded without loading anything, from the sources Microsoft's C
 * runtime mixes into its /GS cookie, and a failed check ends the process at
 * once with STATUS_STACK_BUFFER_OVERRUN, the exit code of a /GS failure.
 * These functions are not guarded themselves: the one that changes the
 * guard cannot be checked against it.
 */
#if defined(__GNUC__) || defined(__clang__)
#define TOVRIN_UNGUARDED __attribute__((no_stack_protector, noinline))
#else
#define TOVRIN_UNGUARDED
#endif

/* Until the seeding below runs: not zero, and the well-known default of
 * the /GS cookie, which no seeded value keeps. */
#define TOVRIN_GUARD_DEFAULT ((uintptr_t)0x00002B992DDFA232ull)

extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the compiler's names
uintptr_t __stack_chk_guard = TOVRIN_GUARD_DEFAULT;
/* The C library's fortified headers declare __chk_fail first. */
__attribute__((__noreturn__)) void __stack_chk_fail(void);
__attribute__((__noreturn__)) void __chk_fail(void);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

/* No handler, no unwinding and no DLL detach runs on a corrupted stack.
 * TerminateProcess does not return for the calling process; ExitProcess
 * only keeps the promise of [[noreturn]]. */
[[noreturn]] TOVRIN_UNGUARDED static void end_on_overrun(void)
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    ExitProcess(STATUS_STACK_BUFFER_OVERRUN);
}

/* A guarded function found its guard overwritten. */
TOVRIN_UNGUARDED void __stack_chk_fail(void)
{
    end_on_overrun();
}

/* A fortified copy (memcpy, strcpy, snprintf, ...) would have written past
 * its destination. */
TOVRIN_UNGUARDED void __chk_fail(void)
{
    end_on_overrun();
}

/* Runs while the C runtime initialises, before any guarded function of the
 * program is on the stack. The time, the counter, the ids and the address
 * of a local (placed by ASLR) differ from start to start. */
TOVRIN_UNGUARDED static uintptr_t seed_stack_guard(void) noexcept
{
    LARGE_INTEGER counter;
    FILETIME now;
    uintptr_t guard = TOVRIN_GUARD_DEFAULT;

    QueryPerformanceCounter(&counter);
    GetSystemTimeAsFileTime(&now);
    guard ^= (uintptr_t)counter.QuadPart;
    guard ^= ((uintptr_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
    guard ^= ((uintptr_t)GetCurrentProcessId() << 32) | GetCurrentThreadId();
    guard ^= (uintptr_t)GetTickCount64() << 16;
    guard ^= (uintptr_t)&counter;
    if (guard == 0 || guard == TOVRIN_GUARD_DEFAULT) {
        guard = TOVRIN_GUARD_DEFAULT ^ 1;
    }
    __stack_chk_guard = guard;
    return guard;
}

static const uintptr_t g_seeded_guard = seed_stack_guard();
