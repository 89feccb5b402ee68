#pragma once
#include "facade/VmMailCb.h"

namespace ostmail {
namespace cli {

// Draws the send percentage as a bar on stderr (a terminal), and clears
// the line when the send ends.
class ProgressBar : public VmMailManProgress {
public:
    ~ProgressBar() override;
    void SendPercentDone(int32_t percent, bool* abort) override;
    void ReadPercentDone(int32_t percent, bool* abort) override { SendPercentDone(percent, abort); }

private:
    bool m_drawn = false;
};

}  // namespace cli
}  // namespace ostmail
