/*
 * rfidctl: command line splitting and dispatch to the subcommands.
 *
 * Options start with "--" (or are "-h") and may stand anywhere after the
 * program name; "--name=value" works as well as "--name value"; "--" ends
 * the options. Everything else is a word: the command, HOST, values.
 */
#include "tools/rfidctl/rfidctl.h"

#include <signal.h>

#include <cstdio>
#include <cstring>

struct OptionKind {
    const char *name;
    bool takesValue;
};

static const OptionKind OPTIONS[] = {
    {"help", false},      {"json", false},       {"yes", false},       {"udp", false},
    {"bind", true},       {"interface", true},   {"timeout", true},    {"ip", true},
    {"mask", true},       {"gateway", true},     {"dns", true},        {"mac", true},
    {"port", true},       {"code-type", true},   {"read-style", true}, {"key-type", true},
    {"key", true},        {"block", true},       {"first-char", true}, {"last-char", true},
    {"old-ip", true},     {"listen", true},      {"network", false},   {"force", false},
    {"factory", true},
};

const std::string *optionValue(const Args &args, const char *name)
{
    for (const auto &option : args.options)
        if (option.first == name)
            return &option.second;
    return nullptr;
}

bool hasOption(const Args &args, const char *name) { return optionValue(args, name) != nullptr; }

int checkOptions(const Args &args, const std::string &topic, const char *const *allowed)
{
    for (const auto &option : args.options) {
        bool known = false;
        for (const char *const *name = allowed; *name; ++name)
            if (option.first == *name)
                known = true;
        if (!known)
            return usageError(topic, "option --" + option.first + " does not apply to '" + topic + "'");
    }
    return RC_OK;
}

// Splits argv into words and options. RC_OK or a usage error.
static int splitArgs(int argc, char **argv, Args *args)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
            args->words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h") {
            args->help = true;
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool inlineValue = false;
        size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            inlineValue = true;
        }
        const OptionKind *kind = nullptr;
        for (const OptionKind &candidate : OPTIONS)
            if (name == candidate.name)
                kind = &candidate;
        if (!kind)
            return usageError("", "unknown option --" + name);
        if (kind->takesValue && !inlineValue) {
            if (i + 1 >= argc)
                return usageError("", "option --" + name + " needs a value");
            value = argv[++i];
        } else if (!kind->takesValue && inlineValue) {
            return usageError("", "option --" + name + " takes no value");
        }
        if (name == "help") {
            args->help = true;
            continue;
        }
        if (optionValue(*args, kind->name))
            return usageError("", "option --" + name + " given twice");
        args->options.emplace_back(name, value);
    }
    return RC_OK;
}

static bool isHostCommand(const std::string &word) { return word == "get" || word == "set" || word == "control"; }

int main(int argc, char **argv)
{
    // A reader that drops the connection must not end the tool.
    signal(SIGPIPE, SIG_IGN);

    Args args;
    int rc = splitArgs(argc, argv, &args);
    if (rc != RC_OK)
        return rc;

    if (args.words.empty()) {
        if (args.help) {
            printHelp("");
            return RC_OK;
        }
        return usageError("", "missing command");
    }

    const std::string first = args.words[0];
    if (first == "help") {
        std::string topic = args.words.size() > 1 ? args.words[1] : "";
        if (!topic.empty() && !isHelpTopic(topic))
            return usageError("", "no help on '" + topic +
                                      "'; topics: listen, discover, get, set, control, console, site");
        printHelp(topic);
        return RC_OK;
    }
    if (args.help) {
        std::string topic = first;
        if (!isHelpTopic(topic) && args.words.size() > 1)
            topic = args.words[1];
        printHelp(isHelpTopic(topic) ? topic : "");
        return RC_OK;
    }

    if (first == "listen" || first == "discover" || first == "console" || first == "site") {
        Args rest = args;
        rest.words.erase(rest.words.begin());
        if (first == "console")
            return runConsole(rest);
        if (first == "site")
            return runSite(rest);
        return first == "listen" ? runListen(rest) : runDiscover(rest);
    }
    if (isHostCommand(first))
        return usageError(first, "'" + first + "' needs the reader's address first: rfidctl HOST " + first + " ...");

    in_addr host{};
    if (!parseIpv4(first, &host))
        return usageError("", "'" + first + "' is neither a command nor an IPv4 address (a.b.c.d)");
    if (args.words.size() < 2)
        return usageError("", "missing command after " + first + ": get, set or control");
    const std::string command = args.words[1];
    if (!isHostCommand(command))
        return usageError("", "unknown command '" + command + "' after " + first + ": use get, set or control");

    Args rest = args;
    rest.words.erase(rest.words.begin(), rest.words.begin() + 2);
    if (command == "get")
        return runGet(host, rest);
    if (command == "set")
        return runSet(host, rest);
    return runControl(host, rest);
}
