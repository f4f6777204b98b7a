// The control of the planted-DLL test: a program that loads the three DLLs
// by name without restricting the search, placed beside the planted ones.
// Their markers appearing show that the test's runtime does load DLLs from
// a program's folder (under Wine only with WINEDLLOVERRIDES=NAME=n,b).
#include <windows.h>

int wmain()
{
    const wchar_t *names[] = {L"winhttp.dll", L"iphlpapi.dll", L"bcrypt.dll"};
    int loaded = 0;
    for (const wchar_t *name : names) {
        loaded += LoadLibraryW(name) != NULL;
    }
    return loaded == 3 ? 0 : 1;
}
