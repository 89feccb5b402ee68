#include "mailjob/MailJob.h"

namespace ostmail {
namespace mailjob {

std::vector<std::wstring> splitList(const std::wstring& list) {
    std::vector<std::wstring> entries;
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find(L';', pos);
        if (end == std::wstring::npos) end = list.size();
        if (end > pos) entries.push_back(list.substr(pos, end - pos));
        pos = end + 1;
    }
    return entries;
}

int runAttempts(const std::function<bool()>& attempt, int32_t retryCount, uint32_t waitMs,
                const std::function<void(uint32_t)>& wait) {
    int result = -1;
    // The counter starts below zero, so retry count n allows n + 1 attempts.
    int32_t counter = -1;
    do {
        if (attempt())
            result = 0;
        else
            wait(waitMs);
        ++counter;
    } while (counter < retryCount && result == -1);
    return result;
}

}  // namespace mailjob
}  // namespace ostmail
