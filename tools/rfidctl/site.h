/*
 * rfidctl site: a whole segment of readers against one spreadsheet.
 *
 * The site file is CSV with a header row and one row per reader: a label
 * for its door, how to find the reader, and its settings in the columns of
 * `rfidctl set`. sitefile.cpp owns the file: reading it as spreadsheets
 * write it, checking every value with the rules of `rfidctl set`, writing a
 * new one and recording a commissioned row in it. site.cpp owns the
 * commands export, plan, apply and commission.
 */
#pragma once

#include "tools/rfidctl/readers.h"

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

enum SiteColumn {
    COL_DOOR,
    COL_FIND,
    COL_ID,
    COL_IP,
    COL_MASK,
    COL_GATEWAY,
    COL_DNS,
    COL_MAC,
    COL_SERVER_IP,
    COL_SERVER_PORT,
    COL_CODE_TYPE,
    COL_READ_STYLE,
    COL_KEY_TYPE,
    COL_KEY,
    COL_BLOCK,
    COL_FIRST_CHAR,
    COL_LAST_CHAR,
    COL_COMMISSIONED,
    SITE_COLUMNS
};

// One row's values, or one reader's settings, by column. Values are
// canonical: numbers in plain decimal, the key and the MAC in upper case.
// "" stands for an empty cell, which leaves the reader's value as it is.
using SiteValues = std::array<std::string, SITE_COLUMNS>;

// The header names, in the order export writes them.
extern const char *const SITE_COLUMN_NAMES[SITE_COLUMNS];

// The settings a reader is changed in, one request each, in the order apply
// sends them: the network setup last, since it reboots the reader.
enum SiteGroup { GROUP_ID, GROUP_SERVER, GROUP_TELEGRAM, GROUP_NET, SITE_GROUPS };
struct SiteGroupInfo {
    const char *what; // the word of `rfidctl get/set`
    SiteColumn first, last;
};
extern const SiteGroupInfo SITE_GROUP_INFO[SITE_GROUPS];

struct SiteRow {
    int row = 0; // the row's number as a spreadsheet shows it (the header is row 1)
    SiteValues values;
};

struct SiteCell {
    std::string text;
    bool quoted = false;
};

struct SiteFile {
    std::vector<SiteRow> rows; // rows that hold anything, in file order
    // What a rewrite keeps as it was: every record as read (the header
    // first), the column each of its cells belongs to (-1: a nameless
    // column), the byte-order mark, the separator and the line end.
    std::vector<std::vector<SiteCell>> records;
    std::vector<int> columnOf;
    bool bom = false;
    char separator = ',';
    std::string lineEnd = "\r\n";
};

// Reads and checks a site file. On false, *problems holds every problem
// found, each naming its row and column ("row 5, column N (key): ...").
bool readSiteFile(const std::string &path, SiteFile *file, std::vector<std::string> *problems);
// The same for the file's text.
bool parseSiteText(std::string text, SiteFile *file, std::vector<std::string> *problems);

// The canonical value of the text of a cell of `column`; "" with the reason
// in *problem when the text is no value for the column (the rules of
// `rfidctl set`; a key may also be written after "0x").
std::string siteValue(int column, const std::string &text, std::string *problem);

// The cell text a value of `column` is written as ("0x" before a key, so
// that a spreadsheet keeps its leading zeros).
std::string siteCellText(int column, const std::string &value);

// The text of a new site file of these rows (without the commissioned
// column), as export writes it.
std::string siteFileText(const std::vector<SiteValues> &rows);

// Writes a new site file of these rows (without the commissioned column),
// atomically: the file appears complete or not at all. An existing file is
// replaced only when `replace`.
bool writeSiteFile(const std::string &path, const std::vector<SiteValues> &rows, bool replace,
                   std::string *error);

// Records `stamp` as the commissioned time of the row whose ip is `ip`: the
// file is read again (it may have been edited meanwhile), the cell set (the
// column added when missing) and the file replaced atomically. Every other
// byte stays as it was, but for the quoting of cells that need none.
bool recordCommissioned(const std::string &path, const std::string &ip, const std::string &stamp,
                        std::string *error);
// The same on the file's text.
bool recordCommissionedText(std::string *text, const std::string &ip, const std::string &stamp,
                            std::string *error);

// ---- the commands as the console runs them: results, nothing printed.
// Each searches from `from` (INADDR_ANY: wherever the routes say) and
// returns the exit status the command would (RC_OK, RC_SITE_*, ...), with
// the reason in *error when the search itself fails.

// export: the site file's text; problems name readers not fully read.
int siteExportCsv(const in_addr &from, std::string *csv, size_t *readers, std::vector<std::string> *problems,
                  std::string *error);
// plan: the object `rfidctl site plan --json` prints.
int sitePlanJson(const SiteFile &file, const in_addr &from, JsonPtr *json, std::string *error);
// apply (network setups only with `network`): the object of `apply --json`.
int siteApplyJson(const SiteFile &file, bool network, const in_addr &from, JsonPtr *json, std::string *error);

// commission: where the rows come from (read again for every board) and
// where a commissioned one is recorded.
struct SiteSource {
    std::function<bool(SiteFile *file, std::vector<std::string> *problems)> load;
    std::function<bool(const std::string &ip, const std::string &stamp, std::string *error)> record;
};
// Each line of the commissioning log: its text, and the event as `commission
// --json` prints it (owned by the callee; null for lines of text only).
using SiteEmit = std::function<void(const std::string &text, cJSON *event)>;
// Takes new boards at `factory` until every row is done or `stop` is set (1:
// after the board in hand, 2: at once). RC_USAGE with *problems when the
// rows cannot be used; 130 when stopped at once.
int siteCommissionRun(const SiteSource &source, const std::string &factory, const in_addr &from,
                      int timeoutMs, const std::atomic<int> &stop, const SiteEmit &emit,
                      std::vector<std::string> *problems);
