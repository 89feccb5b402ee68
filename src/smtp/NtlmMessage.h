#pragma once
#include "core/DataBuffer.h"
#include "smtp/ClsNtlm.h"

#include <cstddef>
#include <cstdint>

namespace ostmail {

// Layout helpers shared by the NTLM message builders and reader. Integers
// are little-endian; a security buffer is length (16), maximum length (16,
// equal to the length), offset from the message start (32).
namespace ntlmmsg {

// Offsets of the security buffers.
constexpr uint32_t kType1Domain = 16;
constexpr uint32_t kType1Workstation = 24;
constexpr uint32_t kType2TargetName = 12;
constexpr uint32_t kType2Flags = 20;
constexpr uint32_t kType2Challenge = 24;
constexpr uint32_t kType2TargetInfo = 40;
constexpr uint32_t kType2MinSize = 40;    // older servers send no target information
constexpr uint32_t kType2ShortSize = 32;  // up to the challenge
constexpr uint32_t kType3Lm = 12;
constexpr uint32_t kType3Nt = 20;
constexpr uint32_t kType3Domain = 28;
constexpr uint32_t kType3User = 36;
constexpr uint32_t kType3Workstation = 44;
constexpr uint32_t kType3SessionKey = 52;
constexpr uint32_t kType3Flags = 60;

// "NTLMSSP", a zero byte, the message type.
void appendHeader(DataBuffer& msg, uint32_t type);
// Appends n bytes and points the security buffer at slot to them; nothing
// leaves the buffer all zero.
void appendPayload(DataBuffer& msg, uint32_t slot, const void* data, size_t n);

uint16_t readU16(const unsigned char* p);
uint32_t readU32(const unsigned char* p);
// The bytes the security buffer at slot names; false when they lie past
// the end of the message. A zero length is always good.
bool readBuffer(const DataBuffer& msg, uint32_t slot, DataBuffer& out);

}  // namespace ntlmmsg

// What GenType3 keeps of the server's challenge.
struct ClsNtlm::Type2 {
    uint32_t flags = 0;
    unsigned char challenge[8] = {0};
    DataBuffer targetInfo;
};

}  // namespace ostmail
