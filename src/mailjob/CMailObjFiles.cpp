#include "core/XString.h"
#include "ostmail/CMailObj.h"
#include "platform/FileSystem.h"

#include <cstring>
#include <vector>

namespace {

std::string utf8Path(const std::wstring& path) {
    ostmail::XString x;
    x.setFromWide(path);
    return x.getUtf8();
}

std::wstring fileNamePart(const std::wstring& path) {
    size_t slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void replaceAll(std::wstring& text, const std::wstring& find, const std::wstring& repl) {
    if (find.empty()) return;
    for (size_t pos = text.find(find); pos != std::wstring::npos; pos = text.find(find, pos + repl.size()))
        text.replace(pos, find.size(), repl);
}

}  // namespace

int CMailObj::ReadFileToString(std::wstring path, std::wstring& text) {
    ostmail::platform::FileReader file;
    if (!file.open(utf8Path(path).c_str())) return 0;
    std::vector<char> bytes;
    try {
        bytes.assign(static_cast<size_t>(file.size()) + 1, 0);
    } catch (...) {
        return 0;
    }
    // A short read leaves zeros, which end the text like the file's end.
    size_t got = 0;
    while (got < file.size()) {
        long n = file.read(bytes.data() + got, static_cast<size_t>(file.size()) - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ostmail::XString x;
    x.setFromAnsi(bytes.data(), std::strlen(bytes.data()));
    text = x.getWide();
    return 1;
}

void CMailObj::AddId(std::wstring& html) {
    for (size_t i = 0; i < m_inlineImages.size(); ++i) {
        auto it = m_inlineImages.begin();
        std::advance(it, static_cast<long>(i));
        const std::wstring& path = *it;
        std::wstring name = fileNamePart(path);
        if (name.empty()) continue;
        size_t at = html.find(name);
        if (at == std::wstring::npos) continue;
        size_t quote = html.rfind(L'"', at);
        if (quote == std::wstring::npos) return;
        std::wstring reference = html.substr(quote + 1, at + name.size() - quote - 1);
        if (path.find(reference) == std::wstring::npos) {
            std::wstring backslashed = reference;
            for (wchar_t& c : backslashed)
                if (c == L'/') c = L'\\';
            if (path.find(backslashed) == std::wstring::npos) continue;
        }
        replaceAll(html, reference, L"cid:" + name);
    }
}
