/*
 * Replacement of an existing sidecar: proves which processes belong to an
 * installation and stops only those.
 */
#ifndef TOVRIN_HOST_STOP_H
#define TOVRIN_HOST_STOP_H

#include <stdint.h>
#include <wchar.h>

/* 1 when a process of the installation that may be stopped runs (its
 * runtime, another shell, its helper script), the calling shell excepted. */
int tovrin_install_runtime_running(const wchar_t *install_dir);

/* 1 when the sidecar's bearer token may be sent to the listener on
 * 127.0.0.1 at `port`: its owner is the installation's runtime or shell, or
 * no owner can be named. 0 when the owner is a program outside the
 * installation, or its image stayed unreadable. May take up to 1.4 s while
 * an owner's image cannot be read yet. */
int tovrin_listener_may_receive_token(const wchar_t *install_dir, int32_t port);

/* Stops the installation's sidecar. 0 stopped (or nothing ran), 1 the stop
 * failed or was not proved, 2 a foreign program holds the sidecar's address
 * and was left running. Appends one line to upgrade-stop.log per call that
 * passes the argument check. Blocks the caller for the whole stop. */
int tovrin_stop_existing_sidecar(const wchar_t *install_dir, const wchar_t *state_dir);

#endif
