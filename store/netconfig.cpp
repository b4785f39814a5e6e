#include "store/store.h"

#include "core/config.h"
#include "core/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

static const char WRITE_FAILED[] = "Write /etc/eth0-setting failed";
static const char READ_FAILED[] = "Read /etc/eth0-setting failed";

// Room for one line "name=value\n" and its terminator.
static constexpr size_t LINE_SIZE = 64;

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct FreeDeleter {
    void operator()(void *memory) const { free(memory); }
};

std::recursive_mutex &netSettingsMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

// Copies at most size - 1 characters of text[0..length) into field and
// terminates it there; never writes past the field.
static void copyCut(char *field, size_t size, const char *text, size_t length)
{
    if (length > size - 1)
        length = size - 1;
    memcpy(field, text, length);
    field[length] = '\0';
}

int readNetConfig(NetSetting *table)
{
    std::lock_guard<std::recursive_mutex> hold(netSettingsMutex());

    // "r+": the file must exist and be writable, although nothing is written.
    File file(fopen(paths.netSettingsFile, "r+e"));
    if (!file) {
        logPerror(READ_FAILED);
        return -1;
    }

    // One line buffer, grown by getline and reused for every line.
    char *line = nullptr;
    size_t capacity = 0;
    for (int entry = 0; entry < NET_SETTING_COUNT; ++entry) {
        ssize_t got = getline(&line, &capacity, file.get());
        if (got < 0)
            break;
        size_t length = static_cast<size_t>(got);
        if (length > 0 && line[length - 1] == '\n')
            --length;
        const char *equals = static_cast<const char *>(memchr(line, '=', length));
        NetSetting &setting = table[entry];
        if (equals) {
            size_t nameLength = static_cast<size_t>(equals - line);
            copyCut(setting.name, sizeof setting.name, line, nameLength);
            copyCut(setting.value, sizeof setting.value, equals + 1, length - nameLength - 1);
        } else {
            // No '=': no name, the whole line is the value.
            setting.name[0] = '\0';
            copyCut(setting.value, sizeof setting.value, line, length);
        }
    }
    free(line);
    if (ferror(file.get())) {
        logPerror(READ_FAILED);
        return -1;
    }
    return 0;
}

// Why an entry cannot be written as one line that reads back unchanged, or
// nullptr when it can.
static const char *entryProblem(const NetSetting &setting)
{
    const void *nameEnd = memchr(setting.name, '\0', sizeof setting.name);
    const void *valueEnd = memchr(setting.value, '\0', sizeof setting.value);
    if (!nameEnd || !valueEnd)
        return "unterminated field";
    size_t nameLength = strlen(setting.name);
    size_t valueLength = strlen(setting.value);
    if (memchr(setting.name, '\n', nameLength) || memchr(setting.value, '\n', valueLength))
        return "line feed in a name or value";
    if (memchr(setting.name, '=', nameLength))
        return "'=' in a name";
    // name, '=', value, newline and the terminator share the line buffer.
    if (nameLength + valueLength + 3 > LINE_SIZE)
        return "line longer than 63 characters";
    return nullptr;
}

// The settings file itself when it is a symbolic link, so that the link
// stays and its target is replaced.
static std::string targetPath()
{
    std::unique_ptr<char, FreeDeleter> resolved(realpath(paths.netSettingsFile, nullptr));
    return resolved ? std::string(resolved.get()) : std::string(paths.netSettingsFile);
}

static void splitPath(const std::string &path, std::string *directory, std::string *base)
{
    size_t slash = path.rfind('/');
    *directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// True for the name of a temporary file of a rewrite of `base`: "." + base +
// "." and the six letters or digits that mkstemp puts in place of XXXXXX.
static bool isRewriteLeftover(const char *name, const std::string &base)
{
    std::string prefix = "." + base + ".";
    if (strncmp(name, prefix.c_str(), prefix.size()) != 0 || strlen(name) != prefix.size() + 6)
        return false;
    for (const char *c = name + prefix.size(); *c != '\0'; ++c)
        if (!isalnum(static_cast<unsigned char>(*c)))
            return false;
    return true;
}

int removeNetConfigLeftovers()
{
    std::string directory;
    std::string base;
    splitPath(targetPath(), &directory, &base);
    DIR *entries = opendir(directory.c_str());
    if (!entries)
        return 0;
    int removed = 0;
    while (const dirent *entry = readdir(entries)) {
        if (!isRewriteLeftover(entry->d_name, base))
            continue;
        std::string path = directory + "/" + entry->d_name;
        if (unlink(path.c_str()) == 0) {
            logPrintf("Removed %s, left by an interrupted rewrite\n", path.c_str());
            ++removed;
        }
    }
    closedir(entries);
    return removed;
}

// Writes the five lines to the open temporary file and makes them durable.
static bool writeLines(int fd, const NetSetting *table)
{
    File file(fdopen(fd, "w"));
    if (!file) {
        logPerror("fdopen");
        close(fd);
        return false;
    }
    for (int entry = 0; entry < NET_SETTING_COUNT; ++entry) {
        char line[LINE_SIZE] = {};
        int length = snprintf(line, sizeof line, "%s=%s\n", table[entry].name, table[entry].value);
        if (length < 0 || static_cast<size_t>(length) >= sizeof line)
            return false;
        if (fwrite(line, static_cast<size_t>(length), 1, file.get()) != 1) {
            logPerror("fwrite");
            return false;
        }
    }
    if (fflush(file.get()) != 0) {
        logPerror("fflush");
        return false;
    }
    if (fsync(fileno(file.get())) != 0) {
        logPerror("fsync");
        return false;
    }
    if (fclose(file.release()) != 0) {
        logPerror("fclose");
        return false;
    }
    return true;
}

static int syncDirectory(const std::string &directory)
{
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        logPerror("open");
        return -1;
    }
    int synced = fsync(fd);
    if (synced != 0)
        logPerror("fsync");
    close(fd);
    return synced;
}

int writeNetConfig(const NetSetting *table)
{
    std::lock_guard<std::recursive_mutex> hold(netSettingsMutex());

    for (int entry = 0; entry < NET_SETTING_COUNT; ++entry) {
        if (const char *problem = entryProblem(table[entry])) {
            logPrintf("Network setting %d refused: %s\n", entry, problem);
            logPuts(WRITE_FAILED);
            return -1;
        }
    }

    // The new file is written beside the old one and renamed over it, so the
    // old file stays as it was until the new one is complete on disk.
    std::string target = targetPath();
    std::string directory;
    std::string base;
    splitPath(target, &directory, &base);
    std::string temporary = directory + "/." + base + ".XXXXXX";

    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        logPerror("mkstemp");
        logPuts(WRITE_FAILED);
        return -1;
    }

    // The new file keeps the old one's permission bits and owner.
    struct stat old = {};
    if (stat(target.c_str(), &old) == 0) {
        fchmod(fd, old.st_mode & 07777);
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not permitted for an ordinary user; the bits above still hold.
        }
    } else {
        fchmod(fd, 0644);
    }

    if (!writeLines(fd, table)) {
        unlink(temporary.c_str());
        logPuts(WRITE_FAILED);
        return -1;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        logPerror("rename");
        unlink(temporary.c_str());
        logPuts(WRITE_FAILED);
        return -1;
    }
    // The new content is in place; without this it might not survive a
    // power cut, so a failure here still counts as a failed write.
    if (syncDirectory(directory) != 0) {
        logPuts(WRITE_FAILED);
        return -1;
    }
    return 0;
}
