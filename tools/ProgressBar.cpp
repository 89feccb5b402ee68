#include "ProgressBar.h"

#include <cstdio>
#include <string>

namespace ostmail {
namespace cli {

ProgressBar::~ProgressBar() {
    if (m_drawn) std::fputs("\r\033[K", stderr);
}

void ProgressBar::SendPercentDone(int32_t percent, bool* abort) {
    if (abort) *abort = false;
    const int width = 30;
    int filled = percent * width / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::fprintf(stderr, "\rsending [%s] %3d%%", bar.c_str(), percent);
    std::fflush(stderr);
    m_drawn = true;
}

}  // namespace cli
}  // namespace ostmail
