// DKIM signatures made by the program, the manager and the C++ API, checked
// by three verifiers we did not write: dkimpy, which fetches the keys from
// the test dnsmasq through its DNS hook, Exim on arrival (acl_smtp_dkim, keys
// from DNS) and OpenDKIM's opendkim-testmsg (keys from DNS through a private
// resolv.conf). Every message carries an RSA and an Ed25519 signature.
#include "integration/EximCheck.h"
#include "ostmail/ostmail.h"
#include "smtp/ClsMailMan.h"
#include "support/ScratchDir.h"

#include <sys/stat.h>

#include <cstdio>
#include <strings.h>

namespace ostmail::itest {
namespace {

struct Verdicts {
    std::string path;    // the delivered copy
    std::string dkimpy;  // a "pass|fail d= s= a= c=" line per signature
    std::string exim;    // Exim's "DKIM:" lines and its acl_smtp_dkim verdicts for it
    std::string opendkim;  // "pass" or "fail: reason" per signature, top first
};

// The message with its index-th DKIM-Signature field only, as OpenDKIM's
// test tool gives one verdict for a whole message; "" past the last one.
std::string onlySignature(const std::string& mail, size_t index) {
    size_t headerEnd = mail.find("\n\n") + 1, seen = 0;
    bool kept = false;
    std::string out;
    for (size_t pos = 0, end; pos < headerEnd; pos = end) {
        end = pos;
        do end = mail.find('\n', end) + 1;
        while (end < headerEnd && (mail[end] == ' ' || mail[end] == '\t'));
        bool sig = strncasecmp(mail.c_str() + pos, "DKIM-Signature:", 15) == 0;
        if (sig && seen++ != index) continue;
        kept = kept || sig;
        out += mail.substr(pos, end - pos);
    }
    return kept ? out + mail.substr(headerEnd) : "";
}

std::string openDkimVerdicts(const TestEnv& env, const std::string& mail) {
    std::string verdicts, one;
    for (size_t i = 0; !(one = onlySignature(mail, i)).empty(); ++i) {
        PythonResult r = testsupport::runProgram(
            {"unshare", "--mount", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec opendkim-testmsg",
             env.get("OSTMAIL_DKIM_RESOLV_CONF")},
            300000, one);
        verdicts += r.exitCode == 0 ? "pass\n" : "fail: " + r.err + "\n";
    }
    return verdicts;
}

// The copy delivered with token in its header, and every verifier's verdicts on it.
Verdicts verify(const TestEnv& env, const std::string& token) {
    Verdicts v;
    v.path = Maildir(env.get("OSTMAIL_MAILDIR")).waitFor(token, 60000);
    if (v.path.empty()) return v;
    PythonResult r = testsupport::runPythonFile(std::string(OSTMAIL_SOURCE_DIR) + "/tests/support/dkimcheck.py", "",
                                                {v.path, portOf(env, "OSTMAIL_DNS_PORT")}, 300000);
    v.dkimpy = r.out + r.err;
    std::string mail = Maildir::readFile(v.path);
    v.opendkim = openDkimVerdicts(env, mail);
    std::string head = mail.substr(0, 4096), log = Maildir::readFile(env.get("OSTMAIL_DKIM_EXIM_LOG"));
    size_t at = head.find("\tid ");
    std::string id = at == std::string::npos ? "?" : head.substr(at + 4, head.find_first_of(";\r\n", at) - at - 4);
    for (size_t pos = 0; (pos = log.find(id + " ", pos)) != std::string::npos; ++pos) {
        std::string line = log.substr(pos, log.find('\n', pos) - pos + 1);
        if (has(line, " DKIM: ") || has(line, "DKIM verdict")) v.exim += line;
    }
    return v;
}

// Each signature passed every verifier, with the canonicalisation asked for.
void expectVerified(const Verdicts& v, const std::string& canon, const std::string& what,
                    const std::vector<std::string>& sigs = {"s=rsa2048 a=rsa-sha256", "s=ed a=ed25519-sha256"}) {
    ASSERT_FALSE(v.path.empty()) << what << ": nothing arrived";
    std::string passes;
    for (const std::string& s : sigs) {
        std::string sel = s.substr(0, s.find(' ')), alg = s.substr(s.find(' ') + 1);
        EXPECT_TRUE(has(v.dkimpy, "pass d=example.test " + s + " c=" + canon)) << what << "\n" << v.dkimpy;
        EXPECT_TRUE(has(v.exim, "DKIM: d=example.test " + sel + " c=" + canon + " " + alg)) << what << "\n" << v.exim;
        EXPECT_TRUE(has(v.exim, "DKIM verdict pass for d=example.test " + s)) << what << "\n" << v.exim;
        passes += "pass\n";
    }
    EXPECT_FALSE(has(v.dkimpy, "fail")) << what << "\n" << v.dkimpy;
    EXPECT_EQ(v.opendkim, passes) << what;
    // A line per signer Exim looks at (d=, and i= when given): every one succeeded.
    size_t lines = 0, succeeded = 0;
    for (size_t p = 0; (p = v.exim.find(" DKIM: ", p)) != std::string::npos; ++p) ++lines;
    for (size_t p = 0; (p = v.exim.find("[verification succeeded]", p)) != std::string::npos; ++p) ++succeeded;
    EXPECT_EQ(succeeded, lines) << what << "\n" << v.exim;
}

// --dkim-* for the RSA and the Ed25519 key of the test servers (as accounts-file
// lines when asFile is set), each with the canonicalisation given.
std::vector<std::string> signWithBoth(const TestEnv& env, const std::string& canon, bool asFile = false) {
    std::vector<std::string> args;
    for (std::string k : {"RSA", "ED25519"})
        args.insert(args.end(), {"--dkim-domain", "example.test", "--dkim-selector",
                                 env.get("OSTMAIL_DKIM_" + k + "_SELECTOR"), "--dkim-key",
                                 env.get("OSTMAIL_DKIM_" + k + "_KEY"), "--dkim-canon", canon});
    if (asFile)
        for (size_t i = 0; i < args.size(); i += 2) args[i] = args[i].substr(2) + " = " + args[i + 1] + "\n";
    return args;
}

PythonResult sendSigned(const TestEnv& env, const std::string& token, const std::vector<std::string>& more,
                        const std::vector<std::string>& signing) {
    std::vector<std::string> args = {"send", "--server", env.get("OSTMAIL_HOST"), "--port",
                                     portOf(env, "OSTMAIL_DKIM_SMTP_PORT"), "--from", "dkim@example.test", "--to",
                                     token + "@example.test", "--verbose", "--ca-file", env.get("OSTMAIL_CA_FILE")};
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), signing.begin(), signing.end());
    return cli(args);
}

// ostmail sendmail ARGS < input, with an accounts file for the DKIM Exim
// that signs with both keys when sign is set.
PythonResult sendmail(const TestEnv& env, const testsupport::ScratchDir& dir, bool sign,
                      const std::vector<std::string>& args, const std::string& input) {
    std::string text = "[default]\nserver = 127.0.0.1\nport = " + portOf(env, "OSTMAIL_DKIM_SMTP_PORT") +
                       "\nca-file = " + env.get("OSTMAIL_CA_FILE") + "\n";
    std::vector<std::string> keys = signWithBoth(env, "relaxed/relaxed", true);
    for (size_t i = 0; sign && i < keys.size(); i += 2) text += keys[i];
    std::vector<std::string> argv = {"env", "OSTMAIL_CONFIG=" + dir.write("accounts", text),
                                     std::string(OSTMAIL_BINARY_DIR) + "/ostmail", "sendmail"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::runProgram(argv, 130000, input);
}

TEST(DkimExim, EverySignatureOfEveryMessageVerifies) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::ScratchDir dir;
    std::string words, big(25u << 20, '\0');
    for (int i = 0; i < 40; ++i) words += "folded" + std::to_string(i) + " ";
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::string canon = "relaxed/relaxed";
        std::vector<std::string> refine = {};  // for the signature given last
    } rows[] = {
        {"plain text", {"--subject", "Plain", "--body", "Hello, world.\n"}},
        {"text, HTML and an attachment",
         {"--body", "Plain part\n", "--html", "<p>HTML part</p>", "--attach", dir.write("a.pdf", "%PDF-1.4 x")}},
        {"8-bit headers",
         {"--from-name", "J\xc3\xbcrgen Gro\xc3\x9f", "--subject", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"}},
        {"folded long headers", {"--subject", words, "--cc", "a@example.test;b@example.test"}},
        {"trailing blank lines", {"--body", "last line  \n\n\n\n"}},
        {"lines starting with a dot", {"--body", ".\n..two\n.one\nend\n.\n"}},
        {"an empty body", {"--body", ""}},
        {"a 25 MiB attachment (the body hash streams)", {"--attach", dir.write("big.bin", big)}},
        {"simple/simple", {"--body", "tab\t \nspaces  \n\n"}, "simple/simple"},
        {"relaxed/simple with expiry and identity",
         {"--body", "x\n"}, "relaxed/simple", {"--dkim-expiry", "3600", "--dkim-identity", "dkim@example.test"}},
    };
    for (const Row& row : rows) {
        std::string token = Maildir::uniqueToken("dkim");
        std::vector<std::string> signing = signWithBoth(env, row.canon);
        signing.insert(signing.end(), row.refine.begin(), row.refine.end());
        PythonResult r = sendSigned(env, token, row.args, signing);
        ASSERT_EQ(r.exitCode, 0) << row.name << "\n" << r.err;
        Verdicts v = verify(env, token);
        expectVerified(v, row.canon, row.name);
        std::remove(v.path.c_str());  // later Maildir searches read every file
    }

    // Pre-rendered text with LF line ends, signed as it goes out after CRLF.
    std::string token = Maildir::uniqueToken("dkim");
    PythonResult r = sendmail(env, dir, true, {"-t"},
                              "From: Cron <cron@example.test>\nTo: " + token +
                                  "@example.test\nSubject: nightly\n\n.hidden dot\nreport\n\n\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    expectVerified(verify(env, token), "relaxed/relaxed", "sendmail -t");
}

// The manager's properties (a DLL host's face) and the C++ API.
TEST(DkimExim, ManagerPropertiesAndTheApiSign) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string token = Maildir::uniqueToken("dkimmgr");
    VmMailMan mm;
    aimManager(mm, env, "OSTMAIL_DKIM_SMTP_PORT", Tls::None);
    mm.put_DkimDomain("example.test");
    mm.put_DkimSelector(env.get("OSTMAIL_DKIM_RSA_SELECTOR").c_str());
    mm.put_DkimPrivateKeyFile(env.get("OSTMAIL_DKIM_RSA_KEY").c_str());
    ASSERT_TRUE(sendFromManager(mm, token)) << mm.lastErrorText();
    expectVerified(verify(env, token), "relaxed/relaxed", "manager", {"s=rsa2048 a=rsa-sha256"});

    token = Maildir::uniqueToken("dkimapi");
    SmtpSettings settings;
    settings.setHost(env.get("OSTMAIL_HOST"));
    settings.setPort(env.port("OSTMAIL_DKIM_SMTP_PORT"));
    settings.setTrustFile(env.get("OSTMAIL_CA_FILE"));
    DkimSignatureOptions opts;
    opts.headers = {"X-Order"};
    for (std::string k : {"RSA", "ED25519"})
        settings.addDkimSignature("example.test", env.get("OSTMAIL_DKIM_" + k + "_SELECTOR"),
                                  env.get("OSTMAIL_DKIM_" + k + "_KEY"), opts);
    Message msg;
    msg.setFrom("api@example.test", "API");
    msg.addTo(token + "@example.test");
    msg.setSubject("from the API");
    msg.addHeader("X-Order", "42");
    msg.setText("signed through SmtpSettings\n");
    SendResult sent = send(settings, msg);
    ASSERT_TRUE(sent.ok()) << sent.reason();
    Verdicts v = verify(env, token);
    expectVerified(v, "relaxed/relaxed", "C++ API");
    EXPECT_TRUE(has(Maildir::readFile(v.path), "x-order;")) << "the user's header is signed";
}

// One byte changed in the body or in a signed header: every verifier refuses.
// The changed copies go back to Exim unsigned-anew through sendmail mode.
TEST(DkimExim, AChangedByteFailsEveryVerifier) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::ScratchDir dir;
    std::string token = Maildir::uniqueToken("dkimneg");
    ASSERT_EQ(sendSigned(env, token, {"--subject", "Original", "--body", "Hello, world.\n"},
                         signWithBoth(env, "relaxed/relaxed"))
                  .exitCode,
              0);
    std::string original = Maildir::readFile(verify(env, token).path);
    for (auto change : {std::make_pair("Hello, world.", "Jello, world."),
                        std::make_pair("Subject: Original", "Subject: Originak")}) {
        std::string changed = original;
        size_t at = changed.find(change.first);
        ASSERT_NE(at, std::string::npos) << original;
        changed.replace(at, std::string(change.first).size(), change.second);
        std::string again = Maildir::uniqueToken("dkimneg");
        ASSERT_EQ(sendmail(env, dir, false, {again + "@example.test"}, changed).exitCode, 0);
        Verdicts v = verify(env, again);
        EXPECT_TRUE(has(v.dkimpy, "fail d=example.test s=rsa2048") && has(v.dkimpy, "fail d=example.test s=ed") &&
                    !has(v.dkimpy, "pass"))
            << change.second << "\n" << v.dkimpy;
        EXPECT_TRUE(has(v.exim, "s=rsa2048") && has(v.exim, "s=ed") && has(v.exim, "[verification failed") &&
                    !has(v.exim, "[verification succeeded]") && has(v.exim, "DKIM verdict fail") &&
                    !has(v.exim, "verdict pass"))
            << v.exim;
        EXPECT_EQ(v.opendkim.substr(0, 6) + v.opendkim.substr(v.opendkim.find("\nfail: ") + 1, 6), "fail: fail: ")
            << v.opendkim;
    }
}

// A key that cannot be used stops the send before the server hears of it:
// exit 78 from the program, a reason from the manager.
TEST(DkimExim, AKeyThatCannotBeUsedSendsNothing) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::ScratchDir dir;
    std::string shared = dir.write("shared.pem", Maildir::readFile(env.get("OSTMAIL_DKIM_RSA_KEY"))),
                text = dir.write("text.pem", "not a key\n");
    chmod(shared.c_str(), 0640);
    chmod(text.c_str(), 0600);
    struct Row {
        std::string domain, key, reason;
    } rows[] = {
        {"example.test", shared, "can be read by group or others"},
        {"example.test", text, "not in PEM form"},
        {"example.test", dir.path() + "/missing.pem", "cannot open the key file"},
        {"b\xc3\xbc" "cher.test", env.get("OSTMAIL_DKIM_RSA_KEY"), "is not a DNS name"},
    };
    std::string log = env.get("OSTMAIL_DKIM_EXIM_LOG");
    for (const Row& row : rows) {
        std::string token = Maildir::uniqueToken("dkimbad");
        PythonResult r = sendSigned(env, token, {},
                                    {"--dkim-domain", row.domain, "--dkim-selector", "rsa2048", "--dkim-key", row.key});
        EXPECT_EQ(r.exitCode, 78) << row.reason << "\n" << r.err;
        EXPECT_TRUE(has(r.err, row.reason)) << r.err;

        VmMailMan mm;
        aimManager(mm, env, "OSTMAIL_DKIM_SMTP_PORT", Tls::None);
        mm.put_DkimDomain(row.domain.c_str());
        mm.put_DkimSelector("rsa2048");
        mm.put_DkimPrivateKeyFile(row.key.c_str());
        EXPECT_FALSE(sendFromManager(mm, token));
        EXPECT_TRUE(has(mm.lastErrorText(), row.reason)) << mm.lastErrorText();
        EXPECT_FALSE(mm.impl()->isSmtpConnected());
        EXPECT_FALSE(has(Maildir::readFile(log), token)) << "nothing may reach the server";
    }
}

// dkim-keygen writes an owner-only key and prints the record of its public half.
TEST(DkimExim, KeygenPrintsTheRecordOfTheKeyItWrote) {
    testsupport::ScratchDir dir;
    struct Row {
        const char* type;
        const char* publicDer;  // the TXT record's p= as openssl derives it
    } rows[] = {{"rsa", "openssl pkey -in \"$0\" -pubout -outform DER | base64 -w0"},
                {"ed25519", "openssl pkey -in \"$0\" -pubout -outform DER | tail -c 32 | base64 -w0"}};
    for (const Row& row : rows) {
        std::string key = dir.path() + "/" + row.type + ".pem";
        PythonResult r = cli({"dkim-keygen", "--domain", "example.test", "--selector", "kg", "--type", row.type,
                              "--bits", "1024", "--out", key});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        struct stat st {};
        ASSERT_EQ(stat(key.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        PythonResult pub = testsupport::runProgram({"sh", "-c", row.publicDer, key});
        ASSERT_FALSE(pub.out.empty()) << pub.err;
        std::string record = r.out;
        for (std::string quotes = "\" \""; record.find(quotes) != std::string::npos;)
            record.erase(record.find(quotes), quotes.size());
        EXPECT_TRUE(has(record, std::string("kg._domainkey.example.test. IN TXT \"v=DKIM1; k=") + row.type +
                                    "; p=" + pub.out + "\""))
            << r.out << "\n" << pub.out;
        EXPECT_EQ(cli({"dkim-keygen", "--domain", "example.test", "--selector", "kg", "--out", key}).exitCode, 73)
            << "an existing key is never replaced";
    }
    EXPECT_EQ(cli({"dkim-keygen", "--domain", "example.test", "--selector", "kg", "--bits", "512"}).exitCode, 2);
}

}  // namespace
}  // namespace ostmail::itest
