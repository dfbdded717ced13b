// Standalone byte-difference patches: bytediff, bytepatch.
#include "command.h"

#include "patcher/byte_difference.h"
#include "patcher/mapped_file.h"
#include "patcher/streams.h"

#include <string>

namespace {

// An input file as a read stream; an empty file is an empty stream.
bool openInput(const std::string &path, patcher::MappedFile *file, patcher::ReadStream *stream)
{
    if (patcher::IsEmptyRegularFile(path.c_str())) {
        *stream = patcher::ReadStream();
        return true;
    }
    if (!file->Open(path.c_str()))
        return false;
    *stream = patcher::ReadStream(file->data(), file->size());
    return true;
}

int runBytediff(const std::vector<std::string> &args)
{
    const char *name = "bytediff";
    std::vector<std::string> paths;
    uint32_t method = patcher::BYTE_DIFFERENCE_LZMA2_EACH;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--method") {
            if (i + 1 >= args.size())
                return tools::usageError(name, "--method needs a value");
            const std::string &value = args[++i];
            if (value != "0" && value != "1" && value != "2")
                return tools::usageError(name, "the method is 0, 1 or 2");
            method = static_cast<uint32_t>(value[0] - '0');
        } else {
            paths.push_back(args[i]);
        }
    }
    if (paths.size() != 3)
        return tools::usageError(name);

    patcher::MappedFile oldFile, newFile;
    patcher::ReadStream oldStream, newStream;
    if (!openInput(paths[0], &oldFile, &oldStream))
        return tools::failure(name, "cannot read " + paths[0]);
    if (!openInput(paths[1], &newFile, &newStream))
        return tools::failure(name, "cannot read " + paths[1]);
    patcher::WriteStream patch;
    if (!patcher::GenerateByteDifference(oldStream, newStream, &patch, method))
        return tools::failure(name, "cannot make the difference (input too large or out of memory)");
    if (!patcher::WriteWholeFile(paths[2].c_str(), patch.Buffer(), patch.Length()))
        return tools::failure(name, "cannot write " + paths[2]);
    return 0;
}

int runBytepatch(const std::vector<std::string> &args)
{
    const char *name = "bytepatch";
    if (args.size() != 3)
        return tools::usageError(name);
    patcher::MappedFile oldFile, patchFile;
    patcher::ReadStream oldStream, patchStream;
    if (!openInput(args[0], &oldFile, &oldStream))
        return tools::failure(name, "cannot read " + args[0]);
    if (!openInput(args[1], &patchFile, &patchStream))
        return tools::failure(name, "cannot read " + args[1]);
    patcher::WriteStream result;
    if (!patcher::ApplyByteDifference(oldStream, &patchStream, &result))
        return tools::failure(name, "the patch does not apply to " + args[0]);
    if (!patchStream.Consumed())
        return tools::failure(name, "unexpected bytes after the patch");
    if (!patcher::WriteWholeFile(args[2].c_str(), result.Buffer(), result.Length()))
        return tools::failure(name, "cannot write " + args[2]);
    return 0;
}

const tools::CommandRegistration bytediffReg{"bytediff", "OLD NEW PATCH [--method 0|1|2]",
                                             "Make a byte-difference patch from OLD to NEW", &runBytediff};
const tools::CommandRegistration bytepatchReg{
    "bytepatch", "OLD PATCH NEW", "Apply a byte-difference patch to OLD, writing NEW", &runBytepatch};

} // namespace
