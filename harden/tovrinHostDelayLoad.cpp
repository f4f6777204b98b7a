/*
 * Where the program's delay-loaded DLLs come from, and what a call into one
 * does when it cannot be had.
 *
 * WinHTTP, the IP helper and CNG (winhttp.dll, iphlpapi.dll, bcrypt.dll) are
 * not KnownDLLs. Imported statically, they would be looked for in the
 * program's own folder first, before wWinMain runs, and an installer may
 * start the program from a folder that others can write to. The program
 * links them through delay-import libraries instead (made from the .def
 * files beside this one), so none is loaded before its first call, and
 * this hook loads each one by name from the system folder only, whatever
 * the process's search path is.
 *
 * Left to itself, the delay-load helper raises an exception when a DLL or a
 * function cannot be loaded. Here the call goes to a stand-in instead that
 * fails the way every function of that DLL reports failure, so the caller
 * takes its ordinary failure path. One stand-in serves every function of a
 * DLL: on x64 the caller owns the argument space, so arguments the stand-in
 * does not read do no harm.
 */
#include <windows.h>
#include <delayimp.h>
#include <string.h>

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
