/*
 * The shell's side of an installer at work: the guard that an installer
 * holds in the install directory while it works on the installation.
 */
#include "TovrinHostMain.h"

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
