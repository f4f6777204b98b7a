/*
 * Replacement of an existing sidecar: proves which processes belong to an
 * installation and stops only those.
 */
#ifndef TOVRIN_HOST_STOP_H
#define TOVRIN_HOST_STOP_H

#include <wchar.h>

/* 1 when a process of the installation that may be stopped runs (its
 * runtime, another shell, its helper script), the calling shell excepted. */
int tovrin_install_runtime_running(const wchar_t *install_dir);

/* Stops the installation's sidecar. 0 stopped (or nothing ran), 1 the stop
 * failed or was not proved, 2 a foreign program holds the sidecar's address
 * and was left running. Appends one line to upgrade-stop.log per call that
 * passes the argument check. Blocks the caller for the whole stop. */
int tovrin_stop_existing_sidecar(const wchar_t *install_dir, const wchar_t *state_dir);

#endif
