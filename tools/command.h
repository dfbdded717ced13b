// The release tool's sub-commands. Each command lives in its own file and registers itself:
//
//   static const tools::CommandRegistration reg{"bytediff", "OLD NEW PATCH [--method 0|1|2]",
//                                              "Make a byte-difference patch", &runBytediff};
//
// Exit status convention: 0 success, 1 failure (one-line reason on stderr), 2 usage error.
#pragma once

#include <string>
#include <vector>

namespace tools {

using CommandFunc = int (*)(const std::vector<std::string> &args);

struct Command {
    const char *name;
    const char *usage;    // arguments, shown after the command name
    const char *summary;  // one line
    CommandFunc run;
};

const std::vector<Command> &commands();

struct CommandRegistration {
    CommandRegistration(const char *name, const char *usage, const char *summary, CommandFunc run);
};

// Prints "usage: tl3-release NAME USAGE" to stderr and returns 2.
int usageError(const char *name, const std::string &reason = std::string());

// Prints "tl3-release NAME: REASON" to stderr and returns 1.
int failure(const char *name, const std::string &reason);

}  // namespace tools
