#include "email/AttachmentFile.h"

#include "core/LogBase.h"
#include "core/OutputTail.h"
#include "email/ContentTypeTable.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace ostmail {

namespace {

// Windows error numbers that mean "there is no such file".
bool isMissingError(int err) { return err == 2 || err == 3 || err == 21; }

constexpr uint64_t kStreamLimit = DataBuffer::kStreamLimit;

// Streams the file straight into body so a large file is held only once.
// A regular file is read up to the size it had when opened, so a file that
// grows meanwhile gives the part it had then. False leaves body empty and
// the reason in the log.
bool readBody(const char* path, DataBuffer& body, LogBase& log) {
    platform::FileReader reader;
    int err = 0;
    if (!reader.open(path, &err)) {
        log.LogDataLong("openError", err);
        return false;
    }
    if (reader.size() > 0xFFFFFFF0u) {
        log.LogData64("fileSize", static_cast<int64_t>(reader.size()));
        return false;
    }
    const uint64_t limit = reader.size() ? reader.size() : kStreamLimit;
    if (!body.ensureCapacity(static_cast<size_t>(reader.size() ? limit : 0))) return false;
    const uint64_t kBlock = 1u << 20;
    OutputTail tail(body);
    for (;;) {
        const uint64_t left = limit - body.getSize();
        // One byte past the limit tells a stream that is too long from one that just fits.
        const size_t want = static_cast<size_t>(std::min(left + (reader.size() ? 0 : 1), kBlock));
        if (want == 0) return true;
        unsigned char* p = tail.reserve(want);
        const long n = p ? reader.read(p, want) : -1;
        if (n > 0) tail.commit(p + n);
        if (n == 0) return true;
        if (n < 0 || body.getSize() > limit) {
            if (n < 0) log.LogDataLong("readError", reader.lastError());
            else log.LogData64("readLimit", static_cast<int64_t>(limit));
            body.clear();
            return false;
        }
    }
}

}  // namespace

bool AttachmentFile::exists(const char* path, LogBase& log) {
    if (!path || !*path) {
        log.LogWindowsError(2);
        return false;
    }
    uint64_t size = 0;
    int err = 0;
    if (platform::fileSize(path, size, &err)) return true;
    if (!isMissingError(err)) return true;  // let the read decide
    log.LogWindowsError(static_cast<uint32_t>(err));
    return false;
}

void AttachmentFile::fileNameOfPath(const char* path, StringBuffer& out) {
    if (!path) return;
    const char* cut = std::strrchr(path, '/');
    if (!cut) cut = std::strrchr(path, '\\');
    out.append(cut ? cut + 1 : path);
}

const char* AttachmentFile::transferEncodingFor(const char* contentType) {
    StringBuffer type(contentType ? contentType : "");
    return type.beginsWithIgnoreCase("text") ? "quoted-printable" : "base64";
}

bool AttachmentFile::prepare(const char* path, const char* contentType, AttachmentInfo& info, LogBase& log) {
    info.contentType.clear();
    info.fileName.clear();
    info.transferEncoding.clear();
    info.body.clear();
    if (!exists(path, log)) return false;

    if (contentType && *contentType) {
        info.contentType.append(contentType);
    } else {
        ContentTypeTable::typeForPath(path, info.contentType);
    }
    fileNameOfPath(path, info.fileName);
    info.transferEncoding.append(transferEncodingFor(info.contentType.getString()));

    // A file that passed the existence check is attached even when the read
    // fails; the body is then empty.
    if (!readBody(path, info.body, log)) log.LogInfo("Attachment could not be read; attached empty");
    return true;
}

}  // namespace ostmail
