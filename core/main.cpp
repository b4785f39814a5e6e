/*
 * rfidd: start the three network services, then run the card loop on the
 * main thread for the life of the process.
 */
#include "core/core.h"
#include "core/state.h"
#include "net/tcpserver.h"
#include "net/udpserver.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int, char **)
{
    // Diagnostics go out line by line even when stdout is a file or a pipe,
    // so they keep their order with the messages on stderr.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A peer that has closed its connection must never end the daemon.
    signal(SIGPIPE, SIG_IGN);

    // rwlock is statically initialised with default attributes, so it is
    // valid before any thread can take it.

    pthread_t udpThread;
    int error = pthread_create(&udpThread, nullptr, thread_udpserver, nullptr);
    if (error != 0) {
        printf("can't create thread: %s", strerror(error));
        exit(-1);
    }
    pthread_t tcpThread;
    error = pthread_create(&tcpThread, nullptr, thread_tcpserver, nullptr);
    if (error != 0) {
        printf("can't create tcp server thread: %s", strerror(error));
        exit(-1);
    }
    pthread_t listenThread;
    error = pthread_create(&listenThread, nullptr, thread_listen, nullptr);
    if (error != 0) {
        printf("can't create listen thread: %s", strerror(error));
        exit(-1);
    }

    handle_event();

    // Only when the card database could not be opened: the services go on.
    pthread_join(udpThread, nullptr);
    pthread_join(tcpThread, nullptr);
    pthread_join(listenThread, nullptr);
    pthread_rwlock_destroy(&rwlock);
    return 0;
}
