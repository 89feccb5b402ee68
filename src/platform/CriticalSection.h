#pragma once
#include <cstddef>

namespace ostmail {
namespace platform {

// A recursive lock that the owning thread may take again: a critical
// section on Windows, a recursive mutex elsewhere. Usable with
// std::lock_guard; not copyable or movable.
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock();
    void unlock();
    bool try_lock();

private:
    // Room for the system's own lock object, which this header cannot name.
    static constexpr size_t kStorage = 64;
    alignas(16) unsigned char m_storage[kStorage];
};

}  // namespace platform
}  // namespace ostmail
