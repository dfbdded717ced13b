#include "patcher/byte_difference.h"

#include "patcher/logging.h"
#include "patcher/lzma2.h"

#include <divsufsort.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

namespace patcher {

namespace {

const size_t kMaxInputSize = static_cast<size_t>(std::numeric_limits<int32_t>::max());
// A candidate match is taken once it beats the bytes that the current alignment already matches
// by this many.
const int64_t kMatchAdvantage = 8;
// New data of at least this size is scanned as two halves on two threads.
const size_t kSplitScanAbove = 256 << 10;

size_t matchLength(const uint8_t *a, size_t aSize, const uint8_t *b, size_t bSize)
{
    const size_t n = aSize < bSize ? aSize : bSize;
    size_t i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// The longest match of `target` anywhere in `old`, by binary search over the suffix array.
size_t longestMatch(const int32_t *suffixes, const uint8_t *old, size_t oldSize, const uint8_t *target,
                    size_t targetSize, size_t *position)
{
    size_t lo = 0, hi = oldSize - 1;
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        const size_t at = static_cast<size_t>(suffixes[mid]);
        const size_t n = oldSize - at < targetSize ? oldSize - at : targetSize;
        if (std::memcmp(old + at, target, n) < 0)
            lo = mid;
        else
            hi = mid;
    }
    const size_t atLo = static_cast<size_t>(suffixes[lo]);
    const size_t atHi = static_cast<size_t>(suffixes[hi]);
    const size_t lenLo = matchLength(old + atLo, oldSize - atLo, target, targetSize);
    const size_t lenHi = matchLength(old + atHi, oldSize - atHi, target, targetSize);
    if (lenLo >= lenHi) {
        *position = atLo;
        return lenLo;
    }
    *position = atHi;
    return lenHi;
}

class Generator {
public:
    Generator(const uint8_t *old, size_t oldSize, const uint8_t *fresh, size_t freshSize)
        : m_old(old), m_oldSize(oldSize), m_new(fresh), m_newSize(freshSize)
    {
    }
    ~Generator() { std::free(m_suffixes); }

    bool Run();

    WriteStream m_control, m_diff, m_extra;

private:
    struct Blocks {
        WriteStream control, diff, extra;
    };
    // Scans new bytes [begin, end); the range's first triple starts at old position min(begin, old
    // size), and the last one of a range that is not the final one seeks to `nextStart`.
    bool scanRange(size_t begin, size_t end, bool final, size_t nextStart, Blocks *out) const;
    bool sameAt(int64_t newIndex, int64_t oldIndex) const
    {
        return oldIndex >= 0 && static_cast<size_t>(oldIndex) < m_oldSize &&
               m_old[oldIndex] == m_new[newIndex];
    }
    bool emit(Blocks *out, size_t lastScan, size_t lastPos, size_t forward, size_t gapEnd,
              int64_t nextPos) const;

    const uint8_t *m_old;
    size_t m_oldSize;
    const uint8_t *m_new;
    size_t m_newSize;
    int32_t *m_suffixes = nullptr;
};

// One triple: `forward` corrected bytes from lastPos, literal bytes up to gapEnd, then a seek to nextPos.
bool Generator::emit(Blocks *out, size_t lastScan, size_t lastPos, size_t forward, size_t gapEnd,
                     int64_t nextPos) const
{
    const size_t extraStart = lastScan + forward;
    const size_t extraCount = gapEnd - extraStart;
    if (!out->diff.ReserveMore(forward))
        return false;
    uint8_t *d = out->diff.MutableBuffer() + out->diff.Length();
    for (size_t i = 0; i < forward; ++i)
        d[i] = static_cast<uint8_t>(m_new[lastScan + i] - m_old[lastPos + i]);
    out->diff.Commit(forward);
    const int64_t seek = nextPos - static_cast<int64_t>(lastPos + forward);
    return out->extra.WriteBytes(m_new + extraStart, extraCount) &&
           out->control.WriteSignedVarint(static_cast<int32_t>(forward)) &&
           out->control.WriteSignedVarint(static_cast<int32_t>(extraCount)) &&
           out->control.WriteSignedVarint(static_cast<int32_t>(seek));
}

bool Generator::scanRange(size_t begin, size_t end, bool final, size_t nextStart, Blocks *out) const
{
    size_t scan = begin, length = 0, position = 0;
    size_t lastScan = begin, lastPos = begin < m_oldSize ? begin : m_oldSize;
    // old index minus new index of the current alignment
    int64_t lastOffset = static_cast<int64_t>(lastPos) - static_cast<int64_t>(lastScan);
    while (scan < end) {
        int64_t oldScore = 0;
        size_t scored = scan += length;
        // Look for the next place where a fresh match beats continuing the current alignment.
        for (; scan < end; ++scan) {
            length = longestMatch(m_suffixes, m_old, m_oldSize, m_new + scan, end - scan, &position);
            for (; scored < scan + length; ++scored) {
                if (sameAt(static_cast<int64_t>(scored), static_cast<int64_t>(scored) + lastOffset))
                    ++oldScore;
            }
            if ((static_cast<int64_t>(length) == oldScore && length != 0) ||
                static_cast<int64_t>(length) > oldScore + kMatchAdvantage)
                break;
            if (sameAt(static_cast<int64_t>(scan), static_cast<int64_t>(scan) + lastOffset))
                --oldScore;
        }
        if (static_cast<int64_t>(length) == oldScore && scan != end)
            continue;

        // Extend the previous match forwards while at least half of the bytes agree.
        size_t forward = 0;
        {
            int64_t same = 0, best = 0;
            for (size_t i = 0; lastScan + i < scan && lastPos + i < m_oldSize; ++i) {
                if (m_old[lastPos + i] == m_new[lastScan + i])
                    ++same;
                if (same * 2 - static_cast<int64_t>(i + 1) > best * 2 - static_cast<int64_t>(forward)) {
                    best = same;
                    forward = i + 1;
                }
            }
        }
        // And the new match backwards the same way.
        size_t backward = 0;
        if (scan < end) {
            int64_t same = 0, best = 0;
            for (size_t i = 1; scan >= lastScan + i && position >= i; ++i) {
                if (m_old[position - i] == m_new[scan - i])
                    ++same;
                if (same * 2 - static_cast<int64_t>(i) > best * 2 - static_cast<int64_t>(backward)) {
                    best = same;
                    backward = i;
                }
            }
        }
        // Where the two extensions overlap, split at the point that keeps the most agreeing bytes.
        if (lastScan + forward > scan - backward) {
            const size_t overlap = (lastScan + forward) - (scan - backward);
            int64_t score = 0, best = 0;
            size_t split = 0;
            for (size_t i = 0; i < overlap; ++i) {
                const size_t n = lastScan + forward - overlap + i;
                if (m_new[n] == m_old[lastPos + forward - overlap + i])
                    ++score;
                if (m_new[scan - backward + i] == m_old[position - backward + i])
                    --score;
                if (score > best) {
                    best = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        const int64_t nextPos = scan == end && !final ? static_cast<int64_t>(nextStart)
                                                      : static_cast<int64_t>(position - backward);
        if (!emit(out, lastScan, lastPos, forward, scan - backward, nextPos))
            return false;
        lastScan = scan - backward;
        lastPos = position - backward;
        lastOffset = static_cast<int64_t>(position) - static_cast<int64_t>(scan);
    }
    return true;
}

bool Generator::Run()
{
    Blocks first;
    if (m_oldSize == 0) {
        if (m_newSize != 0 && !emit(&first, 0, 0, 0, m_newSize, 0))
            return false;
    } else {
        m_suffixes = static_cast<int32_t *>(std::malloc(m_oldSize * sizeof(int32_t)));
        if (m_suffixes == nullptr || divsufsort(m_old, m_suffixes, static_cast<int32_t>(m_oldSize)) != 0)
            return false;
        if (m_newSize < kSplitScanAbove) {
            if (!scanRange(0, m_newSize, true, 0, &first))
                return false;
        } else {
            // Two halves scanned at once; the first hands over to the second with a seek.
            const size_t mid = m_newSize / 2;
            const size_t midPos = mid < m_oldSize ? mid : m_oldSize;
            Blocks second;
            bool secondOk = false;
            std::thread worker;
            try {
                worker = std::thread([&] { secondOk = scanRange(mid, m_newSize, true, 0, &second); });
            } catch (...) {
                // No thread to be had: scan the second half here afterwards.
            }
            const bool firstOk = scanRange(0, mid, false, midPos, &first);
            if (worker.joinable())
                worker.join();
            else
                secondOk = scanRange(mid, m_newSize, true, 0, &second);
            if (!firstOk || !secondOk || !first.control.AppendAndFree(&second.control) ||
                !first.diff.AppendAndFree(&second.diff) || !first.extra.AppendAndFree(&second.extra))
                return false;
        }
    }
    m_control = std::move(first.control);
    m_diff = std::move(first.diff);
    m_extra = std::move(first.extra);
    return true;
}

bool writePlainLayout(WriteStream *out, WriteStream *control, WriteStream *diff, WriteStream *extra)
{
    return out->WriteSizeVarint(control->Length()) && out->WriteSizeVarint(diff->Length()) &&
           out->WriteSizeVarint(extra->Length()) &&
           out->ReserveMore(control->Length() + diff->Length() + extra->Length()) &&
           out->AppendAndFree(control) && out->AppendAndFree(diff) && out->AppendAndFree(extra);
}

} // namespace

bool GenerateByteDifference(const ReadStream &old, const ReadStream &newData, WriteStream *patch,
                            uint32_t method)
{
    if (old.Remaining() >= kMaxInputSize + 1) {
        LogError(" old stream too large");
        LogError("error in old_stream size");
        return false;
    }
    if (newData.Remaining() >= kMaxInputSize + 1) {
        LogError(" new stream too large");
        LogError("error in new_stream size");
        return false;
    }
    if (method > BYTE_DIFFERENCE_LZMA2_ALL)
        return false;
    Generator generator(old.Buffer(), old.Remaining(), newData.Buffer(), newData.Remaining());
    if (!generator.Run())
        return false;

    if (!patch->WriteByte(static_cast<uint8_t>(method)) || !patch->WriteSizeVarint(newData.Remaining()))
        return false;
    switch (method) {
    case BYTE_DIFFERENCE_PLAIN:
        return writePlainLayout(patch, &generator.m_control, &generator.m_diff, &generator.m_extra);
    case BYTE_DIFFERENCE_LZMA2_EACH:
        return patch->WriteLzma2Block(generator.m_control.AsReadStream()) &&
               WriteTunedLzma2Block(patch, generator.m_diff.Buffer(), generator.m_diff.Length(),
                                    SparseDataTuning()) &&
               patch->WriteLzma2Block(generator.m_extra.AsReadStream());
    default: {
        WriteStream body;
        // The body is mostly the corrections, so it is compressed like them.
        return writePlainLayout(&body, &generator.m_control, &generator.m_diff, &generator.m_extra) &&
               WriteTunedLzma2Block(patch, body.Buffer(), body.Length(), SparseDataTuning());
    }
    }
}

} // namespace patcher
