/*
 * Fixed places of the daemon: the serial device, the settings files, the
 * databases, the reboot command and the service ports.
 *
 * The values live in one record, `paths`, defined in config.cpp. The shipped
 * daemon is built with the board's paths; the sandbox variant and the tests
 * build the same file with other values (RFIDD_ROOT, RFIDD_REBOOT_COMMAND),
 * and unit tests may point the record at a scratch directory before they
 * call into the store. Nothing else in the code spells out a path.
 */
#pragma once

struct Paths {
    const char *serialDevice;    // the reader module's serial line
    const char *netSettingsFile; // key=value network settings of the board
    const char *readerDb;        // reader id, telegram content, server settings
    const char *cardDb;          // card table
    const char *rebootCommand;   // shell command run after a new network setup
};

extern Paths paths;

inline constexpr int UDP_PORT = 8000;      // discovery and network setup
inline constexpr int CONFIG_PORT = 8001;   // JSON configuration service
inline constexpr int CONTROL_PORT = 10001; // relay/buzzer/light bit strings
