/*
 * Launch policy of the Tovrin Host shell: pure decisions on text and numbers.
 *
 * Nothing here calls the operating system. Every function takes
 * NUL-terminated UTF-8 text and caller-owned buffers with explicit
 * capacities, keeps no state and may be called from any thread. Results are
 * 1 (success / yes) and 0 (failure / no) unless the comment says otherwise.
 * A text that does not fit its buffer is a failure, never a truncated
 * success.
 *
 * This header deliberately includes no Windows header, so that the module
 * builds and is tested natively on Linux as well.
 */
#ifndef TOVRIN_HOST_LAUNCH_H
#define TOVRIN_HOST_LAUNCH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Largest number of processes one stop plan names. */
#define TOVRIN_STOP_PLAN_MAX 8

/* A running process as discovery sees it. Texts are UTF-8, may be absent. */
typedef struct tovrin_process_record {
    uint32_t pid;             /* 0 never names a process */
    const char *image;        /* full image path */
    const char *command_line; /* whole command line */
} tovrin_process_record;

/* The owner of the listener on 127.0.0.1 at the sidecar's port. */
typedef struct tovrin_listener_snap {
    uint32_t pid;             /* 0 when nothing listens */
    uint32_t query_state;     /* 0 image read, 1 gone, 2 access denied, other: failed */
    const char *image;        /* owner's image path, or absent */
    const char *command_line; /* owner's command line, or absent */
} tovrin_listener_snap;

/* Which processes may be stopped, and why a stop may not go ahead. */
typedef struct tovrin_stop_plan {
    uint32_t pids[TOVRIN_STOP_PLAN_MAX]; /* in record order; 0 from count on */
    int32_t count;                       /* valid entries, 0 to 8 */
    uint32_t blocked;    /* 1: the port owner may not be stopped; no pids then */
    uint32_t pid_reused; /* 1: the lock owner is gone or now runs another image */
} tovrin_stop_plan;

/* ---- control, release and status texts ---- */

/* Value of the JSON string member `key` (given with its quotes, e.g.
 * "\"gitSha\"") found by plain substring search; `out` is written only on
 * success. */
int tovrin_extract_json_string(const char *text, const char *key, char *out, size_t cap);

/* The "port" of a control file text: 1 to 65535, or 0 when there is none. */
int tovrin_parse_control_port(const char *text);

/* 1 when the control file's "bindAddress" is loopback or not usably stated. */
int tovrin_control_bind_is_loopback(const char *text);

/* 1 when both ids are 7 to 40 hex digits of equal length, equal ignoring
 * the case of a-f. The running sidecar's id comes first. */
int tovrin_release_ids_match(const char *running_id, const char *installed_id);

/* ---- UI address and command line ---- */

/* "http://127.0.0.1:PORT/" */
int tovrin_format_ui_url(int32_t port, char *out, size_t cap);

/* The plain address, followed by "?release=" and the first 7 to 12 hex
 * digits of `release_id` when it has a usable tag. */
int tovrin_format_ui_url_with_release(int32_t port, const char *release_id, char *out, size_t cap);

/* `arg` quoted so that CommandLineToArgvW gives it back unchanged. */
int tovrin_win32_quote_arg(const char *arg, char *out, size_t cap);

/* "\"NODE\" \"SCRIPT\" serve" with both paths quoted as above. */
int tovrin_win32_node_serve_cmdline(const char *node_path, const char *script_path, char *out,
                                    size_t cap);

/* 1 when the path is absent, empty or holds a blank (unsafe behind cmd /c). */
int tovrin_cmd_c_quoted_path_is_unsafe(const char *path);

/* ---- who owns the port, and what may be stopped ---- */

/* Classifies the port owner. Result codes:
 *   0 invalid arguments            1 this installation's runtime or shell
 *   2 no listener                  3 owner not readable yet: try again
 *   4 a program outside the install  5 owner still unreadable on the last try
 * The four outputs always point at constant words once they are present. */
int tovrin_classify_listener_snap(const char *install_dir, const tovrin_listener_snap *snap,
                                  int32_t attempt, int32_t max_attempts, uint32_t *listener_pid,
                                  const char **detail, const char **image_relation,
                                  const char **image_query);

/* Decides which of `records` belong to this installation and may be
 * stopped. 1 when a plan was made (a blocked one included), 0 on invalid
 * arguments; the plan is cleared whenever it is present. */
int tovrin_plan_sidecar_stop(const char *install_dir, uint32_t own_pid,
                             const tovrin_process_record *records, int32_t record_count,
                             uint32_t lock_owner_pid, const char *lock_owner_image,
                             uint32_t listener_pid, tovrin_stop_plan *plan);

#ifdef __cplusplus
}
#endif

#endif
