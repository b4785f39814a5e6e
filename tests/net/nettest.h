/*
 * Helpers shared by the network-service tests: byte-exact reply comparison
 * with escaped output, the reply texts as the configuration tool expects
 * them, and a scratch board (settings file and databases in a temporary
 * directory, provisioned by rfidd-provision) that `paths` points at.
 */
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace nettest {

// The text with every control byte, quote and backslash written as an
// escape, so that two different byte strings never print alike.
std::string escaped(const std::string &bytes);

// Byte-for-byte comparison that prints both sides escaped on mismatch.
::testing::AssertionResult sameBytes(const std::string &actual, const std::string &expected);

// Reply texts, laid out by hand the way the tools expect them.
std::string statusReply(int response);
std::string readerIdReply(const std::string &devId);
std::string netConfReply(const std::string &ip, const std::string &mask, const std::string &gateway,
                         const std::string &dns, const std::string &mac);
std::string serverConfReply(const std::string &type, const std::string &address, const std::string &port);
std::string telegramReply(int readStyle, int keyType, const std::string &key, int block, int firstChar,
                          int lastChar);

// The provisioned settings file of a board with the default values.
extern const char *const defaultSettingsFile;

// The calling thread's command status. Read and written out of line: with
// ASan+UBSan, GCC 12 guards the access to the extern thread_local with a null
// check on flags that the linker's TLS relaxation (add -> lea) leaves stale,
// which reports a null pointer that is not there.
int status();
void setStatus(int value);


// One cell of a query on an SQLite file ("" when there is none; "<error>"
// when the query fails).
std::string sqlValue(const std::string &dbPath, const std::string &sql);
// Runs one statement; true on success.
bool sqlRun(const std::string &dbPath, const std::string &sql);

// A provisioned board in a scratch directory; `paths` points into it for the
// duration of each test and the reboot command appends to reboot.log.
class ScratchBoard : public ::testing::Test
{
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Points the reboot command somewhere else (kept for this test only).
    void setRebootCommand(const std::string &command);
    void setSettingsFile(const std::string &path);
    void setReaderDb(const std::string &path);
    int rebootCount() const;

    std::string dir;
    std::string settingsFile;
    std::string readerDb;
    std::string cardDb;
    std::string rebootLog;
    std::string rebootCommand;

  private:
    static std::string templateDir;
    static std::string provisionFailure;
    struct SavedPaths {
        const char *serialDevice, *netSettingsFile, *readerDb, *cardDb, *rebootCommand;
    } saved{};
};

} // namespace nettest
