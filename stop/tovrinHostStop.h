/*
 * Replacement of an existing sidecar: proves which processes belong to an
 * installation and stops only those.
 */
#ifndef TOVRIN_HOST_STOP_H
#define TOVRIN_HOST_STOP_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

/* 1 when a process of the installation that may be stopped runs (its
 * runtime, another shell, its helper script), the calling shell excepted. */
int tovrin_install_runtime_running(const wchar_t *install_dir);
/* The same, and how many milliseconds ago the newest of those processes
 * was created (UINT32_MAX when none, or when it cannot be told). */
int tovrin_install_runtime_age(const wchar_t *install_dir, uint32_t *newest_ms);

/* Who holds the sidecar's port: every program listening where a connection
 * to 127.0.0.1 at `port` arrives (bound to 127.0.0.1, 0.0.0.0 or "::").
 * The bearer token goes to the port, the UI counts as ready and the browser
 * opens at it only when it is TOVRIN_PORT_TRUSTED. `runtime_image` (may be
 * NULL) is the runtime the caller starts, which counts as the
 * installation's own wherever it lies. May take up to 1.4 s while an
 * owner's image cannot be read yet. */
#define TOVRIN_PORT_UNKNOWN 0 /* a table could not be read, or an owner is gone */
#define TOVRIN_PORT_TRUSTED 1 /* the installation's runtime or shell, or nobody to name */
#define TOVRIN_PORT_FOREIGN 2 /* a program outside the installation, or one unreadable */
/* One spelling of an installation for every path that reaches it: its
 * canonical folder, resolved through links, in lower case. 0 when the
 * folder cannot be made absolute. */
int tovrin_install_key(const wchar_t *install_dir, char *out, size_t cap);

int tovrin_port_owner_verdict(const wchar_t *install_dir, const wchar_t *runtime_image,
                              int32_t port);

/* The process id that runtime.lock.owner in `state_dir` names as the holder
 * of the runtime; 0 when the file names none or cannot be read. */
uint32_t tovrin_lock_owner_pid(const wchar_t *state_dir);

/* The stop-only mode: 0 when the install directory does not exist or is a
 * file (nothing of it can run), 1 with a record of the error when it cannot
 * be read (1 without a record for missing arguments); else the result of
 * tovrin_stop_existing_sidecar. */
int tovrin_stop_only(const wchar_t *install_dir, const wchar_t *state_dir);
/* Who asks for the stop, which decides what becomes of the logon task
 * "Tovrin Host". The stop disables an enabled task while it runs and ends
 * the task's running instance; afterwards the window leaves the task as it
 * found it, while an upgrade keeps it disabled after a stop that succeeded,
 * so that it cannot start the old sidecar while files are replaced. */
#define TOVRIN_STOP_FOR_WINDOW 0  /* the window replaces a stale sidecar */
#define TOVRIN_STOP_FOR_UPGRADE 1 /* --stop-existing, run by an installer */

/* Stops the installation's sidecar. 0 stopped (or nothing ran), 1 the stop
 * failed or was not proved, 2 a foreign program holds the sidecar's address
 * and was left running. Appends one line to upgrade-stop.log per call that
 * passes the argument check. Blocks the caller for the whole stop. */
int tovrin_stop_existing_sidecar(const wchar_t *install_dir, const wchar_t *state_dir, int mode);

#endif
