// Loading a whole file into a DataBuffer.
#include "core/DataBuffer.h"

#include "core/LogBase.h"
#include "platform/FileSystem.h"

namespace ostmail {

namespace {
constexpr uint64_t kMaxBuffer = 0xFFFFFFFFu;
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
    uint64_t size = file.size();
    if (size >= kMaxBuffer || !ensureCapacity(static_cast<size_t>(size) + 1)) {
        log.LogError("File too large to load into memory.");
        log.LogData64("fileSize", static_cast<int64_t>(size));
        return false;
    }
    // Files that grow while we read (or report size 0, like /proc) still load whole.
    for (;;) {
        if (m_size == m_capacity && !reallocTo(static_cast<size_t>(m_capacity) + kAppendStep)) return false;
        long got = file.read(m_data + m_size, m_capacity - m_size);
        if (got < 0) {
            log.LogError("Failed to read file.");
            log.LogData("path", path);
            clear();
            return false;
        }
        if (got == 0) return true;
        m_size += static_cast<uint32_t>(got);
    }
}

}  // namespace ostmail
