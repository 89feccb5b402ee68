#include "platform/FileSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostmail {
namespace platform {

namespace {

// The Windows error numbers that the log texts use.
int windowsError(int e) {
    switch (e) {
        case ENOENT: return 2;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP: return 3;
        case EMFILE:
        case ENFILE: return 4;
        case EACCES:
        case EPERM:
        case EROFS: return 5;
        case ENOMEM: return 8;
        case EISDIR: return 21;
        case EEXIST: return 80;
        case ENOSPC: return 112;
        default: return 31;  // a device attached to the system is not functioning
    }
}

bool fail(int* err, int e) {
    if (err) *err = windowsError(e);
    return false;
}

bool writeAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool writeFile(const char* path, const void* data, size_t n, int flags, int* err) {
    int fd = ::open(path, flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fail(err, errno);
    bool ok = writeAll(fd, data, n);
    int e = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    return ok ? true : fail(err, e);
}

}  // namespace

PathKind pathKind(const char* path) {
    struct stat st {};
    if (!path || ::stat(path, &st) != 0) return PathKind::kMissing;
    if (S_ISREG(st.st_mode)) return PathKind::kFile;
    if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
    return PathKind::kOther;
}

bool readWholeFile(const char* path, std::string& out, int* err) {
    FileReader reader;
    if (!reader.open(path, err)) return false;
    std::string data;
    data.resize(static_cast<size_t>(reader.size()));
    size_t have = 0;
    for (;;) {
        if (have == data.size()) data.resize(have + 65536);
        long got = reader.read(&data[have], data.size() - have);
        if (got < 0) return fail(err, errno);
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    data.resize(have);
    out.swap(data);
    return true;
}

bool fileSize(const char* path, uint64_t& size, int* err) {
    struct stat st {};
    if (!path) return fail(err, ENOENT);
    if (::stat(path, &st) != 0) return fail(err, errno);
    if (S_ISDIR(st.st_mode)) return fail(err, EISDIR);
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool writeWholeFile(const char* path, const void* data, size_t n, int* err) {
    return writeFile(path, data, n, O_TRUNC, err);
}

bool appendToFile(const char* path, const void* data, size_t n, int* err) {
    return writeFile(path, data, n, O_APPEND, err);
}

FileReader::~FileReader() { close(); }

bool FileReader::open(const char* path, int* err) {
    close();
    if (!path) return fail(err, ENOENT);
    // O_NONBLOCK: opening a FIFO must not wait for a writer to appear.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(err, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return fail(err, e);
    }
    m_fd = fd;
    m_regular = S_ISREG(st.st_mode);
    m_size = m_regular ? static_cast<uint64_t>(st.st_size) : 0;
    m_lastError = 0;
    return true;
}

long FileReader::read(void* buf, size_t n) {
    if (m_fd < 0) return -1;
    for (;;) {
        ssize_t got = ::read(m_fd, buf, n);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) break;
        pollfd p{m_fd, POLLIN, 0};
        int ready = ::poll(&p, 1, m_idleMs);
        if (ready == 0) {
            m_lastError = 1460;  // ERROR_TIMEOUT
            return -1;
        }
        if (ready < 0 && errno != EINTR) break;
    }
    fail(&m_lastError, errno);
    return -1;
}

void FileReader::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_size = 0;
    m_regular = false;
}

}  // namespace platform
}  // namespace ostmail
