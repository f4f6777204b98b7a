// Windows' schtasks.exe for the one task "Tovrin Host" (Wine's cannot query,
// disable or end one): TOVRIN_TASK_FILE holds "ENABLED RUNNING COMMAND" (no
// file: no task), changed only by /Change and /End, as the scheduler does.
#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *file = _wgetenv(L"TOVRIN_TASK_FILE");
    int enabled = 0, running = 0;
    char command[1024] = "";
    FILE *state = file ? _wfopen(file, L"rb") : NULL;
    if (argc < 4 || wcscmp(argv[2], L"/TN") != 0 || wcscmp(argv[3], L"Tovrin Host") != 0 ||
        !state || fscanf(state, "%d %d %1023[^\r\n]", &enabled, &running, command) != 3) {
        return 1;
    }
    fclose(state);
    const wchar_t *last = argv[argc - 1];
    if (wcscmp(argv[1], L"/Query") == 0 && argc == 5 && wcscmp(last, L"/XML") == 0) {
        // Triggers have an <Enabled> of their own; the task's is in <Settings>.
        printf("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Task version=\"1.2\" "
               "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
               "  <Triggers><LogonTrigger><Enabled>true</Enabled></LogonTrigger></Triggers>\r\n"
               "  <Settings><DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"
               "<Enabled>%s</Enabled></Settings>\r\n  <Actions Context=\"Author\"><Exec>"
               "<Command>%s</Command></Exec></Actions>\r\n</Task>\r\n",
               enabled ? "true" : "false", command);
        return 0;
    }
    int change = wcscmp(argv[1], L"/Change") == 0 && argc == 5;
    if (change && (wcscmp(last, L"/ENABLE") == 0 || wcscmp(last, L"/DISABLE") == 0)) {
        enabled = wcscmp(last, L"/ENABLE") == 0;
    } else if (wcscmp(argv[1], L"/End") == 0 && argc == 4) {
        running = 0;
    } else {
        return 1;
    }
    state = _wfopen(file, L"wb");
    fprintf(state, "%d %d %s\r\n", enabled, running, command);
    fclose(state);
    return 0;
}
