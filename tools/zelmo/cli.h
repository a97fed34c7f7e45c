// The zelmo command-line host: a small program that calls the library only
// through zelmo.h. Each family of exports contributes its commands.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "printable.h"

namespace cli {

// Exit statuses as command-line tools use them.
enum Status { kOk = 0, kFailed = 1, kUsage = 2 };

using Args = std::vector<std::string>;

struct Command {
    const char *name;     // first word on the command line
    const char *summary;  // one line for `zelmo --help`
    const char *help;     // full text for `zelmo NAME --help`
    int (*run)(const Args &args);  // arguments after the command name
};

// The commands of each family.
extern const Command kBase64Command;
extern const Command kMd5Command;
extern const Command kDesCommand;
extern const Command kEncodeCommand;
extern const Command kDecodeCommand;
extern const Command kCacheCommand;
extern const Command kPostCommand;
extern const Command kUploadCommand;
extern const Command kProfileCommand;
extern const Command kHostCommand;
extern const Command kEventLogCommand;
extern const Command kGetCommand;
extern const Command kBstrCommand;

Args operator+(Args head, const Args &tail);

// The command's text input: its remaining arguments joined by spaces, or all
// of standard input when there are none.
std::string TextInput(const Args &args, std::size_t first);

// All of standard input, read as bytes.
std::string ReadStdin();

// Writes bytes to standard output as they are.
void WriteBytes(const std::string &bytes);

// Reports a usage error for `command` and returns kUsage.
int UsageError(const Command &command, const std::string &message);

bool IsHelp(const std::string &arg);

// An option a command accepts: its long name, an optional one-letter alias
// ("-o") and whether a value follows it.
struct Option {
    const char *name;
    const char *alias;
    bool takesValue;
};

// A command line taken apart: the operands in order, and the options given
// (by long name; a flag's value is empty, a repeated option keeps the last).
// `given` holds every option as it came, repeats included, in order.
struct Parsed {
    Args operands;
    std::map<std::string, std::string> options;
    std::vector<std::pair<std::string, std::string>> given;
    bool Has(const char *name) const { return options.count(name) != 0; }
    const std::string &Value(const char *name) const { return options.at(name); }
};

// Parses `args` as every command does: options may stand anywhere, "--"
// ends them (all that follows is an operand), "-" is an operand, and any
// other word starting with '-' that is not in `known` is an error. Returns
// the error message, or empty.
std::string ParseOptions(const Args &args, const std::vector<Option> &known, Parsed &parsed);

// A size in bytes with an optional K, M or G suffix (powers of 1024), as
// --max and --max-cache take it; false when `text` is not one.
bool ParseSize(const std::string &text, unsigned long long &bytes);

// The text of errno's current value.
std::string SystemError();

// Why a transfer failed, in plain words, from libcurl (transfer_reason.cpp):
// for any request by connecting only; from an answer as it arrived, by its
// final status line.
std::string ConnectFailureReason(const std::string &url, int timeout);
std::string AnswerStatus(const std::string &answer);

// The demo's cached download: two calls, the second answered 304; true when
// both served the body.
bool DemoDownload();

// The demo's fetch: one URL fetched twice by `zelmo get -v` into a cache
// directory of its own, stored by a 200, then revalidated by a 304; true
// when both were served and the server saw what each should send.
bool DemoFetch();

}  // namespace cli
