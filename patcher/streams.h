// Byte streams shared by every patcher format: a read cursor over memory, a growable output buffer,
// and the varint32 encodings.
#ifndef PATCHER_STREAMS_H
#define PATCHER_STREAMS_H

#include <cstddef>
#include <cstdint>

namespace patcher {

class WriteStream;

// A non-owning read cursor over bytes already in memory. Failed reads leave the position unchanged.
class ReadStream {
public:
    ReadStream() = default;
    ReadStream(const uint8_t *data, size_t size) : m_start(data), m_end(data + size), m_position(data) {}
    ReadStream(const void *data, size_t size) : ReadStream(static_cast<const uint8_t *>(data), size) {}

    const uint8_t *Start() const { return m_start; }
    const uint8_t *End() const { return m_end; }
    // The next byte to read.
    const uint8_t *Buffer() const { return m_position; }
    size_t Remaining() const { return static_cast<size_t>(m_end - m_position); }
    size_t Size() const { return static_cast<size_t>(m_end - m_start); }
    size_t Offset() const { return static_cast<size_t>(m_position - m_start); }
    bool Consumed() const { return m_position == m_end; }

    bool ReadBytes(void *destination, size_t n);
    bool ReadByte(uint8_t *out) { return ReadBytes(out, 1); }
    bool SkipBytes(size_t n);
    bool ReadVarint(uint32_t *out);
    bool ReadSignedVarint(int32_t *out);
    // The next n bytes become `out` (a view of the same memory); this stream moves past them.
    bool TakeSlice(size_t n, ReadStream *out);
    // Decodes one LZMA2 block at the position and appends its bytes to `sink`.
    bool ReadLzma2Block(WriteStream *sink);

private:
    const uint8_t *m_start = nullptr;
    const uint8_t *m_end = nullptr;
    const uint8_t *m_position = nullptr;
};

// A growable output buffer that never throws. After an allocation failure it is "failed": its
// buffer is freed and every later write, reserve or append fails without doing anything.
class WriteStream {
public:
    WriteStream() = default;
    ~WriteStream();
    WriteStream(WriteStream &&other) noexcept;
    WriteStream &operator=(WriteStream &&other) noexcept;
    WriteStream(const WriteStream &) = delete;
    WriteStream &operator=(const WriteStream &) = delete;

    const uint8_t *Buffer() const { return m_data; }
    // Writable view of the bytes written so far (for in-place corrections).
    uint8_t *MutableBuffer() { return m_data; }
    size_t Length() const { return m_length; }
    size_t Capacity() const { return m_capacity; }
    bool Failed() const { return m_failed; }
    // A read cursor over the bytes written so far; valid until the next write.
    ReadStream AsReadStream() const { return ReadStream(m_data, m_length); }

    bool WriteBytes(const void *bytes, size_t n);
    bool WriteByte(uint8_t value) { return WriteBytes(&value, 1); }
    // Makes room for Length() + n bytes in one allocation (at least 256 bytes).
    bool ReserveMore(size_t n);
    bool WriteVarint(uint32_t value);
    bool WriteSignedVarint(int32_t value);
    // A size that does not fit in 32 bits is a programming error and ends the process.
    bool WriteSizeVarint(size_t value);
    // Appends `other`'s bytes, then frees `other`'s buffer.
    bool AppendAndFree(WriteStream *other);
    // Compresses n bytes as one LZMA2 block and appends it.
    bool WriteLzma2Block(const void *bytes, size_t n);
    bool WriteLzma2Block(const ReadStream &source)
    {
        return WriteLzma2Block(source.Buffer(), source.Remaining());
    }

    // Frees the buffer and forgets the failed state.
    void Clear();
    // Marks n more bytes of the reserved room as written (after filling them through MutableBuffer).
    bool Commit(size_t n);
    // Forgets the bytes after the first n.
    void Truncate(size_t n)
    {
        if (n < m_length)
            m_length = n;
    }

private:
    bool Grow(size_t needed, bool exact);
    void Fail();

    uint8_t *m_data = nullptr;
    size_t m_length = 0;
    size_t m_capacity = 0;
    bool m_failed = false;
};

// Signed values are mapped to unsigned ones so that small magnitudes stay short: 0,-1,1,-2 -> 0,1,2,3.
inline uint32_t ZigZagEncode(int32_t v)
{
    const uint32_t u = static_cast<uint32_t>(v) << 1;
    return v < 0 ? ~u : u;
}

inline int32_t ZigZagDecode(uint32_t u)
{
    const uint32_t half = u >> 1;
    return static_cast<int32_t>((u & 1) ? ~half : half);
}

} // namespace patcher

#endif
