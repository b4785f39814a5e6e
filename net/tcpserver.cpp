// Placeholder until the configuration service lands: the thread blocks for ever.
#include "net/tcpserver.h"

#include <unistd.h>

void *thread_tcpserver(void *)
{
    for (;;)
        pause();
}
