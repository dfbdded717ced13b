// Packed files: one installed file stored as a small header and one LZMA2 block, either the plain
// file or, for executables, encoded programs plus a byte difference that rebuilds the file.
#pragma once

#include "patcher/streams.h"

#include <cstddef>
#include <cstdint>

namespace patcher {

const uint32_t kContainerMagic = 132781929;

enum PreprocessDirective : uint32_t {
    kDirectivePlain = 1,
    kDirectiveDisAndDiff = 2,
};

// Unpacks a container held in memory, appending the file to `output` (pass an empty stream). Logs the
// failing step as an ERROR line and returns false on any failure.
bool UnpackPackedData(ReadStream source, WriteStream *output);

// Unpacks the container `source` into the file `destination`, which is written only at the end.
bool UnpackPackedFile(const char *source, const char *destination);

// Packs n bytes into a container appended to `out`. With `preprocess`, executables are stored as
// encoded programs; if that fails the plain container is written instead.
bool PackData(const uint8_t *data, size_t n, bool preprocess, WriteStream *out);

// Packs the file `source` into the container file `destination`.
bool PackFile(const char *source, const char *destination, bool preprocess);

} // namespace patcher
