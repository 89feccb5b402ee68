#include "smtp/NtlmResponses.h"

#include "core/BufferDigest.h"
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "core/XString.h"
#include "crypto/Hmac.h"
#include "crypto/Md4.h"
#include "crypto/Md5.h"
#include "crypto/VelmoraDes.h"

#include <cstring>
#include <vector>

namespace ostmail {

namespace {

constexpr uint32_t kCodePageUtf16 = 1200;
constexpr uint32_t kFlagNtOnly = 0x00000400;
constexpr uint32_t kFlagSessionSecurity = 0x00080000;

// One block of single DES under a 7-byte key.
void desBlock(const unsigned char key7[7], const unsigned char in[8], unsigned char out[8]) {
    unsigned char key[8];
    VelmoraDes::expandKey56(key7, key);
    VelmoraDes des;
    des.setPadding(VelmoraDes::kPadZeros);
    des.setKey(key, sizeof key, 56);
    std::vector<unsigned char> block;
    if (des.encrypt(in, 8, block) && block.size() == 8) {
        std::memcpy(out, block.data(), 8);
    } else {
        std::memset(out, 0, 8);
    }
}

void utf16Bytes(XString& text, DataBuffer& out) {
    const uint16_t* u = text.getUnicode();
    uint32_t n = text.getUnicodeUnits();
    for (uint32_t i = 0; i < n; ++i) out.appendUInt16LE(u[i]);
}

}  // namespace

void NtlmResponses::toOem(XString& text, uint32_t oemCodePage, DataBuffer& out) {
    DataBuffer wide;
    utf16Bytes(text, wide);
    if (wide.isEmpty()) return;
    EncodingConvert conv;
    conv.setErrorAction(EncodingConvert::kAltCodePage);
    LogNull quiet;
    conv.convert(kCodePageUtf16, oemCodePage, wide.getData(), wide.getSize(), out, quiet);
}

void NtlmResponses::ntHash(XString& password, unsigned char out[16]) {
    Md4::digestUtf16(password.getUnicode(), password.getUnicodeUnits(), out);
}

void NtlmResponses::lmHash(XString& password, uint32_t oemCodePage, unsigned char out[16]) {
    DataBuffer upper;
    utf16Bytes(password, upper);
    upper.toUpper16();
    XString upperText;
    upperText.setFromUnicode(reinterpret_cast<const uint16_t*>(upper.getData()), upper.getSize() / 2);
    DataBuffer oem;
    toOem(upperText, oemCodePage, oem);
    unsigned char key[14] = {0};
    if (!oem.isEmpty()) std::memcpy(key, oem.getData(), oem.getSize() < 14 ? oem.getSize() : 14);
    static const unsigned char kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    desBlock(key, kMagic, out);
    desBlock(key + 7, kMagic, out + 8);
    std::memset(key, 0, sizeof key);
    oem.clear();
}

void NtlmResponses::desl(const unsigned char hash[16], const unsigned char data[8], unsigned char out[24]) {
    unsigned char key[21] = {0};
    std::memcpy(key, hash, 16);
    desBlock(key, data, out);
    desBlock(key + 7, data, out + 8);
    desBlock(key + 14, data, out + 16);
}

void NtlmResponses::v1(XString& password, uint32_t oemCodePage, uint32_t serverFlags, const unsigned char server[8],
                       const unsigned char client[8], DataBuffer& lm, DataBuffer& nt) {
    unsigned char ntHashBytes[16];
    ntHash(password, ntHashBytes);
    unsigned char resp[24];
    if (serverFlags & kFlagSessionSecurity) {
        unsigned char both[16];
        std::memcpy(both, server, 8);
        std::memcpy(both + 8, client, 8);
        unsigned char digest[16];
        Md5::digest(both, sizeof both, digest);
        desl(ntHashBytes, digest, resp);
        nt.append(resp, 24);
        lm.append(client, 8);
        lm.appendByteN(0, 16);
        return;
    }
    desl(ntHashBytes, server, resp);
    nt.append(resp, 24);
    if (serverFlags & kFlagNtOnly) {
        lm.append(resp, 24);
        return;
    }
    unsigned char lmHashBytes[16];
    lmHash(password, oemCodePage, lmHashBytes);
    desl(lmHashBytes, server, resp);
    lm.append(resp, 24);
}

void NtlmResponses::v2(XString& user, XString& domain, XString& password, const unsigned char server[8],
                       const unsigned char client[8], uint64_t fileTime, const DataBuffer& targetInfo,
                       DataBuffer& lm, DataBuffer& nt) {
    unsigned char ntHashBytes[16];
    ntHash(password, ntHashBytes);
    // The domain keeps its case; only the user name is upper-cased.
    DataBuffer identity;
    utf16Bytes(user, identity);
    identity.toUpper16();
    utf16Bytes(domain, identity);
    unsigned char key[16];
    Hmac::md5(identity.getData(), identity.getSize(), ntHashBytes, sizeof ntHashBytes, key);

    DataBuffer blob;
    blob.appendByte(1);
    blob.appendByte(1);
    blob.appendByteN(0, 6);
    blob.appendUInt32LE(static_cast<uint32_t>(fileTime));
    blob.appendUInt32LE(static_cast<uint32_t>(fileTime >> 32));
    blob.append(client, 8);
    blob.appendByteN(0, 4);
    blob.append(targetInfo);
    blob.appendByteN(0, 4);

    DataBuffer signed_;
    signed_.append(server, 8);
    signed_.append(blob);
    unsigned char proof[16];
    Hmac::md5(signed_.getData(), signed_.getSize(), key, sizeof key, proof);
    nt.append(proof, 16);
    nt.append(blob);

    unsigned char both[16];
    std::memcpy(both, server, 8);
    std::memcpy(both + 8, client, 8);
    Hmac::md5(both, sizeof both, key, sizeof key, proof);
    lm.append(proof, 16);
    lm.append(client, 8);
}

}  // namespace ostmail
