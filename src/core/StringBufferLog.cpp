#include "core/StringBuffer.h"

#include "core/LogBase.h"

namespace ostmail {

void StringBuffer::reportSizes(LogBase& log) const {
    check();
    log.LogDataLong("sb_bufferSize", static_cast<int32_t>(m_bufferSize));
    log.LogDataLong("sb_extendSize", static_cast<int32_t>(m_extendSize));
    log.LogDataLong("sb_dataSize", static_cast<int32_t>(m_dataSize));
}

}  // namespace ostmail
