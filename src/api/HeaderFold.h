#pragma once
#include <string>

namespace ostmail {

// Folds the lines of a message's top header block (up to its first empty
// line) at white space, under 78 characters where a line allows it and
// never past 998 where it has white space at all (RFC 5322 section 2.1.1).
// Unfolding gives back the same header text.
class HeaderFold {
public:
    static void foldHeaderBlock(std::string& mime);
};

}  // namespace ostmail
