#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ostmail {
namespace mailjob {

// Entries of a ';'-separated list, exactly as they stand between the
// separators; runs of separators and separators at either end give no
// empty entries.
std::vector<std::wstring> splitList(const std::wstring& list);

// One attempt plus up to retryCount more, stopping at the first success;
// wait(waitMs) follows every failed attempt, the last one included.
// Returns 0 after a success, -1 otherwise.
int runAttempts(const std::function<bool()>& attempt, int32_t retryCount, uint32_t waitMs,
                const std::function<void(uint32_t)>& wait);

}  // namespace mailjob
}  // namespace ostmail
