// A lean stand-alone front end of the byte-difference pair for benchmarks: the same library calls as
// `tl3-release bytediff/bytepatch`, without the release tool's start-up (Qt and friends).
//   bench_bytediff_tool make OLD NEW PATCH METHOD
//   bench_bytediff_tool apply OLD PATCH NEW
#include "patcher/byte_difference.h"
#include "patcher/mapped_file.h"
#include "patcher/streams.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool openInput(const char *path, patcher::MappedFile *file, patcher::ReadStream *stream)
{
    if (patcher::IsEmptyRegularFile(path)) {
        *stream = patcher::ReadStream();
        return true;
    }
    if (!file->Open(path))
        return false;
    *stream = patcher::ReadStream(file->data(), file->size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const bool make = argc == 6 && std::strcmp(argv[1], "make") == 0;
    const bool apply = argc == 5 && std::strcmp(argv[1], "apply") == 0;
    if (!make && !apply) {
        std::fprintf(stderr, "usage: %s make OLD NEW PATCH METHOD | apply OLD PATCH NEW\n", argv[0]);
        return 2;
    }
    patcher::MappedFile a, b;
    patcher::ReadStream first, second;
    if (!openInput(argv[2], &a, &first) || !openInput(argv[3], &b, &second)) {
        std::fprintf(stderr, "cannot read the inputs\n");
        return 1;
    }
    patcher::WriteStream out;
    const bool ok = make ? patcher::GenerateByteDifference(first, second, &out, std::atoi(argv[5]))
                         : patcher::ApplyByteDifference(first, &second, &out);
    if (!ok || !patcher::WriteWholeFile(argv[4], out.Buffer(), out.Length())) {
        std::fprintf(stderr, "failed\n");
        return 1;
    }
    return 0;
}
