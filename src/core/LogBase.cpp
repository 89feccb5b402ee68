#include "core/LogBase.h"

#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/StringBuffer.h"
#include "platform/Clock.h"
#include "platform/SysInfo.h"

#include <cstring>

namespace ostmail {

namespace {

// Upper-case hex, a space after every 2 bytes and a line feed after every 16.
void hexDump(const unsigned char* p, size_t n, StringBuffer& out) {
    static const char kDigits[] = "0123456789ABCDEF";
    out.expectNumBytes(n * 2 + n / 2 + n / 16 + 1);
    for (size_t i = 1; i <= n; ++i, ++p) {
        out.appendChar(kDigits[*p >> 4]);
        out.appendChar(kDigits[*p & 0x0F]);
        if (i % 2 == 0) out.appendChar(' ');
        if (i % 16 == 0) out.appendChar('\n');
    }
}

}  // namespace

void LogBase::LogWindowsError(uint32_t code) {
    if (code == 0) return;
    StringBuffer text(platform::errorText(static_cast<int>(code)).c_str());
    text.trimWhitespace();
    LogData("WindowsError", text.getString());
}

void LogBase::LogDataHexDump(const char* name, const void* bytes, size_t n) {
    StringBuffer sb;
    if (bytes) hexDump(static_cast<const unsigned char*>(bytes), n, sb);
    LogData(name, sb.getString());
}

void LogBase::LogByteDump(const char* name, const void* bytes, size_t n) {
    if (!bytes || n == 0) {
        LogError("No binary data to log");
        return;
    }
    LogDataHexDump(name, bytes, n);
}

void LogBase::LogDataQP(const char* name, const char* text) {
    StringBuffer qp;
    if (text) ContentCoding().encodeQuotedPrintable(text, std::strlen(text), qp);
    LogData(name, qp.getString());
}

void LogBase::LogDataAnsi(const char* name, const char* ansiText) {
    if (!ansiText) {
        LogData(name, nullptr);
        return;
    }
    size_t n = std::strlen(ansiText);
    DataBuffer utf8;
    // The converter's own complaints must not land inside the entry being made.
    LogNull quiet;
    EncodingConvert conv;
    conv.convert(platform::ansiCodePage(), 65001, ansiText, n, utf8, quiet);
    utf8.appendByte(0);
    LogData(name, reinterpret_cast<const char*>(utf8.getData()));
}

void LogBase::LogTimestamp(int number) {
    platform::UtcTimeOfDay t = platform::utcTimeOfDay();
    StringBuffer name;
    name.appendFormat("Timestamp-%d", number);
    StringBuffer value;
    value.appendFormat("%d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.millisecond);
    LogData(name.getString(), value.getString());
}

bool LogBase::LogDataSb(const char* name, const StringBuffer& value) {
    return LogData(name, value.getString());
}

}  // namespace ostmail
