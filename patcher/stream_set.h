// Sets of up to ten streams serialised into one blob, and sets nested inside sets.
#ifndef PATCHER_STREAM_SET_H
#define PATCHER_STREAM_SET_H

#include "patcher/streams.h"

#include <cstddef>
#include <cstdint>

namespace patcher {

const size_t kMaxStreams = 10;
const uint32_t kStreamSetMagic = 20090218;

class ReadStreamSet {
public:
    ReadStreamSet() = default;

    // Parses a serialised set that fills exactly n bytes; the streams become views of those bytes.
    bool Parse(const uint8_t *bytes, size_t n);
    // The same over the remaining bytes of `source`, which itself does not advance.
    bool Parse(const ReadStream &source) { return Parse(source.Buffer(), source.Remaining()); }

    size_t count() const { return m_count; }
    // Stream i, or nullptr when the set has no such stream.
    ReadStream *stream(size_t i) { return i < m_count ? &m_streams[i] : nullptr; }
    const ReadStream *stream(size_t i) const { return i < m_count ? &m_streams[i] : nullptr; }

    // Reads one set nested into this one (see WriteStreamSet::WriteNestedSet).
    bool ReadNestedSet(ReadStreamSet *child);
    bool AllConsumed() const;

private:
    size_t m_count = kMaxStreams;
    ReadStream m_streams[kMaxStreams];
};

class WriteStreamSet {
public:
    WriteStreamSet() = default;
    WriteStreamSet(WriteStreamSet &&) = default;
    WriteStreamSet &operator=(WriteStreamSet &&) = default;

    // Fixes the number of streams; fails above kMaxStreams.
    bool SetCount(size_t n);
    size_t count() const { return m_count; }
    WriteStream *stream(size_t i) { return i < m_count ? &m_streams[i] : nullptr; }
    const WriteStream *stream(size_t i) const { return i < m_count ? &m_streams[i] : nullptr; }

    // Appends the serialised set to `combined`, freeing each stream once it is copied.
    bool Serialize(WriteStream *combined);
    // Writes `child` as a nested set into this one and empties the child's streams.
    bool WriteNestedSet(WriteStreamSet *child);

private:
    size_t m_count = kMaxStreams;
    WriteStream m_streams[kMaxStreams];
};

} // namespace patcher

#endif
