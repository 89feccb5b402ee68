#pragma once
#include "core/StringBuffer.h"

namespace ostmail {

// Content types chosen by file name extension. Rows are tried in order and
// the first match wins, so the order of the table is part of the contract.
class ContentTypeTable {
public:
    struct Row {
        const char* contentType;
        const char* extensions[8];  // null-terminated list
    };

    static int rowCount();
    static const Row& row(int index);  // index in 0..rowCount()-1

    // Type for one extension (no dot, any case); null when unknown.
    static const char* typeForExtension(const char* ext);
    // Type for a path: the text after its last '.', lower-cased (Latin-1
    // capitals included). Unknown or missing gives "application/octet-stream".
    static void typeForPath(const char* path, StringBuffer& out);
};

}  // namespace ostmail
