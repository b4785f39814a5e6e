/*
 * rfidd: start the three network services, then run the card loop on the
 * main thread for the life of the process. SIGTERM and SIGINT end it once
 * the messages still queued for the output are written (within
 * LOG_FLUSH_LIMIT_MS).
 */
#include "core/core.h"
#include "core/log.h"
#include "core/state.h"
#include "net/tcpserver.h"
#include "net/udpserver.h"
#include "store/store.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The stop signals reach thread_stop through this pipe: the handler only
// writes the signal's number, the thread does the work.
static int stopPipe[2] = {-1, -1};

static void onStopSignal(int sig)
{
    int saved = errno;
    unsigned char number = static_cast<unsigned char>(sig);
    ssize_t ignored = write(stopPipe[1], &number, 1);
    (void)ignored;
    errno = saved;
}

// Writes what is queued for the output, then ends the process by the signal
// itself, so that whoever stopped the daemon sees it ended by that signal.
static void *thread_stop(void *)
{
    unsigned char number = 0;
    ssize_t got;
    while ((got = read(stopPipe[0], &number, 1)) < 0 && errno == EINTR) {
    }
    if (got != 1)
        return nullptr;
    logFlush(LOG_FLUSH_LIMIT_MS);
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}

// SIGTERM and SIGINT flush the output before the daemon ends; a signal that
// whoever started the daemon set to be ignored stays ignored.
static void handleStopSignals()
{
    if (pipe2(stopPipe, O_CLOEXEC) != 0)
        return;
    fcntl(stopPipe[1], F_SETFL, O_NONBLOCK); // a burst of signals never blocks the handler
    pthread_t stopper;
    if (pthread_create(&stopper, nullptr, thread_stop, nullptr) != 0)
        return;
    pthread_detach(stopper);
    for (int sig : {SIGTERM, SIGINT}) {
        struct sigaction action {};
        sigaction(sig, nullptr, &action);
        if (action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(sig, &action, nullptr);
    }
}

int main(int, char **)
{
    // Should the log writer not start, diagnostics still go out line by line
    // and keep their order with the messages on stderr.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A peer that has closed its connection must never end the daemon.
    signal(SIGPIPE, SIG_IGN);
    // From here on no thread waits for its diagnostics to be written.
    logStart();
    handleStopSignals();
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

    // The serial line's wait in the card loop would end early on a stop
    // signal; the other threads go on with an interrupted wait, so the
    // signal reaches one of them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    handle_event();

    // Only when the card database could not be opened: the services go on.
    pthread_join(udpThread, nullptr);
    pthread_join(tcpThread, nullptr);
    pthread_join(listenThread, nullptr);
    pthread_rwlock_destroy(&rwlock);
    return 0;
}
