/*
 * The site file: CSV as spreadsheets write it, the checks of its values, and
 * its atomic rewrites.
 *
 * Reading takes what LibreOffice, Excel and hand-written files give: a UTF-8
 * byte-order mark, LF or CRLF line ends, a comma, semicolon or tab as the
 * separator (the header row decides), cells in double quotes with "" for a
 * quote and line breaks inside, spaces around values, empty rows and
 * trailing empty columns. Header names are matched ignoring case, with
 * spaces and '_' taken as '-'.
 */
#include "tools/rfidctl/site.h"

#include "tools/rfidctl/readers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>

const char *const SITE_COLUMN_NAMES[SITE_COLUMNS] = {
    "door",     "find", "id",        "ip",          "mask",      "gateway",
    "dns",      "mac",  "server-ip", "server-port", "code-type", "read-style",
    "key-type", "key",  "block",     "first-char",  "last-char", "commissioned",
};

const SiteGroupInfo SITE_GROUP_INFO[SITE_GROUPS] = {
    {"id", COL_ID, COL_ID},
    {"server", COL_SERVER_IP, COL_CODE_TYPE},
    {"telegram", COL_READ_STYLE, COL_LAST_CHAR},
    {"net", COL_IP, COL_MAC},
};

// Bounds on what is read: a site is a few thousand readers at most.
static constexpr size_t MAX_FILE_BYTES = 16 << 20;
static constexpr size_t MAX_RECORDS = 100000;
static constexpr size_t MAX_CELL_BYTES = 1000;
static constexpr size_t MAX_COLUMNS = 200;
// More problems than this are counted, not listed.
static constexpr size_t MAX_PROBLEMS = 50;

// The field of `rfidctl set` whose rules a column's values follow; null for
// door, find and commissioned.
static const SetField *fieldOf(int column)
{
    static const std::vector<SetField> groups[SITE_GROUPS] = {setFields("id"), setFields("server"),
                                                              setFields("telegram"), setFields("net")};
    for (int group = 0; group < SITE_GROUPS; ++group)
        if (column >= SITE_GROUP_INFO[group].first && column <= SITE_GROUP_INFO[group].last)
            return &groups[group][static_cast<size_t>(column - SITE_GROUP_INFO[group].first)];
    return nullptr;
}

// "N (key)": the spreadsheet's letters of a column and, when known, its name.
static std::string columnName(size_t index, int column)
{
    std::string letters;
    for (size_t n = index + 1; n > 0; n = (n - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (n - 1) % 26));
    return column >= 0 ? letters + " (" + SITE_COLUMN_NAMES[column] + ")" : letters;
}

static std::string trimmed(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

static std::string upper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// ------------------------------------------------------------------ CSV

struct Parsed {
    std::vector<std::vector<SiteCell>> records;
    std::vector<int> firstLine; // the line each record starts on, for messages
};

// Splits the text into records of cells. False with the reason in *error.
static bool parseCsv(const std::string &text, char separator, Parsed *parsed, std::string *error)
{
    std::vector<SiteCell> record;
    SiteCell cell;
    size_t at = 0;
    int line = 1, recordLine = 1;
    bool cellStarted = false;
    auto endCell = [&]() -> bool {
        if (cell.text.size() > MAX_CELL_BYTES) {
            *error = "row " + std::to_string(parsed->records.size() + 1) + ", column " +
                     columnName(record.size(), -1) + ": a cell of more than " +
                     std::to_string(MAX_CELL_BYTES) + " bytes";
            return false;
        }
        if (record.size() >= MAX_COLUMNS) {
            *error = "row " + std::to_string(parsed->records.size() + 1) + ": more than " +
                     std::to_string(MAX_COLUMNS) + " columns";
            return false;
        }
        record.push_back(cell);
        cell = SiteCell();
        cellStarted = false;
        return true;
    };
    auto endRecord = [&]() -> bool {
        if (!endCell())
            return false;
        if (parsed->records.size() >= MAX_RECORDS) {
            *error = "more than " + std::to_string(MAX_RECORDS) + " rows";
            return false;
        }
        parsed->records.push_back(record);
        parsed->firstLine.push_back(recordLine);
        record.clear();
        recordLine = line;
        return true;
    };
    while (at < text.size()) {
        char c = text[at];
        if (c == '"' && !cellStarted) {
            // A quoted cell: everything up to the lone closing quote.
            cell.quoted = true;
            cellStarted = true;
            for (++at;; ++at) {
                if (at >= text.size()) {
                    *error = "row " + std::to_string(parsed->records.size() + 1) + " (line " +
                             std::to_string(recordLine) + "): a quoted cell is never closed";
                    return false;
                }
                if (text[at] == '"' && at + 1 < text.size() && text[at + 1] == '"') {
                    cell.text += '"';
                    ++at;
                } else if (text[at] == '"') {
                    ++at;
                    break;
                } else {
                    line += text[at] == '\n';
                    cell.text += text[at];
                }
            }
            // Spaces may follow the closing quote; anything else is no CSV.
            while (at < text.size() && text[at] == ' ')
                ++at;
            if (at < text.size() && text[at] != separator && text[at] != '\r' && text[at] != '\n') {
                *error = "row " + std::to_string(parsed->records.size() + 1) + ", column " +
                         columnName(record.size(), -1) + ": text after the closing quote of a cell";
                return false;
            }
            continue;
        }
        if (c == separator) {
            if (!endCell())
                return false;
            ++at;
        } else if (c == '\r' || c == '\n') {
            at += (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ? 2 : 1;
            ++line;
            if (!endRecord())
                return false;
        } else {
            cell.text += c;
            cellStarted = true;
            ++at;
        }
    }
    if (cellStarted || !record.empty())
        return endRecord();
    return true;
}

// The separator a header row uses: the first of ',', ';' and tab in it.
static char separatorOf(const std::string &text)
{
    size_t end = text.find_first_of("\r\n");
    std::string header = text.substr(0, end);
    for (char candidate : {',', ';', '\t'})
        if (header.find(candidate) != std::string::npos)
            return candidate;
    return ',';
}

static std::string normalisedName(const std::string &text)
{
    std::string name;
    for (char c : trimmed(text))
        name += (c == ' ' || c == '_') ? '-' : static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return name;
}

static bool readWhole(const std::string &path, std::string *text, std::string *error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    struct stat info {
    };
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = path + " is no regular file";
        close(fd);
        return false;
    }
    text->clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = "cannot read " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() > MAX_FILE_BYTES) {
            *error = path + " is larger than " + std::to_string(MAX_FILE_BYTES >> 20) + " MiB";
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

// ------------------------------------------------------------------ checks

std::string siteValue(int column, const std::string &text, std::string *problem)
{
    if (column == COL_DOOR || column == COL_COMMISSIONED)
        return text;
    if (column == COL_FIND) {
        in_addr address{};
        if (parseIpv4(text, &address))
            return text;
        long long id = 0;
        if (text.size() > 2 && (text[0] == 'i' || text[0] == 'I') && (text[1] == 'd' || text[1] == 'D')) {
            std::string number = trimmed(text.substr(2));
            if (!number.empty() && (number[0] == ':' || number[0] == '='))
                number = trimmed(number.substr(1));
            if (parseInteger(number, INT_MIN, INT_MAX, &id))
                return "id " + std::to_string(id);
        }
        *problem =
            "must be the reader's current address (a.b.c.d) or its current id (id N), not '" + text + "'";
        return "";
    }
    const SetField *field = fieldOf(column);
    std::string value = text;
    if (column == COL_KEY && (value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0))
        value = value.substr(2);
    *problem = fieldProblem(*field, value);
    if (!problem->empty()) {
        if (column == COL_KEY && value.find_first_not_of("0123456789.,E+") == std::string::npos)
            *problem += " (a spreadsheet turns a key of digits into a number: write it as 0x followed by "
                        "the 12 digits)";
        return "";
    }
    if (field->kind == FIELD_NUMBER) {
        long long number = 0;
        parseInteger(value, field->min, field->max, &number);
        return std::to_string(number);
    }
    return field->kind == FIELD_IPV4 ? value : upper(value);
}

// Refuses a value that two rows share in a column where each must be unique.
static void checkUnique(const std::vector<SiteRow> &rows, int column, const std::vector<size_t> &indexOf,
                        std::vector<std::string> *problems)
{
    std::map<std::string, int> firstRow;
    for (const SiteRow &row : rows) {
        const std::string &value = row.values[static_cast<size_t>(column)];
        if (value.empty())
            continue;
        auto [found, isNew] = firstRow.emplace(value, row.row);
        if (!isNew)
            problems->push_back("row " + std::to_string(row.row) + ", column " +
                                columnName(indexOf[static_cast<size_t>(column)], column) + ": " + value +
                                " is also in row " + std::to_string(found->second) +
                                (column == COL_ID    ? " (each reader needs an id of its own)"
                                 : column == COL_IP  ? " (each reader needs an address of its own)"
                                 : column == COL_MAC ? " (each reader needs a MAC of its own)"
                                                     : " (two rows would find the same reader)"));
    }
}

bool readSiteFile(const std::string &path, SiteFile *file, std::vector<std::string> *problems)
{
    std::string text, error;
    if (!readWhole(path, &text, &error)) {
        *file = SiteFile();
        *problems = {error};
        return false;
    }
    return parseSiteText(text, file, problems);
}

bool parseSiteText(std::string text, SiteFile *file, std::vector<std::string> *problems)
{
    *file = SiteFile();
    problems->clear();
    std::string error;
    if (text.size() > MAX_FILE_BYTES) {
        problems->push_back("the file is larger than " + std::to_string(MAX_FILE_BYTES >> 20) + " MiB");
        return false;
    }
    if (text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0) {
        problems->push_back("the file is UTF-16 text: save it as CSV (comma- or semicolon-separated, UTF-8)");
        return false;
    }
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
        file->bom = true;
        text.erase(0, 3);
    }
    size_t lineEnd = text.find_first_of("\r\n");
    file->lineEnd = lineEnd != std::string::npos && text.compare(lineEnd, 2, "\r\n") != 0 ? "\n" : "\r\n";
    file->separator = separatorOf(text);
    Parsed parsed;
    if (!parseCsv(text, file->separator, &parsed, &error)) {
        problems->push_back(error);
        return false;
    }
    if (parsed.records.empty()) {
        problems->push_back("the file is empty: it needs a header row (door,find,id,ip,...) and one row per "
                            "reader");
        return false;
    }

    // The header row: every column named once; nameless columns must stay empty.
    const std::vector<SiteCell> &header = parsed.records[0];
    std::vector<size_t> indexOf(SITE_COLUMNS, SIZE_MAX);
    for (size_t i = 0; i < header.size(); ++i) {
        std::string name = normalisedName(header[i].text);
        int column = -1;
        for (int c = 0; c < SITE_COLUMNS; ++c)
            if (name == SITE_COLUMN_NAMES[c])
                column = c;
        if (name.empty()) {
            file->columnOf.push_back(-1);
            continue;
        }
        if (column < 0) {
            std::string known;
            for (const char *known_name : SITE_COLUMN_NAMES)
                known += std::string(known.empty() ? "" : ", ") + known_name;
            problems->push_back("row 1, column " + columnName(i, -1) + ": unknown column '" +
                                visibleText(header[i].text) + "'; the columns are " + known);
        } else if (indexOf[static_cast<size_t>(column)] != SIZE_MAX) {
            problems->push_back("row 1, column " + columnName(i, -1) + ": column '" + name +
                                "' again (also " + columnName(indexOf[static_cast<size_t>(column)], -1) +
                                ")");
        } else {
            indexOf[static_cast<size_t>(column)] = i;
        }
        file->columnOf.push_back(column);
    }
    if (indexOf[COL_IP] == SIZE_MAX && indexOf[COL_FIND] == SIZE_MAX)
        problems->push_back("row 1: no column 'ip' or 'find': the rows cannot name their readers");

    for (size_t r = 1; r < parsed.records.size(); ++r) {
        const std::vector<SiteCell> &record = parsed.records[r];
        SiteRow row;
        row.row = static_cast<int>(r + 1);
        bool any = false;
        for (size_t i = 0; i < record.size(); ++i) {
            std::string value = trimmed(record[i].text);
            if (value.empty())
                continue;
            int column = i < file->columnOf.size() ? file->columnOf[i] : -1;
            if (column < 0) {
                problems->push_back("row " + std::to_string(row.row) + ", column " + columnName(i, -1) +
                                    ": a value in a column without a name in row 1");
                continue;
            }
            any = true;
            std::string problem;
            row.values[static_cast<size_t>(column)] = siteValue(column, value, &problem);
            if (!problem.empty())
                problems->push_back("row " + std::to_string(row.row) + ", column " + columnName(i, column) +
                                    ": " + problem);
        }
        if (!any)
            continue; // an empty row, as spreadsheets leave them
        const std::string &ip = row.values[COL_IP], &find = row.values[COL_FIND];
        if (ip.empty() && find.empty())
            problems->push_back("row " + std::to_string(row.row) +
                                ": neither ip nor find is given: nothing names "
                                "the row's reader");
        file->rows.push_back(row);
    }
    for (int column : {COL_FIND, COL_ID, COL_IP, COL_MAC})
        if (indexOf[static_cast<size_t>(column)] != SIZE_MAX)
            checkUnique(file->rows, column, indexOf, problems);

    if (problems->size() > MAX_PROBLEMS) {
        size_t more = problems->size() - MAX_PROBLEMS;
        problems->resize(MAX_PROBLEMS);
        problems->push_back("... and " + std::to_string(more) + " more");
    }
    file->records = std::move(parsed.records);
    return problems->empty();
}

// ------------------------------------------------------------------ writing

std::string siteCellText(int column, const std::string &value)
{
    return column == COL_KEY && !value.empty() ? "0x" + value : value;
}

static std::string cellText(const SiteCell &cell, char separator)
{
    bool needsQuotes = cell.quoted ||
                       cell.text.find_first_of(std::string("\"\r\n") + separator) != std::string::npos ||
                       (!cell.text.empty() && (cell.text.front() == ' ' || cell.text.back() == ' '));
    if (!needsQuotes)
        return cell.text;
    std::string text = "\"";
    for (char c : cell.text)
        text += c == '"' ? std::string("\"\"") : std::string(1, c);
    return text + "\"";
}

static std::string fileText(const std::vector<std::vector<SiteCell>> &records, bool bom, char separator,
                            const std::string &lineEnd)
{
    std::string text = bom ? "\xEF\xBB\xBF" : "";
    for (const std::vector<SiteCell> &record : records) {
        for (size_t i = 0; i < record.size(); ++i)
            text += (i ? std::string(1, separator) : std::string()) + cellText(record[i], separator);
        text += lineEnd;
    }
    return text;
}

// Writes `text` to a temporary file beside `path`, flushes it to the disk and
// renames it over `path` (or, without `replace`, links it there, so an
// existing file is never overwritten).
static bool writeAtomically(const std::string &path, const std::string &text, bool replace,
                            std::string *error)
{
    std::string temporary = path + ".rfidctl-" + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot create " + temporary + ": " + strerror(errno);
        return false;
    }
    size_t written = 0;
    errno = 0;
    while (written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const char *failure = nullptr;
    if (written != text.size())
        failure = errno == 0 ? "short write" : strerror(errno);
    else if (fsync(fd) != 0)
        failure = strerror(errno);
    if (close(fd) != 0 && !failure)
        failure = strerror(errno);
    bool linked = false;
    if (!failure && !replace) {
        // A file system without hard links (a FAT memory stick) gets the
        // rename, after a look that nothing is there.
        linked = link(temporary.c_str(), path.c_str()) == 0;
        if (!linked && errno != EPERM && errno != EOPNOTSUPP)
            failure = errno == EEXIST ? "it exists already" : strerror(errno);
        else if (!linked && access(path.c_str(), F_OK) == 0)
            failure = "it exists already";
    }
    if (!failure && !linked && rename(temporary.c_str(), path.c_str()) != 0)
        failure = strerror(errno);
    if (failure || linked)
        unlink(temporary.c_str());
    if (failure) {
        *error = "cannot write " + path + ": " + failure;
        return false;
    }
    // The new name lasts only once its directory is on the disk too.
    std::string dir = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

std::string siteFileText(const std::vector<SiteValues> &rows)
{
    std::vector<std::vector<SiteCell>> records(1);
    for (int column = 0; column < COL_COMMISSIONED; ++column)
        records[0].push_back({SITE_COLUMN_NAMES[column], false});
    for (const SiteValues &values : rows) {
        records.emplace_back();
        for (int column = 0; column < COL_COMMISSIONED; ++column)
            records.back().push_back({siteCellText(column, values[static_cast<size_t>(column)]), false});
    }
    return fileText(records, false, ',', "\r\n");
}

bool writeSiteFile(const std::string &path, const std::vector<SiteValues> &rows, bool replace,
                   std::string *error)
{
    return writeAtomically(path, siteFileText(rows), replace, error);
}

bool recordCommissionedText(std::string *text, const std::string &ip, const std::string &stamp,
                            std::string *error)
{
    SiteFile file;
    std::vector<std::string> problems;
    if (!parseSiteText(*text, &file, &problems)) {
        *error = "the file changed and has an error now: " + problems[0];
        return false;
    }
    size_t row = 0;
    for (const SiteRow &candidate : file.rows)
        if (candidate.values[COL_IP] == ip)
            row = static_cast<size_t>(candidate.row - 1);
    if (row == 0) {
        *error = "the file changed: no row has the ip " + ip + " any more";
        return false;
    }
    size_t column = 0;
    while (column < file.columnOf.size() && file.columnOf[column] != COL_COMMISSIONED)
        ++column;
    if (column == file.columnOf.size()) {
        // A new last column; a nameless empty column at the end takes its place.
        while (column > 0 && file.columnOf[column - 1] < 0)
            --column;
        if (file.records[0].size() < column + 1)
            file.records[0].resize(column + 1);
        file.records[0][column] = {SITE_COLUMN_NAMES[COL_COMMISSIONED], false};
    }
    std::vector<SiteCell> &record = file.records[row];
    if (record.size() < column + 1)
        record.resize(column + 1);
    record[column] = {stamp, false};
    *text = fileText(file.records, file.bom, file.separator, file.lineEnd);
    return true;
}

bool recordCommissioned(const std::string &path, const std::string &ip, const std::string &stamp,
                        std::string *error)
{
    std::string text;
    if (!readWhole(path, &text, error))
        return false;
    if (!recordCommissionedText(&text, ip, stamp, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return writeAtomically(path, text, true, error);
}
