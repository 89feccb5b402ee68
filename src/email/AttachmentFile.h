#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

namespace ostmail {

class LogBase;

// Everything a file attachment part needs, gathered without touching any
// MIME node. Split of work with Email2: Email2 makes the node (a fresh part
// with Date, X-Mailer, X-Priority, MIME-Version and Message-ID removed) and
// applies these values in this order: transfer encoding, content type with
// name parameter and no charset, disposition "attachment" with filename,
// then the body. AttachmentFile never creates or edits an Email2.
struct AttachmentInfo {
    StringBuffer contentType;        // from the caller, else by extension
    StringBuffer fileName;           // name and filename parameters, UTF-8 kept
    StringBuffer transferEncoding;   // "quoted-printable" for text types, else "base64"
    DataBuffer body;                 // whole file, unchanged
};

class AttachmentFile {
public:
    // False only when the system says the file is missing (not found, path
    // not found, not ready); the error number is logged then. Other errors
    // count as present so that the read decides.
    static bool exists(const char* path, LogBase& log);

    // Text after the last '/', else after the last '\', else the whole path.
    static void fileNameOfPath(const char* path, StringBuffer& out);

    // "quoted-printable" when the type starts with "text" (any case), else "base64".
    static const char* transferEncodingFor(const char* contentType);

    // Fills info for path; contentType may be null or empty. False (and info
    // left empty) only for a missing file. A file that exists but cannot be
    // read gives an empty body and still returns true.
    static bool prepare(const char* path, const char* contentType, AttachmentInfo& info, LogBase& log);
};

}  // namespace ostmail
