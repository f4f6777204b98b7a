/* Placeholder until the replacement subsystem is built: nothing is
 * stopped and every stop reports failure. */
#include "tovrinHostStop.h"

int tovrin_install_runtime_running(const wchar_t *install_dir)
{
    (void)install_dir;
    return 0;
}

int tovrin_stop_existing_sidecar(const wchar_t *install_dir, const wchar_t *state_dir)
{
    (void)install_dir;
    (void)state_dir;
    return 1;
}
