#include "patcher/mapped_file.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace patcher {

MappedFile::~MappedFile()
{
    Close();
}

bool MappedFile::Open(const char *path)
{
    Close();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<unsigned long long>(st.st_size) > static_cast<unsigned long long>(SIZE_MAX)) {
        ::close(fd);
        return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void *p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED)
        return false;
    // The patcher reads its inputs front to back.
    ::madvise(p, size, MADV_SEQUENTIAL);
    m_data = static_cast<const uint8_t *>(p);
    m_size = size;
    return true;
}

void MappedFile::Close()
{
    if (m_data)
        ::munmap(const_cast<uint8_t *>(m_data), m_size);
    m_data = nullptr;
    m_size = 0;
}

bool IsEmptyRegularFile(const char *path)
{
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

bool WriteWholeFile(const char *path, const uint8_t *data, size_t n)
{
    FILE *f = std::fopen(path, "wb");
    if (!f)
        return false;
    const size_t written = n ? std::fwrite(data, 1, n, f) : 0;
    const bool closed = std::fclose(f) == 0;
    return written == n && closed;
}

} // namespace patcher
