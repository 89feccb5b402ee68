#include "core/LogBase.h"
#include "platform/FileSystem.h"
#include "smtp/SmtpConnImpl.h"

#include <algorithm>
#include <string>

namespace ostmail {

namespace {

// Recipients per transaction when they need not be sent one by one.
constexpr int32_t kBatchSize = 100;

// The recipients of one batch in the To list, with no CC or Bcc; the text
// is the one rendered for the whole list.
class BatchMessage : public SmtpMessage {
public:
    BatchMessage(SmtpMessage& msg, ExtPtrArray& all, int32_t first, int32_t count)
        : m_msg(msg), m_all(all), m_first(first), m_count(count) {}
    void subject(StringBuffer& out) const override { m_msg.subject(out); }
    void addresses(Kind kind, ExtPtrArray& out) const override {
        if (kind != kTo) return;
        for (int32_t i = m_first; i < m_first + m_count; ++i)
            out.appendObject(new StringBuffer(*m_all.at<StringBuffer>(i)));
    }
    bool render(StringBuffer& out, LogBase& log) override { return m_msg.render(out, log); }

private:
    SmtpMessage& m_msg;
    ExtPtrArray& m_all;
    int32_t m_first;
    int32_t m_count;
};

struct OwnedList {
    ExtPtrArray items;
    ~OwnedList() { items.removeAllObjects(); }
};

// One address per line; blank lines and lines starting with '#' are skipped.
bool readList(const char* path, ExtPtrArray& out) {
    std::string text;
    if (!platform::readWholeFile(path, text)) return false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        StringBuffer line(text.data() + pos, eol - pos);
        line.trimWhitespace();
        if (!line.isEmpty() && line.getString()[0] != '#') out.appendObject(new StringBuffer(line));
        pos = eol + 1;
    }
    return true;
}

}  // namespace

bool SmtpConnImpl::sendToDistributionList(SmtpMessage& msg, const StringBuffer& listPath, const char* reversePath,
                                          const StringBuffer* preRendered, const char* sentLogPath, LogBase& log,
                                          ProgressMonitor* pm, SmtpSendResult& result, ExtPtrArray& badAddresses,
                                          bool sendIndividual, SocketFlags& flags) {
    log.LogInfo("Sending to distribution list...");
    OwnedList list;
    if (!readList(listPath.getString(), list.items)) {
        log.LogError("Failed to read the distribution list file.");
        log.LogData("path", listPath.getString());
        return false;
    }
    log.LogDataLong("DistributionCount", list.items.getSize());
    // Rendered once: every batch carries the same text.
    StringBuffer text;
    if (!preRendered) {
        msg.render(text, log);
        preRendered = &text;
    }
    int32_t batch = sendIndividual ? 1 : kBatchSize;
    bool anySent = false;
    bool needReset = false;
    for (int32_t first = 0; first < list.items.getSize(); first += batch) {
        // A failed batch may leave the server inside its transaction.
        if (needReset && !resetSession(log, pm)) break;
        int32_t count = std::min(batch, list.items.getSize() - first);
        BatchMessage one(msg, list.items, first, count);
        SmtpSendResult part;
        bool ok = sendMailTransaction(one, reversePath, preRendered, sentLogPath, log, pm, part, badAddresses, flags);
        result.accepted += part.accepted;
        result.attempted += part.attempted;
        result.protocolFailure = result.protocolFailure || part.protocolFailure;
        result.tooManyMessages = result.tooManyMessages || part.tooManyMessages;
        anySent = anySent || ok;
        needReset = !ok;
        if (!ok && (!m_conn.IsConnected() || monitorAborted(pm, flags))) break;
    }
    if (anySent) result.protocolFailure = false;
    return anySent;
}

}  // namespace ostmail
