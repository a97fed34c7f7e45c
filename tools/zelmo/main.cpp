#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "terminal.h"
#include "zelmo.h"

namespace cli {
namespace {

int RunDemo(const Args &args);

const Command kDemoCommand = {
    "demo", "show the library at work on a built-in example",
    "usage: zelmo demo\n"
    "Runs every family of the library on a built-in example and prints what\n"
    "each export returned; then fetches one URL of a server of its own twice\n"
    "with `zelmo get -v` (zelmo_fetch) into a cache directory of its own: the\n"
    "first answer stored, the second a revalidation answered 304.\n",
    RunDemo};

const Command *const kCommands[] = {
    &kBase64Command, &kMd5Command,  &kDesCommand,     &kEncodeCommand,  &kDecodeCommand, &kGetCommand,
    &kPostCommand,   &kUploadCommand, &kCacheCommand, &kProfileCommand, &kHostCommand,   &kEventLogCommand,
    &kBstrCommand,   &kDemoCommand};

int RunDemo(const Args &args)
{
    Parsed parsed;
    const std::string error = ParseOptions(args, {}, parsed);
    if (!error.empty())
        return UsageError(kDemoCommand, error);
    if (!parsed.operands.empty())
        return UsageError(kDemoCommand, "demo takes no arguments");
    const char text[] = "Zelmo keeps your cache.";
    std::printf("text:           %s\n", text);

    char encoded[64];
    const int encodedLen = Base64Encode(encoded, text, 0);
    std::printf("Base64Encode -> %d  %s\n", encodedLen, encoded);

    char decoded[64];
    const int decodedLen = Base64Decode(decoded, encoded, 0);
    std::printf("Base64Decode -> %d  %s\n", decodedLen, decoded);

    char digest[33];
    const int digestLen = MD5String(text, static_cast<int>(sizeof text - 1), digest, sizeof digest);
    std::printf("MD5String    -> %d  %s\n", digestLen, digest);

    char tooSmall[32];
    std::printf("MD5String into 32 bytes -> %d (no room for the NUL)\n",
                MD5String(text, static_cast<int>(sizeof text - 1), tooSmall, sizeof tooSmall));
    char cipher[64], plain[64];
    const int cipherLen = Encode(text, "demo password", cipher, sizeof cipher);
    std::printf("Encode       -> %d  %s\n", cipherLen, cipher);
    const int plainLen = Decode(cipher, "demo password", plain, sizeof plain);
    std::printf("Decode       -> %d  %s\n", plainLen, plain);

    const bool downloaded = DemoDownload();
    const bool fetched = DemoFetch();

    const bool ok = downloaded && fetched && plainLen == static_cast<int>(sizeof text - 1) && encodedLen == 32 && decodedLen == static_cast<int>(sizeof text - 1) &&
                    digestLen == 32;
    if (!ok)
        std::fprintf(stderr, "zelmo demo: an export did not give the expected result\n");
    return ok ? kOk : kFailed;
}

void PrintOverview(std::FILE *to)
{
    std::fprintf(to, "usage: zelmo COMMAND [ARGS...]\n"
                     "       zelmo --help | --version\n\ncommands:\n");
    for (const Command *command : kCommands)
        std::fprintf(to, "  %-8s %s\n", command->name, command->summary);
    std::fprintf(to, "\n`zelmo COMMAND --help` describes a command.\n"
                     "Options may stand anywhere after the command; `--` ends them.\n"
                     "Exit status: 0 success, 1 the library reported a failure, 2 usage error.\n");
}

}  // namespace

std::string TextInput(const Args &args, std::size_t first)
{
    if (args.size() > first) {
        std::string text = args[first];
        for (std::size_t i = first + 1; i < args.size(); ++i) text += ' ' + args[i];
        return text;
    }
    return ReadStdin();
}

std::string ReadStdin()
{
    BinaryStdin();
    std::string bytes;
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) bytes.append(chunk, n);
    return bytes;
}

void WriteBytes(const std::string &bytes)
{
    BinaryStdout();
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

int UsageError(const Command &command, const std::string &message)
{
    // The message may quote the command line: an option, an operand.
    std::fprintf(stderr, "zelmo %s: %s\n%s", command.name, Printable(message).c_str(), command.help);
    return kUsage;
}

bool IsHelp(const std::string &arg)
{
    return arg == "--help" || arg == "-h";
}

std::string ParseOptions(const Args &args, const std::vector<Option> &known, Parsed &parsed)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--") {
            parsed.operands.insert(parsed.operands.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
            continue;
        }
        const Option *option = nullptr;
        for (const Option &candidate : known) {
            if (arg == candidate.name || (candidate.alias != nullptr && arg == candidate.alias))
                option = &candidate;
        }
        if (option == nullptr)
            return "unknown option " + arg + " (`--` ends the options)";
        std::string value;
        if (option->takesValue) {
            if (i + 1 == args.size())
                return arg + " needs a value";
            value = args[++i];
        }
        parsed.options[option->name] = value;
        parsed.given.emplace_back(option->name, value);
    }
    return {};
}

std::string SystemError()
{
    return std::strerror(errno);
}

}  // namespace cli

int main(int argc, char **argv)
{
    using namespace cli;
    const Args all(argv + 1, argv + argc);
    if (all.empty()) {
        PrintOverview(stderr);
        return kUsage;
    }
    if (IsHelp(all[0])) {
        PrintOverview(stdout);
        return kOk;
    }
    if (all[0] == "--version") {
        std::printf("zelmo %s\n", ZELMO_VERSION);
        return kOk;
    }
    for (const Command *command : kCommands) {
        if (all[0] != command->name)
            continue;
        const Args args(all.begin() + 1, all.end());
        for (const std::string &arg : args) {
            if (arg == "--")
                break;
            if (IsHelp(arg)) {
                std::fputs(command->help, stdout);
                return kOk;
            }
        }
        return command->run(args);
    }
    std::fprintf(stderr, "zelmo: unknown command '%s'\n", Printable(all[0]).c_str());
    PrintOverview(stderr);
    return kUsage;
}
