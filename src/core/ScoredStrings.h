#pragma once
#include "core/ExtPtrArray.h"

#include <cstdint>
#include <map>
#include <string>

namespace ostmail {

// Strings with a score each. Adding a string that is already present
// replaces its score; the listing is by ascending score.
class ScoredStrings {
public:
    void add(const char* s, int32_t score);
    bool contains(const char* s) const { return m_scores.count(s) != 0; }
    int32_t count() const { return static_cast<int32_t>(m_scores.size()); }
    void clear() { m_scores.clear(); }

    // Appends one new StringBuffer per string (the caller owns them), lowest
    // score first. The order among equal scores is not fixed.
    bool sortedAscending(ExtPtrArray& out) const;

private:
    std::map<std::string, int32_t> m_scores;
};

}  // namespace ostmail
