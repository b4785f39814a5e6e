/*
 * Help texts and usage errors.
 */
#include "tools/rfidctl/rfidctl.h"

#include <cstdio>
#include <cstring>

static const char MAIN_HELP[] =
    "Usage:\n"
    "  rfidctl listen PORT [--json] [--bind ADDR]\n"
    "  rfidctl discover [--timeout MS] [--interface ADDR] [--json]\n"
    "  rfidctl HOST get id|net|server|telegram [--json] [--timeout MS]\n"
    "  rfidctl HOST set id N\n"
    "  rfidctl HOST set server --ip A --port P --code-type T\n"
    "  rfidctl HOST set telegram --read-style N --key-type N --key HEX --block N\n"
    "                            --first-char N --last-char N\n"
    "  rfidctl HOST set net [--ip A] [--mask A] [--gateway A] [--dns A] [--mac M]\n"
    "                       [--udp --old-ip A] [--yes]\n"
    "  rfidctl HOST control BITS\n"
    "  rfidctl console [--bind ADDR:PORT] [--listen PORT] [--interface ADDR]\n"
    "  rfidctl site export|plan|apply|commission FILE [options]\n"
    "  rfidctl help [COMMAND]          or: rfidctl COMMAND --help\n"
    "\n"
    "Tool for integrators of rfidd card readers.\n"
    "\n"
    "  listen    run an upstream server and print every card number received\n"
    "  discover  find readers on the local network (UDP broadcast to port 8000)\n"
    "  get       read a reader's settings (JSON service, TCP port 8001)\n"
    "  set       change a reader's settings (TCP port 8001; set net also UDP 8000)\n"
    "  control   switch a reader's relay, buzzer and lights (TCP port 10001)\n"
    "  console   a web page on this machine that finds, shows and configures\n"
    "            every reader on the segment, and shows cards as they arrive\n"
    "  site      bring every reader of the segment to the settings of one site\n"
    "            file (CSV): export, plan, apply; commission new boards\n"
    "\n"
    "HOST is the reader's IPv4 address (a.b.c.d). rfidctl talks to that address\n"
    "only. Output is meant for people; --json prints JSON for scripts instead.\n"
    "The set and control commands also accept --json and --timeout MS (default\n"
    "2000 ms for get, set and control).\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  usage error, invalid argument, or a network change not confirmed\n"
    "  2  no answer: nothing came back within the time limit, the reader closed\n"
    "     the connection without answering, or discover found no reader\n"
    "  3  connection refused, host unreachable, no connection within the time\n"
    "     limit, or another network or system failure (listen: the port cannot\n"
    "     be opened, or standard output is gone)\n"
    "  4  the reader answered \"response\": 0 (it could not carry out the command)\n"
    "  5  the reply was malformed (not a JSON object, or members missing)\n"
    "  10, 11, 100-255  rfidctl site (see rfidctl help site)\n";

static const char LISTEN_HELP[] =
    "Usage: rfidctl listen PORT [--json] [--bind ADDR]\n"
    "\n"
    "Runs the upstream server that readers deliver card numbers to. Every\n"
    "connection carries one card number: all bytes received until the reader\n"
    "closes the connection. Each card is printed as one line:\n"
    "\n"
    "  2026-12-06 18:00:00.123 127.0.0.1:40000 12345678\\r\n"
    "\n"
    "local time with milliseconds, the reader's address and port, and the text.\n"
    "A carriage return is shown as \\r, a backslash as \\\\, other control bytes\n"
    "and bytes above 0x7E as \\xNN.\n"
    "\n"
    "  PORT         TCP port to listen on, 0-65535 (0: any free port)\n"
    "  --bind ADDR  local IPv4 address to listen on (default 0.0.0.0)\n"
    "  --json       print one JSON object a line instead:\n"
    "               {\"time\":\"...\",\"peer\":\"127.0.0.1:40000\",\"card\":\"12345678\\r\"}\n"
    "               (bytes above 0x7F appear as \\u0080-\\u00FF, one per byte)\n"
    "\n"
    "\"rfidctl: listening on ADDR:PORT\" goes to standard error once the port is\n"
    "open; cards go to standard output, flushed line by line. A connection is\n"
    "closed after 10 s without data, and after more than 1024 bytes (the card is\n"
    "then printed cut, marked \" [truncated]\", in JSON \"truncated\":true).\n"
    "At most 64 connections are served at once; more wait in the backlog.\n"
    "Stops with exit status 0 on SIGINT (Ctrl-C) or SIGTERM.\n";

static const char DISCOVER_HELP[] =
    "Usage: rfidctl discover [--timeout MS] [--interface ADDR] [--json]\n"
    "\n"
    "Broadcasts the reader search to UDP port 8000 (255.255.255.255) and lists\n"
    "the address of every reader that answers, once each, in the order the\n"
    "answers arrive. Any device on the network can answer: at most 4096\n"
    "readers are listed, and answers from further addresses are counted in a\n"
    "warning on standard error (and in \"unlisted\").\n"
    "\n"
    "  --timeout MS      how long to collect answers (default 1000; the search\n"
    "                    ends then, however many answers keep coming)\n"
    "  --interface ADDR  send from this local IPv4 address (and so from its\n"
    "                    network interface)\n"
    "  --json            print {\"readers\":[\"a.b.c.d\",...],\"unlisted\":N} at\n"
    "                    the end\n"
    "\n"
    "Exit status 2 when no reader answered.\n";

static const char GET_HELP[] =
    "Usage: rfidctl HOST get id|net|server|telegram [--json] [--timeout MS]\n"
    "\n"
    "Reads settings from the reader at HOST over its JSON service (TCP 8001).\n"
    "\n"
    "  id        the reader id\n"
    "  net       the network settings: IP, Mask, Gateway, DNS, MAC\n"
    "  server    the upstream server: address, port, code type\n"
    "  telegram  how cards are read: read style, key type, key, block, first\n"
    "            and last character of the block slice\n"
    "\n"
    "  --json        print the reply's data as one JSON object:\n"
    "                id: {\"devId\":N}; net: {\"IP\":...,\"Mask\":...,\"Gateway\":...,\n"
    "                \"DNS\":...,\"MAC\":...}; server: {\"type\":N,\"address\":...,\n"
    "                \"port\":\"P\"}; telegram: {\"readStyle\":N,\"keyType\":N,\n"
    "                \"key\":\"HEX\",\"block\":N,\"firstChar\":N,\"lastChar\":N}\n"
    "  --timeout MS  how long to wait for the connection and for the reply\n"
    "                (default 2000)\n";

static const char SET_HELP[] =
    "Usage:\n"
    "  rfidctl HOST set id N\n"
    "  rfidctl HOST set server --ip A --port P --code-type T\n"
    "  rfidctl HOST set telegram --read-style N --key-type N --key HEX --block N\n"
    "                            --first-char N --last-char N\n"
    "  rfidctl HOST set net [--ip A] [--mask A] [--gateway A] [--dns A] [--mac M]\n"
    "                       [--udp --old-ip A] [--yes]\n"
    "\n"
    "Changes settings of the reader at HOST over its JSON service (TCP 8001).\n"
    "\n"
    "  id N            reader id, an integer (-2147483648 to 2147483647)\n"
    "  server          where the reader delivers card numbers:\n"
    "    --ip A          server IPv4 address\n"
    "    --port P        server TCP port, 0-65535\n"
    "    --code-type T   0: card number as read; 1: followed by a carriage return\n"
    "  telegram        how the reader reads cards (all six options needed,\n"
    "                  every N 0-255):\n"
    "    --read-style N  0: card UID only; else UID and a slice of one block\n"
    "    --key-type N    0: authenticate with key A; else with key B\n"
    "    --key HEX       the 6-byte card key as 12 hexadecimal digits\n"
    "    --block N       number of the card block to read\n"
    "    --first-char N  1-based position in the block's 32-digit hex text of\n"
    "                    the first character appended to the UID (0: none)\n"
    "    --last-char N   position of the last character appended\n"
    "  net             the reader's network settings; settings not given stay.\n"
    "                  The reader stores them and REBOOTS:\n"
    "    --ip A, --mask A, --gateway A, --dns A   IPv4 addresses\n"
    "    --mac M         MAC address, six pairs of hex digits joined by ':'\n"
    "    --udp           send over UDP port 8000 instead of TCP (HOST may then be\n"
    "                    255.255.255.255 to reach a reader with a wrong address);\n"
    "                    no answer ever comes over UDP\n"
    "    --old-ip A      with --udp: the reader's current IP; only the reader\n"
    "                    whose settings hold this address takes the change\n"
    "    --yes           do not ask for confirmation (otherwise asked on the\n"
    "                    terminal; without a terminal set net refuses)\n"
    "\n"
    "  --json          print the reader's reply as JSON, e.g. {\"response\":1}\n"
    "  --timeout MS    how long to wait for the connection and the reply\n"
    "                  (default 2000)\n"
    "\n"
    "Exit status 4 when the reader answers \"response\": 0 (it could not store\n"
    "the change).\n";

static const char CONTROL_HELP[] =
    "Usage: rfidctl HOST control BITS [--json] [--timeout MS]\n"
    "\n"
    "Sends one bit-string command to the reader's device-control port (TCP\n"
    "10001), which switches the reader module's relay, buzzer and lights. The\n"
    "reader never answers, so success means only that the command was sent.\n"
    "\n"
    "BITS is 6 or 12 of the characters 0 and 1, optionally after an upper-case\n"
    "L. Each group of three bits gives one value, in order relay, buzzer,\n"
    "light 1, light 2: 4*b1 + 2*b2 + b3 (0-7). After L the relay, buzzer and\n"
    "light 2 groups count in tens (0-70).\n"
    "\n"
    "  010001          relay 2, buzzer 1\n"
    "  L010001101011   relay 20, buzzer 10, light 1 5, light 2 30\n"
    "\n"
    "  --json        print what was sent as JSON\n"
    "  --timeout MS  how long to wait for the connection (default 2000)\n";

static const char CONSOLE_HELP[] =
    "Usage: rfidctl console [--bind ADDR:PORT] [--listen PORT] [--interface ADDR]\n"
    "\n"
    "Runs a web page for commissioning readers: it lists the readers that\n"
    "answer the search broadcast with their id, server, telegram content and\n"
    "network settings, changes id, server and telegram content of one reader\n"
    "or of many at once, sets up the network of one reader (which reboots it),\n"
    "switches relay, buzzer and lights, and on its Site panel plans, applies,\n"
    "exports and commissions a site file as rfidctl site does. It speaks to\n"
    "the readers exactly as discover, get, set, control and site do. Open the\n"
    "printed URL in a browser on this machine:\n"
    "\n"
    "  Console: http://127.0.0.1:8080/?token=3f9c...\n"
    "\n"
    "The token is drawn at random at every start. The page exchanges it for a\n"
    "session cookie on first load and drops it from the address bar; API calls\n"
    "need the cookie or the token in the header X-Console-Token. Requests whose\n"
    "Host header is not the console's address, and changes sent from another\n"
    "web page (Origin) or not as application/json, are refused, so other web\n"
    "pages cannot use the console. Newly discovered readers are marked new and\n"
    "stay unselected until you select them.\n"
    "\n"
    "  --bind ADDR:PORT  where the page is served (default 127.0.0.1:8080; port\n"
    "                    0 picks a free one). Any address other than 127.x.x.x\n"
    "                    lets other hosts reach the page: a warning says so\n"
    "  --listen PORT     also run the upstream server (as rfidctl listen PORT\n"
    "                    does, on every address) and show each card number on\n"
    "                    the page as it arrives; one button points the selected\n"
    "                    readers' server at this machine and that port\n"
    "  --interface ADDR  send the search from this local IPv4 address (and so\n"
    "                    from its network interface)\n"
    "\n"
    "A reader's row is read within 2000 ms in all; a search ends after 1000 ms\n"
    "and lists at most 4096 readers. Stops with exit status 0 on SIGINT\n"
    "(Ctrl-C) or SIGTERM; 1 for a wrong option, 3 when the address or port\n"
    "cannot be opened. docs/console.md describes the API.\n";

static const char SITE_HELP[] =
    "Usage:\n"
    "  rfidctl site export FILE [--force]\n"
    "  rfidctl site plan FILE\n"
    "  rfidctl site apply FILE [--network] [--yes]\n"
    "  rfidctl site commission FILE [--factory ADDR]\n"
    "  each also with [--interface ADDR] [--timeout MS] [--json]\n"
    "\n"
    "Brings every reader of the segment to the settings of one site file: CSV\n"
    "with a header row and one row per reader, as a spreadsheet saves it. The\n"
    "columns (any order; all but door and ip or find may be left out):\n"
    "\n"
    "  door          a label, e.g. the door the reader opens\n"
    "  find          how to find the reader: its current address a.b.c.d, or\n"
    "                id N for the reader whose id is N; empty: the reader at ip\n"
    "  id            reader id\n"
    "  ip, mask, gateway, dns, mac      network setup (changing it reboots)\n"
    "  server-ip, server-port, code-type\n"
    "  read-style, key-type, key, block, first-char, last-char\n"
    "  commissioned  filled in by commission\n"
    "\n"
    "Values follow the rules of rfidctl set; a key may be written after 0x (a\n"
    "spreadsheet keeps it as text then). An empty cell keeps the reader's\n"
    "value. Every value is checked before anything is sent: a bad one is named\n"
    "by row and column, so are ids, ips, macs and finds given twice, and\n"
    "nothing goes to any reader. A row finds its reader at its find address\n"
    "(or id), else where the row puts it (the change was made already).\n"
    "\n"
    "  export FILE   searches the segment and writes every reader's settings\n"
    "                as a new site file (--force: replace an existing one)\n"
    "  plan FILE     searches, matches rows to readers and shows per reader\n"
    "                what would change; lists rows without a reader and\n"
    "                readers without a row\n"
    "  apply FILE    makes the changes (asks first on a terminal; --yes does\n"
    "                not ask), id, server and telegram content first, then\n"
    "                with --network the network setups, each of which reboots\n"
    "                its reader and is awaited at its new address (up to\n"
    "                120 s); reads every changed reader back and reports it\n"
    "  commission FILE\n"
    "                waits for a new board at the factory address (--factory,\n"
    "                default 192.168.0.100, rfidd-provision's), gives it the\n"
    "                next row not yet commissioned (id, server, telegram\n"
    "                content, then its network setup), waits for it at its new\n"
    "                address, checks every setting, records the time in the\n"
    "                row's commissioned cell and waits for the next board.\n"
    "                Rows whose reader answers already are left alone. Ctrl-C\n"
    "                while waiting stops; during a board it stops after it\n"
    "\n"
    "  --interface ADDR  search from this local IPv4 address (1000 ms window)\n"
    "  --timeout MS      how long to wait for each reply (default 2000)\n"
    "  --json            export, plan, apply: one JSON object at the end;\n"
    "                    commission: one JSON object a line for each event\n"
    "\n"
    "Exit status:\n"
    "  0    export: every reader written; plan, apply: every reader matches\n"
    "       its row; commission: every row done, or stopped without failure\n"
    "  1    usage error, or the file has errors (nothing was sent)\n"
    "  2    export: no reader answered (no file written)\n"
    "  3    the search could not be sent, or the file could not be written\n"
    "  10   plan: apply would change readers; apply: network setups left out\n"
    "  11   nothing to change, but rows without a reader, readers without a\n"
    "       row, or readers that cannot be changed are listed\n"
    "  100+N  N readers (boards) failed: could not be read, changed or\n"
    "       checked (255: 155 or more)\n"
    "  130  commission stopped by a second Ctrl-C during a board\n";

struct HelpTopic {
    const char *name;
    const char *text;
};

static const HelpTopic TOPICS[] = {
    {"listen", LISTEN_HELP}, {"discover", DISCOVER_HELP}, {"get", GET_HELP},
    {"set", SET_HELP},       {"control", CONTROL_HELP}, {"console", CONSOLE_HELP},
    {"site", SITE_HELP},
};

bool isHelpTopic(const std::string &topic)
{
    for (const HelpTopic &entry : TOPICS)
        if (topic == entry.name)
            return true;
    return false;
}

void printHelp(const std::string &topic)
{
    const char *text = MAIN_HELP;
    for (const HelpTopic &entry : TOPICS)
        if (topic == entry.name)
            text = entry.text;
    fputs(text, stdout);
    fflush(stdout);
}

int usageError(const std::string &topic, const std::string &message)
{
    fprintf(stderr, "rfidctl: %s\n", message.c_str());
    if (isHelpTopic(topic))
        fprintf(stderr, "Try 'rfidctl help %s'.\n", topic.c_str());
    else
        fprintf(stderr, "Try 'rfidctl --help'.\n");
    return RC_USAGE;
}
