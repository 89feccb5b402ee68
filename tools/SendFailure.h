#pragma once
#include <string>
#include <vector>

namespace ostmail {
class VmMailMan;
namespace cli {

// What became of one send in sendmail's terms: a sysexits status and the
// lines that tell the caller why, in words.
class SendFailure {
public:
    // Reads the manager's last reply, refused recipients and activity log
    // after a send that returned ok.
    static SendFailure of(VmMailMan& mm, bool ok);

    int status() const { return m_status; }
    // Worth another attempt: the server or the network may be fine later.
    bool retryable() const;
    const std::vector<std::string>& lines() const { return m_lines; }

private:
    int m_status = 0;
    bool m_retry = false;
    std::vector<std::string> m_lines;
};

}  // namespace cli
}  // namespace ostmail
