// Read-only file mappings for the patcher's inputs and the one-piece writer for its outputs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace patcher {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    // Maps the whole file read-only. An empty or unreadable file cannot be mapped.
    bool Open(const char *path);
    void Close();

    const uint8_t *data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    const uint8_t *m_data = nullptr;
    size_t m_size = 0;
};

// True for an existing regular file of size 0 (which cannot be mapped).
bool IsEmptyRegularFile(const char *path);

// Creates or truncates `path` and writes the n bytes in one write. True only when every byte was
// written and the file closed cleanly; a file that cannot be created fails even for n == 0.
bool WriteWholeFile(const char *path, const uint8_t *data, size_t n);

} // namespace patcher
