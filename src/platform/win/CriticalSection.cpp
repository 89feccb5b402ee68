#include "platform/CriticalSection.h"

#include <windows.h>

#include <new>

namespace ostmail {
namespace platform {

namespace {
static_assert(sizeof(CRITICAL_SECTION) <= 64 && alignof(CRITICAL_SECTION) <= 16, "lock storage too small");

CRITICAL_SECTION* native(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

CriticalSection::CriticalSection() { InitializeCriticalSection(new (m_storage) CRITICAL_SECTION); }
CriticalSection::~CriticalSection() { DeleteCriticalSection(native(m_storage)); }
void CriticalSection::lock() { EnterCriticalSection(native(m_storage)); }
void CriticalSection::unlock() { LeaveCriticalSection(native(m_storage)); }
bool CriticalSection::try_lock() { return TryEnterCriticalSection(native(m_storage)) != FALSE; }

}  // namespace platform
}  // namespace ostmail
