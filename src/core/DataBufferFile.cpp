// Loading a whole file into a DataBuffer.
#include "core/DataBuffer.h"

#include "core/LogBase.h"
#include "platform/FileSystem.h"

#include <algorithm>

namespace ostmail {

namespace {
constexpr uint64_t kMaxBuffer = 0xFFFFFFFFu;
constexpr size_t kBlock = 1u << 20;
}

bool DataBuffer::loadFile(const char* path, LogBase& log) {
    check();
    clear();
    platform::FileReader file;
    int err = 0;
    if (!path || !file.open(path, &err)) {
        log.LogError("Failed to open file.");
        log.LogData("path", path ? path : "");
        log.LogDataLong("error", err);
        return false;
    }
    const uint64_t size = file.size();
    if (size >= kMaxBuffer || !ensureCapacity(static_cast<size_t>(size) + 1)) {
        log.LogError("File too large to load into memory.");
        log.LogData64("fileSize", static_cast<int64_t>(size));
        return false;
    }
    // A regular file gives what it held when opened, even if it grows; a
    // stream or a size-0 file (/proc) is read up to the bound, one byte past
    // it telling "too long" from "just fits".
    const bool sized = file.isRegular() && size > 0;
    const uint64_t limit = sized ? size : uint64_t{kStreamLimit} + 1;
    while (m_size < limit) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(limit - m_size, kBlock));
        if (m_capacity - m_size < want && !reallocTo(static_cast<size_t>(m_size) + std::max<size_t>(want, kAppendStep))) {
            log.LogError("Out of memory loading the file.");
            return false;
        }
        const long got = file.read(m_data + m_size, want);
        if (got < 0) {
            log.LogError("Failed to read file.");
            log.LogData("path", path);
            log.LogDataLong("readError", file.lastError());
            clear();
            return false;
        }
        if (got == 0) return true;
        m_size += static_cast<uint32_t>(got);
    }
    if (sized) return true;
    log.LogError("File is longer than the bound for streams.");
    log.LogData("path", path);
    log.LogData64("readLimit", kStreamLimit);
    clear();
    return false;
}

}  // namespace ostmail
