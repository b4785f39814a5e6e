#include "core/config.h"

// The board's own paths. The sandbox build defines RFIDD_ROOT as a directory
// of the build tree and RFIDD_REBOOT_COMMAND as a command that only records
// the request.
#ifndef RFIDD_ROOT
#define RFIDD_ROOT ""
#endif
#ifndef RFIDD_REBOOT_COMMAND
#define RFIDD_REBOOT_COMMAND "reboot"
#endif

Paths paths = {
    RFIDD_ROOT "/dev/ttySAC1",
    RFIDD_ROOT "/etc/eth0-setting",
    RFIDD_ROOT "/usr/local/etc/reader.db",
    RFIDD_ROOT "/usr/local/etc/card.db",
    RFIDD_REBOOT_COMMAND,
};
