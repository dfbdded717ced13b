#include "patcher/ensemble.h"

#include "patcher/byte_difference.h"
#include "patcher/checksum.h"
#include "patcher/disassembler.h"
#include "patcher/mapped_file.h"
#include "patcher/program_encoder.h"

#include <cstring>
#include <malloc.h>
#include <new>
#include <stdexcept>
#include <vector>

namespace patcher {

namespace {

bool IsValidElementKind(uint32_t kind)
{
    return kind >= EXE_WIN_32_X86 && kind <= EXE_MACHO_X64;
}

// Copies `set` out as a blob, corrects the blob with the byte difference `diff` into `buffer` and
// parses the result as `corrected`, which then views `buffer`.
PatchStatus CorrectSet(WriteStreamSet *set, ReadStream *diff, WriteStream *buffer, ReadStreamSet *corrected)
{
    WriteStream predicted;
    if (!set->Serialize(&predicted))
        return C_STREAM_ERROR;
    ReadStream predicted_blob = predicted.AsReadStream();
    if (!ApplyByteDifference(predicted_blob, diff, buffer))
        return C_GENERAL_ERROR;
    if (!corrected->Parse(buffer->Buffer(), buffer->Length()))
        return C_STREAM_ERROR;
    return C_OK;
}

// One application: the header values, the element patchers and the buffers the corrected sets view.
class EnsemblePatchApplication {
public:
    PatchStatus Run(ReadStream old, ReadStream patch, WriteStream *out);

private:
    PatchStatus ReadElementList(ReadStream *list);
    PatchStatus PredictAndCorrectParameters(ReadStream *diff, ReadStreamSet *corrected);
    PatchStatus TransformUp(ReadStreamSet *corrected_parameters, WriteStreamSet *transformed);
    PatchStatus TransformDown(ReadStreamSet *corrected_elements, WriteStream *rebuilt);

    EnsemblePatchHeader m_Header;
    ReadStream m_Base;
    std::vector<std::unique_ptr<TransformationPatcher>> m_Patchers;
    WriteStream m_ParametersBuffer;
    WriteStream m_ElementsBuffer;
};

PatchStatus EnsemblePatchApplication::Run(ReadStream old, ReadStream patch, WriteStream *out)
{
    PatchStatus status = ReadEnsembleHeader(&patch, &m_Header);
    if (status != C_OK)
        return status;
    m_Base = old;
    if (PatchChecksum(m_Base.Buffer(), m_Base.Remaining()) != m_Header.source_checksum)
        return C_BAD_ENSEMBLE_CRC;

    WriteStream body_buffer;
    if (!patch.ReadLzma2Block(&body_buffer))
        return C_STREAM_ERROR;
    ReadStreamSet body;
    // A set with fewer than the four streams of the format is as unusable as no set at all.
    if (!body.Parse(body_buffer.Buffer(), body_buffer.Length()) || body.count() < 4)
        return C_BAD_ENSEMBLE_HEADER;

    status = ReadElementList(body.stream(0));
    if (status != C_OK)
        return status;

    ReadStreamSet corrected_parameters;
    status = PredictAndCorrectParameters(body.stream(1), &corrected_parameters);
    if (status != C_OK)
        return status;

    ReadStreamSet corrected_elements;
    {
        WriteStreamSet transformed;
        status = TransformUp(&corrected_parameters, &transformed);
        if (status != C_OK)
            return status;
        // The parsed programs were made of many small allocations; hand that memory back before the
        // large buffers of the next steps are allocated, so that it does not add to the peak.
        malloc_trim(0);
        status = CorrectSet(&transformed, body.stream(2), &m_ElementsBuffer, &corrected_elements);
        if (status != C_OK)
            return status;
    }

    WriteStream rebuilt;
    status = TransformDown(&corrected_elements, &rebuilt);
    if (status != C_OK)
        return status;

    ReadStream rebuilt_base = rebuilt.AsReadStream();
    if (!ApplyByteDifference(rebuilt_base, body.stream(3), out))
        return C_GENERAL_ERROR;
    if (PatchChecksum(out->Buffer(), out->Length()) != m_Header.target_checksum)
        return C_BAD_ENSEMBLE_CRC;
    return C_OK;
}

PatchStatus EnsemblePatchApplication::ReadElementList(ReadStream *list)
{
    uint32_t count = 0;
    if (!list->ReadVarint(&count))
        return C_BAD_ENSEMBLE_HEADER;
    // Every kind takes at least one byte, so the count is bounded by the list before anything is
    // allocated for it.
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!list->ReadVarint(&kind) || !IsValidElementKind(kind))
            return C_BAD_ENSEMBLE_HEADER;
    }
    try {
        m_Patchers.reserve(count);
    } catch (const std::bad_alloc &) {
        return C_STREAM_ERROR;
    } catch (const std::length_error &) {
        return C_STREAM_ERROR;
    }
    for (uint32_t i = 0; i < count; ++i) {
        // Every kind shares one element patcher; the parser is chosen by detection later.
        std::unique_ptr<TransformationPatcher> patcher(new (std::nothrow) PatcherX86_32(m_Base));
        if (!patcher)
            return C_STREAM_ERROR;
        m_Patchers.push_back(std::move(patcher)); // room was reserved above
    }
    for (auto &patcher : m_Patchers) {
        const PatchStatus status = patcher->ReadParameters(list);
        if (status != C_OK)
            return status;
    }
    return list->Consumed() ? C_OK : C_BAD_ENSEMBLE_HEADER;
}

PatchStatus EnsemblePatchApplication::PredictAndCorrectParameters(ReadStream *diff, ReadStreamSet *corrected)
{
    WriteStreamSet predicted;
    for (auto &patcher : m_Patchers) {
        WriteStreamSet parameters;
        const PatchStatus status = patcher->PredictParameters(&parameters);
        if (status != C_OK)
            return status;
        if (!predicted.WriteNestedSet(&parameters))
            return C_STREAM_ERROR;
    }
    return CorrectSet(&predicted, diff, &m_ParametersBuffer, corrected);
}

PatchStatus EnsemblePatchApplication::TransformUp(ReadStreamSet *corrected_parameters,
                                                  WriteStreamSet *transformed)
{
    for (auto &patcher : m_Patchers) {
        ReadStreamSet parameters;
        if (!corrected_parameters->ReadNestedSet(&parameters))
            return C_STREAM_ERROR;
        WriteStreamSet element;
        const PatchStatus status = patcher->TransformElement(&parameters, &element);
        if (status != C_OK)
            return status;
        if (!parameters.AllConsumed())
            return C_STREAM_NOT_CONSUMED;
        if (!transformed->WriteNestedSet(&element))
            return C_STREAM_ERROR;
    }
    if (!corrected_parameters->AllConsumed())
        return C_STREAM_NOT_CONSUMED;
    m_ParametersBuffer.Clear();
    return C_OK;
}

PatchStatus EnsemblePatchApplication::TransformDown(ReadStreamSet *corrected_elements, WriteStream *rebuilt)
{
    if (!rebuilt->ReserveMore(m_Header.size_prediction))
        return C_STREAM_ERROR;
    if (!rebuilt->WriteBytes(m_Base.Buffer(), m_Base.Remaining()))
        return C_STREAM_ERROR;
    for (auto &patcher : m_Patchers) {
        ReadStreamSet element;
        if (!corrected_elements->ReadNestedSet(&element))
            return C_STREAM_ERROR;
        const PatchStatus status = patcher->ReformElement(&element, rebuilt);
        if (status != C_OK)
            return status;
        if (!element.AllConsumed())
            return C_STREAM_NOT_CONSUMED;
    }
    if (!corrected_elements->AllConsumed())
        return C_STREAM_NOT_CONSUMED;
    m_ElementsBuffer.Clear();
    return C_OK;
}

} // namespace

PatchStatus ReadEnsembleHeader(ReadStream *patch, EnsemblePatchHeader *header)
{
    if (!patch->ReadVarint(&header->magic) || header->magic != kEnsembleMagic)
        return C_BAD_ENSEMBLE_MAGIC;
    if (!patch->ReadVarint(&header->version) || header->version != kEnsembleVersion)
        return C_BAD_ENSEMBLE_VERSION;
    if (!patch->ReadVarint(&header->source_checksum) || !patch->ReadVarint(&header->target_checksum) ||
        !patch->ReadVarint(&header->size_prediction))
        return C_BAD_ENSEMBLE_HEADER;
    return C_OK;
}

TransformationPatcher::~TransformationPatcher() = default;

PatcherX86_32::PatcherX86_32(const ReadStream &ensemble) : m_Ensemble(ensemble) {}

PatcherX86_32::~PatcherX86_32() = default;

PatchStatus PatcherX86_32::ReadParameters(ReadStream *parameter_stream)
{
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!parameter_stream->ReadVarint(&offset) || !parameter_stream->ReadVarint(&length))
        return C_BAD_TRANSFORM;
    const size_t size = m_Ensemble.Remaining();
    if (offset > size || length > size - offset)
        return C_BAD_TRANSFORM;
    m_BaseOffset = offset;
    m_BaseLength = length;
    return C_OK;
}

PatchStatus PatcherX86_32::PredictParameters(WriteStreamSet *)
{
    return C_OK;
}

PatchStatus PatcherX86_32::TransformElement(ReadStreamSet *corrected_parameters,
                                            WriteStreamSet *transformed_element)
{
    if (!corrected_parameters->AllConsumed())
        return C_GENERAL_ERROR;
    EncodedProgram encoded;
    const PatchStatus status =
        TransformExecutable(m_Ensemble.Buffer() + m_BaseOffset, m_BaseLength, ParsedProgramHook(), &encoded);
    if (status != C_OK)
        return status;
    return SerializeEncodedProgram(encoded, transformed_element);
}

PatchStatus PatcherX86_32::ReformElement(ReadStreamSet *transformed_element, WriteStream *reformed_element)
{
    EncodedProgram encoded;
    if (DeserializeEncodedProgram(transformed_element, &encoded) != C_OK)
        return C_DESERIALIZATION_FAILED;
    if (AssembleProgram(encoded, reformed_element) != C_OK)
        return C_ASSEMBLY_FAILED;
    return C_OK;
}

PatchStatus TransformExecutable(const uint8_t *bytes, size_t length, const ParsedProgramHook &hook,
                                EncodedProgram *encoded)
{
    std::unique_ptr<ParsedProgram> program;
    PatchStatus status = DisassembleExecutable(bytes, length, &program);
    if (status != C_OK)
        return status;
    status = TrimLabels(program.get());
    if (status != C_OK)
        return status;
    if (hook && !hook(program.get()))
        return C_GENERAL_ERROR;
    return EncodeProgram(*program, encoded) == C_OK ? C_OK : C_GENERAL_ERROR;
}

PatchStatus ApplyEnsemblePatch(ReadStream old, ReadStream patch, WriteStream *out)
{
    // Containers inside the parsers may still throw when memory runs out; that is a status too.
    try {
        EnsemblePatchApplication application;
        return application.Run(old, patch, out);
    } catch (const std::bad_alloc &) {
        return C_STREAM_ERROR;
    }
}

PatchStatus ApplyEnsemblePatch(const char *old_path, const char *patch_path, const char *new_path)
{
    WriteStream output;
    {
        MappedFile patch_file;
        if (!patch_file.Open(patch_path))
            return C_READ_OPEN_ERROR;
        ReadStream patch(patch_file.data(), patch_file.size());
        EnsemblePatchHeader header;
        ReadStream header_reader = patch;
        const PatchStatus header_status = ReadEnsembleHeader(&header_reader, &header);
        if (header_status != C_OK)
            return header_status;
        MappedFile old_file;
        if (!old_file.Open(old_path))
            return C_READ_ERROR;
        const PatchStatus status =
            ApplyEnsemblePatch(ReadStream(old_file.data(), old_file.size()), patch, &output);
        if (status != C_OK)
            return status;
    }
    // The inputs are unmapped first: the new file may be one of them.
    return WriteWholeFile(new_path, output.Buffer(), output.Length()) ? C_OK : C_READ_ERROR;
}

} // namespace patcher
