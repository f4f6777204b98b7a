/*
 * Private header of the stop: the capacities, records and steps that its
 * files (tovrinHostStop.cpp, tovrinHostTask.cpp, tovrinHostPortOwner.cpp) share.
 */
#ifndef TOVRIN_HOST_STOP_PRIVATE_H
#define TOVRIN_HOST_STOP_PRIVATE_H

#include "tovrinHostStop.h"

#include <winsock2.h>
#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "../launch/tovrinHostLaunch.h"

/* ---- capacities and limits ---- */

#define JOIN_CAP 260          /* composed file path, units with terminator */
#define CANON_CAP 1024        /* canonical install directory, units */
#define DIR_UTF8_CAP 1200     /* install directory for comparisons, bytes */
#define IMAGE_WIDE_CAP 1024   /* image path as the system returns it, units */
#define IMAGE_CAP 520         /* image path as stored, bytes */
#define COMMAND_CAP 1024      /* command line as stored, bytes */
#define COMMAND_READ_MAX 8192 /* bytes of another process's command line read */
#define TABLE_CAP 48          /* processes one snapshot may keep */
#define LOCK_TEXT_CAP 2048
#define CONTROL_TEXT_CAP 4096
#define TOKEN_CAP 256         /* a token of up to 255 bytes is scanned ... */
#define TOKEN_SEND_MAX 200    /* ... and only one of up to 200 is sent */
#define HEADER_CAP 600
#define SCHTASKS_CMD_CAP 512
#define TASK_ANSWER_CAP 16384  /* the task's XML as schtasks.exe writes it, bytes */
#define ATTRIBUTE_LIST_CAP 256 /* a one-entry attribute list, bytes */
#define RELATION_CAP 40
#define QUERY_WORD_CAP 32
#define DETAIL_CAP 64
#define BASENAME_CAP 80
#define SHA256_TEXT_CAP 65
#define RECORD_CAP 896
#define RECORD_LOG_MAX 262144 /* a larger log takes no further line */
#define HASH_CHUNK 32768
#define HASH_OBJECT_MAX 512

#define LISTENER_ATTEMPTS 8
#define ATTEMPT_SLEEP_MS 200
#define SCHTASKS_WAIT_MS 15000
#define PIPE_POLL_MS 20
#define GRACEFUL_WAIT_MS 4000
#define TERMINATE_WAIT_MS 8000
#define FINAL_WAIT_MS 8000
#define POLL_SLEEP_MS 200
#define HTTP_TIMEOUT_MS 1500
#define TABLE_TRIES 4         /* listener table reads while it keeps growing */
#define TABLE_FIRST_BYTES 16384 /* about 680 IPv4 or 290 IPv6 listener rows */
#define OWNERS_MAX 4          /* distinct owners of listeners at one port */

/* The logon task as the stop found it and left it, with its record word. */
#define TASK_UNREAD 0   /* the stop had no reason to look at it */
#define TASK_NONE 1     /* schtasks.exe knows no such task for this user */
#define TASK_ENABLED 2
#define TASK_DISABLED 3
#define TASK_UNKNOWN 4  /* schtasks.exe did not run, end or answer readably */
/* Their words in the record: unread, none, enabled, disabled, unknown. */
extern const char *const k_task_words[TASK_UNKNOWN + 1];

/* ---- records ---- */

/* What one install plan saw; the upgrade-stop record reports the last. */
struct install_probe {
    uint32_t listener_pid;
    uint32_t owner_metadata;
    int32_t command_matches; /* -1 unknown, 0 no, 1 yes */
    uint32_t pid_reused;
    int32_t discover_attempts;
    uint32_t win32_error;
    char image[IMAGE_CAP];
    char image_relation[RELATION_CAP];
    char image_query[QUERY_WORD_CAP];
    char detail[DETAIL_CAP];
};

/* The install directory as comparisons see it: its canonical form as
 * given, and the path the system resolves it to when that differs (the
 * volume behind a subst drive, the target of a junction or symbolic link).
 * Windows reports a process image by the resolved path, while the shell
 * knows its directory by the path it was started through; an image below
 * the resolved directory is respelled below the given one before it is
 * judged, so the installation's own programs are recognised either way. */
struct install_names {
    char given[DIR_UTF8_CAP];
    char resolved[DIR_UTF8_CAP]; /* empty when it is the given one, or unknown */
    /* The runtime image a shell starts, when it asks about the port: its
     * own runtime, also where that lies outside the install directory. */
    char runtime[IMAGE_CAP];
    /* The final paths of the installation's runtime and shell files, empty
     * when they cannot be had. A link below the install directory
     * (runtime\ or runtime\node\ a junction to a versioned folder) makes
     * Windows name the runtime by its target, which only the file itself
     * can tell to be the installation's own. */
    char node_final[IMAGE_CAP];
    char shell_final[IMAGE_CAP];
    char runtime_final[IMAGE_CAP]; /* of `runtime`, for a link beside the shell */
};

/* The owners of every listener that receives a connection to 127.0.0.1 at
 * the sidecar's port (a program bound to 0.0.0.0, or to "::", receives them
 * as well as one bound to 127.0.0.1), each as a snapshot with its image and
 * command line in the slots here. */
struct listener_owners {
    int32_t count; /* 0 to OWNERS_MAX */
    tovrin_listener_snap snaps[OWNERS_MAX];
    uint32_t errors[OWNERS_MAX]; /* the system error of the step that failed */
    char images[OWNERS_MAX][IMAGE_CAP];
    char commands[OWNERS_MAX][COMMAND_CAP];
    uint32_t table_error; /* a table that could not be read, or too many owners */
};

/* Fills the owners of the listeners at `port`. The owner pid of a socket
 * cannot be produced on demand, so tests pass their own. */
typedef void (*listener_query_fn)(int32_t port, struct listener_owners *owners);

/* What schtasks.exe wrote on its standard output, and its exit code. */
struct schtasks_answer {
    char text[TASK_ANSWER_CAP]; /* `length` bytes and a NUL */
    size_t length;
    DWORD exit_code;
};

/* The pipe that carries schtasks.exe's standard output, and the attribute
 * list that hands its write end, and nothing else, to the child. */
struct answer_pipe {
    HANDLE read_end;
    HANDLE write_end;
    /* Pointer-aligned storage for the attribute list: no heap block to free. */
    void *list_storage[ATTRIBUTE_LIST_CAP / sizeof(void *)];
    LPPROC_THREAD_ATTRIBUTE_LIST list; /* NULL until it is made */
};

/* What the stop owns for its whole run, so that each wait can plan again. */
struct stop_state {
    wchar_t install_dir[CANON_CAP]; /* canonical */
    struct install_names names;
    const wchar_t *state_dir;
    listener_query_fn query;
    struct install_probe probe;
    tovrin_stop_plan plan;
    tovrin_process_record records[TABLE_CAP];
    char images[TABLE_CAP][IMAGE_CAP];
    char targets[TOVRIN_STOP_PLAN_MAX][IMAGE_CAP];
    int32_t count;
    int result;
    const char *result_word;
    const char *detail;
    int mode;          /* TOVRIN_STOP_FOR_WINDOW or TOVRIN_STOP_FOR_UPGRADE */
    int task_before;   /* TASK_* */
    int task_after;
    int task_disabled; /* the stop disabled the task and owes it an enable */
};

/* ---- the stop's own steps (tovrinHostStop.cpp) ---- */

/* The path the system resolves `path` to, as UTF-8 into `cap` bytes; 0 and
 * empty when it cannot be had. */
int final_path_of(const wchar_t *path, char *out, size_t cap);
/* Both names of the install directory (the canonical wide form into
 * `canon`); 0 when it cannot be made absolute or converted. */
int install_names_of(const wchar_t *dir, wchar_t *canon, struct install_names *names);
/* The production listener query (listener_query_fn). */
void query_listener(int32_t port, struct listener_owners *owners);
/* Up to eight looks at the owners of the port; the verdict of the owner
 * that decides. */
int discover_listener(const struct install_names *names, int32_t port,
                      listener_query_fn query, struct listener_owners *owners,
                      int32_t *decider, struct install_probe *probe,
                      uint32_t *plan_listener_pid);
/* The system's schtasks.exe with `args`, waited for at most 15 s; with
 * `answer`, what it wrote and its exit code. 0 when it could not be
 * started, or its answer could not be had. */
int run_schtasks(const wchar_t *args, struct schtasks_answer *answer);

/* ---- the logon task (tovrinHostTask.cpp) ---- */

/* The pipe for schtasks.exe's answer, handed to the child through
 * `startup` and `flags`; 0 when it cannot be made. close_answer_pipe
 * releases what was made, either way. */
int open_answer_pipe(struct answer_pipe *pipe, struct schtasks_answer *answer,
                     STARTUPINFOEXW *startup, DWORD *flags);
/* What the started schtasks.exe (`process`) writes, once it has ended, and
 * its exit code; 0 when it did not end in time or wrote more than fits. */
int read_answer(struct answer_pipe *pipe, HANDLE process, struct schtasks_answer *answer);
void close_answer_pipe(struct answer_pipe *pipe);
/* The task kept from starting the sidecar while the stop runs, and left as
 * it was found afterwards (but after an upgrade's successful stop). */
void hold_task(struct stop_state *stop, int end_it);
void release_task(struct stop_state *stop);

/* ---- the port's owners (tovrinHostPortOwner.cpp) ---- */

/* The pids of the owners of every listener at `port` that receives a
 * connection to 127.0.0.1; 0 or the error of a table that failed. */
uint32_t find_port_owners(int32_t port, uint32_t *pids, int32_t *count);
/* Who holds the port, for everything that trusts it: TOVRIN_PORT_*. */
int port_trust(const struct install_names *names, int32_t port, listener_query_fn query);

#endif
