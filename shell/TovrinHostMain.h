/*
 * Private header of the shell: its process-wide state and the functions
 * that its parts call across the file (and that the tests call directly).
 */
#ifndef TOVRIN_HOST_MAIN_H
#define TOVRIN_HOST_MAIN_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
#include <stddef.h>

/* Every wide path of the shell: at most 259 units and a terminator. */
#define TOVRIN_PATH_CAP 260
#define TOVRIN_CHANNEL_CAP 32
#define TOVRIN_UI_URL_CAP 80
/* The readers take one read of at most 4095 bytes into 4096. */
#define TOVRIN_FILE_TEXT_CAP 4096

/* wParam: 1 when the port that answered is held by a foreign program;
 * lParam: the number of the wait whose poll thread saw it (g_wait_id). */
#define WM_APP_READY (WM_APP + 1)
/* wParam: the exit code; lParam: the launch number of the sidecar that
 * ended (g_launch_id when it was launched). */
#define WM_APP_SIDECAR_EXITED (WM_APP + 2)
/* The launch step of a wait has ended; lParam: its struct launch_outcome,
 * which the window frees. */
#define WM_APP_LAUNCHED (WM_APP + 3)
/* The launch step is replacing the running sidecar; lParam: the wait. */
#define WM_APP_REPLACING (WM_APP + 4)
/* Sent by a second start of the same installation: wParam is the
 * installation's key; the answer 1 when this window took the start over, 2
 * when it is closing, 0 when it is another installation's. */
#define WM_APP_HANDOVER (WM_APP + 5)
/* Sent by the stop-only mode before an installer's stop: wParam is the
 * installation's key, lParam the asking process id; the answer 1 when this
 * window is the installation's and closes now, 0 when it is another's. */
#define WM_APP_STEP_ASIDE (WM_APP + 6)
/* The launch step waits for an installer that holds the installation's
 * guard (wParam 1), or goes on now that it has let go (0); lParam: the wait. */
#define WM_APP_UPGRADE_WAIT (WM_APP + 7)
/* How long a start that asks another shell's window waits for each answer. */
#define TOVRIN_HANDOVER_TIMEOUT_MS 2000
/* The pause between two looks of a wait that polls: 200 ms. */
#define TOVRIN_POLL_PAUSE_MS 200

/* ---- paths and channel, set once at start-up ---- */
extern wchar_t g_install_dir[TOVRIN_PATH_CAP];
extern wchar_t g_state_dir[TOVRIN_PATH_CAP];
extern wchar_t g_node_path[TOVRIN_PATH_CAP];
extern wchar_t g_cli_path[TOVRIN_PATH_CAP];
extern wchar_t g_channel[TOVRIN_CHANNEL_CAP];
/* 1 when the install directory could not be had whole and absolute. */
extern int g_path_error;

/* ---- window ---- */
extern HWND g_hwnd;
extern HWND g_status;

/* ---- readiness wait and the launched sidecar ----
 * Flags are plain 32-bit values written by the UI thread only; g_poll_stop
 * is the one value exchanged between threads, always atomically. */
extern volatile LONG g_ready;
extern volatile LONG g_sidecar_dead;
extern volatile LONG g_auto_opened;
extern volatile LONG g_failure_shown;
extern volatile DWORD g_wait_started;
extern volatile LONG g_poll_stop;
extern HANDLE g_poll_thread;
extern wchar_t g_ui_url[TOVRIN_UI_URL_CAP];
extern HANDLE g_sidecar;
extern volatile DWORD g_sidecar_pid;
extern volatile DWORD g_sidecar_started_tick;
/* Counts the launches; the current sidecar's number. Written with g_sidecar
 * under its lock. */
extern volatile DWORD g_launch_id;
/* The launch number of the sidecar the window relies on; 0 when it relies
 * on none of its own (it kept another shell's, or stopped its own). Only
 * that sidecar's end counts (UI thread only). */
extern DWORD g_relied_launch;
/* Counts the readiness waits (UI thread only). */
extern DWORD g_wait_id;
/* The wait whose poll thread may report; 0 for none. Exchanged atomically. */
extern volatile LONG g_poll_wait;
/* The last browser start of the current wait failed. */
extern volatile LONG g_browser_failed;

/* A wait that began while another wait's launch step still ran: started
 * once that step has ended, when it failed (UI thread only). */
extern int g_wait_pending;
/* The user asked for the UI: it opens, as the button's open does, once the
 * current wait finds it ready (UI thread only). */
extern int g_open_requested;
/* The pause between two probes that found no UI, unless control.json
 * changes first: 200 ms. */
extern DWORD g_poll_pause_ms;
/* Windows is ending the session: no dialog, no report of the sidecar's end. */
extern volatile LONG g_session_ending;

/* What the launch step of a wait found, handed from its worker to the
 * window with WM_APP_LAUNCHED. */
#define TOVRIN_LAUNCH_FAILED 0  /* reported: status pair written, message to show */
#define TOVRIN_LAUNCH_KEPT 1    /* a current sidecar answers; the UI is ready */
#define TOVRIN_LAUNCH_STARTED 2 /* a sidecar was launched; the worker polls it */
#define TOVRIN_LAUNCH_WAITING 3 /* worker only: this installation's sidecar is still starting */
#define TOVRIN_LAUNCH_ABANDONED 4 /* the window closed while the step waited for it */
#define TOVRIN_MESSAGE_CAP 1024
struct launch_outcome {
    DWORD wait;
    int result;
    DWORD launch_id; /* started: its number; kept: this shell's own sidecar, else 0 */
    DWORD grace_ms;  /* waiting: how much longer the starting sidecar is given */
    int foreign;     /* failed: a foreign program holds the sidecar's address */
    wchar_t message[TOVRIN_MESSAGE_CAP]; /* failed: the dialog's message */
};

/* What one exit-watch thread watches; it frees the record. */
struct exit_watch {
    HANDLE process; /* its own duplicate */
    DWORD pid;
    DWORD launch_id;
};

/* ---- start-up ---- */
int join_wide_path(wchar_t *out, const wchar_t *dir, const wchar_t *name);
void resolve_paths(void);
void make_install_dir_absolute(void);
void read_channel_file(void);
int run_command_line(HINSTANCE instance);

/* ---- records and readers ---- */
void write_shell_status(const char *status, const char *detail);
void append_lifecycle(const char *event, DWORD pid, DWORD extra, const char *ready);
int read_control_json(char *buf, size_t cap);
int read_existing_file(const wchar_t *path, char *buf, size_t cap);

/* ---- window, readiness wait and launch (UI thread unless noted) ---- */
int run_window_mode(HINSTANCE instance);
LRESULT CALLBACK wnd_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
void show_attention(const wchar_t *message);
void maybe_open_browser(int user_initiated);
void stop_ready_poll(void);
void begin_ready_wait(void);
DWORD WINAPI wait_worker(LPVOID param);         /* one a wait: launch, then poll */
DWORD WINAPI ready_poll_thread(LPVOID param);   /* the worker's poll loop */
int ui_is_ready(void);                          /* any thread */
int start_runtime(struct launch_outcome *outcome, struct exit_watch **watch, int may_wait);
void start_exit_watch(struct exit_watch *watch);
int last_log_line(const wchar_t *path, wchar_t *out, size_t cap);
int own_sidecar_holds_runtime(void);
DWORD WINAPI sidecar_exit_watch(LPVOID param);  /* one thread per sidecar */
wchar_t *build_sidecar_env(void);               /* HeapFree the result */

/* ---- the logon task's start (no window) ---- */
int run_autostart(void);

/* ---- one window per installation (tovrinHostOneWindow.cpp) ---- */
/* The installation's key as a short name, as the one-window guard and the
 * windows' answers use it; 0 when the installation cannot be named. */
ULONGLONG install_key_hash(void);
/* The key this shell's window answers with (0: none), and whether this
 * shell holds the installation's guard (UI thread only). */
extern ULONGLONG g_install_hash;
extern int g_is_first;
/* 1 when this start is the installation's first (it holds the guard now),
 * 0 when it handed over to the first's window (`*first_pid`), -1 when that
 * window did not answer in time. */
int claim_installation(DWORD *first_pid);
/* 1 when this window may serve the installation now: it is the first, or
 * the first it left the installation to has gone. */
int take_over_installation(void);

/* ---- an installer at work (tovrinHostUpgrade.cpp) ---- */
/* 1 while an installer or uninstaller holds upgrade.lock in the install
 * directory open for writing; it then replaces files that a launch would
 * start or hold. */
int upgrade_guard_held(void);
/* Asks every shell window of the installation in this session to close and
 * waits, at most 10 s in all, for the processes that agreed to end. */
void step_aside_shells(void);

/* ---- folder picker ---- */
int run_folder_picker(void);

#endif
