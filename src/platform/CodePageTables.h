#pragma once
#include "platform/CodePage.h"
#include "platform/CriticalSection.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

namespace ostmail {
namespace platform {

// The single-byte table of a page, from unitOf(byte): the UTF-16 unit the
// byte maps to when that unit also maps back to the same byte, else -1.
// Only round trips are kept, so that encoding and decoding agree.
template <class UnitOf>
std::unique_ptr<SingleByteTable> buildSingleByte(UnitOf unitOf) {
    auto t = std::make_unique<SingleByteTable>();
    std::fill(std::begin(t->pageOf), std::end(t->pageOf), int16_t(-1));
    for (int b = 0; b < 256; ++b) {
        int u = unitOf(static_cast<unsigned char>(b));
        if (u < 0) {
            t->toUnit[b] = SingleByteTable::kNone;
            continue;
        }
        t->toUnit[b] = static_cast<uint16_t>(u);
        int hi = u >> 8;
        if (t->pageOf[hi] < 0) {
            t->pageOf[hi] = static_cast<int16_t>(t->pages.size());
            t->pages.emplace_back();
            t->pages.back().fill(-1);
        }
        t->pages[t->pageOf[hi]][u & 0xFF] = static_cast<int16_t>(b);
    }
    t->asciiSame = true;
    for (int b = 0; b < 128; ++b) {
        if (t->toUnit[b] != b) t->asciiSame = false;
    }
    return t;
}

// Process-wide knowledge about each code page.
struct PageInfo {
    bool hasTable = false;
    std::unique_ptr<SingleByteTable> single;
};

// The page's entry, filled on first use by fill(codePage, info).
template <class Fill>
const PageInfo& cachedPageInfo(uint32_t codePage, Fill fill) {
    static CriticalSection lock;
    static std::map<uint32_t, PageInfo> infos;
    std::lock_guard<platform::CriticalSection> guard(lock);
    auto it = infos.find(codePage);
    if (it != infos.end()) return it->second;
    PageInfo info;
    fill(codePage, info);
    return infos.emplace(codePage, std::move(info)).first->second;
}

}  // namespace platform
}  // namespace ostmail
