// Packed files and ensemble patches: pack, unpack, patch, apply.
#include "command.h"

#include "patcher/ensemble.h"
#include "patcher/ensemble_generator.h"
#include "patcher/packed_file.h"
#include "patcher/patch_status.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// Runs `work` and, once it has taken longer than a second, reports on stderr that it is still busy.
template <typename Result>
Result WithProgress(const char *name, const char *what, const std::function<Result()> &work)
{
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    const auto start = std::chrono::steady_clock::now();
    const bool tty = ::isatty(2) == 1;
    std::thread reporter([&] {
        std::unique_lock<std::mutex> lock(mutex);
        int seconds = 0;
        while (!done_changed.wait_for(lock, std::chrono::seconds(1), [&] { return done; })) {
            ++seconds;
            // On a terminal the line is rewritten in place; in a log each second gets its own line.
            std::fprintf(stderr, "%stl3-release %s: %s... %d s%s", tty ? "\r" : "", name, what, seconds,
                         tty ? "" : "\n");
            std::fflush(stderr);
        }
        if (seconds > 0) {
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::fprintf(stderr, "%stl3-release %s: %s done in %.1f s\n", tty ? "\r" : "", name, what,
                         elapsed);
        }
    });
    Result result = work();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    done_changed.notify_one();
    reporter.join();
    return result;
}

int runPack(const std::vector<std::string> &args)
{
    bool plain = false;
    std::vector<std::string> paths;
    for (const std::string &a : args) {
        if (a == "--plain")
            plain = true;
        else
            paths.push_back(a);
    }
    if (paths.size() != 2)
        return tools::usageError("pack");
    const bool ok = WithProgress<bool>(
        "pack", "packing", [&] { return patcher::PackFile(paths[0].c_str(), paths[1].c_str(), !plain); });
    return ok ? 0 : tools::failure("pack", "could not pack " + paths[0] + " into " + paths[1]);
}

int runUnpack(const std::vector<std::string> &args)
{
    if (args.size() != 2)
        return tools::usageError("unpack");
    const bool ok = WithProgress<bool>(
        "unpack", "unpacking", [&] { return patcher::UnpackPackedFile(args[0].c_str(), args[1].c_str()); });
    return ok ? 0 : tools::failure("unpack", "could not unpack " + args[0] + " into " + args[1]);
}

int runPatch(const std::vector<std::string> &args)
{
    if (args.size() != 3)
        return tools::usageError("patch");
    patcher::EnsembleGeneratorReport report;
    const bool ok = WithProgress<bool>("patch", "making the patch", [&] {
        return patcher::GenerateEnsemblePatch(args[0].c_str(), args[1].c_str(), args[2].c_str(), &report);
    });
    if (!ok)
        return tools::failure("patch", "could not make a patch from " + args[0] + " to " + args[1]);
    std::fprintf(stderr,
                 "tl3-release patch: %zu executable(s) paired, %zu in the patch; %zu of %zu labels paired\n",
                 report.paired_elements, report.elements, report.matched_labels, report.new_labels);
    return 0;
}

int runApply(const std::vector<std::string> &args)
{
    if (args.size() != 3)
        return tools::usageError("apply");
    const uint32_t status = WithProgress<uint32_t>("apply", "applying the patch", [&] {
        return static_cast<uint32_t>(
            patcher::ApplyEnsemblePatch(args[0].c_str(), args[1].c_str(), args[2].c_str()));
    });
    if (status != patcher::C_OK)
        return tools::failure("apply",
                              "status " + std::to_string(status) + ": " + patcher::PatchStatusText(status));
    return 0;
}

const tools::CommandRegistration packReg{
    "pack", "SRC DST [--plain]", "Pack a file into a container (executables pre-encoded unless --plain)",
    &runPack};
const tools::CommandRegistration unpackReg{"unpack", "SRC DST", "Unpack a packed-file container", &runUnpack};

const tools::CommandRegistration patchReg{"patch", "OLD NEW PATCH", "Make an ensemble patch from OLD to NEW",
                                          &runPatch};
const tools::CommandRegistration applyReg{"apply", "OLD PATCH NEW",
                                          "Apply an ensemble patch to OLD, writing NEW", &runApply};

} // namespace
