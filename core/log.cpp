#include "core/log.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

namespace {

struct Message {
    int fd; // STDOUT_FILENO or STDERR_FILENO
    std::string text;
};

struct LogRecord {
    std::mutex mutex;
    std::condition_variable wake;    // the writer: a message is waiting
    std::condition_variable drained; // logFlush: nothing is waiting any more
    std::deque<Message> queue;
    size_t queuedBytes = 0;
    unsigned long long dropped = 0; // messages lost since the last notice
    bool started = false;
    bool writing = false; // the writer is writing a message it has taken
};

} // namespace

// Never destroyed: the writer may still be in a write while exit() runs.
static LogRecord &logRecord()
{
    static LogRecord *record = new LogRecord;
    return *record;
}

// Once the buffer has room again, the count of lost messages goes in where
// they were lost; until then nothing else is taken, so the order holds.
static void admitDropNotice(LogRecord &log)
{
    if (log.dropped == 0)
        return;
    char line[64];
    snprintf(line, sizeof line, "rfidd: %llu lines of output dropped\n", log.dropped);
    size_t length = strlen(line);
    if (log.queuedBytes + length > LOG_BUFFER_BYTES)
        return;
    log.queue.push_back({STDOUT_FILENO, line});
    log.queuedBytes += length;
    log.dropped = 0;
}

// Cuts an over-long message to LOG_MESSAGE_MAX_BYTES, keeping its start,
// a marker that says how much went, and its line end if it had one.
static void cutToLimit(std::string *text)
{
    if (text->size() <= LOG_MESSAGE_MAX_BYTES)
        return;
    bool lineEnd = text->back() == '\n';
    char marker[64];
    size_t kept = LOG_MESSAGE_MAX_BYTES - 48; // room for the marker and the line end
    snprintf(marker, sizeof marker, " [... %zu more bytes cut]%s", text->size() - kept - lineEnd,
             lineEnd ? "\n" : "");
    text->resize(kept);
    text->append(marker);
}

static void append(int fd, std::string text)
{
    LogRecord &log = logRecord();
    std::unique_lock<std::mutex> hold(log.mutex);
    if (!log.started) {
        // As printf, puts and perror would: through stdio and its buffers.
        hold.unlock();
        fputs(text.c_str(), fd == STDERR_FILENO ? stderr : stdout);
        return;
    }
    cutToLimit(&text);
    admitDropNotice(log);
    if (log.dropped > 0 || log.queuedBytes + text.size() > LOG_BUFFER_BYTES) {
        ++log.dropped;
    } else {
        log.queuedBytes += text.size();
        log.queue.push_back({fd, std::move(text)});
    }
    // Also when only the notice went in: it must not wait for a next message.
    if (!log.queue.empty())
        log.wake.notify_one();
}

// Writes all of `text`; a failing output (closed, gone) loses it.
static void writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

static void *writerThread(void *)
{
    LogRecord &log = logRecord();
    std::unique_lock<std::mutex> hold(log.mutex);
    for (;;) {
        log.wake.wait(hold, [&log] { return !log.queue.empty(); });
        Message message = std::move(log.queue.front());
        log.queue.pop_front();
        log.queuedBytes -= message.text.size();
        admitDropNotice(log);
        log.writing = true;
        hold.unlock();
        writeAll(message.fd, message.text);
        hold.lock();
        log.writing = false;
        if (log.queue.empty())
            log.drained.notify_all();
    }
}

void logStart()
{
    LogRecord &log = logRecord();
    std::lock_guard<std::mutex> hold(log.mutex);
    if (log.started)
        return;
    // What stdio still holds goes first; from now on only the writer writes.
    fflush(stdout);
    fflush(stderr);
    pthread_t writer;
    if (pthread_create(&writer, nullptr, writerThread, nullptr) != 0)
        return;
    pthread_detach(writer);
    log.started = true;
}

void logPrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char small[256];
    int length = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (length >= 0 && static_cast<size_t>(length) < sizeof small) {
        text.assign(small, static_cast<size_t>(length));
    } else if (length > 0) {
        text.resize(static_cast<size_t>(length));
        vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    if (!text.empty())
        append(STDOUT_FILENO, std::move(text));
}

void logPuts(const char *text)
{
    append(STDOUT_FILENO, std::string(text) + "\n");
}

void logPerror(const char *text)
{
    char buffer[128];
    const char *reason = strerror_r(errno, buffer, sizeof buffer);
    std::string line = text && *text ? std::string(text) + ": " : std::string();
    append(STDERR_FILENO, line + reason + "\n");
}

bool logFlush(int limitMs)
{
    LogRecord &log = logRecord();
    std::unique_lock<std::mutex> hold(log.mutex);
    if (!log.started) {
        fflush(stdout);
        return true;
    }
    return log.drained.wait_for(hold, std::chrono::milliseconds(limitMs),
                                [&log] { return log.queue.empty() && !log.writing; });
}

void logExit(int status)
{
    logFlush(LOG_FLUSH_LIMIT_MS);
    exit(status);
}
