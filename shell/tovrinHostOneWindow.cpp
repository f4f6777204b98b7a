/*
 * One window per installation and session: the guard the first start
 * holds, and the hand-over of a second start to the first one's window.
 */
#include "TovrinHostMain.h"

#include <wchar.h>

#include "../stop/tovrinHostStop.h"

/* How long a second start looks for the first one's window, how long for
 * one that is closing (its stop may take that long), and how long it waits
 * for each answer. */
#define TOVRIN_CLAIM_WAIT_MS 5000
#define TOVRIN_CLAIM_CLOSING_WAIT_MS 30000

/* One window per installation and session: the first start holds this
 * mutex for its whole life (its end releases it however it ends), and its
 * window answers later starts with the installation's key. 0 in a window
 * that is not the installation's first. */
static HANDLE g_instance_mutex;
ULONGLONG g_install_hash;
int g_is_first;

/* FNV-1a over the installation's key: a short name for it. */
static ULONGLONG key_hash(const char *key)
{
    ULONGLONG hash = 14695981039346656037ull;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(key); *c; c++) {
        hash = (hash ^ *c) * 1099511628211ull;
    }
    return hash ? hash : 1;
}

ULONGLONG install_key_hash(void)
{
    char key[1200];
    if (g_path_error || !tovrin_install_key(g_install_dir, key, sizeof key)) {
        return 0;
    }
    return key_hash(key);
}

/* Asks the windows of the shell in this session which one serves this
 * installation; that one takes the start over (1) or says it is closing
 * (2). 0 when none answered; `*first_pid` names the one that did. */
static int hand_over(ULONGLONG hash, DWORD *first_pid)
{
    HWND window = NULL;
    while ((window = FindWindowExW(NULL, window, L"TovrinHostShell", NULL)) != NULL) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetCurrentProcessId()) {
            continue;
        }
        /* Only the process in the foreground may give it away. */
        AllowSetForegroundWindow(pid);
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutW(window, WM_APP_HANDOVER, (WPARAM)hash, 0,
                                SMTO_BLOCK | SMTO_ABORTIFHUNG, TOVRIN_HANDOVER_TIMEOUT_MS,
                                &answer) &&
            (answer == 1 || answer == 2)) {
            *first_pid = pid;
            return (int)answer;
        }
    }
    return 0;
}

/* One shell per installation and user session: 1 when this start is the
 * first (it holds the guard now), 0 when it handed over to the first, -1
 * when the first did not answer in time (it is left alone). A start that
 * cannot name its installation is the first: no guard must keep the user
 * from the Host. */
int claim_installation(DWORD *first_pid)
{
    ULONGLONG hash = install_key_hash();
    if (hash == 0) {
        return 1;
    }
    g_install_hash = hash;
    wchar_t name[64];
    _snwprintf(name, 64, L"Local\\TovrinHost.Shell.%016llx", hash);
    name[63] = L'\0';
    g_instance_mutex = CreateMutexW(NULL, FALSE, name);
    if (!g_instance_mutex) {
        return 1;
    }
    DWORD started = GetTickCount();
    DWORD bound = TOVRIN_CLAIM_WAIT_MS;
    for (;;) {
        DWORD got = WaitForSingleObject(g_instance_mutex, 0);
        if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
            g_is_first = 1;
            return 1;
        }
        int answer = hand_over(hash, first_pid);
        if (answer == 1) {
            return 0;
        }
        if (answer == 2) {
            bound = TOVRIN_CLAIM_CLOSING_WAIT_MS; /* its stop is still ending */
        }
        if (GetTickCount() - started >= bound) {
            return -1;
        }
        /* Until the first's window is there, or the first has gone. */
        got = WaitForSingleObject(g_instance_mutex, TOVRIN_POLL_PAUSE_MS);
        if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
            g_is_first = 1;
            return 1;
        }
    }
}

/* A window that left another one the installation takes over only once
 * that one has gone: 1 when this window may serve the installation now. */
int take_over_installation(void)
{
    if (g_is_first || !g_instance_mutex) {
        return 1;
    }
    DWORD got = WaitForSingleObject(g_instance_mutex, 0);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
        return 0;
    }
    g_is_first = 1;
    return 1;
}
