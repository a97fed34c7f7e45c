// zelmo base64 and zelmo md5.
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "zelmo.h"

namespace cli {
namespace {

int RunBase64(const Args &args)
{
    if (args.empty() || (args[0] != "encode" && args[0] != "decode"))
        return UsageError(kBase64Command, "expected encode or decode");
    std::string input = TextInput(args, 1);
    if (args[0] == "decode")  // Base64 text arrives in lines: they are joined first
        std::erase_if(input, [](char c) { return c == '\n' || c == '\r'; });
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

int RunMd5(const Args &args)
{
    if (args.empty() || (args[0] != "string" && args[0] != "file"))
        return UsageError(kMd5Command, "expected string or file");
    char digest[33];
    if (args[0] == "string") {
        const std::string input = TextInput(args, 1);
        if (input.size() > INT_MAX) {
            std::fprintf(stderr, "zelmo md5: input too large\n");
            return kFailed;
        }
        if (MD5String(input.data(), static_cast<int>(input.size()), digest, sizeof digest) != 32) {
            std::fprintf(stderr, "zelmo md5: MD5String digests at least one byte\n");
            return kFailed;
        }
        std::printf("%s\n", digest);
        return kOk;
    }
    if (args.size() < 2)
        return UsageError(kMd5Command, "expected a file name");
    int status = kOk;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (MD5File(args[i].c_str(), digest, sizeof digest) == 32) {
            std::printf("%s  %s\n", digest, args[i].c_str());
        } else {
            std::fprintf(stderr, "zelmo md5: %s: no such file, or not readable\n", args[i].c_str());
            status = kFailed;
        }
    }
    return status;
}

}  // namespace

const Command kBase64Command = {
    "base64", "Base64 encode or decode text (Base64Encode, Base64Decode)",
    "usage: zelmo base64 encode|decode [TEXT...]\n"
    "Encodes or decodes TEXT (the arguments joined by spaces), or standard\n"
    "input when no TEXT is given, byte for byte. encode prints the Base64\n"
    "text and a line break; decode drops line breaks, then writes the decoded\n"
    "bytes as they are. Other characters outside the alphabet are decoded,\n"
    "not skipped.\n",
    RunBase64};

const Command kMd5Command = {
    "md5", "MD5 digest of text or files (MD5String, MD5File)",
    "usage: zelmo md5 string [TEXT...]\n"
    "       zelmo md5 file PATH...\n"
    "string prints the digest of TEXT (the arguments joined by spaces), or of\n"
    "standard input when no TEXT is given; file prints the digest of each\n"
    "file's content followed by its name. Exit status 1 when a file is\n"
    "missing, a directory or unreadable.\n",
    RunMd5};

}  // namespace cli
