// The publisher's side of ensemble patches.
#pragma once

#include "patcher/streams.h"

#include <cstddef>

namespace patcher {

struct EnsembleGeneratorReport {
    size_t paired_elements = 0; // executables of the new file paired with one of the old file
    size_t elements = 0;        // elements in the patch written (0 when the plain patch was smaller)
    size_t matched_labels = 0;  // labels of the paired new executables numbered like an old label
    size_t new_labels = 0;      // labels of the paired new executables
};

// Writes to `patch` (pass an empty stream) a patch that ApplyEnsemblePatch turns from `old` into
// `new_file` byte for byte. The executables of both files are paired and transformed as the applier
// will; a file without executables gets a patch with zero elements. The output is deterministic.
// Both the transformed and the zero-element patch are made and applied once; the smaller of those
// that rebuild the new file is written. False when no patch could be made.
bool GenerateEnsemblePatch(ReadStream old, ReadStream new_file, WriteStream *patch,
                           EnsembleGeneratorReport *report = nullptr);

// The same over files; the patch file is written in one piece at the end.
bool GenerateEnsemblePatch(const char *old_path, const char *new_path, const char *patch_path,
                           EnsembleGeneratorReport *report = nullptr);

} // namespace patcher
