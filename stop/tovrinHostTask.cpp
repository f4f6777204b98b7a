/*
 * The logon task "Tovrin Host" around a stop: schtasks.exe's answer read
 * through a pipe, the task's definition read, and the task held and restored.
 */
#include "tovrinHostStopPrivate.h"

#include <string.h>
#include <wchar.h>

static const wchar_t k_task_disable[] = L"/Change /TN \"Tovrin Host\" /DISABLE";
static const wchar_t k_task_end[] = L"/End /TN \"Tovrin Host\"";
static const wchar_t k_task_enable[] = L"/Change /TN \"Tovrin Host\" /ENABLE";
/* The task's definition as XML: its element names and values are the same
 * in every language of Windows, unlike the lists and messages of the other
 * /Query forms. */
static const wchar_t k_task_query[] = L"/Query /TN \"Tovrin Host\" /XML";

const char *const k_task_words[TASK_UNKNOWN + 1] = {"unread", "none", "enabled", "disabled",
                                                    "unknown"};

/* ------------------------------------------------------------------ */
/* schtasks.exe's answer                                               */
/* ------------------------------------------------------------------ */

int open_answer_pipe(struct answer_pipe *pipe, struct schtasks_answer *answer,
                     STARTUPINFOEXW *startup, DWORD *flags)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    SIZE_T list_size = 0;

    answer->text[0] = '\0';
    answer->length = 0;
    answer->exit_code = 0;
    if (!CreatePipe(&pipe->read_end, &pipe->write_end, &inheritable, 0)) {
        pipe->read_end = pipe->write_end = NULL;
        return 0;
    }
    /* Only the write end goes to the child, and nothing else of this
     * process: an inherited handle of the caller's would stay open as
     * long as schtasks.exe runs. */
    InitializeProcThreadAttributeList(NULL, 1, 0, &list_size);
    if (list_size == 0 || list_size > sizeof pipe->list_storage ||
        !InitializeProcThreadAttributeList((LPPROC_THREAD_ATTRIBUTE_LIST)pipe->list_storage, 1, 0,
                                           &list_size)) {
        return 0;
    }
    pipe->list = (LPPROC_THREAD_ATTRIBUTE_LIST)pipe->list_storage;
    if (!SetHandleInformation(pipe->read_end, HANDLE_FLAG_INHERIT, 0) ||
        !UpdateProcThreadAttribute(pipe->list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   &pipe->write_end, sizeof pipe->write_end, NULL, NULL)) {
        return 0;
    }
    startup->StartupInfo.cb = sizeof *startup;
    startup->StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    startup->StartupInfo.hStdOutput = pipe->write_end;
    startup->lpAttributeList = pipe->list;
    *flags |= EXTENDED_STARTUPINFO_PRESENT;
    return 1;
}

int read_answer(struct answer_pipe *pipe, HANDLE process, struct schtasks_answer *answer)
{
    DWORD started;
    size_t got = 0;
    int ended = 0;

    /* The child holds the only write end now: once it has ended and its
     * output is read, the pipe reports that no more can come. */
    CloseHandle(pipe->write_end);
    pipe->write_end = NULL;
    started = GetTickCount();
    for (;;) {
        DWORD available = 0;
        DWORD read = 0;
        if (!PeekNamedPipe(pipe->read_end, NULL, 0, NULL, &available, NULL)) {
            break;
        }
        if (available > 0) {
            if (available > TASK_ANSWER_CAP - 1 - got ||
                !ReadFile(pipe->read_end, answer->text + got, available, &read, NULL)) {
                return 0;
            }
            got += read;
            continue;
        }
        /* Ended with nothing more in the pipe (a program that it started
         * may still hold a copy of the write end). */
        if (ended) {
            break;
        }
        if (GetTickCount() - started >= SCHTASKS_WAIT_MS) {
            return 0;
        }
        ended = WaitForSingleObject(process, PIPE_POLL_MS) == WAIT_OBJECT_0;
    }
    answer->text[got] = '\0';
    answer->length = got;
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &answer->exit_code)) {
        return 0;
    }
    return 1;
}

void close_answer_pipe(struct answer_pipe *pipe)
{
    if (pipe->list) {
        DeleteProcThreadAttributeList(pipe->list);
    }
    if (pipe->write_end) {
        CloseHandle(pipe->write_end);
    }
    if (pipe->read_end) {
        CloseHandle(pipe->read_end);
    }
}

/* ------------------------------------------------------------------ */
/* the task's definition                                               */
/* ------------------------------------------------------------------ */

/* The five entities XML writes in text, decoded in place. */
static void decode_xml_text(wchar_t *text)
{
    static const struct {
        const wchar_t *entity;
        wchar_t unit;
    } entities[] = {{L"&amp;", L'&'}, {L"&lt;", L'<'}, {L"&gt;", L'>'},
                    {L"&quot;", L'"'}, {L"&apos;", L'\''}};
    wchar_t *out = text;
    const wchar_t *in = text;
    while (*in) {
        size_t k;
        size_t len = 0;
        for (k = 0; *in == L'&' && k < sizeof entities / sizeof entities[0]; k++) {
            len = wcslen(entities[k].entity);
            if (wcsncmp(in, entities[k].entity, len) == 0) {
                break;
            }
        }
        if (*in == L'&' && k < sizeof entities / sizeof entities[0]) {
            *out++ = entities[k].unit;
            in += len;
        } else {
            *out++ = *in++;
        }
    }
    *out = L'\0';
}

/* 1 when the program of an Exec action (`command`, as the XML holds it)
 * has the file name of this program. The task may name it in many ways
 * (quoted, through environment variables, by a short or linked path); the
 * file name is enough to keep the shell from ending itself. */
static int action_is_self(wchar_t *command)
{
    wchar_t expanded[IMAGE_WIDE_CAP];
    wchar_t module[IMAGE_WIDE_CAP];
    const wchar_t *name;
    const wchar_t *own;
    wchar_t *at;
    DWORD n;

    decode_xml_text(command);
    while (*command == L' ' || *command == L'\t' || *command == L'\r' || *command == L'\n' ||
           *command == L'"') {
        command++;
    }
    at = command + wcslen(command);
    while (at > command && (at[-1] == L' ' || at[-1] == L'\t' || at[-1] == L'\r' ||
                            at[-1] == L'\n' || at[-1] == L'"')) {
        *--at = L'\0';
    }
    n = ExpandEnvironmentStringsW(command, expanded, IMAGE_WIDE_CAP);
    if (n == 0 || n > IMAGE_WIDE_CAP) {
        return 0;
    }
    n = GetModuleFileNameW(NULL, module, IMAGE_WIDE_CAP);
    if (n < 1 || n > IMAGE_WIDE_CAP - 1) {
        return 0;
    }
    module[n] = L'\0';
    name = wcsrchr(expanded, L'\\');
    name = name ? name + 1 : expanded;
    own = wcsrchr(module, L'\\');
    own = own ? own + 1 : module;
    return _wcsicmp(name, own) == 0 ? 1 : 0;
}

/* Reads the task's definition (`xml`, modified in place): whether it is
 * enabled (<Enabled> of <Settings>; the schema's default is true) and
 * whether one of its actions runs this program. 0 when the text is not a
 * definition that says so. */
static int parse_task_xml(wchar_t *xml, int *enabled, int *runs_self)
{
    wchar_t *settings = wcsstr(xml, L"<Settings>");
    wchar_t *settings_end = settings ? wcsstr(settings, L"</Settings>") : NULL;
    wchar_t *at;
    wchar_t *end;

    *runs_self = 0;
    if (!settings_end) {
        return 0;
    }
    *settings_end = L'\0';
    at = wcsstr(settings, L"<Enabled>");
    *enabled = 1;
    if (at) {
        at += wcslen(L"<Enabled>");
        while (*at == L' ' || *at == L'\t' || *at == L'\r' || *at == L'\n') {
            at++;
        }
        if (wcsncmp(at, L"false", 5) == 0 || *at == L'0') {
            *enabled = 0;
        } else if (wcsncmp(at, L"true", 4) != 0 && *at != L'1') {
            return 0;
        }
    }
    at = wcsstr(settings_end + 1, L"<Actions");
    while (at && (at = wcsstr(at, L"<Command>")) != NULL) {
        at += wcslen(L"<Command>");
        end = wcsstr(at, L"</Command>");
        if (!end) {
            break;
        }
        *end = L'\0';
        if (action_is_self(at)) {
            *runs_self = 1;
        }
        at = end + 1;
    }
    return 1;
}

/* The task "Tovrin Host" as schtasks.exe describes it now. Its answer is
 * UTF-16 when it says so by its bytes, else text in the code page of the
 * console it was given (the OEM code page of the system). A run that ends
 * with an error code means that there is no such task for this user. */
static int read_task(int *runs_self)
{
    struct schtasks_answer answer;
    wchar_t xml[TASK_ANSWER_CAP];
    const char *text = answer.text;
    size_t len;
    int enabled = 0;

    *runs_self = 0;
    if (!run_schtasks(k_task_query, &answer)) {
        return TASK_UNKNOWN;
    }
    if (answer.exit_code != 0) {
        return TASK_NONE;
    }
    len = answer.length;
    if (len >= 2 &&
        (((unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE) || text[1] == '\0')) {
        memcpy(xml, text, len & ~(size_t)1);
        xml[len / 2] = L'\0';
    } else {
        int n = len > 0 ? MultiByteToWideChar(CP_OEMCP, 0, text, (int)len, xml,
                                              TASK_ANSWER_CAP - 1)
                        : 0;
        if (n <= 0) {
            return TASK_UNKNOWN;
        }
        xml[n] = L'\0';
    }
    if (!parse_task_xml(xml, &enabled, runs_self)) {
        return TASK_UNKNOWN;
    }
    return enabled ? TASK_ENABLED : TASK_DISABLED;
}

/* ------------------------------------------------------------------ */
/* held and restored around a stop                                     */
/* ------------------------------------------------------------------ */

/* Reads the logon task and keeps it from starting the sidecar while the
 * stop runs: an enabled task is disabled, and with `end_it` its running
 * instance is ended. A task the stop cannot read is left alone, as it
 * could not be left as it was found. In the window the task may be what
 * started this very shell, which the end step would end with it. */
void hold_task(struct stop_state *stop, int end_it)
{
    int runs_self = 0;
    stop->task_before = read_task(&runs_self);
    stop->task_after = stop->task_before;
    if (stop->task_before == TASK_ENABLED) {
        run_schtasks(k_task_disable, NULL);
        stop->task_disabled = 1;
    }
    if (end_it && (stop->task_before == TASK_ENABLED || stop->task_before == TASK_DISABLED) &&
        !(stop->mode == TOVRIN_STOP_FOR_WINDOW && runs_self)) {
        run_schtasks(k_task_end, NULL);
    }
}

/* Every end of the stop leaves the task as it found it, but one: an
 * upgrade's successful stop keeps it disabled. The task is read again
 * after a change, so the record tells what the system made of it. */
void release_task(struct stop_state *stop)
{
    int runs_self = 0;
    if (!stop->task_disabled) {
        return;
    }
    if (stop->result != 0 || stop->mode != TOVRIN_STOP_FOR_UPGRADE) {
        run_schtasks(k_task_enable, NULL);
    }
    stop->task_after = read_task(&runs_self);
}
