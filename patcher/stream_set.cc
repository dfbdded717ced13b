#include "patcher/stream_set.h"

namespace patcher {

bool ReadStreamSet::Parse(const uint8_t *bytes, size_t n)
{
    ReadStream header(bytes, n);
    uint32_t magic = 0;
    uint32_t count = 0;
    if (!header.ReadVarint(&magic) || magic != kStreamSetMagic)
        return false;
    if (!header.ReadVarint(&count) || count > kMaxStreams)
        return false;
    uint32_t lengths[kMaxStreams];
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!header.ReadVarint(&lengths[i]))
            return false;
        total += lengths[i];
    }
    if (total != header.Remaining())
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!header.TakeSlice(lengths[i], &m_streams[i]))
            return false;
    }
    for (size_t i = count; i < kMaxStreams; ++i)
        m_streams[i] = ReadStream();
    m_count = count;
    return true;
}

bool ReadStreamSet::ReadNestedSet(ReadStreamSet *child)
{
    ReadStream *header = stream(0);
    if (header == nullptr)
        return false;
    ReadStream cursor = *header;
    uint32_t count = 0;
    if (!cursor.ReadVarint(&count) || count > kMaxStreams || count > m_count || count > child->m_count)
        return false;
    uint32_t lengths[kMaxStreams];
    for (uint32_t i = 0; i < count; ++i) {
        if (!cursor.ReadVarint(&lengths[i]))
            return false;
    }
    // Check every slice before taking any, so a failure leaves both sets as they were.
    ReadStream slices[kMaxStreams];
    ReadStream rest[kMaxStreams];
    for (uint32_t i = 0; i < count; ++i) {
        rest[i] = i == 0 ? cursor : m_streams[i];
        if (!rest[i].TakeSlice(lengths[i], &slices[i]))
            return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        m_streams[i] = rest[i];
        child->m_streams[i] = slices[i];
    }
    if (count == 0)
        m_streams[0] = cursor;
    return true;
}

bool ReadStreamSet::AllConsumed() const
{
    for (size_t i = 0; i < m_count; ++i) {
        if (!m_streams[i].Consumed())
            return false;
    }
    return true;
}

bool WriteStreamSet::SetCount(size_t n)
{
    if (n > kMaxStreams)
        return false;
    m_count = n;
    return true;
}

bool WriteStreamSet::Serialize(WriteStream *combined)
{
    WriteStream header;
    bool ok = header.WriteVarint(kStreamSetMagic) && header.WriteSizeVarint(m_count);
    size_t total = 0;
    for (size_t i = 0; ok && i < m_count; ++i) {
        ok = !m_streams[i].Failed() && header.WriteSizeVarint(m_streams[i].Length());
        total += m_streams[i].Length();
    }
    ok = ok && combined->ReserveMore(header.Length() + total) && combined->AppendAndFree(&header);
    for (size_t i = 0; ok && i < m_count; ++i)
        ok = combined->AppendAndFree(&m_streams[i]);
    return ok;
}

bool WriteStreamSet::WriteNestedSet(WriteStreamSet *child)
{
    size_t count = 0;
    for (size_t i = 0; i < child->m_count; ++i) {
        if (child->m_streams[i].Failed())
            return false;
        if (child->m_streams[i].Length() != 0)
            count = i + 1;
    }
    if (m_count == 0 || count > m_count)
        return false;
    WriteStream &header = m_streams[0];
    if (!header.WriteSizeVarint(count))
        return false;
    for (size_t i = 0; i < count; ++i) {
        if (!header.WriteSizeVarint(child->m_streams[i].Length()))
            return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!m_streams[i].AppendAndFree(&child->m_streams[i]))
            return false;
    }
    return true;
}

} // namespace patcher
