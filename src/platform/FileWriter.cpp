#include "platform/FileWriter.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace ostmail {
namespace platform {

namespace {

int windowsFileError(int e) {
    switch (e) {
    case ENOENT: return 2;    // file not found
    case ENOTDIR: return 3;   // path not found
    case EACCES:
    case EPERM:
    case EROFS: return 5;     // access denied
    case EISDIR: return 21;   // not ready
    case ENOSPC: return 112;  // disk full
    default: return 29;       // write fault
    }
}

void setErr(int* err, int e) {
    if (err) *err = windowsFileError(e);
}

}  // namespace

FileWriter::~FileWriter() { close(); }

bool FileWriter::open(const char* path, int* err) {
    close();
    m_fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_fd < 0) setErr(err, errno);
    return m_fd >= 0;
}

bool FileWriter::write(const void* data, size_t n, int* err) {
    if (m_fd < 0) {
        setErr(err, EBADF);
        return false;
    }
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(m_fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            setErr(err, w < 0 ? errno : ENOSPC);
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool FileWriter::close() {
    if (m_fd < 0) return true;
    int rc = ::close(m_fd);
    m_fd = -1;
    return rc == 0;
}

}  // namespace platform
}  // namespace ostmail
