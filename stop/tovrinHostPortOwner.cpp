/*
 * Who holds the sidecar's port: the listener tables of both address
 * families, and the verdict on the port's owners that every use of it trusts.
 */
#include "tovrinHostStopPrivate.h"

#include <iphlpapi.h>
#include <string.h>

/* ------------------------------------------------------------------ */
/* listener tables                                                     */
/* ------------------------------------------------------------------ */

/* Adds `pid` to the owners of the port once; 0 when a further owner does
 * not fit. Pid 0 never names a process: some systems (Wine 8 among them)
 * report every listener with owner 0, and that is no owner to examine. */
static int add_owner_pid(uint32_t *pids, int32_t *count, uint32_t pid)
{
    int32_t i;
    if (pid == 0) {
        return 1;
    }
    for (i = 0; i < *count; i++) {
        if (pids[i] == pid) {
            return 1;
        }
    }
    if (*count >= OWNERS_MAX) {
        return 0;
    }
    pids[(*count)++] = pid;
    return 1;
}

/* The owners of the rows of one listener table (`family` AF_INET or
 * AF_INET6) at `port` that receive a connection to 127.0.0.1: IPv4 rows
 * bound to 127.0.0.1 or to 0.0.0.0 (every address), IPv6 rows bound to "::"
 * (such a socket receives IPv4 connections unless it is IPv6-only, which the
 * table does not tell, so it counts). Address and port are in network byte
 * order, the port in the low 16 bits; `size` bounds the walk to what the
 * buffer holds. 0 when more owners than fit were found. */
static int find_listener_rows(const void *table, DWORD size, ULONG family, int32_t port,
                              uint32_t *pids, int32_t *count)
{
    static const UCHAR any6[16] = {0};
    const int six = family == AF_INET6;
    const DWORD header = six ? (DWORD)offsetof(MIB_TCP6TABLE_OWNER_PID, table)
                             : (DWORD)offsetof(MIB_TCPTABLE_OWNER_PID, table);
    const DWORD row_size =
        six ? (DWORD)sizeof(MIB_TCP6ROW_OWNER_PID) : (DWORD)sizeof(MIB_TCPROW_OWNER_PID);
    DWORD rows;
    DWORD i;
    if (!table || size < header) {
        return 1;
    }
    rows = (size - header) / row_size;
    if (*static_cast<const DWORD *>(table) < rows) {
        rows = *static_cast<const DWORD *>(table); /* dwNumEntries */
    }
    for (i = 0; i < rows; i++) {
        const unsigned char *at = static_cast<const unsigned char *>(table) + header + (size_t)i * row_size;
        DWORD local_port;
        DWORD pid;
        int bound_here;
        if (six) {
            const MIB_TCP6ROW_OWNER_PID *row = reinterpret_cast<const MIB_TCP6ROW_OWNER_PID *>(at);
            local_port = row->dwLocalPort;
            pid = row->dwOwningPid;
            bound_here = memcmp(row->ucLocalAddr, any6, sizeof any6) == 0;
        } else {
            const MIB_TCPROW_OWNER_PID *row = reinterpret_cast<const MIB_TCPROW_OWNER_PID *>(at);
            local_port = row->dwLocalPort;
            pid = row->dwOwningPid;
            bound_here = row->dwLocalAddr == htonl(INADDR_LOOPBACK) ||
                         row->dwLocalAddr == htonl(INADDR_ANY);
        }
        if ((int32_t)ntohs((u_short)(local_port & 0xFFFF)) == port && bound_here &&
            !add_owner_pid(pids, count, pid)) {
            return 0;
        }
    }
    return 1;
}

/* The listener table of one address family, in a heap block the caller
 * frees. The table can grow between the call that sizes the buffer and the
 * one that fills it, so a few tries are made; NO_ERROR, or the error of
 * the last try (the block is then freed). */
static DWORD read_listener_table(ULONG family, void **table, DWORD *size)
{
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    int tries;
    *table = NULL;
    /* A first buffer that holds the usual table, so that one query is the
     * usual cost; a larger table is sized and read again. */
    *size = TABLE_FIRST_BYTES;
    for (tries = 0; tries < TABLE_TRIES && rc == ERROR_INSUFFICIENT_BUFFER; tries++) {
        if (*size != 0) {
            if (*table) {
                HeapFree(GetProcessHeap(), 0, *table);
            }
            *table = HeapAlloc(GetProcessHeap(), 0, *size);
            if (!*table) {
                return ERROR_NOT_ENOUGH_MEMORY;
            }
        }
        rc = GetExtendedTcpTable(*table, size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
    }
    if (rc == NO_ERROR && !*table) {
        rc = ERROR_INVALID_DATA; /* a table always has its header */
    }
    if (rc != NO_ERROR && *table) {
        HeapFree(GetProcessHeap(), 0, *table);
        *table = NULL;
    }
    return rc;
}

/* The pids of the owners of every listener at `port` that receives a
 * connection to 127.0.0.1, from the tables of both address families, into
 * `pids` (OWNERS_MAX) and `*count`. 0; or the error of the first table that
 * could not be read, or ERROR_MORE_DATA when more owners than fit were
 * found. */
uint32_t find_port_owners(int32_t port, uint32_t *pids, int32_t *count)
{
    static const ULONG families[2] = {AF_INET, AF_INET6};
    uint32_t table_error = 0;
    void *table = NULL;
    DWORD size = 0;
    DWORD rc;
    int f;

    for (f = 0; f < 2; f++) {
        rc = read_listener_table(families[f], &table, &size);
        if (rc != NO_ERROR) {
            table_error = table_error ? table_error : rc;
            continue;
        }
        if (!find_listener_rows(table, size, families[f], port, pids, count)) {
            table_error = ERROR_MORE_DATA;
        }
        HeapFree(GetProcessHeap(), 0, table);
    }
    return table_error;
}

/* ------------------------------------------------------------------ */
/* trust in the port                                                   */
/* ------------------------------------------------------------------ */

/* Who holds the port, for everything that trusts it: the bearer token (the
 * sidecar's secret, which whoever holds the port after the sidecar died
 * would be handed), the UI being ready and the browser. The owners are
 * looked up and classified as the install plan does (up to 8 looks, 200 ms
 * apart while an image cannot be read yet). TOVRIN_PORT_TRUSTED: this
 * installation's runtime or shell (verdict 1), or nobody that can be named
 * (verdict 2: no listener, an owner that vanished, or a platform that
 * reports every owner as pid 0). TOVRIN_PORT_FOREIGN: a program outside the
 * installation (4) or an owner whose image stayed unreadable (5), on any
 * of the addresses. TOVRIN_PORT_UNKNOWN: a table could not be read, so
 * nobody was proved absent; or a row still names an owner that is gone
 * after every look. Windows keeps showing the process that created a
 * socket after it handed the socket to a child and exited, so such a row
 * is held by a program nobody can name. (The stop plan goes on without a
 * listener there: it hands nothing to the port but its request, which
 * this check guards too.) */
int port_trust(const struct install_names *names, int32_t port, listener_query_fn query)
{
    struct install_probe probe;
    struct listener_owners owners;
    int32_t decider = -1;
    uint32_t listener_pid = 0;
    int verdict;
    int32_t i;
    memset(&probe, 0, sizeof probe);
    verdict = discover_listener(names, port, query, &owners, &decider, &probe, &listener_pid);
    if (verdict == 4 || verdict == 5) {
        return TOVRIN_PORT_FOREIGN;
    }
    if (verdict == 0 || owners.table_error != 0) {
        return TOVRIN_PORT_UNKNOWN;
    }
    for (i = 0; i < owners.count; i++) {
        if (owners.snaps[i].query_state == 1) {
            return TOVRIN_PORT_UNKNOWN;
        }
    }
    return TOVRIN_PORT_TRUSTED;
}

int tovrin_port_owner_verdict(const wchar_t *install_dir, const wchar_t *runtime_image,
                              int32_t port)
{
    wchar_t canon[CANON_CAP];
    struct install_names names;
    if (!install_names_of(install_dir, canon, &names)) {
        return TOVRIN_PORT_UNKNOWN;
    }
    if (runtime_image && runtime_image[0] != L'\0' &&
        WideCharToMultiByte(CP_UTF8, 0, runtime_image, -1, names.runtime, IMAGE_CAP, NULL,
                            NULL) <= 0) {
        names.runtime[0] = '\0';
    }
    if (names.runtime[0] != '\0') {
        final_path_of(runtime_image, names.runtime_final, IMAGE_CAP);
    }
    return port_trust(&names, port, query_listener);
}
