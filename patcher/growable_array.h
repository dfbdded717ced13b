// A growable array of trivially copyable values whose allocation failures are reported, not thrown.
#ifndef PATCHER_GROWABLE_ARRAY_H
#define PATCHER_GROWABLE_ARRAY_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace patcher {

template <typename T> class GrowableArray {
    static_assert(std::is_trivially_copyable<T>::value, "GrowableArray holds plain values");

public:
    GrowableArray() = default;
    ~GrowableArray() { std::free(m_data); }
    GrowableArray(GrowableArray &&other) noexcept { swap(other); }
    GrowableArray &operator=(GrowableArray &&other) noexcept
    {
        if (this != &other) {
            Clear();
            swap(other);
        }
        return *this;
    }
    GrowableArray(const GrowableArray &) = delete;
    GrowableArray &operator=(const GrowableArray &) = delete;

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const T *data() const { return m_data; }
    T *data() { return m_data; }
    const T &operator[](size_t i) const { return m_data[i]; }
    T &operator[](size_t i) { return m_data[i]; }
    const T *begin() const { return m_data; }
    const T *end() const { return m_data + m_size; }
    T *begin() { return m_data; }
    T *end() { return m_data + m_size; }
    T &back() { return m_data[m_size - 1]; }

    // Makes room for `capacity` entries in total; false when that much memory cannot be had.
    bool reserve(size_t capacity)
    {
        if (capacity <= m_capacity)
            return true;
        if (capacity > std::numeric_limits<size_t>::max() / sizeof(T))
            return false;
        T *fresh = static_cast<T *>(std::realloc(m_data, capacity * sizeof(T)));
        if (fresh == nullptr)
            return false;
        m_data = fresh;
        m_capacity = capacity;
        return true;
    }

    bool push_back(const T &value)
    {
        if (m_size == m_capacity && !reserve(m_capacity < 32 ? 64 : m_capacity * 2))
            return false;
        m_data[m_size++] = value;
        return true;
    }

    bool append(const T *values, size_t n)
    {
        if (n > std::numeric_limits<size_t>::max() - m_size)
            return false;
        if (m_size + n > m_capacity) {
            size_t capacity = m_capacity < 32 ? 64 : m_capacity;
            while (capacity < m_size + n)
                capacity = capacity > std::numeric_limits<size_t>::max() / 2 ? m_size + n : capacity * 2;
            if (!reserve(capacity))
                return false;
        }
        if (n != 0)
            std::memcpy(m_data + m_size, values, n * sizeof(T));
        m_size += n;
        return true;
    }

    // Grows to n entries, giving new entries `fill`; shrinking keeps the memory.
    bool resize(size_t n, const T &fill)
    {
        if (n > m_size) {
            if (!reserve(n))
                return false;
            for (size_t i = m_size; i < n; ++i)
                m_data[i] = fill;
        }
        m_size = n;
        return true;
    }

    void Clear()
    {
        std::free(m_data);
        m_data = nullptr;
        m_size = 0;
        m_capacity = 0;
    }

private:
    void swap(GrowableArray &other)
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

    T *m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

} // namespace patcher

#endif
