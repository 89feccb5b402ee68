#include "platform/FileWriter.h"

#include "platform/win/WideText.h"

namespace ostmail {
namespace platform {

namespace {
void setErr(int* err, DWORD e) {
    if (err) *err = static_cast<int>(e);
}
}  // namespace

FileWriter::~FileWriter() { close(); }

bool FileWriter::open(const char* path, int* err) {
    close();
    std::wstring w = win::widen(path);
    HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD a = GetFileAttributesW(w.c_str());
        bool folder = a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
        setErr(err, folder ? ERROR_NOT_READY : GetLastError());
        return false;
    }
    m_fd = win::handleToInt(h);
    return true;
}

bool FileWriter::write(const void* data, size_t n, int* err) {
    if (m_fd < 0) {
        setErr(err, ERROR_INVALID_HANDLE);
        return false;
    }
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n), done = 0;
        if (!WriteFile(win::intToHandle(m_fd), p, chunk, &done, nullptr) || done == 0) {
            DWORD e = GetLastError();
            setErr(err, done == 0 && e == 0 ? ERROR_DISK_FULL : e);
            return false;
        }
        p += done;
        n -= done;
    }
    return true;
}

bool FileWriter::close() {
    if (m_fd < 0) return true;
    BOOL ok = CloseHandle(win::intToHandle(m_fd));
    m_fd = -1;
    return ok != 0;
}

}  // namespace platform
}  // namespace ostmail
