#pragma once
#include "core/DataBuffer.h"

#include <cstdint>

namespace ostmail {

class LogBase;
class XString;

// The NTLM challenge responses (MS-NLMP 3.3), bytes in and bytes out.
// Hashes are 16 bytes, challenges 8.
class NtlmResponses {
public:
    // MD4 of the password's UTF-16LE bytes.
    static void ntHash(XString& password, unsigned char out[16]);
    // DES of "KGS!@#$%" under the upper-cased password in the OEM code page,
    // zero-padded or cut to 14 bytes.
    static void lmHash(XString& password, uint32_t oemCodePage, unsigned char out[16]);
    // The hash padded to 21 bytes; the data encrypted under each 7-byte third.
    static void desl(const unsigned char hash[16], const unsigned char data[8], unsigned char out[24]);

    // NTLMv1; serverFlags are the challenge's own flags, which pick the
    // NTLM2 session response (0x00080000) and the NT-only LM copy (0x00000400).
    static void v1(XString& password, uint32_t oemCodePage, uint32_t serverFlags, const unsigned char server[8],
                   const unsigned char client[8], DataBuffer& lm, DataBuffer& nt);

    // NTLMv2: fileTime is the blob's time stamp, targetInfo the challenge's
    // target information, kept whole.
    static void v2(XString& user, XString& domain, XString& password, const unsigned char server[8],
                   const unsigned char client[8], uint64_t fileTime, const DataBuffer& targetInfo,
                   DataBuffer& lm, DataBuffer& nt);

    // Text in the OEM code page, characters it lacks as '?'.
    static void toOem(XString& text, uint32_t oemCodePage, DataBuffer& out);
};

}  // namespace ostmail
