// Placeholder until the discovery service lands: the thread blocks for ever.
#include "net/udpserver.h"

#include <unistd.h>

void *thread_udpserver(void *)
{
    for (;;)
        pause();
}
