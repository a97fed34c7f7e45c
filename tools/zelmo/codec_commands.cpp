// zelmo base64 and zelmo md5.
#include <cctype>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "zelmo.h"

namespace cli {
namespace {

// Whether `text` is Base64 as the encoder writes it: groups of four
// characters of the alphabet, the last group padded with at most two '='.
bool IsBase64(const std::string &text)
{
    if (text.size() % 4 != 0)
        return false;
    const std::size_t padding = text.find('=') == std::string::npos ? 0 : text.size() - text.find('=');
    if (padding > 2 || text.find_first_not_of('=', text.size() - padding) != std::string::npos)
        return false;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '/')
            return false;
    }
    return true;
}

int RunBase64(const Args &given)
{
    Parsed parsed;
    const std::string error = ParseOptions(given, {{"--lenient", nullptr, false}}, parsed);
    if (!error.empty())
        return UsageError(kBase64Command, error);
    const Args &args = parsed.operands;
    if (args.empty() || (args[0] != "encode" && args[0] != "decode"))
        return UsageError(kBase64Command, "expected encode or decode");
    std::string input = TextInput(args, 1);
    if (args[0] == "decode") {  // Base64 text arrives in lines: they are joined first
        std::erase_if(input, [](char c) { return c == '\n' || c == '\r'; });
        if (!parsed.Has("--lenient") && !IsBase64(input)) {
            std::fprintf(stderr, "zelmo base64: invalid input (not Base64; --lenient decodes it anyway)\n");
            return kFailed;
        }
    }
    if (input.size() > INT_MAX / 2) {
        std::fprintf(stderr, "zelmo base64: input too large\n");
        return kFailed;
    }
    const int len = static_cast<int>(input.size());
    if (args[0] == "encode") {
        std::vector<char> out(4 * (input.size() / 3 + 1) + 1);
        const int n = len > 0 ? Base64Encode(out.data(), input.data(), len) : 0;
        std::printf("%.*s\n", n, out.data());
        return kOk;
    }
    std::vector<char> out(3 * (input.size() / 4 + 1) + 1);
    const int n = len > 0 ? Base64Decode(out.data(), input.data(), len) : 0;
    WriteBytes(std::string(out.data(), static_cast<std::size_t>(n)));
    return kOk;
}

// The digest of `input` through MD5String; false (and the reason on
// standard error) when it has none.
bool DigestText(const std::string &input, char (&digest)[33])
{
    if (input.size() > INT_MAX) {
        std::fprintf(stderr, "zelmo md5: input too large\n");
        return false;
    }
    if (MD5String(input.data(), static_cast<int>(input.size()), digest, sizeof digest) != 32) {
        std::fprintf(stderr, "zelmo md5: MD5String digests at least one byte\n");
        return false;
    }
    return true;
}

int RunMd5(const Args &given)
{
    Parsed parsed;
    const std::string error = ParseOptions(given, {}, parsed);
    if (!error.empty())
        return UsageError(kMd5Command, error);
    const Args &args = parsed.operands;
    if (args.empty() || (args[0] != "string" && args[0] != "file"))
        return UsageError(kMd5Command, "expected string or file");
    char digest[33];
    if (args[0] == "string") {
        if (!DigestText(TextInput(args, 1), digest))
            return kFailed;
        std::printf("%s\n", digest);
        return kOk;
    }
    if (args.size() < 2)
        return UsageError(kMd5Command, "expected a file name");
    int status = kOk;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-") {  // standard input, as md5sum reads it
            if (!DigestText(ReadStdin(), digest)) {
                status = kFailed;
                continue;
            }
            std::printf("%s  -\n", digest);
        } else if (MD5File(args[i].c_str(), digest, sizeof digest) == 32) {
            std::printf("%s  %s\n", digest, args[i].c_str());
        } else {
            std::fprintf(stderr, "zelmo md5: %s: no such file, or not readable\n", Printable(args[i]).c_str());
            status = kFailed;
        }
    }
    return status;
}

}  // namespace

const Command kBase64Command = {
    "base64", "Base64 encode or decode text (Base64Encode, Base64Decode)",
    "usage: zelmo base64 encode|decode [--lenient] [--] [TEXT...]\n"
    "Encodes or decodes TEXT (the arguments joined by spaces), or standard\n"
    "input when no TEXT is given, byte for byte. encode prints the Base64\n"
    "text and a line break; decode drops line breaks, then writes the decoded\n"
    "bytes as they are. Input that is not Base64 (characters outside the\n"
    "alphabet, a length not a multiple of four, misplaced '=') is refused\n"
    "with exit status 1; with --lenient it is decoded as the library does.\n",
    RunBase64};

const Command kMd5Command = {
    "md5", "MD5 digest of text or files (MD5String, MD5File)",
    "usage: zelmo md5 string [TEXT...]\n"
    "       zelmo md5 file PATH...\n"
    "string prints the digest of TEXT (the arguments joined by spaces), or of\n"
    "standard input when no TEXT is given; file prints the digest of each\n"
    "file's content followed by its name (PATH - is standard input). `--`\n"
    "ends the options, for text or names that begin with '-'. Exit status 1 when a file is\n"
    "missing, a directory or unreadable.\n",
    RunMd5};

}  // namespace cli
