#include "core/ErrorLog.h"

#include <new>

namespace ostmail {

namespace {

const char kRootTag[] = "VelmoraLog";

// Allocation failures give null: an entry that cannot be had is not recorded.
StringBuffer* newText(const char* s) {
    StringBuffer* sb = new (std::nothrow) StringBuffer();
    if (sb) sb->append(s);
    return sb;
}

LogEntry2* newNode(int kind, const char* tag, const char* text) {
    std::unique_ptr<LogEntry2> node(new (std::nothrow) LogEntry2());
    if (!node) return nullptr;
    node->kind = kind;
    if (tag) {
        node->tag.reset(newText(tag));
        if (!node->tag) return nullptr;
    }
    if (text) {
        node->text.reset(newText(text));
        if (!node->text) return nullptr;
    }
    if (kind == LogEntry2::kContext) {
        node->children.reset(new (std::nothrow) ExtPtrArray());
        if (!node->children) return nullptr;
    }
    return node.release();
}

}  // namespace

LogEntry2::~LogEntry2() {
    if (children) children->removeAllObjects();
}

ErrorLog::ErrorLog() { newRoot(); }

ErrorLog::~ErrorLog() { deleteRoot(); }

void ErrorLog::newRoot() {
    LogEntry2* r = newNode(LogEntry2::kContext, kRootTag, nullptr);
    if (r && !m_stack.appendObject(r)) delete r;
}

void ErrorLog::deleteRoot() {
    delete root();
    m_stack.clearCount();
}

void ErrorLog::clear() {
    deleteRoot();
    newRoot();
}

bool ErrorLog::appendToCurrent(LogEntry2* node) {
    LogEntry2* cur = current();
    if (!node) return false;
    if (!cur || !cur->children || !cur->children->appendObject(node)) {
        delete node;
        return false;
    }
    return true;
}

void ErrorLog::addLine(int kind, const char* text) {
    if (!text) return;
    appendToCurrent(newNode(kind, nullptr, text));
}

void ErrorLog::addData(const char* name, const char* value) {
    appendToCurrent(newNode(LogEntry2::kData, name, value ? value : "(NULL)"));
}

void ErrorLog::enterContext(const char* tag) {
    LogEntry2* node = newNode(LogEntry2::kContext, tag ? tag : "", nullptr);
    // Pushed only once its parent owns it; a failed push leaves it closed.
    if (appendToCurrent(node)) m_stack.appendObject(node);
}

void ErrorLog::leaveContext() {
    if (m_stack.getSize() > 1) m_stack.pop();
    if (m_stack.getSize() < 2) return;
    // A context that recorded nothing vanishes, except directly under the root.
    ExtPtrArray* kids = current()->children.get();
    int32_t last = kids->getSize() - 1;
    LogEntry2* child = kids->at<LogEntry2>(last);
    if (child && child->isContext() && !child->hasChildren()) {
        kids->removeAt(last);
        delete child;
    }
}

}  // namespace ostmail
