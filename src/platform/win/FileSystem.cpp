#include "platform/FileSystem.h"

#include "platform/win/WideText.h"

namespace ostmail {
namespace platform {

namespace {

bool fail(int* err, DWORD e) {
    if (err) *err = static_cast<int>(e);
    return false;
}

bool isDirectory(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The numbers the log texts use: a folder given as a file reads as 21.
DWORD openError(const std::wstring& path) {
    DWORD e = GetLastError();
    return isDirectory(path) ? ERROR_NOT_READY : e;
}

bool writeAll(HANDLE h, const void* data, size_t n, DWORD* e) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n), done = 0;
        if (!WriteFile(h, p, chunk, &done, nullptr) || done == 0) {
            *e = done == 0 && GetLastError() == 0 ? ERROR_DISK_FULL : GetLastError();
            return false;
        }
        p += done;
        n -= done;
    }
    return true;
}

bool writeFile(const char* path, const void* data, size_t n, bool append, int* err) {
    std::wstring w = win::widen(path);
    HANDLE h = CreateFileW(w.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(err, openError(w));
    DWORD e = 0;
    bool ok = writeAll(h, data, n, &e);
    if (!CloseHandle(h) && ok) {
        ok = false;
        e = GetLastError();
    }
    return ok ? true : fail(err, e);
}

}  // namespace

PathKind pathKind(const char* path) {
    if (!path) return PathKind::kMissing;
    DWORD a = GetFileAttributesW(win::widen(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
    if (a & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kDirectory;
    if (a & FILE_ATTRIBUTE_DEVICE) return PathKind::kOther;
    return PathKind::kFile;
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
        if (got < 0) return fail(err, static_cast<DWORD>(reader.lastError()));
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    data.resize(have);
    out.swap(data);
    return true;
}

bool fileSize(const char* path, uint64_t& size, int* err) {
    if (!path) return fail(err, ERROR_FILE_NOT_FOUND);
    std::wstring w = win::widen(path);
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &info)) return fail(err, GetLastError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return fail(err, ERROR_NOT_READY);
    size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

bool writeWholeFile(const char* path, const void* data, size_t n, int* err) {
    return writeFile(path, data, n, false, err);
}

bool appendToFile(const char* path, const void* data, size_t n, int* err) {
    return writeFile(path, data, n, true, err);
}

FileReader::~FileReader() { close(); }

bool FileReader::open(const char* path, int* err) {
    close();
    if (!path) return fail(err, ERROR_FILE_NOT_FOUND);
    std::wstring w = win::widen(path);
    if (isDirectory(w)) return fail(err, ERROR_NOT_READY);
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(err, openError(w));
    m_fd = win::handleToInt(h);
    m_regular = GetFileType(h) == FILE_TYPE_DISK;
    LARGE_INTEGER size{};
    m_size = m_regular && GetFileSizeEx(h, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    m_lastError = 0;
    return true;
}

// Pipes and devices block in ReadFile; the idle time applies to the POSIX
// build's non-blocking reads only.
long FileReader::read(void* buf, size_t n) {
    if (m_fd < 0) return -1;
    DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n), got = 0;
    if (ReadFile(win::intToHandle(m_fd), buf, chunk, &got, nullptr)) return static_cast<long>(got);
    DWORD e = GetLastError();
    if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) return 0;
    m_lastError = static_cast<int>(e);
    return -1;
}

void FileReader::close() {
    if (m_fd >= 0) CloseHandle(win::intToHandle(m_fd));
    m_fd = -1;
    m_size = 0;
    m_regular = false;
}

}  // namespace platform
}  // namespace ostmail
