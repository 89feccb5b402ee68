#pragma once
#include <cstddef>

namespace ostmail {
namespace platform {

// A write-only handle that creates or replaces a file. Separating open from
// write lets callers tell a file they could not open from a short write.
class FileWriter {
public:
    FileWriter() = default;
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // err receives a Windows-style error number, as in FileSystem.h.
    bool open(const char* path, int* err = nullptr);
    // True only when all n bytes were written.
    bool write(const void* data, size_t n, int* err = nullptr);
    // False when the last buffered bytes could not be flushed.
    bool close();

private:
    int m_fd = -1;
};

}  // namespace platform
}  // namespace ostmail
