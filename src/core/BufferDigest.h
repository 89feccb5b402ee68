#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"
#include "core/XString.h"
#include "crypto/Md4.h"
#include "crypto/Md5.h"

namespace ostmail {

// Digests of the core value types. The crypto layer works on plain bytes
// because it sits below core; these keep callers from unpacking buffers.
// Each replaces out with the 16-byte digest; false only when out cannot grow.

inline bool putDigest(const unsigned char (&digest)[16], DataBuffer& out)
{
    out.clear();
    return out.append(digest, sizeof digest);
}

inline bool md5Digest(const DataBuffer& in, DataBuffer& out)
{
    unsigned char d[16];
    Md5::digest(in.getData(), in.getSize(), d);
    return putDigest(d, out);
}

inline bool md5Digest(const StringBuffer& in, DataBuffer& out)
{
    unsigned char d[16];
    Md5::digest(in.getString(), in.getSize(), d);
    return putDigest(d, out);
}

// NT password hash: MD4 over the UTF-16LE form without the terminator, so
// an empty password gives the MD4 of zero bytes.
inline bool ntPasswordHash(XString& password, DataBuffer& out)
{
    unsigned char d[16];
    Md4::digestUtf16(password.getUnicode(), password.getUnicodeUnits(), d);
    return putDigest(d, out);
}

}  // namespace ostmail
