/*
 * Launch policy: the decisions the shell takes from text and numbers.
 *
 * The JSON texts (control file, release file, /status body) are searched
 * by plain substring scans, not parsed: the sidecar writes them, they are
 * small, and a scan that can be read in one sitting is easier to trust
 * than a parser pulled in for three values. The rules of each scan are
 * therefore exact and tested byte for byte.
 */
#include "tovrinHostLaunch.h"

#include <stdio.h>
#include <string.h>

/* Every normalised path fits here; longer inputs are cut to 1199 bytes. */
#define TOVRIN_NORM_CAP 1200
#define TOVRIN_NORM_INSTALL_CAP 1024
#define TOVRIN_NORM_CMDLINE_CAP 4096

static const char k_shell_suffix[] = "\\tovrinhost.exe";
static const char k_node_suffix[] = "\\runtime\\node\\node.exe";
static const char k_trampoline_suffix[] = "\\tovrinhostsidecar.cmd";
static const char k_cmd_suffix[] = "\\cmd.exe";
static const char k_any_node_suffix[] = "\\node.exe";

static int tovrin_is_json_space(unsigned char c)
{
    return c == ' ' || (c >= 9 && c <= 13);
}

static int tovrin_is_hex(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static unsigned char tovrin_ascii_lower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c - 'A' + 'a') : c;
}

/* ------------------------------------------------------------------ */
/* control and release texts                                           */
/* ------------------------------------------------------------------ */

/* The search behind tovrin_extract_json_string, without its argument
 * checks. The key is matched as a plain substring, so its first occurrence
 * may just as well be a string value; nesting is not looked at. */
static int extract_json_string_after_key(const char *text, const char *key, char *out, size_t cap)
{
    const char *at = strstr(text, key);
    if (!at) {
        return 0;
    }
    const char *p = strchr(at + strlen(key), ':');
    if (!p) {
        return 0;
    }
    p++;
    while (*p && tovrin_is_json_space((unsigned char)*p)) {
        p++;
    }
    if (*p != '"') {
        return 0;
    }
    const char *value = p + 1;
    /* Escapes are not interpreted: a quote after a backslash ends the
     * value like any other quote. */
    const char *end = strchr(value, '"');
    if (!end) {
        return 0;
    }
    size_t len = (size_t)(end - value);
    if (len >= cap) {
        return 0;
    }
    memcpy(out, value, len);
    out[len] = '\0';
    return 1;
}

extern "C" int tovrin_extract_json_string(const char *text, const char *key, char *out, size_t cap)
{
    if (!text || !key || !out || cap < 2) {
        return 0;
    }
    return extract_json_string_after_key(text, key, out, cap);
}

/* Reads a decimal integer as "%d" would after white space: an optional
 * sign, then at least one digit; the first non-digit ends it. Unlike
 * sscanf, a value too large for an int is reported as out of range
 * instead of being undefined. */
static int tovrin_scan_port_number(const char *p, int32_t *value)
{
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        p++;
    }
    if (*p < '0' || *p > '9') {
        return 0;
    }
    /* Anything above 65535 is rejected anyway; stop accumulating there so
     * that no digit string can overflow. */
    int32_t n = 0;
    int too_big = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (!too_big) {
            n = n * 10 + (*p - '0');
            if (n > 65535) {
                too_big = 1;
            }
        }
    }
    if (too_big) {
        *value = 0;
        return 1;
    }
    *value = negative ? -n : n;
    return 1;
}

extern "C" int tovrin_parse_control_port(const char *text)
{
    if (!text) {
        return 0;
    }
    const char *at = strstr(text, "\"port\"");
    if (!at) {
        return 0;
    }
    const char *p = strchr(at + 6, ':');
    if (!p) {
        return 0;
    }
    p++;
    while (*p && tovrin_is_json_space((unsigned char)*p)) {
        p++;
    }
    int32_t port = 0;
    if (!tovrin_scan_port_number(p, &port)) {
        return 0;
    }
    return (port >= 1 && port <= 65535) ? port : 0;
}

extern "C" int tovrin_control_bind_is_loopback(const char *text)
{
    if (!text) {
        return 0;
    }
    char bind[128];
    /* A control file that does not state a usable bind address is taken as
     * loopback: the sidecar binds to loopback unless told otherwise. */
    if (!extract_json_string_after_key(text, "\"bindAddress\"", bind, sizeof bind)) {
        return 1;
    }
    return strcmp(bind, "127.0.0.1") == 0 || strcmp(bind, "localhost") == 0 ||
           strcmp(bind, "::1") == 0;
}

static int tovrin_release_id_valid(const char *id, size_t *len_out)
{
    if (!id) {
        return 0;
    }
    size_t len = 0;
    /* Stop counting past 40: such an id is invalid however long it is. */
    while (len <= 40 && id[len]) {
        if (!tovrin_is_hex((unsigned char)id[len])) {
            return 0;
        }
        len++;
    }
    if (len < 7 || len > 40) {
        return 0;
    }
    *len_out = len;
    return 1;
}

extern "C" int tovrin_release_ids_match(const char *running_id, const char *installed_id)
{
    size_t a_len = 0;
    size_t b_len = 0;
    if (!tovrin_release_id_valid(running_id, &a_len)) {
        return 0;
    }
    if (!tovrin_release_id_valid(installed_id, &b_len)) {
        return 0;
    }
    /* No prefix matching: an abbreviated id never stands for the full one. */
    if (a_len != b_len) {
        return 0;
    }
    for (size_t i = 0; i < a_len; i++) {
        if (tovrin_ascii_lower((unsigned char)running_id[i]) !=
            tovrin_ascii_lower((unsigned char)installed_id[i])) {
            return 0;
        }
    }
    return 1;
}

/* ------------------------------------------------------------------ */
/* UI address and command line                                         */
/* ------------------------------------------------------------------ */

static int tovrin_fits(int written, size_t cap)
{
    return written >= 0 && (size_t)written < cap;
}

extern "C" int tovrin_format_ui_url(int32_t port, char *out, size_t cap)
{
    if (!out || cap < 8 || port < 1 || port > 65535) {
        return 0;
    }
    return tovrin_fits(snprintf(out, cap, "http://127.0.0.1:%d/", (int)port), cap);
}

extern "C" int tovrin_format_ui_url_with_release(int32_t port, const char *release_id, char *out,
                                                 size_t cap)
{
    if (port < 1 || port > 65535 || !out || cap < 8) {
        return 0;
    }
    char plain[80];
    if (!tovrin_fits(snprintf(plain, sizeof plain, "http://127.0.0.1:%d/", (int)port), sizeof plain)) {
        return 0;
    }

    /* The tag is the first 12 hex digits of the id, or the whole id when it
     * has 7 to 12; anything else gives the plain address. */
    char tag[13];
    int tagged = 0;
    if (release_id && release_id[0]) {
        size_t n = 0;
        while (n < 12 && release_id[n] && tovrin_is_hex((unsigned char)release_id[n])) {
            tag[n] = release_id[n];
            n++;
        }
        int stopped_on_bad_byte = (n < 12 && release_id[n] != '\0');
        tagged = !stopped_on_bad_byte && n >= 7;
        tag[n] = '\0';
    }
    if (tagged) {
        /* No fallback to the plain form when the tagged one does not fit. */
        return tovrin_fits(snprintf(out, cap, "%s?release=%s", plain, tag), cap);
    }
    return tovrin_fits(snprintf(out, cap, "%s", plain), cap);
}

/* Appends one byte only while it and a terminating NUL still fit. */
static int tovrin_put(char *out, size_t cap, size_t *pos, char c)
{
    if (*pos + 2 > cap) {
        return 0;
    }
    out[(*pos)++] = c;
    return 1;
}

static int tovrin_put_run(char *out, size_t cap, size_t *pos, char c, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (!tovrin_put(out, cap, pos, c)) {
            return 0;
        }
    }
    return 1;
}

extern "C" int tovrin_win32_quote_arg(const char *arg, char *out, size_t cap)
{
    if (!out || !arg || cap < 3) {
        return 0;
    }
    size_t pos = 0;
    size_t backslashes = 0;
    if (!tovrin_put(out, cap, &pos, '"')) {
        return 0;
    }
    for (const char *p = arg; *p; p++) {
        if (*p == '\\') {
            backslashes++;
            continue;
        }
        if (*p == '"') {
            /* Backslashes before a quote are doubled, and the quote itself
             * is escaped. */
            if (!tovrin_put_run(out, cap, &pos, '\\', 2 * backslashes + 1) ||
                !tovrin_put(out, cap, &pos, '"')) {
                return 0;
            }
        } else if (!tovrin_put_run(out, cap, &pos, '\\', backslashes) ||
                   !tovrin_put(out, cap, &pos, *p)) {
            return 0;
        }
        backslashes = 0;
    }
    /* Trailing backslashes stand before the closing quote: double them. */
    if (!tovrin_put_run(out, cap, &pos, '\\', 2 * backslashes) ||
        !tovrin_put(out, cap, &pos, '"')) {
        return 0;
    }
    out[pos] = '\0';
    return 1;
}

extern "C" int tovrin_win32_node_serve_cmdline(const char *node_path, const char *script_path,
                                               char *out, size_t cap)
{
    if (!node_path || !script_path || !out) {
        return 0;
    }
    char node_quoted[4096];
    char script_quoted[4096];
    if (!tovrin_win32_quote_arg(node_path, node_quoted, sizeof node_quoted)) {
        return 0;
    }
    if (!tovrin_win32_quote_arg(script_path, script_quoted, sizeof script_quoted)) {
        return 0;
    }
    return tovrin_fits(snprintf(out, cap, "%s %s serve", node_quoted, script_quoted), cap);
}

extern "C" int tovrin_cmd_c_quoted_path_is_unsafe(const char *path)
{
    if (!path || !path[0]) {
        return 1;
    }
    return strchr(path, ' ') != NULL;
}

/* ------------------------------------------------------------------ */
/* install-relative paths                                              */
/* ------------------------------------------------------------------ */

/* What the normaliser dropped right before an output position, for the
 * callers that must know where a path in a command line really ends. */
#define TOVRIN_DROPPED_DQUOTE 1 /* a double quote: the quoted path ended */
#define TOVRIN_DROPPED_OTHER 2  /* an apostrophe, a trailing backslash, or
                                 * text cut off: the name went on there */

/* Makes two spellings of one path compare equal: slashes become
 * backslashes, an extended-length prefix goes, quotes go, ASCII letters are
 * lowered and trailing backslashes are removed. Only the first 1199 bytes
 * of the input are looked at. `cut` (may be NULL) is set when input that
 * counts did not reach the output: beyond the 1199 bytes, or beyond the
 * capacity. `dropped` (may be NULL, `cap` entries) receives per output
 * position what was left out right before it (TOVRIN_DROPPED_, 0 for
 * nothing). */
static int tovrin_norm_path_marked(const char *in, char *out, size_t cap, int *cut,
                                   unsigned char *dropped)
{
    if (cut) {
        *cut = 0;
    }
    if (!out || cap == 0) {
        return 0;
    }
    if (dropped) {
        memset(dropped, 0, cap);
    }
    char work[TOVRIN_NORM_CAP];
    size_t wlen = 0;
    if (in) {
        while (wlen < TOVRIN_NORM_CAP - 1 && in[wlen]) {
            work[wlen] = (in[wlen] == '/') ? '\\' : in[wlen];
            wlen++;
        }
    }
    work[wlen] = '\0';
    int input_cut = in && in[wlen] != '\0';

    /* The prefix test sees the text after slash folding but before quotes
     * are dropped, so a leading quote protects the prefix. */
    const char *src = work;
    if (wlen >= 4 && (strncmp(src, "\\\\?\\", 4) == 0 || strncmp(src, "\\??\\", 4) == 0)) {
        src += 4;
    }

    /* Only the first byte dropped at a position is marked: it is the one
     * that stood right after the output before it. */
    size_t olen = 0;
    for (; *src && olen < cap - 1; src++) {
        if (*src == '"' || *src == '\'') {
            if (dropped && !dropped[olen]) {
                dropped[olen] = *src == '"' ? TOVRIN_DROPPED_DQUOTE : TOVRIN_DROPPED_OTHER;
            }
            continue;
        }
        out[olen++] = (char)tovrin_ascii_lower((unsigned char)*src);
    }
    /* What the capacity left over counts as cut unless the steps below
     * would have dropped all of it anyway. */
    int left_over = *src != '\0';
    for (; *src; src++) {
        if (*src != '"' && *src != '\'' && *src != '\\') {
            input_cut = 1;
        }
    }
    size_t full = olen;
    while (olen > 0 && out[olen - 1] == '\\') {
        olen--;
    }
    out[olen] = '\0';
    if (dropped && !dropped[olen] && (olen < full || input_cut || left_over)) {
        dropped[olen] = TOVRIN_DROPPED_OTHER;
    }
    if (cut) {
        *cut = input_cut;
    }
    return 1;
}

/* The normaliser as every comparison of whole paths uses it. */
static int tovrin_norm_path(const char *in, char *out, size_t cap)
{
    return tovrin_norm_path_marked(in, out, cap, NULL, NULL);
}

/* 1 when the normalised path ends with `suffix` (given lower case). */
static int tovrin_basename_is(const char *path, const char *suffix)
{
    char norm[TOVRIN_NORM_CAP];
    tovrin_norm_path(path, norm, sizeof norm);
    size_t len = strlen(norm);
    size_t slen = strlen(suffix);
    return len >= slen && memcmp(norm + len - slen, suffix, slen) == 0;
}

/* Normalised install directory followed by `suffix`, into `out`. A
 * directory that does not fit the normaliser whole is no directory at all:
 * cut, it would name a shorter sibling. */
static int tovrin_install_suffix(const char *install_dir, const char *suffix, char *out, size_t cap)
{
    char norm[TOVRIN_NORM_INSTALL_CAP];
    int cut = 0;
    tovrin_norm_path_marked(install_dir, norm, sizeof norm, &cut, NULL);
    size_t len = strlen(norm);
    size_t slen = strlen(suffix);
    if (cut || len == 0 || len + slen + 1 > cap) {
        return 0;
    }
    /* NOLINTNEXTLINE(bugprone-not-null-terminated-result): the suffix, copied next with its NUL, ends it */
    memcpy(out, norm, len);
    memcpy(out + len, suffix, slen + 1);
    return 1;
}

/* 1 when `image` is exactly the install directory followed by `suffix`; an
 * image too long to be normalised whole proves nothing. */
static int tovrin_image_is(const char *install_dir, const char *image, const char *suffix)
{
    char expected[TOVRIN_NORM_CAP];
    if (!tovrin_install_suffix(install_dir, suffix, expected, sizeof expected)) {
        return 0;
    }
    char norm[TOVRIN_NORM_CAP];
    int cut = 0;
    tovrin_norm_path_marked(image, norm, sizeof norm, &cut, NULL);
    return !cut && strcmp(norm, expected) == 0;
}

/* 1 when a cmd.exe process runs this installation's helper script. The
 * script's path counts only where its argument ends: at the end of the
 * command line or before a blank, right after the name or after the double
 * quote that closed it. A longer name that merely begins with it (a backup
 * copy such as "...\tovrinhostsidecar.cmd".bak, a sibling's script) is
 * another file. */
static int tovrin_is_install_trampoline(const char *install_dir, const char *image,
                                        const char *command_line)
{
    if (!command_line || !command_line[0]) {
        return 0;
    }
    char norm_image[TOVRIN_NORM_CAP];
    tovrin_norm_path(image, norm_image, sizeof norm_image);
    size_t ilen = strlen(norm_image);
    size_t clen = sizeof k_cmd_suffix - 1;
    if (ilen < clen || memcmp(norm_image + ilen - clen, k_cmd_suffix, clen) != 0) {
        return 0;
    }
    char script[TOVRIN_NORM_CAP];
    if (!tovrin_install_suffix(install_dir, k_trampoline_suffix, script, sizeof script)) {
        return 0;
    }
    char norm_cmd[TOVRIN_NORM_CMDLINE_CAP];
    unsigned char dropped[TOVRIN_NORM_CMDLINE_CAP];
    tovrin_norm_path_marked(command_line, norm_cmd, sizeof norm_cmd, NULL, dropped);
    size_t slen = strlen(script);
    for (const char *at = strstr(norm_cmd, script); at; at = strstr(at + 1, script)) {
        size_t end = (size_t)(at - norm_cmd) + slen;
        if ((dropped[end] == 0 || dropped[end] == TOVRIN_DROPPED_DQUOTE) &&
            (norm_cmd[end] == '\0' || norm_cmd[end] == ' ')) {
            return 1;
        }
    }
    return 0;
}

/* 1 when the process is this installation's shell, runtime or helper
 * script; the pid is not looked at. */
static int tovrin_is_stop_candidate(const char *install_dir, const tovrin_process_record *rec)
{
    if (!rec) {
        return 0;
    }
    if (rec->image && rec->image[0]) {
        if (tovrin_image_is(install_dir, rec->image, k_shell_suffix) ||
            tovrin_image_is(install_dir, rec->image, k_node_suffix)) {
            return 1;
        }
    }
    return tovrin_is_install_trampoline(install_dir, rec->image, rec->command_line);
}

/* ------------------------------------------------------------------ */
/* listener classification                                             */
/* ------------------------------------------------------------------ */

extern "C" int tovrin_classify_listener_snap(const char *install_dir,
                                             const tovrin_listener_snap *snap, int32_t attempt,
                                             int32_t max_attempts, uint32_t *listener_pid,
                                             const char **detail, const char **image_relation,
                                             const char **image_query)
{
    if (!listener_pid || !detail || !image_relation || !image_query) {
        return 0;
    }
    *listener_pid = 0;
    *detail = "socket_image_unavailable";
    *image_relation = "unavailable";
    *image_query = "query_failed";
    if (!install_dir || !install_dir[0] || !snap || attempt < 0 || max_attempts <= 0) {
        return 0;
    }
    /* attempt + 1 < max_attempts, written so that it cannot overflow. */
    int attempts_left = attempt < max_attempts - 1;

    if (snap->pid == 0) {
        *detail = "none";
        *image_query = "no_listener";
        return 2;
    }
    if (snap->query_state == 1) {
        *image_query = "process_gone";
        if (attempts_left) {
            return 3;
        }
        /* The owner went away for good: nobody holds the port now. */
        *detail = "none";
        return 2;
    }
    if (snap->query_state == 2) {
        *image_query = "access_denied";
        return attempts_left ? 3 : 5;
    }
    if (snap->query_state != 0 || !snap->image || !snap->image[0]) {
        return attempts_left ? 3 : 5;
    }

    *image_query = "ok";
    if (tovrin_image_is(install_dir, snap->image, k_node_suffix)) {
        *listener_pid = snap->pid;
        *detail = "none";
        *image_relation = "exact_install_node";
        return 1;
    }
    if (tovrin_image_is(install_dir, snap->image, k_shell_suffix)) {
        *listener_pid = snap->pid;
        *detail = "none";
        *image_relation = "exact_install_shell";
        return 1;
    }
    *image_relation = "outside_install";
    /* A node, cmd or shell image elsewhere looks like ours but is not:
     * the helper script's cmd.exe is never accepted as a listener. */
    if (tovrin_basename_is(snap->image, k_any_node_suffix) ||
        tovrin_basename_is(snap->image, k_cmd_suffix) ||
        tovrin_basename_is(snap->image, k_shell_suffix)) {
        *detail = "image_mismatch";
    } else {
        *detail = "foreign_port_owner";
    }
    return 4;
}

/* ------------------------------------------------------------------ */
/* stop plan                                                           */
/* ------------------------------------------------------------------ */

static const tovrin_process_record *tovrin_find_record(const tovrin_process_record *records,
                                                       int32_t count, uint32_t pid)
{
    for (int32_t i = 0; i < count; i++) {
        if (records[i].pid == pid) {
            return &records[i];
        }
    }
    return NULL;
}

extern "C" int tovrin_plan_sidecar_stop(const char *install_dir, uint32_t own_pid,
                                        const tovrin_process_record *records, int32_t record_count,
                                        uint32_t lock_owner_pid, const char *lock_owner_image,
                                        uint32_t listener_pid, tovrin_stop_plan *plan)
{
    if (!plan) {
        return 0;
    }
    memset(plan, 0, sizeof *plan);
    if (!install_dir || !install_dir[0] || !records || record_count < 0) {
        return 0;
    }

    if (lock_owner_pid != 0) {
        const tovrin_process_record *owner = tovrin_find_record(records, record_count,
                                                                lock_owner_pid);
        if (!owner) {
            plan->pid_reused = 1;
        } else if (lock_owner_image && lock_owner_image[0]) {
            /* Texts too long to be normalised whole never prove that the
             * lock owner still runs the same image. */
            char a[TOVRIN_NORM_CAP];
            char b[TOVRIN_NORM_CAP];
            int a_cut = 0;
            int b_cut = 0;
            tovrin_norm_path_marked(owner->image, a, sizeof a, &a_cut, NULL);
            tovrin_norm_path_marked(lock_owner_image, b, sizeof b, &b_cut, NULL);
            if (a_cut || b_cut || strcmp(a, b) != 0) {
                plan->pid_reused = 1;
            }
        }
    }

    if (listener_pid != 0) {
        const tovrin_process_record *owner = tovrin_find_record(records, record_count,
                                                                listener_pid);
        if (!owner || !tovrin_is_stop_candidate(install_dir, owner)) {
            plan->blocked = 1;
            return 1;
        }
    }

    for (int32_t i = 0; i < record_count; i++) {
        if (plan->count == TOVRIN_STOP_PLAN_MAX) {
            break;
        }
        const tovrin_process_record *rec = &records[i];
        if (rec->pid == own_pid) {
            continue;
        }
        if (plan->pid_reused && rec->pid == lock_owner_pid) {
            continue;
        }
        if (rec->pid == 0) {
            continue;
        }
        if (!tovrin_is_stop_candidate(install_dir, rec)) {
            continue;
        }
        int seen = 0;
        for (int32_t j = 0; j < plan->count; j++) {
            if (plan->pids[j] == rec->pid) {
                seen = 1;
                break;
            }
        }
        if (seen) {
            continue;
        }
        plan->pids[plan->count++] = rec->pid;
    }
    return 1;
}
