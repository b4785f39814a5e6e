/*
 * rfid-sim: a stand-in for the RFID reader module. It opens a
 * pseudo-terminal pair, keeps the slave side open itself and answers the
 * request frames that arrive on the master side, following a plan of cards
 * entering and leaving the field. Faults can be injected into the replies.
 * This file sets it up and runs the event loop: stop signals, the plan's
 * clock, input, paced output and the idle time that ends a partial frame.
 */
#include "tools/rfid-sim/sim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Sim sim;
    sim.options = parseOptions(argc, argv);
    sim.random = sim.options.seedGiven
                     ? sim.options.seed
                     : static_cast<uint64_t>(nowNs()) ^ (static_cast<uint64_t>(getpid()) << 32);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        fatal(sim, "sigprocmask");
    sim.signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sim.signalFd < 0)
        fatal(sim, "signalfd");
    signal(SIGPIPE, SIG_IGN);

    if (!sim.options.logPath.empty()) {
        sim.logFd = open(sim.options.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (sim.logFd < 0) {
            fprintf(stderr, "rfid-sim: cannot open log %s: %s\n", sim.options.logPath.c_str(),
                    strerror(errno));
            return 1;
        }
    }

    if (!sim.options.link.empty())
        checkLinkPlace(sim);
    openTerminal(sim);
    printf("rfid-sim: slave %s\n", sim.slaveName.c_str());
    if (!sim.options.link.empty())
        makeLink(sim);
    puts("rfid-sim: ready");

    for (;;) {
        long long now = nowNs();
        advancePlan(sim, now);
        writeOutput(sim, now);
        if (sim.exitPending && sim.outCount == 0) {
            awaitReplyTaken(sim);
            finish(sim, 0);
        }

        long long wake = stepEnd(sim);
        if (sim.outCount > 0 && !sim.waitWritable) {
            long long due = sim.out[static_cast<size_t>(sim.outHead)].due;
            wake = due < wake ? due : wake;
        }
        if (sim.inputLength > 0 || sim.junkLength > 0) {
            long long idle = sim.lastInput + INPUT_IDLE_NS;
            wake = idle < wake ? idle : wake;
        }

        pollfd fds[2] = {};
        fds[0].fd = sim.signalFd;
        fds[0].events = POLLIN;
        fds[1].fd = sim.master;
        fds[1].events = static_cast<short>(POLLIN | (sim.waitWritable ? POLLOUT : 0));
        timespec timeout{};
        timespec *timeoutPointer = nullptr;
        if (wake != NEVER) {
            long long wait = wake - now;
            if (wait < 0)
                wait = 0;
            timeout.tv_sec = static_cast<time_t>(wait / 1000000000LL);
            timeout.tv_nsec = static_cast<long>(wait % 1000000000LL);
            timeoutPointer = &timeout;
        }
        int ready = ppoll(fds, 2, timeoutPointer, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fatal(sim, "ppoll");
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(sim.signalFd, &info, sizeof info) > 0)
                finish(sim, 0);
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            readInput(sim);
        now = nowNs();
        if ((sim.inputLength > 0 || sim.junkLength > 0) && now >= sim.lastInput + INPUT_IDLE_NS)
            inputIdle(sim, now);
    }
}
