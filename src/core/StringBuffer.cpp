#include "core/StringBuffer.h"

#include "core/DataBuffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace ostmail {

namespace {
// Shared by every buffer that could not get memory; never written to.
char s_emptyString[1] = {0};
constexpr size_t kMaxBuffer = 0xFFFFFFFFu;
}  // namespace

StringBuffer::StringBuffer() : m_magic(kMagic) { allocInitial(kInitialSize); }

StringBuffer::StringBuffer(const char* s) : StringBuffer() { append(s); }

StringBuffer::StringBuffer(const char* s, size_t n) : StringBuffer() { appendN(s, n); }

StringBuffer::StringBuffer(const StringBuffer& other) : VelmoraObject(other), m_magic(kMagic) {
    other.check();
    uint32_t need = other.m_dataSize + 1;
    allocInitial(need > kInitialSize ? need : kInitialSize);
    appendN(other.m_data, other.m_dataSize);
}

StringBuffer& StringBuffer::operator=(const StringBuffer& other) {
    if (this != &other) setString(other.m_data, other.m_dataSize);
    return *this;
}

StringBuffer::StringBuffer(StringBuffer&& other) noexcept
    : VelmoraObject(other), m_magic(kMagic), m_mode(other.m_mode), m_data(other.m_data),
      m_bufferSize(other.m_bufferSize), m_dataSize(other.m_dataSize), m_extendSize(other.m_extendSize) {
    other.check();
    other.m_data = s_emptyString;
    other.m_bufferSize = 1;
    other.m_dataSize = 0;
    other.m_extendSize = kInitialSize;
}

StringBuffer& StringBuffer::operator=(StringBuffer&& other) noexcept {
    if (this != &other) {
        StringBuffer tmp(std::move(other));
        swap(tmp);
    }
    return *this;
}

StringBuffer::~StringBuffer() {
    check();
    release();
    // volatile: a plain store here would be dropped as dead.
    *static_cast<volatile uint8_t*>(&m_magic) = 0;
}

void StringBuffer::allocInitial(uint32_t wanted) {
    m_dataSize = 0;
    m_extendSize = kInitialSize;
    m_data = static_cast<char*>(std::malloc(wanted));
    m_bufferSize = wanted;
    if (!m_data) {
        m_data = static_cast<char*>(std::malloc(4));
        m_bufferSize = 4;
    }
    if (!m_data) {
        m_data = s_emptyString;
        m_bufferSize = 1;
        return;
    }
    m_data[0] = '\0';
}

bool StringBuffer::ownsMemory() const { return m_data != s_emptyString; }

void StringBuffer::release() {
    if (ownsMemory()) std::free(m_data);
    m_data = s_emptyString;
    m_bufferSize = 1;
    m_dataSize = 0;
}

// realloc rather than malloc+copy: same sizes, but large blocks can move
// by remapping pages instead of copying them.
bool StringBuffer::reallocExact(size_t newSize) {
    if (newSize > kMaxBuffer || newSize <= m_dataSize) return false;
    char* p = ownsMemory() ? static_cast<char*>(std::realloc(m_data, newSize))
                           : static_cast<char*>(std::malloc(newSize));
    if (!p) return false;
    if (!ownsMemory()) p[0] = '\0';
    m_data = p;
    m_bufferSize = static_cast<uint32_t>(newSize);
    return true;
}

bool StringBuffer::makeRoom(size_t n, bool forText) {
    size_t need = static_cast<size_t>(m_dataSize) + n;
    if (need < m_bufferSize) return true;
    size_t newSize = static_cast<size_t>(m_extendSize) + need + (forText ? 1 : 0);
    if (newSize <= need) newSize = need + 1;
    if (!reallocExact(newSize)) return false;
    if (m_extendSize < m_bufferSize && m_extendSize < kMaxExtendSize) {
        uint32_t half = m_bufferSize / 2;
        m_extendSize = half < kMaxExtendSize ? half : kMaxExtendSize;
    }
    return true;
}

const char* StringBuffer::getString() const {
    check();
    return m_data;
}

char* StringBuffer::getMutable() {
    check();
    return m_data;
}

uint32_t StringBuffer::getSize() const {
    check();
    return m_dataSize;
}

char StringBuffer::lastChar() const {
    check();
    return m_dataSize ? m_data[m_dataSize - 1] : '\0';
}

std::string StringBuffer::toStdString() const {
    check();
    return std::string(m_data, m_dataSize);
}

bool StringBuffer::append(const char* s) {
    check();
    if (!s || !*s) return true;
    size_t n = std::strlen(s);
    if (s >= m_data && s < m_data + m_bufferSize) return appendN(std::string(s, n).data(), n);
    if (!makeRoom(n, true)) return false;
    std::memcpy(m_data + m_dataSize, s, n);
    setLength(static_cast<uint32_t>(m_dataSize + n));
    return true;
}

bool StringBuffer::appendN(const void* bytes, size_t n) {
    check();
    if (n == 0) return true;
    if (!bytes) return false;
    const char* src = static_cast<const char*>(bytes);
    if (src >= m_data && src < m_data + m_bufferSize) {
        std::string copy(src, n);  // the source moves if we grow
        return appendN(copy.data(), n);
    }
    if (!makeRoom(n, false)) return false;
    std::memcpy(m_data + m_dataSize, src, n);
    setLength(static_cast<uint32_t>(m_dataSize + n));
    return true;
}

bool StringBuffer::appendChar(char c) {
    check();
    if (!makeRoom(1, false)) return false;
    m_data[m_dataSize] = c;
    setLength(m_dataSize + 1);
    return true;
}

bool StringBuffer::appendCharN(char c, size_t n) {
    check();
    if (n == 0) return true;
    if (!makeRoom(n, false)) return false;
    std::memset(m_data + m_dataSize, c, n);
    setLength(static_cast<uint32_t>(m_dataSize + n));
    return true;
}

bool StringBuffer::appendInt(int32_t v) { return appendInt64(v); }

bool StringBuffer::appendUInt(uint32_t v) { return appendInt64(v); }

bool StringBuffer::appendInt64(int64_t v) {
    char tmp[24];
    int n = std::snprintf(tmp, sizeof tmp, "%lld", static_cast<long long>(v));
    return appendN(tmp, static_cast<size_t>(n));
}

bool StringBuffer::appendHex(uint32_t v, bool upper) {
    char tmp[12];
    int n = std::snprintf(tmp, sizeof tmp, upper ? "%X" : "%x", v);
    return appendN(tmp, static_cast<size_t>(n));
}

bool StringBuffer::appendFormat(const char* fmt, ...) {
    char tmp[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    if (n < 0) return false;
    if (static_cast<size_t>(n) < sizeof tmp) return appendN(tmp, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    return appendN(big.data(), static_cast<size_t>(n));
}

bool StringBuffer::prepend(const char* s) {
    check();
    if (!s || !*s) return true;
    std::string head(s);
    size_t n = head.size();
    if (!makeRoom(n, true)) return false;
    std::memmove(m_data + n, m_data, m_dataSize);
    std::memcpy(m_data, head.data(), n);
    setLength(static_cast<uint32_t>(m_dataSize + n));
    return true;
}

bool StringBuffer::setString(const char* s) {
    check();
    return setString(s, s ? std::strlen(s) : 0);
}

bool StringBuffer::setString(const char* s, size_t n) {
    check();
    if (!s || n == 0) {
        clear();
        return true;
    }
    if (s >= m_data && s < m_data + m_bufferSize) {
        // A part of our own text always fits where it is.
        std::memmove(m_data, s, n);
        setLength(static_cast<uint32_t>(n));
        return true;
    }
    clear();
    return appendN(s, n);
}

void StringBuffer::clear() {
    check();
    setLength(0);
}

void StringBuffer::strongClear() {
    check();
    if (ownsMemory()) std::memset(m_data, 0, m_bufferSize);
    m_dataSize = 0;
}

bool StringBuffer::expectNumBytes(size_t n) {
    check();
    size_t need = static_cast<size_t>(m_dataSize) + n;
    if (need < m_bufferSize) return true;
    return reallocExact(need + 1);
}

void StringBuffer::shorten(uint32_t n) {
    check();
    setLength(n >= m_dataSize ? 0 : m_dataSize - n);
}

void StringBuffer::truncateTo(uint32_t n) {
    check();
    if (n < m_dataSize) setLength(n);
}

void StringBuffer::takeFrom(DataBuffer& db) {
    check();
    clear();
    uint32_t size = db.getSize();
    if (size < 2) return;
    if (db.borrowed()) {
        appendN(db.getData(), size - 1);
        db.clear();
        return;
    }
    uint32_t capacity = db.capacity();
    unsigned char* mem = db.take();
    release();
    m_data = reinterpret_cast<char*>(mem);
    m_bufferSize = capacity;
    setLength(size - 1);
    m_extendSize = 1024;
}

char* StringBuffer::detach(uint32_t* size) {
    check();
    if (size) *size = m_dataSize;
    char* out = m_data;
    if (!ownsMemory()) {
        out = static_cast<char*>(std::malloc(1));
        if (out) out[0] = '\0';
    }
    m_data = s_emptyString;
    uint32_t extend = m_extendSize;
    allocInitial(extend);
    m_extendSize = extend;
    return out;
}

char* StringBuffer::copyOut() const {
    check();
    char* out = static_cast<char*>(std::malloc(static_cast<size_t>(m_dataSize) + 1));
    if (!out) return nullptr;
    std::memcpy(out, m_data, m_dataSize);
    out[m_dataSize] = '\0';
    return out;
}

void StringBuffer::minimize() {
    check();
    if (ownsMemory() && m_bufferSize > static_cast<size_t>(m_dataSize) + 4) {
        char* p = static_cast<char*>(std::realloc(m_data, static_cast<size_t>(m_dataSize) + 1));
        if (!p) return;
        m_data = p;
        m_bufferSize = m_dataSize + 1;
    }
}

void StringBuffer::swap(StringBuffer& other) noexcept {
    std::swap(m_mode, other.m_mode);
    std::swap(m_data, other.m_data);
    std::swap(m_bufferSize, other.m_bufferSize);
    std::swap(m_dataSize, other.m_dataSize);
    std::swap(m_extendSize, other.m_extendSize);
}

size_t StringBuffer::textLength() const { return std::strlen(m_data); }

void StringBuffer::eraseRange(uint32_t pos, uint32_t n) {
    if (pos >= m_dataSize || n == 0) return;
    if (n > m_dataSize - pos) n = m_dataSize - pos;
    std::memmove(m_data + pos, m_data + pos + n, m_dataSize - pos - n);
    setLength(m_dataSize - n);
}

}  // namespace ostmail
