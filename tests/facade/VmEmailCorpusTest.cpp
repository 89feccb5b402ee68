// Messages built through the facade, rendered as they would be sent, and
// read back by Python's email package, a MIME parser we did not write.
#include "FacadeTestUtil.h"

namespace ostmail {
namespace {

using facadetest::mailboxes;

struct Mailbox {
    std::string name, address;
};

struct AttachedFile {
    std::string fileName, bytes, contentType;
};

struct Case {
    std::string id, subject, fromName, body;
    std::vector<Mailbox> to, cc;
    std::vector<AttachedFile> files;
    std::string html, expectSubject;  // expectSubject: when the reader sees another subject
};

std::string binaryBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x);
    }
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
    add("02_latin1", "Caf\xC3\xA9 men\xC3\xBC f\xC3\xBCr Sie", "M\xC3\xBCller",
        "Gr\xC3\xBC\xC3\x9F" "e aus M\xC3\xBCnchen,\r\nsch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F" "e.\r\n", boss);
    add("03_latin2", "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 g\xC4\x99\xC5\x9Bl\xC4\x85", "Pawe\xC5\x82",
        "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 g\xC4\x99\xC5\x9Bl\xC4\x85 ja\xC5\xBA\xC5\x84.\r\n", boss);
    add("04_greek", "\xCE\x93\xCE\xB5\xCE\xB9\xCE\xB1 \xCF\x83\xCE\xB1\xCF\x82", "\xCE\x9D\xCE\xAF\xCE\xBA\xCE\xBF\xCF\x82",
        "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 \xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xB5.\r\n", boss);
    add("05_cyrillic", "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xD0\xB7\xD0\xB0 \xD0\xBD\xD0\xB5\xD0\xB4\xD0\xB5\xD0\xBB\xD1\x8E",
        "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD \xD0\x9F\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE\xD0\xB2",
        "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! \xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 "
        "\xD0\xB3\xD0\xBE\xD1\x82\xD0\xBE\xD0\xB2.\r\n", boss);
    add("06_hebrew", "\xD7\x93\xD7\x95\xD7\x97 \xD7\xA9\xD7\x91\xD7\x95\xD7\xA2\xD7\x99", "",
        "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xD7\xA2\xD7\x95\xD7\x9C\xD7\x9D\r\n", boss);
    add("07_arabic", "\xD8\xAA\xD9\x82\xD8\xB1\xD9\x8A\xD8\xB1", "\xD8\xB9\xD9\x84\xD9\x8A",
        "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7 \xD8\xA8\xD8\xA7\xD9\x84\xD8\xB9\xD8\xA7\xD9\x84\xD9\x85\r\n", boss);
    add("08_thai", "\xE0\xB8\xA3\xE0\xB8\xB2\xE0\xB8\xA2\xE0\xB8\x87\xE0\xB8\xB2\xE0\xB8\x99", "",
        "\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1\xE0\xB8\xAA\xE0\xB8\x94\xE0\xB8\xB5\xE0\xB8\x84\xE0\xB8\xA3\xE0\xB8\xB1\xE0\xB8\x9A\r\n",
        boss);
    add("09_japanese", "\xE9\x80\xB1\xE6\xAC\xA1\xE3\x83\xAC\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88", "\xE5\xB1\xB1\xE7\x94\xB0",
        "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE3\x80\x81\xE4\xB8\x96\xE7\x95\x8C\xE3\x80\x82"
        "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82\r\n", boss);
    add("10_korean", "\xEC\xA3\xBC\xEA\xB0\x84 \xEB\xB3\xB4\xEA\xB3\xA0\xEC\x84\x9C", "\xEA\xB9\x80\xEC\xB2\xA0\xEC\x88\x98",
        "\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94 \xEC\x84\xB8\xEA\xB3\x84\r\n", boss);
    add("11_chinese", "\xE6\xAF\x8F\xE5\x91\xA8\xE6\x8A\xA5\xE5\x91\x8A", "\xE7\x8E\x8B\xE4\xBC\x9F",
        "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C\xE3\x80\x82\xE8\xBF\x99\xE6\x98\xAF\xE6\x8A\xA5"
        "\xE5\x91\x8A\xE3\x80\x82\r\n", boss);
    add("12_mixed_scripts", "Hello \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xCE\x93\xCE\xB5\xCE\xB9\xCE\xB1",
        "Mixed \xCE\xB1\xD0\x9F", "Hello \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xCE\x93\xCE\xB5\xCE\xB9\xCE\xB1 "
        "\xE4\xB8\xAD\xE6\x96\x87\r\n", boss);
    // Plain folding puts CRLF TAB after a semicolon; a reader removes only
    // the CRLF, so the TAB stays in the subject it sees.
    Case* k = add("14_long_ascii_subject", "Quarterly figures; regional breakdown; final version for the board meeting",
                  "Report Server", "See subject.\r\n", boss);
    k->expectSubject = "Quarterly figures;\t regional breakdown; final version for the board meeting";
    add("15_long_latin1_subject",
        repeat("R\xC3\xA9sum\xC3\xA9 des r\xC3\xA9sultats trimestriels, ", 4) + "fin", "S\xC3\xA9verine",
        "Voil\xC3\xA0 le r\xC3\xA9sum\xC3\xA9.\r\n", boss);
    add("16_long_japanese_subject", repeat("\xE5\x9B\x9B\xE5\x8D\x8A\xE6\x9C\x9F\xE3\x81\xAE\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8", 6),
        "", "\xE3\x81\x8A\xE7\x9F\xA5\xE3\x82\x89\xE3\x81\x9B\r\n", boss);
    add("18_names_with_commas", "Names", "Server, Report",
        "Body\r\n", {{"Doe, John", "john@example.com"}, {"Smith, Jane Q.", "jane@example.com"}},
        {{"Ops, Team", "ops@example.com"}});
    add("19_non_ascii_names", "Names", "Jos\xC3\xA9 M\xC3\xBCller", "Body caf\xC3\xA9\r\n",
        {{"\xC3\x86r\xC3\xB8, \xC3\x85se", "ase@example.com"}, {"\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD", "ivan@example.com"}},
        {{"Fran\xC3\xA7ois", "fr@example.com"}});
    add("20_many_recipients", "Many", "Sender", "Body\r\n",
        {{"", "alice@example.com"}, {"Bob Builder", "bob@example.com"}, {"", "carol@example.org"},
         {"Dave", "dave@example.net"}, {"", "erin@example.com"}},
        {{"", "cc1@example.com"}, {"Cc Two", "cc2@example.com"}, {"", "cc3@example.com"}});
    add("21_binary_attachment", "Binary", "Sender", "See attachment.\r\n", boss, {},
        {{"data.bin", binaryBytes(5000, 1), "application/octet-stream"}});
    add("22_text_attachment_lf", "Text", "Sender", "See attachment.\r\n", boss, {},
        {{"notes.txt", "first line\nsecond line  \n.dot line\nFrom here\n\ttab\n", "text/plain"}});
    add("24_empty_attachment", "Empty", "Sender", "Empty file.\r\n", boss, {}, {{"empty.dat", "", "application/octet-stream"}});
    add("25_non_ascii_filename", "Bericht", "Sender", "Anbei der Bericht f\xC3\xBCr M\xC3\xA4rz.\r\n", boss, {},
        {{"Bericht f\xC3\xBCr M\xC3\xA4rz.pdf", binaryBytes(300, 2), "application/pdf"}});
    add("27_several_attachments", "Several", "Sender", "Five files.\r\n", boss, {{"", "cc@example.com"}},
        {{"my photo 1.png", binaryBytes(2048, 5), "image/png"},
         {"b.zip", binaryBytes(4096, 6), "application/zip"},
         {"c.html", "<html><body>hi</body></html>\r\n", "text/html"},
         {"d.unknownext", binaryBytes(55, 7), "application/octet-stream"},
         {"quarterly report final.xls", binaryBytes(1000, 3), "application/vnd.ms-excel"}});
    add("28_japanese_with_filename", "\xE5\xA0\xB1\xE5\x91\x8A", "\xE5\xB1\xB1\xE7\x94\xB0",
        "\xE6\xB7\xBB\xE4\xBB\x98\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x99\xE3\x80\x82\r\n", boss, {},
        {{"\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8.pdf", binaryBytes(999, 8), "application/pdf"}});
    add("31_hebrew_subject_ascii_body", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D", "", "ASCII body only.\r\n", boss);
    add("32_qp_edge_lines", "Edges", "Sender",
        ".leading dot\r\nFrom the start\r\ntrailing space \r\ntrailing tab\t\r\n= sign and ? mark\r\n" +
            repeat("0123456789", 15) + "\r\n",
        boss);
    add("33_large_body_and_file", "Large", "Sender", repeat("The quick brown fox jumps over the lazy dog. ", 5000) + "\r\n",
        boss, {}, {{"big.bin", binaryBytes(1 << 20, 11), "application/octet-stream"}});
    k = add("37_html_alternative", "Men\xC3\xBC", "", "Men\xC3\xBC: Suppe\r\n", boss, {},
            {{"menu.pdf", binaryBytes(64, 13), "application/pdf"}});
    k->html = "<html><body><p>Men\xC3\xBC: <b>Suppe</b></p></body></html>\r\n";
    // Quotes and backslashes are legal in file names here: the name must
    // arrive whole and must not end its parameter early.
    add("38_quotes_in_filename", "Quotes", "Sender", "Three files.\r\n", boss, {},
        {{"say \"hi\"; filename=evil.exe; a=\".txt", "hi\r\n", "text/plain"},
         {"back\\slash \\\".pdf", binaryBytes(40, 14), "application/pdf"},
         {"Caf\xC3\xA9 \"menu\".pdf", binaryBytes(41, 15), "application/pdf"}});
    // A quote in a display name must not end it and pass the rest off as the address.
    add("39_quotes_in_names", "Names", "Evil\" <attacker@evil.example>", "Body\r\n",
        {{"Bob \"the\" Builder \\", "bob@example.com"}}, {{"Caf\xC3\xA9 \"q\" <x@evil.example>", "cc@example.com"}});
    return c;
}

std::string lf(std::string s) {
    for (size_t p; (p = s.find("\r\n")) != std::string::npos;) s.erase(p, 1);
    return s;
}

std::vector<std::string> expectedMailboxes(const std::vector<Mailbox>& list) {
    std::vector<std::string> out;
    for (const Mailbox& m : list) out.push_back(m.name + " <" + m.address + ">");
    return out;
}

void build(VmEmail& e, const Case& k, const std::string& dir) {
    e.put_Utf8(true);
    e.put_Body(k.body.c_str());
    e.put_Subject(k.subject.c_str());
    e.put_FromName(k.fromName.c_str());
    e.put_FromAddress(kFrom.c_str());
    for (const Mailbox& m : k.to) EXPECT_TRUE(e.AddTo(m.name.c_str(), m.address.c_str())) << k.id;
    for (const Mailbox& m : k.cc) EXPECT_TRUE(e.AddCC(m.name.c_str(), m.address.c_str())) << k.id;
    if (!k.html.empty()) e.AddHtmlAlternativeBody(k.html.c_str());
    for (const AttachedFile& f : k.files) {
        const char* type = e.addFileAttachment((dir + "/in/" + f.fileName).c_str());
        ASSERT_NE(type, nullptr) << k.id << " " << e.lastErrorText();
        EXPECT_EQ(std::string(type), f.contentType) << k.id;
    }
}

TEST(VmEmailCorpus, PythonRecoversEveryField) {
    facadetest::ScratchDir dir;
    ASSERT_EQ(system(("mkdir -p '" + dir.path() + "/in'").c_str()), 0);
    std::vector<Case> cases = corpus();
    ASSERT_GE(cases.size(), 25u);
    std::vector<std::pair<std::string, std::string>> rendered;
    for (const Case& k : cases) {
        for (const AttachedFile& f : k.files) dir.write("in/" + f.fileName, f.bytes);
        VmEmail e;
        build(e, k, dir.path());
        rendered.emplace_back(k.id, facadetest::renderForSending(e));
    }
    const std::vector<testsupport::MailCheck> read = facadetest::readBack(dir, rendered);
    for (size_t c = 0; c < cases.size(); ++c) {
        const Case& k = cases[c];
        const std::string& mime = rendered[c].second;
        const testsupport::MailCheck& m = read[c];
        SCOPED_TRACE(k.id);
        EXPECT_EQ(mime.find("Return-Path"), std::string::npos);
        for (size_t p = 0; (p = mime.find('\n', p)) != std::string::npos; ++p) {
            ASSERT_TRUE(p > 0 && mime[p - 1] == '\r') << "bare LF at " << p;
        }
        EXPECT_EQ(m.get("subject"), k.expectSubject.empty() ? k.subject : k.expectSubject);
        EXPECT_EQ(mailboxes(m, "from"), expectedMailboxes({{k.fromName, kFrom}}));
        EXPECT_EQ(mailboxes(m, "to"), expectedMailboxes(k.to));
        EXPECT_EQ(mailboxes(m, "cc"), expectedMailboxes(k.cc));
        EXPECT_EQ(lf(m.get("body")), lf(k.body));
        if (!k.html.empty()) { EXPECT_EQ(lf(m.get("html")), lf(k.html)); }
        ASSERT_EQ(m.count("attachment"), static_cast<int>(k.files.size())) << m.dump();
        for (size_t i = 0; i < k.files.size(); ++i) {
            const std::string at = "attachment." + std::to_string(i);
            EXPECT_EQ(m.get(at + ".filename"), k.files[i].fileName);
            EXPECT_EQ(m.get(at + ".content_type"), k.files[i].contentType);
            EXPECT_TRUE(m.attachmentBytes(static_cast<int>(i)) == k.files[i].bytes) << k.files[i].fileName;
        }
    }
}

}  // namespace
}  // namespace ostmail
