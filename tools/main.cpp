// tl3-release: the publisher's tool. Makes and checks what the updater downloads.
#include "command.h"

#include "buildconfig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tools {

static std::vector<Command> &registry()
{
    static std::vector<Command> s_Commands;
    return s_Commands;
}

const std::vector<Command> &commands()
{
    return registry();
}

CommandRegistration::CommandRegistration(const char *name, const char *usage, const char *summary,
                                         CommandFunc run)
{
    registry().push_back(Command{name, usage, summary, run});
}

static const Command *findCommand(const std::string &name)
{
    for (const Command &c : registry())
        if (name == c.name)
            return &c;
    return nullptr;
}

int usageError(const char *name, const std::string &reason)
{
    const Command *c = findCommand(name);
    if (!reason.empty())
        std::fprintf(stderr, "tl3-release %s: %s\n", name, reason.c_str());
    std::fprintf(stderr, "usage: tl3-release %s %s\n", name, c ? c->usage : "");
    return 2;
}

int failure(const char *name, const std::string &reason)
{
    std::fprintf(stderr, "tl3-release %s: %s\n", name, reason.c_str());
    return 1;
}

}  // namespace tools

static void printHelp(FILE *out)
{
    std::vector<tools::Command> sorted = tools::commands();
    std::sort(sorted.begin(), sorted.end(),
              [](const tools::Command &a, const tools::Command &b) { return std::strcmp(a.name, b.name) < 0; });
    std::fprintf(out,
                 "tl3-release %s: makes and checks the files the Talvenor 3 updater downloads.\n\n"
                 "usage: tl3-release COMMAND [ARGUMENTS]\n"
                 "       tl3-release COMMAND --help\n"
                 "       tl3-release --help | --version\n\n"
                 "commands:\n",
                 buildconfig::kVersion);
    for (const tools::Command &c : sorted)
        std::fprintf(out, "  %-10s %s\n             %s %s\n", c.name, c.summary, c.name, c.usage);
    std::fprintf(out,
                 "\nExit status: 0 success, 1 failure (reason on stderr), 2 usage error.\n");
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        printHelp(stderr);
        return 2;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        printHelp(stdout);
        return 0;
    }
    if (first == "--version") {
        std::printf("tl3-release %s\n", buildconfig::kVersion);
        return 0;
    }
    const tools::Command *cmd = tools::findCommand(first);
    if (!cmd) {
        std::fprintf(stderr, "tl3-release: unknown command '%s' (see tl3-release --help)\n", first.c_str());
        return 2;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const std::string &a : args) {
        if (a == "--help" || a == "-h") {
            std::printf("%s\n\nusage: tl3-release %s %s\n", cmd->summary, cmd->name, cmd->usage);
            return 0;
        }
    }
    return cmd->run(args);
}
