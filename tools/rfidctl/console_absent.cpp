/*
 * rfidctl console where cpp-httplib is not available for the target (the
 * board's armhf build, usually): the command says so.
 */
#include "tools/rfidctl/rfidctl.h"

#include <cstdio>

int runConsole(const Args &)
{
    fprintf(stderr, "rfidctl: this build of rfidctl has no console (cpp-httplib was not found when it was built); "
                    "every other command works\n");
    return RC_USAGE;
}
