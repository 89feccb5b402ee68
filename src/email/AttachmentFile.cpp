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

// Streams the file straight into body so a large file is held only once.
bool readBody(const char* path, DataBuffer& body) {
    platform::FileReader reader;
    if (!reader.open(path)) return false;
    if (reader.size() > 0xFFFFFFF0u) return false;
    if (reader.size() && !body.ensureCapacity(static_cast<size_t>(reader.size()))) return false;
    // Reads land in the buffer itself: no bounce copy of a large file. Past
    // the expected size (the end probe, a growing file) a small block goes
    // through the stack, so the exactly sized buffer is not grown for nothing.
    const uint64_t kBlock = 1u << 20;
    unsigned char probe[4096];
    OutputTail tail(body);
    for (;;) {
        uint64_t left = reader.size() > body.getSize() ? reader.size() - body.getSize() : 0;
        long n;
        if (left > 0) {
            size_t want = static_cast<size_t>(std::min(left, kBlock));
            unsigned char* p = tail.reserve(want);
            n = p ? reader.read(p, want) : -1;
            if (n > 0) tail.commit(p + n);
        } else {
            n = reader.read(probe, sizeof probe);
            if (n > 0 && !body.append(probe, static_cast<size_t>(n))) n = -1;
        }
        if (n == 0) return true;
        if (n < 0) {
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
    if (!readBody(path, info.body)) log.LogInfo("Attachment could not be read; attached empty");
    return true;
}

}  // namespace ostmail
