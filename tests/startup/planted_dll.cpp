// A stand-in for a system DLL, planted beside a copy of the program under
// the system DLL's name (winhttp.dll, iphlpapi.dll, bcrypt.dll). It exports
// nothing the program needs: its only act is to leave "NAME.dll.loaded"
// beside itself when a process loads it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t marker[MAX_PATH + 16];
    DWORD n = GetModuleFileNameW(self, marker, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        lstrcpyW(marker + n, L".loaded");
        HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    return TRUE;
}
