// Ensemble patches: the executables inside the old file (its elements) are parsed, encoded, corrected
// by byte differences and reassembled; a last byte difference over the old file followed by the
// reassembled elements gives the new file.
#pragma once

#include "patcher/encoded_program.h"
#include "patcher/parsed_program.h"
#include "patcher/patch_status.h"
#include "patcher/stream_set.h"
#include "patcher/streams.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace patcher {

const uint32_t kEnsembleMagic = 0x756F43;
const uint32_t kEnsembleVersion = 20110216;

struct EnsemblePatchHeader {
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t source_checksum = 0;
    uint32_t target_checksum = 0;
    uint32_t size_prediction = 0; // length of the rebuilt base (old file + reassembled elements)
};

// Reads the five header fields: C_OK, or C_BAD_ENSEMBLE_MAGIC, C_BAD_ENSEMBLE_VERSION,
// C_BAD_ENSEMBLE_HEADER.
PatchStatus ReadEnsembleHeader(ReadStream *patch, EnsemblePatchHeader *header);

// The abstract element patcher.
class TransformationPatcher {
public:
    virtual ~TransformationPatcher();
    virtual PatchStatus ReadParameters(ReadStream *parameter_stream) = 0;
    virtual PatchStatus PredictParameters(WriteStreamSet *predicted_parameters) = 0;
    virtual PatchStatus TransformElement(ReadStreamSet *corrected_parameters,
                                         WriteStreamSet *transformed_element) = 0;
    virtual PatchStatus ReformElement(ReadStreamSet *transformed_element, WriteStream *reformed_element) = 0;
};

// The element patcher of every kind: parse, trim, encode on the way up; assemble on the way down.
class PatcherX86_32 : public TransformationPatcher {
public:
    // `ensemble` is the whole old file.
    explicit PatcherX86_32(const ReadStream &ensemble);
    ~PatcherX86_32() override;
    PatcherX86_32(const PatcherX86_32 &) = delete;
    PatcherX86_32 &operator=(const PatcherX86_32 &) = delete;

    PatchStatus ReadParameters(ReadStream *parameter_stream) override;
    PatchStatus PredictParameters(WriteStreamSet *predicted_parameters) override;
    PatchStatus TransformElement(ReadStreamSet *corrected_parameters,
                                 WriteStreamSet *transformed_element) override;
    PatchStatus ReformElement(ReadStreamSet *transformed_element, WriteStream *reformed_element) override;

    uint32_t base_offset() const { return m_BaseOffset; }
    uint32_t base_length() const { return m_BaseLength; }

private:
    ReadStream m_Ensemble;
    uint32_t m_BaseOffset = 0;
    uint32_t m_BaseLength = 0;
};

// Called between trimming and encoding, so that a caller can read the parsed program or renumber
// its labels; returning false fails the step with C_GENERAL_ERROR.
using ParsedProgramHook = std::function<bool(ParsedProgram *)>;

// Parses the executable in [bytes, bytes + length), trims its labels, runs `hook` (may be empty) and
// encodes it: exactly the transformation the applier makes of an old element.
PatchStatus TransformExecutable(const uint8_t *bytes, size_t length, const ParsedProgramHook &hook,
                                EncodedProgram *encoded);

// Applies the patch in `patch` to the bytes of `old`, appending the new file to `out` (pass an
// empty stream). Both input streams are read from their current position to their end.
PatchStatus ApplyEnsemblePatch(ReadStream old, ReadStream patch, WriteStream *out);

// The same over files. The old file is opened only after the patch header was read; the new file is
// written in one piece at the end and left as it was on every failure before that.
PatchStatus ApplyEnsemblePatch(const char *old_path, const char *patch_path, const char *new_path);

} // namespace patcher
