#include "patcher/streams.h"

#include "patcher/logging.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace patcher {

namespace {
const size_t kMinimumAllocation = 256;
const int kMaxVarintBytes = 5;
} // namespace

bool ReadStream::ReadBytes(void *destination, size_t n)
{
    if (n > Remaining())
        return false;
    if (n != 0)
        std::memcpy(destination, m_position, n);
    m_position += n;
    return true;
}

bool ReadStream::SkipBytes(size_t n)
{
    if (n > Remaining())
        return false;
    m_position += n;
    return true;
}

bool ReadStream::ReadVarint(uint32_t *out)
{
    uint32_t value = 0;
    const uint8_t *p = m_position;
    for (int i = 0; i < kMaxVarintBytes; ++i) {
        if (p == m_end)
            return false;
        const uint8_t byte = *p++;
        if (i == kMaxVarintBytes - 1) {
            // Only the low four bits of the fifth byte fit in 32 bits; a sixth byte is never allowed.
            if (byte & 0x80)
                return false;
            value |= static_cast<uint32_t>(byte) << 28;
            break;
        }
        value |= static_cast<uint32_t>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80))
            break;
    }
    *out = value;
    m_position = p;
    return true;
}

bool ReadStream::ReadSignedVarint(int32_t *out)
{
    uint32_t u = 0;
    if (!ReadVarint(&u))
        return false;
    *out = ZigZagDecode(u);
    return true;
}

bool ReadStream::TakeSlice(size_t n, ReadStream *out)
{
    if (n > Remaining())
        return false;
    *out = ReadStream(m_position, n);
    m_position += n;
    return true;
}

WriteStream::~WriteStream()
{
    std::free(m_data);
}

WriteStream::WriteStream(WriteStream &&other) noexcept
    : m_data(other.m_data), m_length(other.m_length), m_capacity(other.m_capacity), m_failed(other.m_failed)
{
    other.m_data = nullptr;
    other.m_length = 0;
    other.m_capacity = 0;
    other.m_failed = false;
}

WriteStream &WriteStream::operator=(WriteStream &&other) noexcept
{
    if (this != &other) {
        std::free(m_data);
        m_data = other.m_data;
        m_length = other.m_length;
        m_capacity = other.m_capacity;
        m_failed = other.m_failed;
        other.m_data = nullptr;
        other.m_length = 0;
        other.m_capacity = 0;
        other.m_failed = false;
    }
    return *this;
}

void WriteStream::Clear()
{
    std::free(m_data);
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
    m_failed = false;
}

void WriteStream::Fail()
{
    std::free(m_data);
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
    m_failed = true;
}

// Grows the buffer to hold `needed` bytes: exactly that many (at least 256) when `exact`, otherwise
// by doubling from the current capacity.
bool WriteStream::Grow(size_t needed, bool exact)
{
    size_t capacity = needed;
    if (!exact) {
        capacity = m_capacity == 0 ? kMinimumAllocation : m_capacity;
        while (capacity < needed) {
            if (capacity > std::numeric_limits<size_t>::max() / 2) {
                capacity = std::numeric_limits<size_t>::max();
                break;
            }
            capacity *= 2;
        }
    }
    if (capacity < kMinimumAllocation)
        capacity = kMinimumAllocation;
    uint8_t *fresh = static_cast<uint8_t *>(std::malloc(capacity));
    if (fresh == nullptr) {
        Fail();
        return false;
    }
    if (m_length != 0)
        std::memcpy(fresh, m_data, m_length);
    std::free(m_data);
    m_data = fresh;
    m_capacity = capacity;
    return true;
}

bool WriteStream::WriteBytes(const void *bytes, size_t n)
{
    if (m_failed)
        return false;
    if (n == 0)
        return true;
    if (n > std::numeric_limits<size_t>::max() - m_length) {
        Fail();
        return false;
    }
    if (m_length + n > m_capacity && !Grow(m_length + n, false))
        return false;
    std::memcpy(m_data + m_length, bytes, n);
    m_length += n;
    return true;
}

bool WriteStream::ReserveMore(size_t n)
{
    if (m_failed)
        return false;
    if (n > std::numeric_limits<size_t>::max() - m_length) {
        Fail();
        return false;
    }
    if (m_length + n <= m_capacity)
        return true;
    return Grow(m_length + n, true);
}

bool WriteStream::Commit(size_t n)
{
    if (m_failed || n > m_capacity - m_length)
        return false;
    m_length += n;
    return true;
}

bool WriteStream::WriteVarint(uint32_t value)
{
    uint8_t bytes[kMaxVarintBytes];
    size_t n = 0;
    while (value >= 0x80) {
        bytes[n++] = static_cast<uint8_t>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    bytes[n++] = static_cast<uint8_t>(value);
    return WriteBytes(bytes, n);
}

bool WriteStream::WriteSignedVarint(int32_t value)
{
    return WriteVarint(ZigZagEncode(value));
}

bool WriteStream::WriteSizeVarint(size_t value)
{
    const uint32_t narrowed_value = static_cast<uint32_t>(value);
    PATCHER_CHECK(value == narrowed_value);
    return WriteVarint(narrowed_value);
}

bool WriteStream::AppendAndFree(WriteStream *other)
{
    if (other->m_failed) {
        // The source lost its bytes: the result would be silently short.
        other->Clear();
        return false;
    }
    const bool ok = WriteBytes(other->m_data, other->m_length);
    other->Clear();
    return ok;
}

} // namespace patcher
