/*
 * rfidctl's command line: help texts, and the arguments it refuses before it
 * talks to anything (exit code 1, a message on standard error).
 */
#include "tests/tools/rfidctl_support.h"

#include <gtest/gtest.h>

using rfidctltest::rfidctl;
using rfidctltest::Outcome;

namespace {

TEST(RfidctlArgs, HelpOfTheToolListsEveryCommandAndTheExitCodes)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"help"}}) {
        Outcome run = rfidctl(args);
        EXPECT_EQ(run.status, 0) << args[0];
        for (const char *needle :
             {"rfidctl listen PORT", "rfidctl discover", "rfidctl HOST get id|net|server|telegram",
              "rfidctl HOST set id N", "rfidctl HOST set server --ip A --port P --code-type T",
              "rfidctl HOST set telegram --read-style N", "rfidctl HOST set net", "rfidctl HOST control BITS",
              "Exit status:", "\"response\": 0"})
            EXPECT_NE(run.output.find(needle), std::string::npos) << args[0] << " lacks " << needle;
    }
}

TEST(RfidctlArgs, EverySubcommandHasItsOwnHelp)
{
    struct Case {
        std::vector<std::string> args;
        const char *needle;
    };
    const Case cases[] = {
        {{"help", "listen"}, "Usage: rfidctl listen PORT"},
        {{"listen", "--help"}, "Usage: rfidctl listen PORT"},
        {{"help", "discover"}, "Usage: rfidctl discover"},
        {{"discover", "--help"}, "Usage: rfidctl discover"},
        {{"help", "get"}, "Usage: rfidctl HOST get"},
        {{"get", "--help"}, "Usage: rfidctl HOST get"},
        {{"127.0.0.1", "get", "--help"}, "Usage: rfidctl HOST get"},
        {{"help", "set"}, "rfidctl HOST set telegram"},
        {{"set", "--help"}, "rfidctl HOST set telegram"},
        {{"127.0.0.1", "set", "net", "--help"}, "rfidctl HOST set net"},
        {{"help", "control"}, "Usage: rfidctl HOST control BITS"},
        {{"control", "-h"}, "Usage: rfidctl HOST control BITS"},
    };
    for (const Case &c : cases) {
        Outcome run = rfidctl(c.args);
        std::string shown = c.args[0] + " " + c.args[1];
        EXPECT_EQ(run.status, 0) << shown;
        EXPECT_NE(run.output.find(c.needle), std::string::npos) << shown << ":\n" << run.output;
        // A subcommand's help is not the whole tool's help.
        EXPECT_EQ(run.output.find("Exit status:"), std::string::npos) << shown;
    }
}

TEST(RfidctlArgs, HelpOnAnUnknownTopicIsAUsageError)
{
    Outcome run = rfidctl({"help", "frobnicate"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("rfidctl: "), std::string::npos);
}

// Each of these must be refused with exit code 1 before any connection: the
// message names the problem.
TEST(RfidctlArgs, BadArgumentsAreRefusedWithExitCode1)
{
    struct Case {
        std::vector<std::string> args;
        const char *message; // part of the error message
    };
    const Case cases[] = {
        {{}, "missing command"},
        {{"frobnicate"}, "neither a command nor an IPv4 address"},
        {{"get", "id"}, "needs the reader's address first"},
        {{"300.1.1.1", "get", "id"}, "neither a command nor an IPv4 address"},
        {{"127.0.0.1"}, "missing command"},
        {{"127.0.0.1", "reboot"}, "unknown command 'reboot'"},
        {{"127.0.0.1", "get"}, "get what?"},
        {{"127.0.0.1", "get", "colour"}, "cannot get 'colour'"},
        {{"127.0.0.1", "get", "id", "extra"}, "unexpected 'extra'"},
        {{"127.0.0.1", "get", "id", "--ip", "1.2.3.4"}, "--ip does not apply"},
        {{"127.0.0.1", "get", "id", "--timeout", "0"}, "--timeout must be"},
        {{"127.0.0.1", "get", "id", "--timeout", "soon"}, "--timeout must be"},
        {{"127.0.0.1", "get", "id", "--timeout"}, "--timeout needs a value"},
        {{"127.0.0.1", "get", "id", "--json=yes"}, "--json takes no value"},
        {{"127.0.0.1", "get", "id", "--frob"}, "unknown option --frob"},
        {{"127.0.0.1", "get", "id", "--json", "--json"}, "given twice"},
        {{"127.0.0.1", "set"}, "set what?"},
        {{"127.0.0.1", "set", "colour"}, "cannot set 'colour'"},
        {{"127.0.0.1", "set", "id"}, "needs the new id"},
        {{"127.0.0.1", "set", "id", "abc"}, "reader id must be an integer"},
        {{"127.0.0.1", "set", "id", "2147483648"}, "reader id must be an integer"},
        {{"127.0.0.1", "set", "id", "1.5"}, "reader id must be an integer"},
        {{"127.0.0.1", "set", "server", "--port", "9000", "--code-type", "0"}, "missing --ip"},
        {{"127.0.0.1", "set", "server", "--ip", "10.0.0", "--port", "9000", "--code-type", "0"}, "--ip needs an IPv4"},
        {{"127.0.0.1", "set", "server", "--ip", "10.0.0.256", "--port", "9000", "--code-type", "0"},
         "--ip needs an IPv4"},
        {{"127.0.0.1", "set", "server", "--ip", "10.0.0.5", "--port", "65536", "--code-type", "0"},
         "--port must be a number from 0 to 65535"},
        {{"127.0.0.1", "set", "server", "--ip", "10.0.0.5", "--port", "-1", "--code-type", "0"},
         "--port must be a number from 0 to 65535"},
        {{"127.0.0.1", "set", "server", "--ip", "10.0.0.5", "--port", "9000"}, "missing --code-type"},
        {{"127.0.0.1", "set", "server", "--ip", "10.0.0.5", "--port", "9000", "--code-type", "2"},
         "--code-type must be a number from 0 to 1"},
        {{"127.0.0.1", "set", "telegram", "--read-style", "1", "--key-type", "0", "--key", "FFFFFFFFFFF", "--block",
          "4", "--first-char", "1", "--last-char", "8"},
         "--key must be exactly 12 hexadecimal digits"},
        {{"127.0.0.1", "set", "telegram", "--read-style", "1", "--key-type", "0", "--key", "FFFFFFFFFFFG", "--block",
          "4", "--first-char", "1", "--last-char", "8"},
         "--key must be exactly 12 hexadecimal digits"},
        {{"127.0.0.1", "set", "telegram", "--read-style", "1", "--key-type", "0", "--key", "FFFFFFFFFFFF",
          "--block", "256", "--first-char", "1", "--last-char", "8"},
         "--block must be a number from 0 to 255"},
        {{"127.0.0.1", "set", "telegram", "--read-style", "-1", "--key-type", "0", "--key", "FFFFFFFFFFFF",
          "--block", "4", "--first-char", "1", "--last-char", "8"},
         "--read-style must be a number from 0 to 255"},
        {{"127.0.0.1", "set", "telegram", "--read-style", "1", "--key-type", "0", "--key", "FFFFFFFFFFFF",
          "--block", "4", "--first-char", "1"},
         "missing --last-char"},
        {{"127.0.0.1", "set", "net", "--yes"}, "needs at least one of"},
        {{"127.0.0.1", "set", "net", "--ip", "10.0.0.500", "--yes"}, "--ip needs an IPv4"},
        {{"127.0.0.1", "set", "net", "--mask", "255.255.255", "--yes"}, "--mask needs an IPv4"},
        {{"127.0.0.1", "set", "net", "--mac", "00:11:22:33:44", "--yes"}, "--mac needs six pairs"},
        {{"127.0.0.1", "set", "net", "--mac", "00-11-22-33-44-55", "--yes"}, "--mac needs six pairs"},
        {{"127.0.0.1", "set", "net", "--ip", "10.0.0.9", "--udp", "--yes"}, "--udp needs --old-ip"},
        {{"127.0.0.1", "set", "net", "--ip", "10.0.0.9", "--old-ip", "10.0.0.1", "--yes"},
         "--old-ip applies only with --udp"},
        {{"127.0.0.1", "set", "net", "--ip", "10.0.0.9", "--udp", "--old-ip", "x", "--yes"}, "--old-ip needs an IPv4"},
        {{"127.0.0.1", "set", "id", "5", "--yes"}, "--yes does not apply"},
        {{"127.0.0.1", "control"}, "control needs BITS"},
        {{"127.0.0.1", "control", "01000"}, "invalid BITS"},
        {{"127.0.0.1", "control", "0100011"}, "invalid BITS"},
        {{"127.0.0.1", "control", "010201"}, "invalid BITS"},
        {{"127.0.0.1", "control", "l010001"}, "invalid BITS"},
        {{"127.0.0.1", "control", "L01000"}, "invalid BITS"},
        {{"127.0.0.1", "control", " 010001"}, "invalid BITS"},
        {{"127.0.0.1", "control", "010001\r\n"}, "invalid BITS"},
        {{"127.0.0.1", "control", "010001", "000000"}, "unexpected '000000'"},
        {{"listen"}, "listen needs a PORT"},
        {{"listen", "70000"}, "PORT must be a number from 0 to 65535"},
        {{"listen", "http"}, "PORT must be a number from 0 to 65535"},
        {{"listen", "9000", "--bind", "localhost"}, "--bind needs an IPv4 address"},
        {{"listen", "9000", "--timeout", "5"}, "--timeout does not apply"},
        {{"discover", "now"}, "unexpected 'now'"},
        {{"discover", "--interface", "eth0"}, "--interface needs a local IPv4 address"},
        {{"discover", "--timeout", "-5"}, "--timeout must be"},
    };
    for (const Case &c : cases) {
        Outcome run = rfidctl(c.args);
        std::string shown;
        for (const std::string &arg : c.args)
            shown += arg + " ";
        EXPECT_EQ(run.status, 1) << shown << "\n" << run.output;
        EXPECT_NE(run.output.find(std::string("rfidctl: ")), std::string::npos) << shown;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << shown << "\n" << run.output;
        EXPECT_NE(run.output.find("Try 'rfidctl"), std::string::npos) << shown;
    }
}

TEST(RfidctlArgs, SetNetWithoutYesAndWithoutATerminalRefuses)
{
    // harness::start gives the program no terminal on its standard input.
    Outcome run = rfidctl({"127.0.0.1", "set", "net", "--ip", "10.0.0.9"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("--yes"), std::string::npos) << run.output;
    Outcome udp = rfidctl({"127.0.0.1", "set", "net", "--ip", "10.0.0.9", "--udp", "--old-ip", "10.0.0.1"});
    EXPECT_EQ(udp.status, 1) << udp.output;
}

TEST(RfidctlArgs, SetNetDeclinedOnTheTerminalSendsNothing)
{
    for (const std::string answer : {"n\n", "\n", "maybe\n", ""}) {
        Outcome run = rfidctltest::rfidctlOnTerminal({"127.0.0.1", "set", "net", "--ip", "10.0.0.9", "--dns", "10.0.0.1"},
                                                 "[y/N]", answer);
        EXPECT_EQ(run.status, 1) << "answer '" << answer << "':\n" << run.output;
        // The question shows what changes and that the reader reboots.
        EXPECT_NE(run.output.find("reboots"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("10.0.0.9"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("(unchanged)"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("cancelled; nothing was sent"), std::string::npos) << run.output;
    }
}

} // namespace
