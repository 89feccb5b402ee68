#include "platform/CriticalSection.h"

#include <mutex>
#include <new>

namespace ostmail {
namespace platform {

namespace {
static_assert(sizeof(std::recursive_mutex) <= 64 && alignof(std::recursive_mutex) <= 16, "lock storage too small");

std::recursive_mutex& native(unsigned char* storage) {
    return *std::launder(reinterpret_cast<std::recursive_mutex*>(storage));
}
}  // namespace

CriticalSection::CriticalSection() { new (m_storage) std::recursive_mutex(); }
CriticalSection::~CriticalSection() { native(m_storage).~recursive_mutex(); }
void CriticalSection::lock() { native(m_storage).lock(); }
void CriticalSection::unlock() { native(m_storage).unlock(); }
bool CriticalSection::try_lock() { return native(m_storage).try_lock(); }

}  // namespace platform
}  // namespace ostmail
