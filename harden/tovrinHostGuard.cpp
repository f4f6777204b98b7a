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
 *
 * This file is compiled without the protector (CMakeLists.txt): the
 * function that changes the guard cannot be checked against it.
 */
#include <windows.h>
#include <stdint.h>

/* Until the seeding below runs: not zero, and the well-known default of
 * the /GS cookie, which no seeded value keeps. */
#define TOVRIN_GUARD_DEFAULT ((uintptr_t)0x00002B992DDFA232ull)

extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the compiler's names
uintptr_t __stack_chk_guard = TOVRIN_GUARD_DEFAULT;
[[noreturn]] void __stack_chk_fail(void);
[[noreturn]] void __chk_fail(void);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

/* No handler, no unwinding and no DLL detach runs on a corrupted stack.
 * TerminateProcess does not return for the calling process; ExitProcess
 * only keeps the promise of [[noreturn]]. */
[[noreturn]] static void end_on_overrun(void)
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    ExitProcess(STATUS_STACK_BUFFER_OVERRUN);
}

/* A guarded function found its guard overwritten. */
void __stack_chk_fail(void)
{
    end_on_overrun();
}

/* A fortified copy (memcpy, strcpy, snprintf, ...) would have written past
 * its destination. */
void __chk_fail(void)
{
    end_on_overrun();
}

/* Runs while the C runtime initialises, before any guarded function of the
 * program is on the stack. The time, the counter, the ids and the address
 * of a local (placed by ASLR) differ from start to start. */
static uintptr_t seed_stack_guard(void)
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
