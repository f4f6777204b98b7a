/*
 * The shell's side of an installer at work: the guard that an installer
 * holds in the install directory, and the windows that close before its stop.
 */
#include "TovrinHostMain.h"

/* The stop-only mode waits this long in all for the windows that agreed to
 * close; whatever is left is ended by the stop, as before. */
#define TOVRIN_STEP_ASIDE_WAIT_MS 10000
/* Windows asked in one go; more shells than that of one user are not seen. */
#define TOVRIN_STEP_ASIDE_MAX 64

/* The installer holds upgrade.lock open with write access, so an open that
 * shares reading only is refused with a sharing violation. Every other
 * outcome means that nobody works on the installation: no file, a file that
 * opens (left behind by an installer that was killed), or another error. */
int upgrade_guard_held(void)
{
    wchar_t path[TOVRIN_PATH_CAP];
    int held = 0;
    if (g_path_error || g_install_dir[0] == L'\0' ||
        !join_wide_path(path, g_install_dir, L"upgrade.lock")) {
        return 0;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        held = GetLastError() == ERROR_SHARING_VIOLATION;
    } else {
        CloseHandle(file);
    }
    return held;
}

/* The upgrade's stop would otherwise end the installation's shells by
 * force. Each window is asked with the installation's key; one of this
 * installation closes as the user's close does and answers 1. The windows
 * are listed before any is asked: one that agrees goes away, and the search
 * could not go on from it. */
void step_aside_shells(void)
{
    HWND windows[TOVRIN_STEP_ASIDE_MAX];
    HANDLE leaving[TOVRIN_STEP_ASIDE_MAX];
    int found = 0;
    int count = 0;
    HWND window = NULL;
    ULONGLONG hash = install_key_hash();
    if (hash == 0) {
        return;
    }
    while (found < TOVRIN_STEP_ASIDE_MAX &&
           (window = FindWindowExW(NULL, window, L"TovrinHostShell", NULL)) != NULL) {
        windows[found++] = window;
    }
    for (int i = 0; i < found; i++) {
        DWORD pid = 0;
        GetWindowThreadProcessId(windows[i], &pid);
        if (pid == 0 || pid == GetCurrentProcessId()) {
            continue;
        }
        /* Opened before it is asked: the handle keeps the id of a process
         * that ends at once from going to another one. */
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutW(windows[i], WM_APP_STEP_ASIDE, (WPARAM)hash,
                                (LPARAM)GetCurrentProcessId(), SMTO_BLOCK | SMTO_ABORTIFHUNG,
                                TOVRIN_HANDOVER_TIMEOUT_MS, &answer) &&
            answer == 1 && process) {
            leaving[count++] = process;
        } else if (process) {
            CloseHandle(process);
        }
    }
    DWORD started = GetTickCount();
    for (int i = 0; i < count; i++) {
        DWORD spent = GetTickCount() - started;
        WaitForSingleObject(leaving[i],
                            spent < TOVRIN_STEP_ASIDE_WAIT_MS ? TOVRIN_STEP_ASIDE_WAIT_MS - spent : 0);
        CloseHandle(leaving[i]);
    }
}
