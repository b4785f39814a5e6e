/*
 * rfidctl site export|plan|apply|commission: a whole segment against one
 * site file (sitefile.cpp), spoken with the conversations of readers.cpp.
 *
 * Every command first reads and checks the whole file: one bad value and
 * nothing goes to any reader. Then it searches the segment once and reads
 * the four settings of every reader that answers, up to 32 readers side by
 * side. Rows find their readers (matchRows), and the differences between a
 * row and its reader are the plan.
 */
#include "tools/rfidctl/site.h"

#include "tools/rfidctl/readers.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

static constexpr size_t PARALLEL_READERS = 32;
// How long a reader may take to reboot and answer again after its network
// setup; a board's reboot takes well under a minute.
static constexpr int REBOOT_WAIT_MS = 120000;
// Pause between two looks at an address that does not answer yet.
static constexpr int POLL_PAUSE_MS = 500;
// The address rfidd-provision gives a board unless told otherwise.
static const char FACTORY_ADDRESS[] = "192.168.0.100";

// Ctrl-C (and SIGTERM) while commissioning: counted here, acted on by the loop.
static std::atomic<int> interrupts{0};
static void onInterrupt(int)
{
    interrupts.fetch_add(1);
}

struct Reader {
    std::string address;
    int rc = RC_OK; // of reading its settings
    std::string error;
    SiteValues now;   // canonical; "" where the reader's value is no value of the column
    SiteValues shown; // as the reader reported them
};

struct Options {
    bool json = false;
    int timeoutMs = DEFAULT_REPLY_TIMEOUT_MS;
    in_addr source{};
    unsigned long long *unlisted = nullptr; // answers beyond the readers a search lists
};

static void lineOut(const std::string &text)
{
    printf("%s\n", text.c_str());
    fflush(stdout);
}

static std::string quotedDoor(const SiteRow &row)
{
    return row.values[COL_DOOR].empty() ? "" : ", door '" + visibleText(row.values[COL_DOOR]) + "'";
}

static std::string rowName(const SiteRow &row)
{
    return "row " + std::to_string(row.row) + quotedDoor(row);
}

static std::string seconds(long long ms)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

// Runs work(0) .. work(count - 1), up to PARALLEL_READERS at a time.
static void forEachParallel(size_t count, const std::function<void(size_t)> &work)
{
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (size_t i = 0; i < std::min(count, PARALLEL_READERS); ++i)
        workers.emplace_back([&] {
            for (size_t index; (index = next.fetch_add(1)) < count;)
                work(index);
        });
    for (std::thread &worker : workers)
        worker.join();
}

// ------------------------------------------------------------------ readers

static std::string numberText(const cJSON *item)
{
    double value = cJSON_IsNumber(item) ? item->valuedouble : 0;
    if (value > INT_MAX || value < INT_MIN)
        return std::to_string(static_cast<long long>(value > 0 ? LLONG_MAX / 2 : LLONG_MIN / 2));
    return std::to_string(static_cast<long long>(value));
}

// Reads the four settings of the reader at `address` into its columns.
static int readReader(const std::string &address, int timeoutMs, Reader *reader)
{
    reader->address = address;
    in_addr host{};
    parseIpv4(address, &host);
    static const char *const NET_KEYS[] = {"IP", "Mask", "Gateway", "DNS", "MAC"};
    static const char *const TELEGRAM_KEYS[] = {"readStyle", "keyType",   "key",
                                                "block",     "firstChar", "lastChar"};
    for (const SiteGroupInfo &group : SITE_GROUP_INFO) {
        JsonPtr reply;
        reader->rc = readSetting(host, group.what, timeoutMs, &reply, &reader->error);
        if (reader->rc != RC_OK)
            return reader->rc;
        JsonPtr values = settingOf(group.what, reply.get());
        for (int column = group.first; column <= group.last; ++column) {
            const cJSON *item = nullptr;
            if (group.first == COL_ID)
                item = cJSON_GetObjectItemCaseSensitive(values.get(), "devId");
            else if (group.first == COL_IP)
                item = cJSON_GetObjectItemCaseSensitive(values.get(), NET_KEYS[column - COL_IP]);
            else if (group.first == COL_SERVER_IP)
                item = cJSON_GetObjectItemCaseSensitive(values.get(), column == COL_SERVER_IP     ? "address"
                                                                      : column == COL_SERVER_PORT ? "port"
                                                                                                  : "type");
            else
                item = cJSON_GetObjectItemCaseSensitive(values.get(), TELEGRAM_KEYS[column - COL_READ_STYLE]);
            std::string text = cJSON_IsString(item) ? item->valuestring : numberText(item);
            std::string problem;
            reader->shown[static_cast<size_t>(column)] = text;
            reader->now[static_cast<size_t>(column)] = text.empty() ? "" : siteValue(column, text, &problem);
        }
    }
    return RC_OK;
}

// Searches the segment and reads every reader that answers. RC_OK, or the
// failure of the search itself.
static int readSegment(const Options &options, std::vector<Reader> *readers, long long *searchMs,
                       long long *readMs, std::string *error)
{
    std::vector<std::string> addresses;
    long long start = monotonicMs();
    int rc = discoverReaders(options.source, DEFAULT_DISCOVER_TIMEOUT_MS, &addresses, nullptr, error,
                             options.unlisted);
    *searchMs = monotonicMs() - start;
    if (rc != RC_OK)
        return rc;
    // In address order, so that files and listings stay in one order.
    std::sort(addresses.begin(), addresses.end(), [](const std::string &a, const std::string &b) {
        in_addr x{}, y{};
        parseIpv4(a, &x);
        parseIpv4(b, &y);
        return ntohl(x.s_addr) < ntohl(y.s_addr);
    });
    readers->assign(addresses.size(), Reader());
    start = monotonicMs();
    forEachParallel(addresses.size(),
                    [&](size_t i) { readReader(addresses[i], options.timeoutMs, &(*readers)[i]); });
    // A reader that answered the search but not in time over TCP (a
    // connection lost in a busy moment of a large segment) gets one more go.
    std::vector<size_t> again;
    for (size_t i = 0; i < readers->size(); ++i)
        if ((*readers)[i].rc == RC_NO_ANSWER || (*readers)[i].rc == RC_UNREACHABLE)
            again.push_back(i);
    forEachParallel(again.size(), [&](size_t k) {
        Reader second;
        if (readReader(addresses[again[k]], options.timeoutMs, &second) == RC_OK)
            (*readers)[again[k]] = second;
    });
    *readMs = monotonicMs() - start;
    return RC_OK;
}

// Whether something answers at `address` on the configuration port within
// a second: a reader, or another host that refuses the connection. The
// search may have missed a reader, so an address is looked at directly
// before a reader is moved there.
static bool addressInUse(const std::string &address, int timeoutMs, std::string *what)
{
    in_addr host{};
    parseIpv4(address, &host);
    std::string error;
    int fd = connectWithin(host, READER_CONFIG_PORT, std::min(timeoutMs, 1000), &error);
    if (fd >= 0) {
        close(fd);
        *what = "a reader answers at " + address;
        return true;
    }
    if (error.find("connection refused") != std::string::npos) {
        *what = "a host at " + address + " refuses connections";
        return true;
    }
    return false;
}

// ------------------------------------------------------------------ the plan

struct Change {
    int column;
    std::string now, want;
};

struct PlanEntry {
    size_t row;      // index into the file's rows
    int reader = -1; // index into the readers; -1: no reader
    std::string why; // no reader: why; else what keeps it from being changed
    std::vector<Change> changes;
    bool network = false; // a network setup is among the changes
};

struct Plan {
    std::vector<PlanEntry> entries; // one per row, in file order
    std::vector<size_t> strays;     // readers that no row names
    size_t toChange = 0, networks = 0, unchanged = 0, unmatched = 0, blocked = 0;
};

static int readerAt(const std::vector<Reader> &readers, const std::string &address)
{
    for (size_t i = 0; i < readers.size(); ++i)
        if (readers[i].address == address)
            return static_cast<int>(i);
    return -1;
}

// Readers whose id is `id` (only readers that could be read).
static std::vector<int> readersWithId(const std::vector<Reader> &readers, const std::string &id)
{
    std::vector<int> found;
    for (size_t i = 0; i < readers.size(); ++i)
        if (readers[i].rc == RC_OK && readers[i].now[COL_ID] == id)
            found.push_back(static_cast<int>(i));
    return found;
}

// A row finds its reader where the reader is now (the find column, else the
// row's ip), or, when none is there, where the row puts it: the reader was
// changed already. Rows with a find column choose first; a reader belongs to
// one row only.
static void matchRows(const std::vector<SiteRow> &rows, const std::vector<Reader> &readers, Plan *plan)
{
    std::vector<int> ownerOf(readers.size(), -1);
    plan->entries.assign(rows.size(), PlanEntry());
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t r = 0; r < rows.size(); ++r) {
            const SiteValues &values = rows[r].values;
            const std::string &find = values[COL_FIND], &ip = values[COL_IP];
            PlanEntry &entry = plan->entries[r];
            entry.row = r;
            if ((pass == 0) == find.empty())
                continue;
            int found = -1;
            if (find.rfind("id ", 0) == 0) {
                std::vector<int> byId = readersWithId(readers, find.substr(3));
                if (byId.empty() && !values[COL_ID].empty())
                    byId = readersWithId(readers, values[COL_ID]);
                if (byId.size() > 1) {
                    entry.why = std::to_string(byId.size()) + " readers have that id (" +
                                readers[static_cast<size_t>(byId[0])].address + ", " +
                                readers[static_cast<size_t>(byId[1])].address + "); find them by address";
                    continue;
                }
                found = byId.empty() ? -1 : byId[0];
                if (found < 0)
                    entry.why = "no reader has the " + find +
                                (values[COL_ID].empty() ? "" : " or the id " + values[COL_ID]);
            } else {
                found = readerAt(readers, find.empty() ? ip : find);
                if (found < 0 && !find.empty() && !ip.empty())
                    found = readerAt(readers, ip);
                if (found < 0)
                    entry.why = "no reader at " +
                                (find.empty() ? ip : find + (ip.empty() || ip == find ? "" : " or " + ip));
            }
            if (found >= 0 && ownerOf[static_cast<size_t>(found)] >= 0) {
                entry.why =
                    "its reader at " + readers[static_cast<size_t>(found)].address +
                    " is the reader of row " +
                    std::to_string(rows[static_cast<size_t>(ownerOf[static_cast<size_t>(found)])].row);
                found = -1;
            }
            if (found >= 0) {
                ownerOf[static_cast<size_t>(found)] = static_cast<int>(r);
                entry.why.clear();
            }
            entry.reader = found;
        }
    }
    for (size_t i = 0; i < readers.size(); ++i)
        if (ownerOf[i] < 0)
            plan->strays.push_back(i);
}

// The value a request sends for `column`: the row's, else the reader's own.
static const std::string &wanted(const SiteRow &row, const Reader &reader, int column)
{
    const std::string &value = row.values[static_cast<size_t>(column)];
    return value.empty() ? reader.now[static_cast<size_t>(column)] : value;
}

// What would change for one row and its reader; a reason in entry->why when
// the change cannot be made.
static void planEntry(const SiteRow &row, const std::vector<Reader> &readers, PlanEntry *entry)
{
    const Reader &reader = readers[static_cast<size_t>(entry->reader)];
    if (reader.rc != RC_OK) {
        entry->why = "cannot be read: " + reader.error;
        return;
    }
    for (const SiteGroupInfo &group : SITE_GROUP_INFO) {
        bool changed = false;
        for (int column = group.first; column <= group.last; ++column) {
            const std::string &want = row.values[static_cast<size_t>(column)];
            if (!want.empty() && want != reader.now[static_cast<size_t>(column)]) {
                entry->changes.push_back({column, reader.shown[static_cast<size_t>(column)], want});
                changed = true;
            }
        }
        if (!changed)
            continue;
        if (group.first == COL_IP) {
            entry->network = true;
            const std::string &ip = row.values[COL_IP];
            int holder = ip.empty() ? -1 : readerAt(readers, ip);
            if (holder >= 0 && &readers[static_cast<size_t>(holder)] != &reader)
                entry->why = "its new address " + ip + " is in use by another reader";
            continue;
        }
        // Server and telegram content go as a whole: an empty cell sends the
        // reader's own value, which must then be one.
        for (int column = group.first; column <= group.last; ++column)
            if (wanted(row, reader, column).empty())
                entry->why = std::string("the reader has no valid ") + SITE_COLUMN_NAMES[column] +
                             " and the row gives none";
    }
}

static Plan makePlan(const SiteFile &file, const std::vector<Reader> &readers)
{
    Plan plan;
    matchRows(file.rows, readers, &plan);
    for (PlanEntry &entry : plan.entries) {
        if (entry.reader < 0) {
            ++plan.unmatched;
            continue;
        }
        planEntry(file.rows[entry.row], readers, &entry);
        if (!entry.why.empty())
            ++plan.blocked;
        else if (entry.changes.empty())
            ++plan.unchanged;
        else
            ++plan.toChange, plan.networks += entry.network;
    }
    return plan;
}

// The exit status of a plan: whether apply would change anything, or the
// site does not match the file in another way.
static int planStatus(const Plan &plan)
{
    if (plan.toChange > 0)
        return RC_SITE_CHANGES;
    return plan.unmatched + plan.strays.size() + plan.blocked > 0 ? RC_SITE_UNMATCHED : RC_OK;
}

static std::string readerLabel(const Reader &reader)
{
    return reader.address + (reader.rc == RC_OK ? " (id " + reader.shown[COL_ID] + ")" : "");
}

static void printPlan(const SiteFile &file, const std::vector<Reader> &readers, const Plan &plan)
{
    for (const PlanEntry &entry : plan.entries) {
        if (entry.reader < 0 || entry.changes.empty())
            continue;
        const SiteRow &row = file.rows[entry.row];
        lineOut(readers[static_cast<size_t>(entry.reader)].address + "  " + rowName(row) +
                (entry.why.empty() ? "" : ": NOT POSSIBLE: " + entry.why));
        for (const Change &change : entry.changes) {
            char line[512];
            snprintf(line, sizeof line, "    %-12s %s -> %s%s", SITE_COLUMN_NAMES[change.column],
                     change.now.empty() ? "(none)" : visibleText(change.now).c_str(),
                     siteCellText(change.column, change.want).c_str(),
                     change.column >= COL_IP && change.column <= COL_MAC ? "   (network setup: reboots)"
                                                                         : "");
            lineOut(line);
        }
    }
    for (const PlanEntry &entry : plan.entries)
        if (entry.reader >= 0 && entry.changes.empty() && !entry.why.empty())
            lineOut(readers[static_cast<size_t>(entry.reader)].address + "  " +
                    rowName(file.rows[entry.row]) + ": " + entry.why);
    for (const PlanEntry &entry : plan.entries)
        if (entry.reader < 0)
            lineOut("No reader for " + rowName(file.rows[entry.row]) + ": " + entry.why);
    for (size_t i : plan.strays)
        lineOut("No row for the reader at " + readerLabel(readers[i]) +
                (readers[i].rc == RC_OK ? "" : ": cannot be read: " + readers[i].error));
}

static std::string planSummary(const std::string &path, const Plan &plan, size_t readers)
{
    if (plan.toChange == 0 && plan.blocked == 0)
        return "Nothing to change: " + std::to_string(plan.unchanged) + " of " + std::to_string(readers) +
               " readers match " + path + "; " + std::to_string(plan.unmatched) + " rows without a reader, " +
               std::to_string(plan.strays.size()) + " readers without a row.";
    return "Plan: " + std::to_string(plan.toChange) + " readers to change (" + std::to_string(plan.networks) +
           " with a network setup), " + std::to_string(plan.unchanged) + " unchanged, " +
           std::to_string(plan.blocked) + " that cannot be changed; " + std::to_string(plan.unmatched) +
           " rows without a reader, " + std::to_string(plan.strays.size()) + " readers without a row.";
}

static cJSON *planJson(const SiteFile &file, const std::vector<Reader> &readers, const Plan &plan)
{
    cJSON *json = cJSON_CreateObject();
    cJSON *entries = cJSON_AddArrayToObject(json, "rows");
    for (const PlanEntry &entry : plan.entries) {
        const SiteRow &row = file.rows[entry.row];
        cJSON *item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "row", row.row);
        cJSON_AddStringToObject(item, "door", row.values[COL_DOOR].c_str());
        if (entry.reader >= 0)
            cJSON_AddStringToObject(item, "reader",
                                    readers[static_cast<size_t>(entry.reader)].address.c_str());
        else
            cJSON_AddNullToObject(item, "reader");
        cJSON *changes = cJSON_AddArrayToObject(item, "changes");
        for (const Change &change : entry.changes) {
            cJSON *cell = cJSON_CreateObject();
            cJSON_AddStringToObject(cell, "column", SITE_COLUMN_NAMES[change.column]);
            cJSON_AddStringToObject(cell, "now", change.now.c_str());
            cJSON_AddStringToObject(cell, "new", change.want.c_str());
            cJSON_AddItemToArray(changes, cell);
        }
        cJSON_AddBoolToObject(item, "network", entry.network);
        if (entry.why.empty())
            cJSON_AddNullToObject(item, "problem");
        else
            cJSON_AddStringToObject(item, "problem", entry.why.c_str());
        cJSON_AddItemToArray(entries, item);
    }
    cJSON *strays = cJSON_AddArrayToObject(json, "readersWithoutRow");
    for (size_t i : plan.strays)
        cJSON_AddItemToArray(strays, cJSON_CreateString(readers[i].address.c_str()));
    cJSON_AddNumberToObject(json, "toChange", static_cast<double>(plan.toChange));
    cJSON_AddNumberToObject(json, "networkSetups", static_cast<double>(plan.networks));
    cJSON_AddNumberToObject(json, "unchanged", static_cast<double>(plan.unchanged));
    cJSON_AddNumberToObject(json, "cannotChange", static_cast<double>(plan.blocked));
    cJSON_AddNumberToObject(json, "rowsWithoutReader", static_cast<double>(plan.unmatched));
    return json;
}

// ------------------------------------------------------------------ changing

// Sends one group of a row to the reader at `host`: the row's values, and
// for server and telegram content the reader's own where the row has none.
static int sendGroup(const in_addr &host, const SiteRow &row, const Reader &reader, SiteGroup group,
                     int timeoutMs, std::string *error)
{
    const SiteGroupInfo &info = SITE_GROUP_INFO[group];
    std::vector<const std::string *> values;
    for (int column = info.first; column <= info.last; ++column) {
        const std::string &value =
            group == GROUP_NET ? row.values[static_cast<size_t>(column)] : wanted(row, reader, column);
        values.push_back(value.empty() ? nullptr : &value);
    }
    JsonPtr reply;
    return sendSetting(host, setCommand(info.what), setData(setFields(info.what), values), timeoutMs, &reply,
                       error);
}

static bool groupChanges(const PlanEntry &entry, SiteGroup group)
{
    for (const Change &change : entry.changes)
        if (change.column >= SITE_GROUP_INFO[group].first && change.column <= SITE_GROUP_INFO[group].last)
            return true;
    return false;
}

// The columns in which a reader differs from its row ("" when none does);
// without `network`, the network columns are not looked at.
static std::string differences(const SiteRow &row, const Reader &reader, bool network)
{
    std::string text;
    for (int column = COL_ID; column <= COL_LAST_CHAR; ++column) {
        const std::string &want = row.values[static_cast<size_t>(column)];
        if (!network && column >= COL_IP && column <= COL_MAC)
            continue;
        if (!want.empty() && want != reader.now[static_cast<size_t>(column)])
            text += std::string(text.empty() ? "" : ", ") + SITE_COLUMN_NAMES[column] + " is '" +
                    visibleText(reader.shown[static_cast<size_t>(column)]) + "', not '" +
                    siteCellText(column, want) + "'";
    }
    return text;
}

// Waits until a reader answers at `address` with that address in its
// network settings, then reads all of it. False after `limitMs`, or as soon
// as `stop` says so. The first look comes after a pause: the reader reboots
// 50 ms after its reply, and an address asked for before it is there costs
// a second of ARP's retry.
static bool waitForReader(const std::string &address, int limitMs, int timeoutMs,
                          const std::function<bool()> &stop, Reader *reader, std::string *error)
{
    long long deadline = monotonicMs() + limitMs;
    in_addr host{};
    parseIpv4(address, &host);
    for (;;) {
        for (int waited = 0; waited < POLL_PAUSE_MS; waited += 100) {
            if (stop && stop()) {
                *error = "stopped";
                return false;
            }
            usleep(100000);
        }
        JsonPtr reply;
        int left = static_cast<int>(std::max(1LL, deadline - monotonicMs()));
        if (readSetting(host, "net", std::min(timeoutMs, left), &reply, error) == RC_OK) {
            const cJSON *ip =
                cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(reply.get(), "Data"), "IP");
            if (address == ip->valuestring) {
                if (readReader(address, timeoutMs, reader) == RC_OK)
                    return true;
                *error = reader->error;
            } else {
                *error =
                    "the reader there has the address " + visibleText(ip->valuestring) + " in its settings";
            }
        }
        if (monotonicMs() >= deadline) {
            *error = "not back at " + address + " within " + std::to_string(limitMs / 1000) + " s (" +
                     *error + ")";
            return false;
        }
    }
}

struct Outcome {
    bool changed = false; // something was sent and taken
    bool failed = false;  // a request failed, or the reader does not read back as its row says
    std::string text;     // what happened, for the report
};

// Changes one reader as its plan entry says: id, server and telegram
// content first, then (with `network`) its network setup, after which the
// reader is awaited at its new address. Then everything is read back.
static Outcome applyEntry(const SiteRow &row, const Reader &reader, const PlanEntry &entry, bool network,
                          int timeoutMs)
{
    Outcome outcome;
    in_addr host{};
    parseIpv4(reader.address, &host);
    std::string error, made;
    auto report = [&made](const std::string &tail) { return made.empty() ? tail : made + " set; " + tail; };
    for (SiteGroup group : {GROUP_ID, GROUP_SERVER, GROUP_TELEGRAM}) {
        if (!groupChanges(entry, group))
            continue;
        if (sendGroup(host, row, reader, group, timeoutMs, &error) != RC_OK) {
            outcome.failed = true;
            outcome.text = report(std::string(SITE_GROUP_INFO[group].what) + " FAILED: " + error);
            return outcome;
        }
        outcome.changed = true;
        made += std::string(made.empty() ? "" : ", ") + SITE_GROUP_INFO[group].what;
    }
    bool withNetwork = network && entry.network;
    std::string address = reader.address, leftOut;
    if (entry.network && !withNetwork)
        leftOut = "network setup left out; ";
    Reader after;
    if (withNetwork) {
        long long start = monotonicMs();
        const std::string &ip = row.values[COL_IP];
        std::string holder;
        if (!ip.empty() && ip != reader.address && addressInUse(ip, timeoutMs, &holder)) {
            outcome.failed = true;
            outcome.text = report("network setup NOT SENT: its new address is in use: " + holder);
            return outcome;
        }
        if (sendGroup(host, row, reader, GROUP_NET, timeoutMs, &error) != RC_OK) {
            outcome.failed = true;
            outcome.text = report("network setup FAILED: " + error);
            return outcome;
        }
        outcome.changed = true;
        if (!row.values[COL_IP].empty())
            address = row.values[COL_IP];
        if (!waitForReader(address, REBOOT_WAIT_MS, timeoutMs, nullptr, &after, &error)) {
            outcome.failed = true;
            outcome.text = report("network setup sent; " + error);
            return outcome;
        }
        made += std::string(made.empty() ? "" : ", ") + "network setup (back at " + address + " after " +
                seconds(monotonicMs() - start) + ")";
    } else if (!outcome.changed) {
        outcome.text = leftOut.substr(0, leftOut.size() - 2);
        return outcome;
    } else if (readReader(address, timeoutMs, &after) != RC_OK) {
        outcome.failed = true;
        outcome.text = report(leftOut + "reading back FAILED: " + after.error);
        return outcome;
    }
    std::string left = differences(row, after, withNetwork || !entry.network);
    outcome.failed = !left.empty();
    outcome.text = report(leftOut + "read back: " + (left.empty() ? "as the row says" : "DIFFERS: " + left));
    return outcome;
}

static int failedStatus(size_t failures)
{
    return static_cast<int>(RC_SITE_FAILED + std::min<size_t>(failures, 155));
}

// ------------------------------------------------------------------ export and apply

// Export: a row for each reader. A reader that cannot be read gets one with
// its address only; a value that is no value of its column stays empty.
// Both are named in *problems.
static std::vector<SiteValues> exportRows(const std::vector<Reader> &readers,
                                          std::vector<std::string> *problems, size_t *failed)
{
    std::vector<SiteValues> rows;
    *failed = 0;
    for (const Reader &reader : readers) {
        SiteValues values = reader.now;
        values[COL_FIND] = reader.address;
        std::string problem;
        if (reader.rc != RC_OK) {
            ++*failed;
            values = SiteValues();
            values[COL_FIND] = values[COL_IP] = reader.address;
            problem = reader.address + ": cannot be read, so its row holds only its address: " + reader.error;
        }
        for (int column = COL_ID; column <= COL_LAST_CHAR && reader.rc == RC_OK; ++column)
            if (values[static_cast<size_t>(column)].empty() &&
                !reader.shown[static_cast<size_t>(column)].empty())
                problem += std::string(problem.empty() ? reader.address + ": " : "; ") +
                           SITE_COLUMN_NAMES[column] + " '" +
                           visibleText(reader.shown[static_cast<size_t>(column)]) +
                           "' is no valid value, its cell is left empty";
        if (!problem.empty())
            problems->push_back(problem);
        rows.push_back(values);
    }
    return rows;
}

struct Applied {
    std::vector<size_t> chosen;    // the plan's entries that were changed
    std::vector<Outcome> outcomes; // by entry
    size_t changed = 0, failed = 0, networksLeft = 0;
};

// The entries apply changes: those with a reader, changes and no obstacle.
static std::vector<size_t> changeable(const Plan &plan)
{
    std::vector<size_t> chosen;
    for (size_t i = 0; i < plan.entries.size(); ++i)
        if (plan.entries[i].reader >= 0 && !plan.entries[i].changes.empty() && plan.entries[i].why.empty())
            chosen.push_back(i);
    return chosen;
}

// Changes every changeable reader, up to 32 at a time; onDone hears of each
// as it is done (one at a time). Readers that cannot be changed count as
// failed.
static Applied applyPlan(const SiteFile &file, const std::vector<Reader> &readers, const Plan &plan,
                         bool network, int timeoutMs,
                         const std::function<void(const PlanEntry &, const Outcome &)> &onDone)
{
    Applied applied;
    applied.chosen = changeable(plan);
    applied.outcomes.resize(plan.entries.size());
    std::mutex lock;
    forEachParallel(applied.chosen.size(), [&](size_t k) {
        const PlanEntry &entry = plan.entries[applied.chosen[k]];
        Outcome outcome = applyEntry(file.rows[entry.row], readers[static_cast<size_t>(entry.reader)], entry,
                                     network, timeoutMs);
        std::lock_guard<std::mutex> hold(lock);
        if (onDone)
            onDone(entry, outcome);
        applied.outcomes[applied.chosen[k]] = outcome;
    });
    for (size_t i : applied.chosen) {
        applied.failed += applied.outcomes[i].failed;
        applied.changed += applied.outcomes[i].changed && !applied.outcomes[i].failed;
        applied.networksLeft += plan.entries[i].network && !network;
    }
    applied.failed += plan.blocked;
    return applied;
}

static int appliedStatus(const Plan &plan, const Applied &applied)
{
    if (applied.failed)
        return failedStatus(applied.failed);
    if (applied.networksLeft)
        return RC_SITE_CHANGES;
    return plan.unmatched + plan.strays.size() > 0 ? RC_SITE_UNMATCHED : RC_OK;
}

// The plan's JSON, each row with what apply did ("applied": null when it
// was not changed), and the counts.
static cJSON *appliedJson(const SiteFile &file, const std::vector<Reader> &readers, const Plan &plan,
                          const Applied &applied)
{
    cJSON *json = planJson(file, readers, plan);
    size_t i = 0;
    for (cJSON *item = cJSON_GetObjectItemCaseSensitive(json, "rows")->child; item; item = item->next, ++i) {
        if (std::find(applied.chosen.begin(), applied.chosen.end(), i) == applied.chosen.end()) {
            cJSON_AddNullToObject(item, "applied");
            continue;
        }
        cJSON *result = cJSON_AddObjectToObject(item, "applied");
        cJSON_AddBoolToObject(result, "ok", !applied.outcomes[i].failed);
        cJSON_AddStringToObject(result, "report", applied.outcomes[i].text.c_str());
    }
    cJSON_AddNumberToObject(json, "changed", static_cast<double>(applied.changed));
    cJSON_AddNumberToObject(json, "failed", static_cast<double>(applied.failed));
    cJSON_AddNumberToObject(json, "networkSetupsLeftOut", static_cast<double>(applied.networksLeft));
    return json;
}

// ------------------------------------------------------------------ commissioning

static cJSON *event(const char *name, int board = 0)
{
    cJSON *json = cJSON_CreateObject();
    cJSON_AddStringToObject(json, "event", name);
    if (board)
        cJSON_AddNumberToObject(json, "board", board);
    return json;
}

static cJSON *withText(cJSON *json, const char *key, const std::string &value)
{
    cJSON_AddStringToObject(json, key, value.c_str());
    return json;
}

static cJSON *withNumber(cJSON *json, const char *key, double value)
{
    cJSON_AddNumberToObject(json, key, value);
    return json;
}

struct Commissioning {
    const SiteSource &source;
    std::string factory;
    int timeoutMs;
    const std::atomic<int> &stop; // 1: stop between boards; 2: stop at once
    const SiteEmit &emit;
    bool warned = false;

    bool abortNow() const { return stop.load() >= 2; }
    void say(const std::string &text, cJSON *json) const { emit(text, json); }
};

// Waits for a new board: one that answers at the factory address with that
// address in its settings. False when a stop came first.
static bool waitForBoard(const Commissioning &run)
{
    in_addr host{};
    parseIpv4(run.factory, &host);
    bool told = false;
    while (run.stop.load() == 0) {
        JsonPtr reply;
        std::string error;
        if (readSetting(host, "net", std::min(run.timeoutMs, 1000), &reply, &error) == RC_OK) {
            const char *ip =
                cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(reply.get(), "Data"), "IP")
                    ->valuestring;
            if (run.factory == ip)
                return true;
            if (!told)
                run.say("  (the reader answering at " + run.factory + " has the address " + visibleText(ip) +
                            " in its settings: no new board)",
                        withText(event("notNew"), "address", ip));
            told = true;
        }
        for (int waited = 0; waited < POLL_PAUSE_MS && run.stop.load() == 0; waited += 100)
            usleep(100000);
    }
    return false;
}

// Waits until nothing answers at the factory address any more (a board that
// failed is taken away). False when a stop came first.
static bool waitUntilGone(const Commissioning &run)
{
    in_addr host{};
    parseIpv4(run.factory, &host);
    while (run.stop.load() == 0) {
        JsonPtr reply;
        std::string error;
        if (readSetting(host, "net", std::min(run.timeoutMs, 1000), &reply, &error) != RC_OK)
            return true;
        for (int waited = 0; waited < POLL_PAUSE_MS && run.stop.load() == 0; waited += 100)
            usleep(100000);
    }
    return false;
}

static std::string groupText(const SiteRow &row, SiteGroup group)
{
    const SiteValues &v = row.values;
    auto given = [&](int column) {
        return v[static_cast<size_t>(column)].empty() ? "(as it is)" : v[static_cast<size_t>(column)];
    };
    switch (group) {
    case GROUP_ID:
        return "id " + v[COL_ID];
    case GROUP_SERVER:
        return "server " + given(COL_SERVER_IP) + ":" + given(COL_SERVER_PORT) + ", code type " +
               given(COL_CODE_TYPE);
    case GROUP_TELEGRAM:
        return "telegram content";
    default:
        break;
    }
    std::string text = "network setup";
    for (int column = COL_IP; column <= COL_MAC; ++column)
        if (!v[static_cast<size_t>(column)].empty())
            text += std::string(" ") + SITE_COLUMN_NAMES[column] + " " + v[static_cast<size_t>(column)];
    return text;
}

// Gives the board at the factory address the row's settings, the network
// setup last, and checks it at its new address. False with the step that
// failed reported.
static bool commissionBoard(Commissioning &run, const SiteRow &row, int board, Reader *after)
{
    in_addr host{};
    parseIpv4(run.factory, &host);
    auto failed = [&](const std::string &step, const std::string &error) {
        cJSON *json = withText(withText(event("failed", board), "step", step), "error", error);
        run.say("  " + step + " FAILED: " + error, withNumber(json, "row", row.row));
        return false;
    };
    Reader fresh;
    if (readReader(run.factory, run.timeoutMs, &fresh) != RC_OK)
        return failed("reading the board", fresh.error);
    cJSON *found =
        withText(withText(event("board", board), "id", fresh.shown[COL_ID]), "mac", fresh.shown[COL_MAC]);
    withText(withText(withNumber(found, "row", row.row), "door", row.values[COL_DOOR]), "ip",
             row.values[COL_IP]);
    run.say("Board " + std::to_string(board) + " at " + run.factory + " (id " + fresh.shown[COL_ID] +
                ", MAC " + fresh.shown[COL_MAC] + "): " + rowName(row) + ", to " + row.values[COL_IP],
            found);
    for (SiteGroup group : {GROUP_ID, GROUP_SERVER, GROUP_TELEGRAM, GROUP_NET}) {
        bool given = false;
        for (int column = SITE_GROUP_INFO[group].first; column <= SITE_GROUP_INFO[group].last; ++column)
            given = given || !row.values[static_cast<size_t>(column)].empty();
        if (!given)
            continue;
        std::string error;
        if (sendGroup(host, row, fresh, group, run.timeoutMs, &error) != RC_OK)
            return failed(groupText(row, group), error);
        run.say("  " + groupText(row, group) + ": stored" + (group == GROUP_NET ? "; the board reboots" : ""),
                withText(withText(event("step", board), "step", SITE_GROUP_INFO[group].what), "text",
                         groupText(row, group)));
        if (run.abortNow())
            return failed("commissioning", "stopped");
        if (run.stop.load() == 1 && !run.warned) {
            run.warned = true;
            run.say("  (stopping after this board; Ctrl-C or Stop again stops at once)",
                    event("stopping", board));
        }
    }
    long long start = monotonicMs();
    std::string error;
    if (!waitForReader(
            row.values[COL_IP], REBOOT_WAIT_MS, run.timeoutMs, [&run] { return run.abortNow(); }, after,
            &error))
        return failed("waiting for the board at " + row.values[COL_IP], error);
    run.say("  back at " + row.values[COL_IP] + " after " + seconds(monotonicMs() - start),
            withText(event("back", board), "ip", row.values[COL_IP]));
    std::string left = differences(row, *after, true);
    if (!left.empty())
        return failed("check", left);
    run.say("  check: every setting as row " + std::to_string(row.row) + " says",
            withText(event("checked", board), "ip", row.values[COL_IP]));
    return true;
}

int siteCommissionRun(const SiteSource &source, const std::string &factory, const in_addr &from,
                      int timeoutMs, const std::atomic<int> &stop, const SiteEmit &emit,
                      std::vector<std::string> *problems)
{
    Commissioning run{source, factory, timeoutMs, stop, emit};
    SiteFile file;
    if (!source.load(&file, problems))
        return RC_USAGE;
    std::vector<Reader> readers;
    long long searchMs = 0, readMs = 0;
    std::string error;
    Options options;
    options.timeoutMs = timeoutMs;
    options.source = from;
    int rc = readSegment(options, &readers, &searchMs, &readMs, &error);
    if (rc != RC_OK) {
        *problems = {error};
        return rc;
    }
    int boards = 0;
    size_t done = 0, failures = 0, left = 0;
    long long runStart = monotonicMs();
    for (bool first = true; stop.load() == 0; first = false) {
        // The file is read again for every board: rows may be added meanwhile.
        if (!first && !source.load(&file, problems))
            return RC_USAGE;
        Plan plan;
        matchRows(file.rows, readers, &plan);
        const SiteRow *next = nullptr;
        size_t onSite = 0, recorded = 0;
        left = 0;
        for (const PlanEntry &entry : plan.entries) {
            const SiteRow &row = file.rows[entry.row];
            if (!row.values[COL_COMMISSIONED].empty()) {
                ++recorded;
            } else if (entry.reader >= 0) {
                ++onSite;
            } else if (row.values[COL_IP].empty() || row.values[COL_IP] == factory) {
                problems->push_back(
                    "row " + std::to_string(row.row) + ": a new board needs an ip of its own in the row" +
                    (row.values[COL_IP].empty() ? "" : " (not the factory address)") + "; nothing was sent");
                return RC_USAGE;
            } else {
                ++left;
                next = next ? next : &row;
            }
        }
        if (first) {
            cJSON *json =
                withNumber(withNumber(withNumber(event("start"), "toCommission", static_cast<double>(left)),
                                      "onSite", static_cast<double>(onSite)),
                           "commissioned", static_cast<double>(recorded));
            run.say(std::to_string(left) + " rows to commission, " + std::to_string(onSite) +
                        " with their reader on the site already, " + std::to_string(recorded) +
                        " recorded as commissioned. New boards come at " + factory + ".",
                    withText(json, "factory", factory));
        }
        if (!next) {
            run.say("Every row is commissioned.", event("allDone"));
            break;
        }
        // A reader the search missed may hold the row's address already.
        std::string holder;
        if (addressInUse(next->values[COL_IP], timeoutMs, &holder)) {
            cJSON *json = withNumber(withText(event("onSite"), "ip", next->values[COL_IP]), "row", next->row);
            run.say(rowName(*next) + " is left out: " + holder + " already", json);
            Reader there;
            readReader(next->values[COL_IP], timeoutMs, &there);
            there.address = next->values[COL_IP];
            readers.push_back(there);
            continue;
        }
        cJSON *waiting = withNumber(withText(event("waiting"), "factory", factory), "row", next->row);
        run.say("Waiting for the next board at " + factory + " (for " + rowName(*next) + ", " +
                    next->values[COL_IP] + ")",
                withText(waiting, "ip", next->values[COL_IP]));
        if (!waitForBoard(run))
            break;
        long long start = monotonicMs();
        Reader after;
        ++boards;
        if (!commissionBoard(run, *next, boards, &after)) {
            ++failures;
            if (run.abortNow())
                break;
            run.say("  board " + std::to_string(boards) +
                        ": its row stays open; take the board away: waiting until nothing answers at " +
                        factory,
                    event("remove", boards));
            if (!waitUntilGone(run))
                break;
            continue;
        }
        std::string stamp = localTimeText();
        if (!source.record(next->values[COL_IP], stamp, &error)) {
            ++failures;
            run.say("  recording FAILED: " + error, withText(event("failed", boards), "error", error));
            break;
        }
        ++done;
        readers.push_back(after);
        run.say("  recorded (commissioned " + stamp + ")", nullptr);
        cJSON *json =
            withText(withText(event("done", boards), "ip", next->values[COL_IP]), "commissioned", stamp);
        withNumber(withNumber(json, "row", next->row), "ms", static_cast<double>(monotonicMs() - start));
        run.say("Board " + std::to_string(boards) + " done in " + seconds(monotonicMs() - start) + ": " +
                    rowName(*next) + " answers at " + next->values[COL_IP] + ".",
                json);
    }
    cJSON *json = withNumber(withNumber(withNumber(event(run.abortNow() ? "aborted" : "stopped"),
                                                   "commissioned", static_cast<double>(done)),
                                        "failed", static_cast<double>(failures)),
                             "left", static_cast<double>(left));
    run.say(std::string(stop.load() ? "Stopped. " : "") + "Commissioned " + std::to_string(done) +
                " boards in " + seconds(monotonicMs() - runStart) + ", " + std::to_string(failures) +
                " failed; " + std::to_string(left) + " rows left to commission.",
            json);
    if (run.abortNow())
        return 130;
    return failures ? failedStatus(failures) : RC_OK;
}

// ------------------------------------------------------------------ for the console

// The segment as the console sees it: searched from `from`, every reader
// read with the command line's default time limit.
static int readSegmentFrom(const in_addr &from, std::vector<Reader> *readers, std::string *error)
{
    Options options;
    options.source = from;
    long long searchMs = 0, readMs = 0;
    return readSegment(options, readers, &searchMs, &readMs, error);
}

int siteExportCsv(const in_addr &from, std::string *csv, size_t *readerCount,
                  std::vector<std::string> *problems, std::string *error)
{
    std::vector<Reader> readers;
    int rc = readSegmentFrom(from, &readers, error);
    if (rc != RC_OK)
        return rc;
    if (readers.empty()) {
        *error =
            "no reader answered the search within " + std::to_string(DEFAULT_DISCOVER_TIMEOUT_MS) + " ms";
        return RC_NO_ANSWER;
    }
    size_t failed = 0;
    *csv = siteFileText(exportRows(readers, problems, &failed));
    *readerCount = readers.size();
    return failed ? failedStatus(failed) : RC_OK;
}

int sitePlanJson(const SiteFile &file, const in_addr &from, JsonPtr *json, std::string *error)
{
    std::vector<Reader> readers;
    int rc = readSegmentFrom(from, &readers, error);
    if (rc != RC_OK)
        return rc;
    Plan plan = makePlan(file, readers);
    json->reset(planJson(file, readers, plan));
    return planStatus(plan);
}

int siteApplyJson(const SiteFile &file, bool network, const in_addr &from, JsonPtr *json, std::string *error)
{
    std::vector<Reader> readers;
    int rc = readSegmentFrom(from, &readers, error);
    if (rc != RC_OK)
        return rc;
    Plan plan = makePlan(file, readers);
    Applied applied = applyPlan(file, readers, plan, network, DEFAULT_REPLY_TIMEOUT_MS, nullptr);
    json->reset(appliedJson(file, readers, plan, applied));
    return appliedStatus(plan, applied);
}

// ------------------------------------------------------------------ the command line

static int commonOptions(const Args &args, const char *const *allowed, Options *options)
{
    int rc = checkOptions(args, "site", allowed);
    if (rc != RC_OK)
        return rc;
    if ((rc = timeoutOption(args, "site", DEFAULT_REPLY_TIMEOUT_MS, &options->timeoutMs)) != RC_OK)
        return rc;
    options->json = hasOption(args, "json");
    options->source.s_addr = htonl(INADDR_ANY);
    if (const std::string *text = optionValue(args, "interface"))
        if (!parseIpv4(*text, &options->source))
            return usageError("site",
                              "--interface needs a local IPv4 address (a.b.c.d), not '" + *text + "'");
    return RC_OK;
}

static void printProblems(const std::string &path, const std::vector<std::string> &problems)
{
    for (const std::string &problem : problems)
        fprintf(stderr, "rfidctl: %s: %s\n", path.c_str(), problem.c_str());
    fprintf(stderr, "rfidctl: %s has errors; nothing was sent to any reader\n", path.c_str());
}

// Reads and checks the file; prints every problem. RC_OK or RC_USAGE.
static int loadFile(const std::string &path, SiteFile *file)
{
    std::vector<std::string> problems;
    if (readSiteFile(path, file, &problems))
        return RC_OK;
    printProblems(path, problems);
    return RC_USAGE;
}

// Reads the segment, printing why when the search itself fails.
static int segment(const Options &options, std::vector<Reader> *readers, long long *searchMs,
                   long long *readMs)
{
    std::string error;
    unsigned long long unlisted = 0;
    Options counted = options;
    counted.unlisted = &unlisted;
    int rc = readSegment(counted, readers, searchMs, readMs, &error);
    if (rc == RC_USAGE)
        return usageError("site", error);
    if (rc != RC_OK)
        fprintf(stderr, "rfidctl: %s\n", error.c_str());
    if (unlisted)
        fprintf(stderr,
                "rfidctl: warning: %llu more answers came from addresses beyond the first %zu readers; they "
                "are left out (any device on the segment can answer a search)\n",
                unlisted, MAX_DISCOVERED_READERS);
    return rc;
}

static int siteExport(const std::string &path, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", "interface", "force", nullptr};
    Options options;
    int rc = commonOptions(args, allowed, &options);
    if (rc != RC_OK)
        return rc;
    if (!hasOption(args, "force") && access(path.c_str(), F_OK) == 0)
        return usageError("site", path + " exists already; give --force to replace it");
    std::vector<Reader> readers;
    long long searchMs = 0, readMs = 0;
    if ((rc = segment(options, &readers, &searchMs, &readMs)) != RC_OK)
        return rc;
    if (readers.empty()) {
        fprintf(stderr, "rfidctl: no reader answered within %d ms; %s was not written\n",
                DEFAULT_DISCOVER_TIMEOUT_MS, path.c_str());
        return RC_NO_ANSWER;
    }
    std::vector<std::string> problems;
    size_t failed = 0;
    std::vector<SiteValues> rows = exportRows(readers, &problems, &failed);
    for (const std::string &problem : problems)
        fprintf(stderr, "rfidctl: %s\n", problem.c_str());
    std::string error;
    if (!writeSiteFile(path, rows, hasOption(args, "force"), &error)) {
        fprintf(stderr, "rfidctl: %s\n", error.c_str());
        return RC_UNREACHABLE;
    }
    if (options.json) {
        JsonPtr json(cJSON_CreateObject());
        cJSON_AddStringToObject(json.get(), "file", path.c_str());
        cJSON_AddNumberToObject(json.get(), "readers", static_cast<double>(readers.size()));
        cJSON_AddNumberToObject(json.get(), "unreadable", static_cast<double>(failed));
        cJSON *list = cJSON_AddArrayToObject(json.get(), "problems");
        for (const std::string &problem : problems)
            cJSON_AddItemToArray(list, cJSON_CreateString(problem.c_str()));
        cJSON_AddNumberToObject(json.get(), "searchMs", static_cast<double>(searchMs));
        cJSON_AddNumberToObject(json.get(), "readMs", static_cast<double>(readMs));
        lineOut(printUnformatted(json.get()));
    } else {
        lineOut("Exported " + std::to_string(readers.size() - failed) + " readers to " + path + " (search " +
                std::to_string(searchMs) + " ms, reading " + std::to_string(readMs) + " ms)" +
                (failed ? "; " + std::to_string(failed) + " could not be read" : "") + ".");
    }
    return failed ? failedStatus(failed) : RC_OK;
}

// The file checked, the segment searched and read, and the plan between them.
static int planFromSegment(const std::string &path, const Options &options, SiteFile *file,
                           std::vector<Reader> *readers, Plan *plan, long long *searchMs, long long *readMs)
{
    int rc = loadFile(path, file);
    if (rc == RC_OK && (rc = segment(options, readers, searchMs, readMs)) == RC_OK)
        *plan = makePlan(*file, *readers);
    return rc;
}

static int sitePlan(const std::string &path, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", "interface", nullptr};
    Options options;
    int rc = commonOptions(args, allowed, &options);
    if (rc != RC_OK)
        return rc;
    SiteFile file;
    std::vector<Reader> readers;
    Plan plan;
    long long searchMs = 0, readMs = 0;
    if ((rc = planFromSegment(path, options, &file, &readers, &plan, &searchMs, &readMs)) != RC_OK)
        return rc;
    if (options.json) {
        JsonPtr json(planJson(file, readers, plan));
        lineOut(printUnformatted(json.get()));
    } else {
        lineOut(path + ": " + std::to_string(file.rows.size()) + " rows; " + std::to_string(readers.size()) +
                " readers answered the search (" + std::to_string(searchMs) + " ms, reading " +
                std::to_string(readMs) + " ms)");
        printPlan(file, readers, plan);
        lineOut(planSummary(path, plan, readers.size()));
    }
    return planStatus(plan);
}

static int siteApply(const std::string &path, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", "interface", "network", "yes", nullptr};
    Options options;
    int rc = commonOptions(args, allowed, &options);
    if (rc != RC_OK)
        return rc;
    bool network = hasOption(args, "network"), yes = hasOption(args, "yes");
    if (!yes && !isatty(STDIN_FILENO))
        return usageError("site",
                          "site apply changes readers; without a terminal to confirm on, give --yes to go "
                          "ahead");
    SiteFile file;
    std::vector<Reader> readers;
    Plan plan;
    long long searchMs = 0, readMs = 0;
    if ((rc = planFromSegment(path, options, &file, &readers, &plan, &searchMs, &readMs)) != RC_OK)
        return rc;
    if (!options.json) {
        printPlan(file, readers, plan);
        lineOut(planSummary(path, plan, readers.size()));
    }
    std::vector<size_t> chosen = changeable(plan);
    std::string networkList;
    for (size_t i : chosen) {
        const PlanEntry &entry = plan.entries[i];
        const std::string &from = readers[static_cast<size_t>(entry.reader)].address;
        const std::string &to = file.rows[entry.row].values[COL_IP];
        if (entry.network && network)
            networkList += "\n  " + from + " -> " + (to.empty() ? from : to);
    }
    if (!yes && !chosen.empty()) {
        if (!askYes("Change " + std::to_string(chosen.size()) + " readers as shown?")) {
            fprintf(stderr, "rfidctl: cancelled; nothing was sent\n");
            return RC_USAGE;
        }
        if (!networkList.empty() && !askYes("These readers get a new network setup and REBOOT:" +
                                            networkList + "\nGo ahead with them?")) {
            network = false;
            fprintf(stderr, "rfidctl: the network setups are left out\n");
        }
    }
    Applied applied = applyPlan(
        file, readers, plan, network, options.timeoutMs, [&](const PlanEntry &entry, const Outcome &outcome) {
            if (!options.json)
                lineOut(readers[static_cast<size_t>(entry.reader)].address + "  row " +
                        std::to_string(file.rows[entry.row].row) + ": " + outcome.text);
        });
    if (options.json) {
        JsonPtr json(appliedJson(file, readers, plan, applied));
        lineOut(printUnformatted(json.get()));
    } else if (!applied.chosen.empty()) {
        // (With nothing chosen the plan's summary has said so already.)
        lineOut("Applied: " + std::to_string(applied.changed) + " readers changed, " +
                std::to_string(applied.failed) + " failed" +
                (applied.networksLeft ? ", " + std::to_string(applied.networksLeft) +
                                            " network setups left out (give --network)"
                                      : "") +
                ".");
    }
    return appliedStatus(plan, applied);
}

static int siteCommission(const std::string &path, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", "interface", "factory", nullptr};
    Options options;
    int rc = commonOptions(args, allowed, &options);
    if (rc != RC_OK)
        return rc;
    std::string factory = FACTORY_ADDRESS;
    if (const std::string *text = optionValue(args, "factory")) {
        in_addr ignored{};
        if (!parseIpv4(*text, &ignored))
            return usageError("site", "--factory needs an IPv4 address (a.b.c.d), not '" + *text + "'");
        factory = *text;
    }
    SiteSource source{[&path](SiteFile *file, std::vector<std::string> *problems) {
                          return readSiteFile(path, file, problems);
                      },
                      [&path](const std::string &ip, const std::string &stamp, std::string *error) {
                          return recordCommissioned(path, ip, stamp, error);
                      }};
    SiteEmit emit = [&options, &path](const std::string &text, cJSON *json) {
        JsonPtr owned(json);
        if (options.json && json)
            lineOut(printUnformatted(json));
        else if (!options.json && !text.empty())
            lineOut(text.rfind("  recorded", 0) == 0 ? "  recorded in " + path + text.substr(10) : text);
    };
    // Ctrl-C and SIGTERM are counted; the run acts on them between steps.
    struct sigaction action {
    };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (!options.json)
        lineOut("Commissioning from " + path + "; Ctrl-C between boards stops.");
    std::vector<std::string> problems;
    rc = siteCommissionRun(source, factory, options.source, options.timeoutMs, interrupts, emit, &problems);
    if (rc == RC_USAGE)
        printProblems(path, problems);
    else if (!problems.empty())
        fprintf(stderr, "rfidctl: %s\n", problems[0].c_str());
    return rc;
}

int runSite(const Args &args)
{
    if (args.words.empty())
        return usageError("site", "site what? export, plan, apply or commission, then the site file");
    const std::string &what = args.words[0];
    if (what != "export" && what != "plan" && what != "apply" && what != "commission")
        return usageError("site",
                          "unknown site command '" + what + "': use export, plan, apply or commission");
    if (args.words.size() < 2)
        return usageError("site", "site " + what + " needs the site file: rfidctl site " + what + " FILE");
    if (args.words.size() > 2)
        return usageError("site",
                          "unexpected '" + args.words[2] + "' after site " + what + " " + args.words[1]);
    const std::string &path = args.words[1];
    if (what == "export")
        return siteExport(path, args);
    if (what == "plan")
        return sitePlan(path, args);
    if (what == "apply")
        return siteApply(path, args);
    return siteCommission(path, args);
}
