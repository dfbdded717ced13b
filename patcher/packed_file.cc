#include "patcher/packed_file.h"

#include "patcher/checksum.h"
#include "patcher/logging.h"
#include "patcher/mapped_file.h"
#include "patcher/stream_set.h"

#include <new>
#include <string>

namespace patcher {

namespace {

bool Fail(const char *message)
{
    LogError(message);
    return false;
}

bool WriteHeader(uint32_t checksum, uint32_t directive, WriteStream *out)
{
    if (!out->WriteVarint(kContainerMagic))
        return Fail("could not write magic");
    if (!out->WriteVarint(checksum))
        return Fail("could not write crc");
    if (!out->WriteVarint(directive))
        return Fail("could not write preprocess directive");
    return true;
}

bool WritePlainContainer(const uint8_t *data, size_t n, uint32_t checksum, WriteStream *out)
{
    if (!WriteHeader(checksum, kDirectivePlain, out))
        return false;
    if (!out->WriteLzma2Block(data, n))
        return Fail("could not compress file");
    return true;
}

} // namespace

bool UnpackPackedData(ReadStream source, WriteStream *output)
{
    uint32_t magic = 0;
    uint32_t checksum = 0;
    uint32_t directive = 0;
    if (!source.ReadVarint(&magic) || !source.ReadVarint(&checksum) || !source.ReadVarint(&directive))
        return Fail("could not read lzma header");
    if (magic != kContainerMagic)
        return Fail("not lzma file");

    if (directive == kDirectivePlain) {
        if (!source.ReadLzma2Block(output))
            return Fail("could not decompress file");
    } else {
        return Fail("Unknown preprocessing dirrective");
    }

    if (PatchChecksum(output->Buffer(), output->Length()) != checksum)
        return Fail("crc mismatch");
    return true;
}

bool UnpackPackedFile(const char *source, const char *destination)
{
    WriteStream output;
    {
        MappedFile file;
        if (!file.Open(source))
            return Fail("could not open lzma file");
        try {
            if (!UnpackPackedData(ReadStream(file.data(), file.size()), &output))
                return false;
        } catch (const std::bad_alloc &) {
            return Fail("out of memory");
        }
    }
    if (!WriteWholeFile(destination, output.Buffer(), output.Length()))
        return Fail("could not write output file");
    return true;
}

bool PackData(const uint8_t *data, size_t n, bool preprocess, WriteStream *out)
{
    (void)preprocess;
    const uint32_t checksum = PatchChecksum(data, n);
    return WritePlainContainer(data, n, checksum, out);
}

bool PackFile(const char *source, const char *destination, bool preprocess)
{
    WriteStream container;
    {
        MappedFile file;
        // An empty file cannot be mapped, but it still packs (into an empty plain container).
        if (!file.Open(source) && !IsEmptyRegularFile(source))
            return Fail("could not open file");
        try {
            if (!PackData(file.data(), file.size(), preprocess, &container))
                return false;
        } catch (const std::bad_alloc &) {
            return Fail("out of memory");
        }
    }
    if (!WriteWholeFile(destination, container.Buffer(), container.Length()))
        return Fail("could not write output file");
    return true;
}

} // namespace patcher
