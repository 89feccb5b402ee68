#include "smtp/NtlmMessage.h"

#include <cstring>

namespace ostmail {
namespace ntlmmsg {

void appendHeader(DataBuffer& msg, uint32_t type) {
    msg.append("NTLMSSP", 8);  // with its terminating zero
    msg.appendUInt32LE(type);
}

namespace {

void putU16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void putU32(unsigned char* p, uint32_t v) {
    putU16(p, static_cast<uint16_t>(v));
    putU16(p + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace

void appendPayload(DataBuffer& msg, uint32_t slot, const void* data, size_t n) {
    if (n == 0 || msg.getSize() < slot + 8) return;
    uint32_t offset = msg.getSize();
    if (!msg.append(data, n)) return;
    unsigned char* p = msg.getMutable() + slot;
    putU16(p, static_cast<uint16_t>(n));
    putU16(p + 2, static_cast<uint16_t>(n));
    putU32(p + 4, offset);
}

uint16_t readU16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t readU32(const unsigned char* p) {
    return readU16(p) | (static_cast<uint32_t>(readU16(p + 2)) << 16);
}

bool readBuffer(const DataBuffer& msg, uint32_t slot, DataBuffer& out) {
    out.clear();
    if (msg.getSize() < slot + 8) return false;
    const unsigned char* p = msg.getData() + slot;
    uint32_t len = readU16(p);
    uint64_t offset = readU32(p + 4);
    if (len == 0) return true;
    if (offset + len > msg.getSize()) return false;
    return out.append(msg.getData() + offset, len);
}

}  // namespace ntlmmsg
}  // namespace ostmail
