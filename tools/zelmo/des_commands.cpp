// zelmo des encode|decode (raw DES message) and zelmo encode|decode (Base64).
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "terminal.h"
#include "zelmo.h"

namespace cli {
namespace {

// The password of -p/--password, or, without it, one asked for when
// standard input is a terminal. False when no password can be had.
bool TakePassword(const Parsed &parsed, std::string &password)
{
    if (parsed.Has("--password")) {
        password = parsed.Value("--password");
        return true;
    }
    if (!StdinIsTerminal())
        return false;
    password = ReadHidden("password: ");
    return true;
}

int RunCipher(const Command &command, const Args &given, bool base64)
{
    Parsed parsed;
    const std::string error = ParseOptions(given, {{"--password", "-p", true}}, parsed);
    if (!error.empty())
        return UsageError(command, error);
    const Args &args = parsed.operands;
    std::string password;
    if (args.empty() || (args[0] != "encode" && args[0] != "decode"))
        return UsageError(command, "expected encode or decode");
    if (!TakePassword(parsed, password))
        return UsageError(command, "give the password with -p PASSWORD (standard input is not a terminal)");
    std::string input = TextInput(args, 1);
    if (base64 && args[0] == "decode")  // the line break that ended the text is not part of it
        while (!input.empty() && (input.back() == '\n' || input.back() == '\r')) input.pop_back();
    if (input.size() > INT_MAX / 8) {
        std::fprintf(stderr, "zelmo %s: input too large\n", command.name);
        return kFailed;
    }
    // The functions take NUL-terminated text: a NUL byte would cut it short.
    if (input.find('\0') != std::string::npos) {
        std::fprintf(stderr, "zelmo %s: the input holds a NUL byte (it would be cut short there)\n",
                     command.name);
        return kFailed;
    }
    std::vector<char> out(2 * input.size() + 64);
    const auto size = static_cast<unsigned>(out.size());
    int n;
    if (args[0] == "encode")
        n = base64 ? Encode(input.c_str(), password.c_str(), out.data(), size)
                   : DesEncode(input.c_str(), password.c_str(), out.data(), size, 0);
    else
        n = base64 ? Decode(input.c_str(), password.c_str(), out.data(), size)
                   : DesDecode(input.data(), password.c_str(), out.data(), 0, size);
    if (n < 0) {
        std::fprintf(stderr, "zelmo %s: out of memory\n", command.name);
        return kFailed;
    }
    if (n == 0 && !input.empty()) {
        std::fprintf(stderr, "zelmo %s: %s\n", command.name,
                     args[0] == "encode" ? "the text could not be encrypted"
                                         : "the message yields no text (not a message, or the wrong password)");
        return kFailed;
    }
    WriteBytes(std::string(out.data(), static_cast<std::size_t>(n)));
    if (base64 && args[0] == "encode")
        WriteBytes("\n");
    return kOk;
}

int RunDes(const Args &args) { return RunCipher(kDesCommand, args, false); }
int RunEncode(const Args &args) { return RunCipher(kEncodeCommand, Args{"encode"} + args, true); }
int RunDecode(const Args &args) { return RunCipher(kDecodeCommand, Args{"decode"} + args, true); }

}  // namespace

Args operator+(Args head, const Args &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const Command kDesCommand = {
    "des", "DES-encrypt text to a raw message, or back (DesEncode, DesDecode)",
    "usage: zelmo des encode|decode [-p PASSWORD] [TEXT...]\n"
    "Encrypts TEXT (or standard input) to the raw DES message, which ends at\n"
    "its first zero byte (a message cut there no longer decrypts whole: `zelmo\n"
    "encode` keeps every byte), or decrypts such a message. Without -p the password\n"
    "is asked for, without echo, when standard input is a terminal. Exit\n"
    "status 1 when the input holds a NUL byte or a message yields no text.\n",
    RunDes};

const Command kEncodeCommand = {
    "encode", "DES-encrypt text to Base64 text (Encode)",
    "usage: zelmo encode [-p PASSWORD] [TEXT...]\n"
    "Prints the Base64 text of the DES message of TEXT (or standard input).\n",
    RunEncode};

const Command kDecodeCommand = {
    "decode", "decrypt Base64 text made by encode (Decode)",
    "usage: zelmo decode [-p PASSWORD] [TEXT...]\n"
    "Prints the plaintext of the Base64 text TEXT (or standard input).\n",
    RunDecode};

}  // namespace cli
