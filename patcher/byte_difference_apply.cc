#include "patcher/byte_difference.h"

#include "patcher/logging.h"

namespace patcher {

namespace {

// Finds the three blocks of the plain layout and moves `body` past them.
bool locateBlocks(ReadStream *body, ReadStream *control, ReadStream *diff, ReadStream *extra)
{
    uint32_t controlLength = 0, diffLength = 0, extraLength = 0;
    ReadStream cursor = *body;
    if (!cursor.ReadVarint(&controlLength) || !cursor.ReadVarint(&diffLength) || !cursor.ReadVarint(&extraLength))
        return false;
    if (!cursor.TakeSlice(controlLength, control) || !cursor.TakeSlice(diffLength, diff) ||
        !cursor.TakeSlice(extraLength, extra))
        return false;
    *body = cursor;
    return true;
}

bool applyTriples(const ReadStream &old, ReadStream control, ReadStream diff, ReadStream extra, uint32_t newSize,
                  WriteStream *out)
{
    const uint8_t *oldBytes = old.Buffer();
    const int64_t oldSize = static_cast<int64_t>(old.Remaining());
    const size_t start = out->Length();
    int64_t oldPosition = 0;
    while (out->Length() - start < newSize) {
        int32_t diffCount = 0, extraCount = 0, seek = 0;
        if (!control.ReadSignedVarint(&diffCount) || !control.ReadSignedVarint(&extraCount) ||
            !control.ReadSignedVarint(&seek)) {
            LogError("Corrupt patch reading control");
            return false;
        }
        if (diffCount < 0 || extraCount < 0 || static_cast<uint32_t>(diffCount) > diff.Remaining())
            return false;
        if (diffCount > 0 && (oldPosition < 0 || oldPosition + diffCount > oldSize))
            return false;
        // Neither the corrected copy nor the literals may carry the output past the new size.
        if (out->Length() - start + static_cast<uint32_t>(diffCount) > newSize) {
            LogError("Corrupt patch");
            return false;
        }
        const size_t at = out->Length();
        if (!out->WriteBytes(diff.Buffer(), static_cast<size_t>(diffCount)))
            return false;
        diff.SkipBytes(static_cast<size_t>(diffCount));
        uint8_t *target = out->MutableBuffer() + at;
        const uint8_t *source = oldBytes + oldPosition;
        for (int32_t i = 0; i < diffCount; ++i)
            target[i] = static_cast<uint8_t>(target[i] + source[i]);
        if (out->Length() - start + static_cast<uint32_t>(extraCount) > newSize) {
            LogError("Corrupt patch");
            return false;
        }
        if (static_cast<uint32_t>(extraCount) > extra.Remaining() ||
            !out->WriteBytes(extra.Buffer(), static_cast<size_t>(extraCount)))
            return false;
        extra.SkipBytes(static_cast<size_t>(extraCount));
        oldPosition += static_cast<int64_t>(diffCount) + seek;
    }
    return true;
}

} // namespace

bool ApplyByteDifference(const ReadStream &old, ReadStream *patch, WriteStream *out)
{
    uint8_t method = 0;
    if (!patch->ReadByte(&method))
        return false;
    if (method > BYTE_DIFFERENCE_LZMA2_ALL) {
        LogError("Invalid compression method");
        return false;
    }
    uint32_t newSize = 0;
    if (!patch->ReadVarint(&newSize))
        return false;

    // Decoded blocks live here until the end of the call.
    WriteStream decoded[3];
    ReadStream control, diff, extra;
    if (method == BYTE_DIFFERENCE_LZMA2_EACH) {
        for (WriteStream &block : decoded) {
            if (!patch->ReadLzma2Block(&block))
                return false;
        }
        control = decoded[0].AsReadStream();
        diff = decoded[1].AsReadStream();
        extra = decoded[2].AsReadStream();
    } else if (method == BYTE_DIFFERENCE_LZMA2_ALL) {
        if (!patch->ReadLzma2Block(&decoded[0]))
            return false;
        ReadStream body = decoded[0].AsReadStream();
        if (!locateBlocks(&body, &control, &diff, &extra))
            return false;
    } else if (!locateBlocks(patch, &control, &diff, &extra)) {
        return false;
    }

    if (!out->ReserveMore(newSize))
        return false;
    return applyTriples(old, control, diff, extra, newSize, out);
}

} // namespace patcher
