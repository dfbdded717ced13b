#include "patcher/packed_file.h"

#include "patcher/byte_difference.h"
#include "patcher/checksum.h"
#include "patcher/disassembler.h"
#include "patcher/encoded_program.h"
#include "patcher/ensemble.h"
#include "patcher/logging.h"
#include "patcher/mapped_file.h"
#include "patcher/program_encoder.h"
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

// The dis_and_diff container: one serialised encoded program per element, then the byte difference
// from the reassembled elements to the whole file.
bool WritePreprocessedContainer(const uint8_t *data, size_t n, uint32_t checksum,
                                const std::vector<ExecutableElement> &elements, WriteStream *out)
{
    if (!WriteHeader(checksum, kDirectiveDisAndDiff, out))
        return false;
    WriteStreamSet outer;
    if (!outer.SetCount(elements.size() + 1))
        return Fail("could not combine streams");
    WriteStream assembly;
    for (size_t i = 0; i < elements.size(); ++i) {
        EncodedProgram encoded;
        const PatchStatus status =
            TransformExecutable(data + elements[i].offset, elements[i].length, ParsedProgramHook(), &encoded);
        if (status == C_INPUT_NOT_RECOGNIZED || status == C_DISASSEMBLY_FAILED) {
            LogWarning("could not parse file");
            return false;
        }
        if (status == C_TRIM_FAILED)
            return Fail("could not trim labels");
        if (status != C_OK)
            return Fail("could not encode program");
        WriteStreamSet program_source;
        if (SerializeEncodedProgram(encoded, &program_source) != C_OK)
            return Fail("could not write encode program");
        if (!program_source.Serialize(outer.stream(i)))
            return Fail("could not combine streams");
        if (AssembleProgram(encoded, &assembly) != C_OK)
            return Fail("could not assemble program");
    }
    ReadStream assembled = assembly.AsReadStream();
    ReadStream source(data, n);
    if (!GenerateByteDifference(assembled, source, outer.stream(elements.size()), 0))
        return Fail("could not generate diff");
    assembly.Clear();
    WriteStream combined;
    if (!outer.Serialize(&combined))
        return Fail("could not combine dis and dif");
    if (!out->WriteLzma2Block(combined.Buffer(), combined.Length()))
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
    } else if (directive == kDirectiveDisAndDiff) {
        WriteStream scratch;
        if (!source.ReadLzma2Block(&scratch))
            return Fail("could not decompress file");
        ReadStreamSet set;
        if (!set.Parse(scratch.Buffer(), scratch.Length()))
            return Fail("could not init dif_and_dis set");
        if (set.count() < 2)
            return Fail("dis_and_diff too small");
        WriteStream assembly;
        for (size_t i = 0; i + 1 < set.count(); ++i) {
            ReadStreamSet program_source;
            if (!program_source.Parse(*set.stream(i)))
                return Fail("could not init program_source set");
            EncodedProgram program;
            if (DeserializeEncodedProgram(&program_source, &program) != C_OK)
                return Fail("could not read encoded program");
            if (AssembleProgram(program, &assembly) != C_OK)
                return Fail("could not assemble program");
        }
        ReadStream assembled = assembly.AsReadStream();
        if (!ApplyByteDifference(assembled, set.stream(set.count() - 1), output))
            return Fail("could not apply diff");
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
    const uint32_t checksum = PatchChecksum(data, n);
    std::vector<ExecutableElement> elements;
    if (preprocess && n > 0 && !FindExecutableElements(data, n, &elements)) {
        // Detection itself fails only when memory runs out.
        LogError("error detecting file type " + std::to_string(C_STREAM_ERROR));
        return false;
    }
    for (const ExecutableElement &e : elements)
        LogDebug(std::string("detected ") + ExecutableTypeName(e.type));
    if (!elements.empty()) {
        WriteStream container;
        if (WritePreprocessedContainer(data, n, checksum, elements, &container))
            return out->AppendAndFree(&container);
        LogWarning("falling back to default compression");
    }
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
