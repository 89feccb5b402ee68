#include "core/ScoredStrings.h"

#include "core/StringBuffer.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace ostmail {

void ScoredStrings::add(const char* s, int32_t score) { m_scores[s ? s : ""] = score; }

bool ScoredStrings::sortedAscending(ExtPtrArray& out) const {
    std::vector<std::pair<int32_t, const std::string*>> order;
    order.reserve(m_scores.size());
    for (const auto& kv : m_scores) order.emplace_back(kv.second, &kv.first);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& e : order) {
        auto* sb = new (std::nothrow) StringBuffer(e.second->c_str(), e.second->size());
        if (!sb) return false;
        if (!out.appendObject(sb)) {
            delete sb;
            return false;
        }
    }
    return true;
}

}  // namespace ostmail
