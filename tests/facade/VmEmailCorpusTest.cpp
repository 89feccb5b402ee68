// Messages built through the facade, rendered as they would be sent, and
// read back by Python's email package, a MIME parser we did not write.
#include "FacadeTestUtil.h"
#include "support/MailCheck.h"
#include "support/ScratchDir.h"

#include <algorithm>

using namespace ostmail;
using testsupport::MailCheck;

namespace {

using Mailbox = std::pair<std::string, std::string>;  // display name, address

struct AttachedFile {
    std::string fileName, bytes, contentType;
};

struct Case {
    std::string id, subject, fromName, body;
    std::vector<Mailbox> to, cc;
    std::vector<AttachedFile> files;
    std::string html, expectSubject;  // expectSubject: when the reader sees another subject
    // Python keeps the folding white space between adjacent encoded words
    // of a display name as a space: a long folded name comes back with
    // spaces where it was folded, so those are not compared.
    bool foldedFromName = false;
    std::string headerNames = {};  // when set, every field name in order, lower case
};

std::string binaryBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i + seed) * 2654435761u >> 13);
    return s;
}

std::string repeat(const std::string& s, int n) {
    std::string o;
    for (int i = 0; i < n; ++i) o += s;
    return o;
}

const std::string kFrom = "reports@example.com";

std::vector<Case> corpus() {
    std::vector<Case> c;
    auto add = [&](std::string id, std::string subject, std::string fromName, std::string body,
                   std::vector<Mailbox> to, std::vector<Mailbox> cc = {}, std::vector<AttachedFile> files = {}) {
        c.push_back(Case{id, subject, fromName, body, to, cc, files, "", ""});
        return &c.back();
    };
    const std::vector<Mailbox> boss = {{"", "boss@example.com"}};
    add("01_ascii", "Weekly status report", "Report Server", "Hello team,\r\nall systems green.\r\n", boss);
    add("02_latin1", "Café menü für Sie", "Müller", "Grüße aus München,\r\nschöne Grüße.\r\n", boss);
    add("03_latin2", "Zażółć gęślą", "Paweł", "Zażółć gęślą jaźń.\r\n", boss);
    add("04_greek", "Γεια σας", "Νίκος", "Καλημέρα κόσμε.\r\n", boss);
    add("05_cyrillic", "Отчёт за неделю", "Иван Петров", "Привет, мир! Отчёт готов.\r\n", boss);
    add("06_hebrew", "דוח שבועי", "", "שלום עולם\r\n", boss);
    add("07_arabic", "تقرير", "علي", "مرحبا بالعالم\r\n", boss);
    add("08_thai", "รายงาน", "", "สวัสดีครับ\r\n", boss);
    add("09_japanese", "週次レポート", "山田", "こんにちは、世界。報告書です。\r\n", boss);
    add("10_korean", "주간 보고서", "김철수", "안녕하세요 세계\r\n", boss);
    add("11_chinese", "每周报告", "王伟", "你好，世界。这是报告。\r\n", boss);
    add("12_mixed_scripts", "Hello Привет Γεια", "Mixed αП", "Hello Привет Γεια 中文\r\n", boss);
    // Plain folding puts CRLF TAB after a semicolon; a reader removes only
    // the CRLF, so the TAB stays in the subject it sees.
    Case* k = add("14_long_ascii_subject", "Quarterly figures; regional breakdown; final version for the board meeting",
                  "Report Server", "See subject.\r\n", boss);
    k->expectSubject = "Quarterly figures;\t regional breakdown; final version for the board meeting";
    add("15_long_latin1_subject", repeat("Résumé des résultats trimestriels, ", 4) + "fin", "Séverine",
        "Voilà le résumé.\r\n", boss);
    add("16_long_japanese_subject", repeat("四半期の報告書", 6), "", "お知らせ\r\n", boss);
    add("18_names_with_commas", "Names", "Server, Report",
        "Body\r\n", {{"Doe, John", "john@example.com"}, {"Smith, Jane Q.", "jane@example.com"}},
        {{"Ops, Team", "ops@example.com"}});
    add("19_non_ascii_names", "Names", "José Müller", "Body café\r\n",
        {{"Ærø, Åse", "ase@example.com"}, {"Иван", "ivan@example.com"}}, {{"François", "fr@example.com"}});
    add("22_text_attachment_lf", "Text", "Sender", "See attachment.\r\n", boss, {},
        {{"notes.txt", "first line\nsecond line  \n.dot line\nFrom here\n\ttab\n", "text/plain"}});
    add("24_empty_attachment", "Empty", "Sender", "Empty file.\r\n", boss, {}, {{"empty.dat", "", "application/octet-stream"}});
    add("25_non_ascii_filename", "Bericht", "Sender", "Anbei der Bericht für März.\r\n", boss, {},
        {{"Bericht für März.pdf", binaryBytes(300, 2), "application/pdf"}});
    add("27_several_attachments", "Several", "Sender", "Five files.\r\n", boss, {{"", "cc@example.com"}},
        {{"my photo 1.png", binaryBytes(2048, 5), "image/png"},
         {"b.zip", binaryBytes(4096, 6), "application/zip"},
         {"c.html", "<html><body>hi</body></html>\r\n", "text/html"},
         {"d.unknownext", binaryBytes(55, 7), "application/octet-stream"},
         {"quarterly report final.xls", binaryBytes(1000, 3), "application/vnd.ms-excel"}});
    add("28_japanese_with_filename", "報告", "山田", "添付します。\r\n", boss, {},
        {{"報告書.pdf", binaryBytes(999, 8), "application/pdf"}});
    add("31_hebrew_subject_ascii_body", "שלום", "", "ASCII body only.\r\n", boss);
    add("32_qp_edge_lines", "Edges", "Sender",
        ".leading dot\r\nFrom the start\r\ntrailing space \r\ntrailing tab\t\r\n= sign and ? mark\r\n" +
            repeat("0123456789", 15) + "\r\n",
        boss);
    add("33_large_body_and_file", "Large", "Sender", repeat("The quick brown fox jumps over the lazy dog. ", 5000) + "\r\n",
        boss, {}, {{"big.bin", binaryBytes(1 << 20, 11), "application/octet-stream"}});
    k = add("37_html_alternative", "Menü", "", "Menü: Suppe\r\n", boss, {},
            {{"menu.pdf", binaryBytes(64, 13), "application/pdf"}});
    k->html = "<html><body><p>Menü: <b>Suppe</b></p></body></html>\r\n";
    // Quotes and backslashes are legal in file names here: the name must
    // arrive whole and must not end its parameter early.
    add("38_quotes_in_filename", "Quotes", "Sender", "Three files.\r\n", boss, {},
        {{"say \"hi\"; filename=evil.exe; a=\".txt", "hi\r\n", "text/plain"},
         {"back\\slash \\\".pdf", binaryBytes(40, 14), "application/pdf"},
         {"Café \\ \"menu\".pdf", binaryBytes(41, 15), "application/pdf"}});
    // A quote in a display name must not end it and pass the rest off as the address.
    add("39_quotes_in_names", "Names", "Evil\" <attacker@evil.example>", "Body\r\n",
        {{"Bob \"the\" Builder \\", "bob@example.com"}}, {{"Café \"q\" <x@evil.example>", "cc@example.com"}});
    // Huge names, subjects and lists still give a header read as it was meant.
    std::string longUtf8;
    for (int i = 0; i < 5000; ++i) longUtf8 += "\xC3\xA9";
    std::vector<Mailbox> manyCc;
    for (int i = 0; i < 5000; ++i) manyCc.push_back({"", "user" + std::to_string(i) + "@example.com"});
    k = add("40_huge_values", longUtf8, longUtf8, "b", {{std::string(10000, 'N'), "long@example.com"}}, manyCc);
    k->foldedFromName = true;
    k->headerNames = "mime-version date message-id x-mailer x-priority content-transfer-encoding content-type subject "
                     "from to cc";
    return c;
}

std::string lf(std::string s) {
    for (size_t p; (p = s.find("\r\n")) != std::string::npos;) s.erase(p, 1);
    return s;
}

std::vector<Mailbox> mailboxes(const MailCheck& m, const std::string& field) {
    std::vector<Mailbox> out;
    for (int i = 0; i < m.count(field); ++i) {
        const std::string at = field + "." + std::to_string(i);
        out.emplace_back(m.get(at + ".name"), m.get(at + ".addr"));
    }
    return out;
}

}  // namespace

TEST(VmEmailCorpus, PythonRecoversEveryField) {
    testsupport::ScratchDir dir;
    const std::vector<Case> cases = corpus();
    std::vector<std::string> mimes, paths;
    for (const Case& k : cases) {
        VmEmail e;
        e.put_Utf8(true);
        e.put_Body(k.body.c_str());
        e.put_Subject(k.subject.c_str());
        e.put_FromName(k.fromName.c_str());
        e.put_FromAddress(kFrom.c_str());
        for (const auto& [name, address] : k.to) EXPECT_TRUE(e.AddTo(name.c_str(), address.c_str())) << k.id;
        for (const auto& [name, address] : k.cc) EXPECT_TRUE(e.AddCC(name.c_str(), address.c_str())) << k.id;
        if (!k.html.empty()) e.AddHtmlAlternativeBody(k.html.c_str());
        for (const AttachedFile& f : k.files) {
            const char* type = e.addFileAttachment(dir.write(f.fileName, f.bytes).c_str());
            ASSERT_NE(type, nullptr) << k.id << " " << e.lastErrorText();
            EXPECT_EQ(std::string(type), f.contentType) << k.id;
        }
        mimes.push_back(facadetest::renderForSending(e));
        paths.push_back(dir.write(k.id + ".eml", mimes.back()));
    }
    const std::vector<MailCheck> read = MailCheck::loadFiles(paths);
    for (size_t c = 0; c < cases.size(); ++c) {
        const Case& k = cases[c];
        const std::string& mime = mimes[c];
        const MailCheck& m = read[c];
        SCOPED_TRACE(k.id);
        EXPECT_EQ(m.error(), "");
        for (size_t p = 0; (p = mime.find('\n', p)) != std::string::npos; ++p) {
            ASSERT_TRUE(p > 0 && mime[p - 1] == '\r') << "bare LF at " << p;
        }
        EXPECT_EQ(m.get("subject"), k.expectSubject.empty() ? k.subject : k.expectSubject);
        std::vector<Mailbox> from = mailboxes(m, "from"), wantFrom = {{k.fromName, kFrom}};
        if (k.foldedFromName)
            for (std::vector<Mailbox>* v : {&from, &wantFrom})
                for (Mailbox& b : *v) b.first.erase(std::remove(b.first.begin(), b.first.end(), ' '), b.first.end());
        EXPECT_EQ(from, wantFrom);
        EXPECT_EQ(mailboxes(m, "to"), k.to);
        EXPECT_EQ(mailboxes(m, "cc"), k.cc);
        EXPECT_EQ(lf(m.get("body")), lf(k.body));
        EXPECT_EQ(m.get("defects"), "") << m.dump();
        if (!k.html.empty()) { EXPECT_EQ(lf(m.get("html")), lf(k.html)); }
        if (!k.headerNames.empty()) { EXPECT_EQ(m.get("header.names"), k.headerNames); }
        ASSERT_EQ(m.count("attachment"), static_cast<int>(k.files.size())) << m.dump();
        for (size_t i = 0; i < k.files.size(); ++i) {
            const std::string at = "attachment." + std::to_string(i);
            EXPECT_EQ(m.get(at + ".filename"), k.files[i].fileName);
            EXPECT_EQ(m.get(at + ".content_type"), k.files[i].contentType);
            EXPECT_TRUE(m.attachmentBytes(static_cast<int>(i)) == k.files[i].bytes) << k.files[i].fileName;
        }
    }
}

// 8-bit text that the message's charset cannot hold goes out in UTF-8, in
// every part and in every field.
TEST(HeaderText, EightBitReceiptsAndAlternativesKeepEveryCharacter) {
    const std::string from = "jörg@exämple.com", plain = "Привет — €", html = "<p>Γειά “”</p>";
    VmEmail e;
    e.put_Utf8(true);
    e.put_FromAddress(from.c_str());
    e.AddHeaderField("VMX-ReturnReceipt", "YES");
    e.put_Body(plain.c_str());
    e.AddHtmlAlternativeBody(html.c_str());
    std::string mime = facadetest::renderForSending(e);
    size_t at = mime.find("Disposition-Notification-To:");
    ASSERT_NE(at, std::string::npos) << mime;
    std::string line = mime.substr(at, mime.find("\r\n", at) - at);
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return (c & 0x80) == 0; })) << line;
    MailCheck mc;
    ASSERT_TRUE(mc.loadText(mime)) << mc.error();
    EXPECT_EQ(mc.get("header.disposition-notification-to"), "<" + from + ">") << mime;
    EXPECT_EQ(mc.get("body"), plain) << mime;
    EXPECT_EQ(mc.get("body.charset"), "utf-8");
    EXPECT_NE(mc.get("html").find(html), std::string::npos) << mime;
    EXPECT_EQ(mc.get("html.charset"), "utf-8");
    EXPECT_EQ(mc.get("defects"), "") << mc.dump();
}
