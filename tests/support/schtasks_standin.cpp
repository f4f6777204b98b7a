// Windows' schtasks.exe for the one task "Tovrin Host" (Wine's cannot query,
// disable or end one): TOVRIN_TASK_FILE holds "ENABLED RUNNING COMMAND" (no
// file: no task), changed only by /Change, /End, /Create /XML (whose XML is
// kept beside it as FILE.xml, in UTF-8) and /Delete, as the scheduler does.
// With TOVRIN_TASK_HOLD, /Create writes HOLD.waiting and waits until HOLD
// exists, so that a test can look at an installer in the middle of its run.
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <string>

static std::string xml_of(const wchar_t *path)
{
    std::string bytes;
    FILE *in = _wfopen(path, L"rb");
    char buf[4096];
    for (size_t n; in && (n = fread(buf, 1, sizeof buf, in)) > 0;) {
        bytes.append(buf, n);
    }
    if (in) {
        fclose(in);
    }
    if (bytes.size() < 2 || (unsigned char)bytes[0] != 0xFF || (unsigned char)bytes[1] != 0xFE) {
        return bytes;
    }
    std::wstring wide((const wchar_t *)(bytes.data() + 2), (bytes.size() - 2) / 2);
    std::string utf8(wide.size() * 3, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &utf8[0],
                                    (int)utf8.size(), NULL, NULL));
    return utf8;
}

static std::string element(const std::string &xml, const char *name, size_t from = 0)
{
    std::string open = std::string("<") + name + ">", close = std::string("</") + name + ">";
    size_t at = xml.find(open, from), end = at == std::string::npos ? at : xml.find(close, at);
    return end == std::string::npos ? "" : xml.substr(at + open.size(), end - at - open.size());
}

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *file = _wgetenv(L"TOVRIN_TASK_FILE");
    int enabled = 0, running = 0;
    char command[1024] = "";
    if (!file || argc < 4) {
        return 1;
    }
    std::wstring xml_copy = std::wstring(file) + L".xml";
    if (argc == 7 && wcscmp(argv[1], L"/Create") == 0 && wcscmp(argv[2], L"/XML") == 0 &&
        wcscmp(argv[4], L"/TN") == 0 && wcscmp(argv[5], L"Tovrin Host") == 0 &&
        wcscmp(argv[6], L"/F") == 0) {
        const wchar_t *hold = _wgetenv(L"TOVRIN_TASK_HOLD");
        if (hold) {
            fclose(_wfopen((std::wstring(hold) + L".waiting").c_str(), L"wb"));
            for (int i = 0; i < 1200 && GetFileAttributesW(hold) == INVALID_FILE_ATTRIBUTES; i++) {
                Sleep(100);
            }
        }
        std::string xml = xml_of(argv[3]);
        std::string settings = element(xml, "Settings");
        if (settings.empty() || element(xml, "Command").empty()) {
            return 1;
        }
        FILE *out = _wfopen(xml_copy.c_str(), L"wb");
        fwrite(xml.data(), 1, xml.size(), out);
        fclose(out);
        out = _wfopen(file, L"wb");
        fprintf(out, "%d 0 \"%s\"\r\n", element(settings, "Enabled") != "false",
                element(xml, "Command").c_str());
        fclose(out);
        return 0;
    }
    FILE *state = _wfopen(file, L"rb");
    if (wcscmp(argv[2], L"/TN") != 0 || wcscmp(argv[3], L"Tovrin Host") != 0 || !state ||
        fscanf(state, "%d %d %1023[^\r\n]", &enabled, &running, command) != 3) {
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
    if (wcscmp(argv[1], L"/Delete") == 0 && argc == 5 && wcscmp(last, L"/F") == 0) {
        DeleteFileW(xml_copy.c_str());
        return DeleteFileW(file) ? 0 : 1;
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
