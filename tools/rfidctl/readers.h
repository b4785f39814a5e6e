/*
 * rfidctl's conversations with readers, as results rather than output: the
 * search broadcast, the JSON configuration requests on TCP 8001, the checks
 * of setting values, and the device-control bit strings on TCP 10001.
 *
 * The command line and the console are both built on these: each call
 * returns one of the RC_ exit codes and, on failure, says why in *error (the
 * text the command line prints after "rfidctl: "). Nothing here prints.
 */
#pragma once

#include "tools/rfidctl/rfidctl.h"

#include <cjson/cJSON.h>
#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct JsonDeleter {
    void operator()(cJSON *item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

std::string printUnformatted(const cJSON *item);

// The most readers one discovery lists: more than the largest site has. Any
// device on the segment can answer a search, from as many source addresses
// as it likes; what comes beyond this is counted, not kept.
inline constexpr size_t MAX_DISCOVERED_READERS = 4096;

// Discovery: sends the search from `source` (INADDR_ANY: wherever the
// routes say) and collects the answers until timeoutMs after the search,
// however many keep arriving. Each reader's address is passed to `onAnswer`
// once, as its first answer arrives (may be empty). At most
// MAX_DISCOVERED_READERS are listed; answers from further addresses once the
// list is full are counted in *unlisted (when given; repeats count again).
// RC_OK also when nobody answered; RC_USAGE when no interface has `source`.
int discoverReaders(const in_addr &source, int timeoutMs, std::vector<std::string> *readers,
                    const std::function<void(const std::string &)> &onAnswer, std::string *error,
                    unsigned long long *unlisted = nullptr);

// Reads one setting ("id", "net", "server" or "telegram"): the reply when
// RC_OK, and also when RC_REFUSED (the reader answered "response": 0).
bool isSettingName(const std::string &what);
int readSetting(const in_addr &host, const std::string &what, int timeoutMs, JsonPtr *reply, std::string *error);
// The setting inside a checked reply, as `get --json` prints it: the "Data"
// object of id and net, the reply less "response" for server and telegram.
JsonPtr settingOf(const std::string &what, const cJSON *reply);

// One value of a set command.
enum FieldKind { FIELD_NUMBER, FIELD_IPV4, FIELD_HEX_KEY, FIELD_MAC };
struct SetField {
    const char *name;    // option name without "--"; the console's field name
    const char *jsonKey; // member of the request's "Data"
    FieldKind kind;
    long long min, max;  // FIELD_NUMBER
    bool required;       // optional fields are sent as "" when not given
};
// The fields of "set id|server|telegram|net", in the order they are checked
// and sent; empty for any other word.
std::vector<SetField> setFields(const std::string &what);
// Why `text` is no value for `field` ("" when it is), worded to follow the
// field's name: "must be a number from 0 to 65535, not '70000'".
std::string fieldProblem(const SetField &field, const std::string &text);
// The request's "Data" from checked values, one per field (null: not given).
cJSON *setData(const std::vector<SetField> &fields, const std::vector<const std::string *> &values);
// The command of "set WHAT".
const char *setCommand(const std::string &what);
// Sends a set request (taking `data`) and checks its status reply; the reply
// is kept for RC_OK and RC_REFUSED.
int sendSetting(const in_addr &host, const char *command, cJSON *data, int timeoutMs, JsonPtr *reply,
                std::string *error);

// Device control: the values a bit string gives, as the reader derives them.
struct ControlValues {
    int form = 0;
    int relay = 0, buzzer = 0, light1 = 0, light2 = 0;
};
bool parseBits(const std::string &text, ControlValues *values);
std::string bitsProblem(const std::string &bits); // the usage message for refused BITS
int sendControl(const in_addr &host, const std::string &bits, int timeoutMs, std::string *error);
