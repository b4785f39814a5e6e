/*
 * rfidctl: the integrators' tool for rfidd card readers.
 *
 *   listen    upstream server that prints every card number a reader uploads
 *   discover  finds readers with the UDP search broadcast (port 8000)
 *   get/set   reads and changes settings over the JSON service (TCP 8001),
 *             set net also over UDP 8000
 *   control   sends a relay/buzzer/light bit string (TCP 10001)
 *   console   a local web page that does all of these for many readers
 *   site      a whole segment against one site file: export, plan, apply,
 *             commission
 *
 * Shared pieces of the tool: exit codes, the parsed command line, argument
 * checks, and a few socket and text helpers.
 */
#pragma once

#include <netinet/in.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// Exit codes (documented in the help text).
enum {
    RC_OK = 0,          // success
    RC_USAGE = 1,       // usage error, invalid argument, change not confirmed
    RC_NO_ANSWER = 2,   // no answer within the time limit
    RC_UNREACHABLE = 3, // connection refused, unreachable, other network failure
    RC_REFUSED = 4,     // the reader answered "response": 0
    RC_MALFORMED = 5,   // the reply could not be understood
    // rfidctl site
    RC_SITE_CHANGES = 10,   // plan: apply would change readers
    RC_SITE_UNMATCHED = 11, // plan: nothing to change, but rows or readers are left unmatched
    RC_SITE_FAILED = 100,   // 100 + the number of readers (boards) that failed, at most 255
};

// Fixed ports of the reader.
inline constexpr int READER_UDP_PORT = 8000;
inline constexpr int READER_CONFIG_PORT = 8001;
inline constexpr int READER_CONTROL_PORT = 10001;

inline constexpr int DEFAULT_REPLY_TIMEOUT_MS = 2000;
inline constexpr int DEFAULT_DISCOVER_TIMEOUT_MS = 1000;

// The command line after splitting: the words (command, host, values) in
// order, and the "--name value" / "--flag" options by name (without "--").
struct Args {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> options;
    bool help = false;
};

// help.cpp
void printHelp(const std::string &topic);
bool isHelpTopic(const std::string &topic);
// Prints "rfidctl: MESSAGE" and a pointer to the help of `topic`; returns RC_USAGE.
int usageError(const std::string &topic, const std::string &message);

// args (main.cpp)
const std::string *optionValue(const Args &args, const char *name);
bool hasOption(const Args &args, const char *name);
// Returns RC_OK when every option given is one of `allowed` (a null-ended
// list), else reports the first other one as a usage error of `topic`.
int checkOptions(const Args &args, const std::string &topic, const char *const *allowed);

// util.cpp: argument checks. Each returns false for anything but the exact form.
bool parseIpv4(const std::string &text, in_addr *address);
bool parseInteger(const std::string &text, long long min, long long max, long long *value);
bool isHexKey(const std::string &text); // exactly 12 hexadecimal digits
bool isMacAddress(const std::string &text); // six pairs of hex digits joined by ':'
// --timeout MS (1..600000); `fallback` when not given. RC_OK or RC_USAGE.
int timeoutOption(const Args &args, const std::string &topic, int fallback, int *timeoutMs);

// util.cpp: text
std::string localTimeText(); // "YYYY-MM-DD HH:MM:SS.mmm"
// Printable rendering of received bytes: CR as \r, backslash as \\, other
// control bytes and bytes above 0x7E as \xNN.
std::string visibleText(const std::string &bytes);
// JSON string literal (with quotes); bytes above 0x7F become \u0080..\u00FF.
std::string jsonString(const std::string &bytes);
std::string addressText(const in_addr &address);
std::string endpointText(const sockaddr_in &address);

// util.cpp: sockets
long long monotonicMs();
// Connects a TCP socket to address:port within timeoutMs. Returns the
// descriptor, still non-blocking (its users poll), or -1 with the reason in
// *error (connection refused, unreachable, ...: RC_UNREACHABLE).
int connectWithin(const in_addr &address, int port, int timeoutMs, std::string *error);
// A UDP socket that may send broadcasts, or -1 with the reason in *error.
int openBroadcastSocket(std::string *error);

// listen.cpp: the upstream server that readers upload card numbers to.
struct Card {
    std::string time; // localTimeText() at the close of the connection
    std::string peer; // the reader's address and port
    std::string data; // everything it sent
    bool truncated = false;
};
// The card as `listen --json` prints it (one JSON object, no line end).
std::string cardJson(const Card &card);
// The listening socket of the server; -1 with the reason in *error.
int openCardListener(const in_addr &address, int port, std::string *error);
// Serves readers' connections on `listener` and hands each card to onCard
// until `stopFd` becomes readable (RC_OK) or onCard returns false
// (RC_UNREACHABLE).
int serveCards(int listener, int stopFd, const std::function<bool(const Card &)> &onCard);

// The subcommands.
int runListen(const Args &args);
int runDiscover(const Args &args);
int runGet(const in_addr &host, const Args &args);
int runSet(const in_addr &host, const Args &args);
int runControl(const in_addr &host, const Args &args);
int runConsole(const Args &args);
int runSite(const Args &args);
