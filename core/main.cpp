/*
 * rfidd: start the three network services, then run the card loop on the
 * main thread for the life of the process.
 */
#include "core/core.h"
#include "core/log.h"
#include "core/state.h"
#include "net/tcpserver.h"
#include "net/udpserver.h"
#include "store/store.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int, char **)
{
    // Should the log writer not start, diagnostics still go out line by line
    // and keep their order with the messages on stderr.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A peer that has closed its connection must never end the daemon.
    signal(SIGPIPE, SIG_IGN);
    // From here on no thread waits for its diagnostics to be written.
    logStart();
    // Before any service can rewrite the settings file.
    removeNetConfigLeftovers();

    // rwlock is statically initialised with default attributes, so it is
    // valid before any thread can take it.

    pthread_t udpThread;
    int error = pthread_create(&udpThread, nullptr, thread_udpserver, nullptr);
    if (error != 0) {
        logPrintf("can't create thread: %s", strerror(error));
        logExit(-1);
    }
    pthread_t tcpThread;
    error = pthread_create(&tcpThread, nullptr, thread_tcpserver, nullptr);
    if (error != 0) {
        logPrintf("can't create tcp server thread: %s", strerror(error));
        logExit(-1);
    }
    pthread_t listenThread;
    error = pthread_create(&listenThread, nullptr, thread_listen, nullptr);
    if (error != 0) {
        logPrintf("can't create listen thread: %s", strerror(error));
        logExit(-1);
    }

    handle_event();

    // Only when the card database could not be opened: the services go on.
    pthread_join(udpThread, nullptr);
    pthread_join(tcpThread, nullptr);
    pthread_join(listenThread, nullptr);
    pthread_rwlock_destroy(&rwlock);
    return 0;
}
