#pragma once
#include <cstdint>
#include <string>

namespace ostmail {
namespace platform {

// Whole-file and simple file operations. err receives a Windows-style error
// number on failure (2 file not found, 3 path not found, 5 access denied,
// 21 not ready / is a directory).
enum class PathKind { kMissing, kFile, kDirectory, kOther };
PathKind pathKind(const char* path);
bool readWholeFile(const char* path, std::string& out, int* err = nullptr);
bool fileSize(const char* path, uint64_t& size, int* err = nullptr);
bool writeWholeFile(const char* path, const void* data, size_t n, int* err = nullptr);
bool appendToFile(const char* path, const void* data, size_t n, int* err = nullptr);

// A read-only handle for streaming a file in blocks. Opening never blocks:
// a FIFO without a writer opens at once (and reads as empty). Reading a
// pipe, FIFO or device waits at most the idle time for each block.
class FileReader {
public:
    FileReader() = default;
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    bool open(const char* path, int* err = nullptr);
    // Reads up to n bytes; returns bytes read, 0 at end, -1 on error (also
    // when nothing came within the idle time; lastError() then says 1460).
    long read(void* buf, size_t n);
    uint64_t size() const { return m_size; }
    // True for a regular file, whose size() is meaningful.
    bool isRegular() const { return m_regular; }
    // Windows-style error number of the last failed read.
    int lastError() const { return m_lastError; }
    void setIdleTimeoutMs(int ms) { m_idleMs = ms; }
    void close();

private:
    int m_fd = -1;
    uint64_t m_size = 0;
    bool m_regular = false;
    int m_idleMs = 10000;
    int m_lastError = 0;
};

}  // namespace platform
}  // namespace ostmail
