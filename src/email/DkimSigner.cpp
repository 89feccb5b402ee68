#include "email/DkimSigner.h"

#include "core/ContentCoding.h"
#include "core/LogBase.h"
#include "email/DkimCanon.h"
#include "platform/Clock.h"
#include "platform/SigningKey.h"

#include <algorithm>
#include <cstring>

namespace ostmail {

namespace {

// Signed when present, and once even when absent, so that a receiver
// sees any field added on the way (RFC 6376 section 5.4).
const char* const kDefaultHeaders[] = {"from",         "to",           "cc",       "subject",
                                       "date",         "message-id",   "mime-version", "content-type",
                                       "reply-to",     "in-reply-to",  "references"};

std::string lower(const std::string& s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

std::string base64(const std::string& bytes) {
    StringBuffer sb;
    ContentCoding::encodeBase64Flat(bytes.data(), bytes.size(), sb);
    return sb.toStdString();
}

struct Field {
    size_t start, end;  // end is past the field's CRLF
};

// The header block's fields, and the offset where the body starts.
size_t splitHeader(const char* m, size_t n, std::vector<Field>* fields) {
    size_t pos = 0;
    while (pos < n) {
        if (m[pos] == '\r' && pos + 1 < n && m[pos + 1] == '\n') return pos + 2;  // the empty line
        size_t end = pos;
        do {
            const void* lf = std::memchr(m + end, '\n', n - end);
            end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - m) + 1 : n;
        } while (end < n && (m[end] == ' ' || m[end] == '\t'));
        if (fields) fields->push_back({pos, end});
        pos = end;
    }
    return n;
}

bool fieldIs(const char* m, const Field& f, const std::string& name) {
    size_t len = name.size();
    if (f.end - f.start <= len) return false;
    for (size_t i = 0; i < len; ++i) {
        char c = m[f.start + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != name[i]) return false;
    }
    size_t i = f.start + len;
    while (i < f.end && (m[i] == ' ' || m[i] == '\t')) ++i;
    return i < f.end && m[i] == ':';
}

// Folds the colon-separated list after "h=" so no line grows past 78.
std::string foldedList(const std::vector<std::string>& names) {
    std::string out = "h=";
    size_t lineLen = 3;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string item = names[i] + (i + 1 < names.size() ? ":" : ";");
        if (lineLen + item.size() > 76) {
            out += "\r\n\t";
            lineLen = 1;
        }
        out += item;
        lineLen += item.size();
    }
    return out;
}

}  // namespace

DkimSigner::DkimSigner() = default;
DkimSigner::~DkimSigner() = default;
DkimSigner::DkimSigner(DkimSigner&&) noexcept = default;
DkimSigner& DkimSigner::operator=(DkimSigner&&) noexcept = default;

bool DkimSigner::checkName(const std::string& name, const char* what, std::string& reason) {
    bool ok = !name.empty() && name.size() <= 253 && name.front() != '.' && name.back() != '.';
    size_t label = 0;
    for (size_t i = 0; ok && i <= name.size(); ++i) {
        char c = i < name.size() ? name[i] : '.';
        if (c == '.') {
            ok = label > 0 && label <= 63 && name[i - 1] != '-' && name[i - label] != '-';
            label = 0;
        } else {
            ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_';
            ++label;
        }
    }
    if (!ok)
        reason = std::string("the DKIM ") + what + " '" + name +
                 "' is not a DNS name of ASCII letters, digits and hyphens (give a non-ASCII domain as its "
                 "xn-- form)";
    return ok;
}

bool DkimSigner::checkOptions(std::string& reason) const {
    for (const std::string& h : m_opts.headers) {
        bool ok = !h.empty();
        for (char c : h) ok = ok && c > ' ' && c < 0x7f && c != ':' && c != ';';
        if (!ok) {
            reason = "'" + h + "' is not a header field name that can be signed";
            return false;
        }
    }
    if (m_opts.expirySeconds < 0) {
        reason = "the DKIM expiry must lie in the future";
        return false;
    }
    const std::string& i = m_opts.identity;
    if (i.empty()) return true;
    size_t at = i.rfind('@');
    std::string idDomain = lower(at == std::string::npos ? "" : i.substr(at + 1)), d = lower(m_domain);
    bool under = idDomain == d || (idDomain.size() > d.size() &&
                                   idDomain.compare(idDomain.size() - d.size() - 1, std::string::npos, "." + d) == 0);
    bool plain = true;
    for (char c : i) plain = plain && c > ' ' && c < 0x7f && c != ';' && c != '=';
    if (at != std::string::npos && under && plain) return true;
    reason = "the DKIM identity '" + i + "' must be an address at the signing domain or below it";
    return false;
}

bool DkimSigner::load(const char* domain, const char* selector, const char* keyPath, const DkimOptions& opts,
                      LogBase& log) {
    std::string pem, reason;
    m_ready = false;
    if (!platform::readPrivateFile(keyPath ? keyPath : "", pem, reason)) {
        log.LogError(reason.c_str());
        return false;
    }
    return loadPem(domain, selector, pem, opts, log);
}

bool DkimSigner::loadPem(const char* domain, const char* selector, const std::string& pem, const DkimOptions& opts,
                         LogBase& log) {
    m_ready = false;
    m_domain = domain ? domain : "";
    m_selector = selector ? selector : "";
    m_opts = opts;
    m_key.reset(new platform::SigningKey);
    std::string reason;
    bool ok = checkName(m_domain, "domain", reason) && checkName(m_selector, "selector", reason) &&
              checkOptions(reason) && m_key->loadPem(pem, reason);
    if (ok && m_key->type() == platform::SigningKey::Type::kRsa && (m_key->bits() < 1024 || m_key->bits() > 4096)) {
        reason = "the RSA key has " + std::to_string(m_key->bits()) + " bits; DKIM needs 1024 to 4096";
        ok = false;
    }
    if (!ok) {
        log.LogError("Cannot use the DKIM key.");
        log.LogError(reason.c_str());
        return false;
    }
    m_ready = true;
    return true;
}

std::vector<std::string> DkimSigner::signedNames(const char* message, size_t headerEnd) const {
    std::vector<Field> fields;
    splitHeader(message, headerEnd, &fields);
    std::vector<std::string> wanted(std::begin(kDefaultHeaders), std::end(kDefaultHeaders));
    for (const std::string& h : m_opts.headers)
        if (std::find(wanted.begin(), wanted.end(), lower(h)) == wanted.end()) wanted.push_back(lower(h));
    std::vector<std::string> names;
    for (const std::string& name : wanted) {
        size_t count = 0;
        for (const Field& f : fields) count += fieldIs(message, f, name);
        // One more From than there is, so that none can be added.
        size_t times = (count ? count : 1) + (name == "from" ? 1 : 0);
        names.insert(names.end(), times, name);
    }
    return names;
}

std::string DkimSigner::tagList(const char* message, size_t headerEnd, const std::string& bodyHash) const {
    bool rsa = m_key->type() == platform::SigningKey::Type::kRsa;
    int64_t t = m_opts.timestamp ? m_opts.timestamp : platform::unixTimeNow();
    std::string s = std::string("DKIM-Signature: v=1; a=") + (rsa ? "rsa-sha256" : "ed25519-sha256") +
                    "; c=" + (m_opts.relaxedHeader ? "relaxed" : "simple") + "/" +
                    (m_opts.relaxedBody ? "relaxed" : "simple") + ";\r\n\td=" + m_domain + "; s=" + m_selector +
                    ";\r\n\tt=" + std::to_string(t) + ";";
    if (m_opts.expirySeconds > 0) s += " x=" + std::to_string(t + m_opts.expirySeconds) + ";";
    if (!m_opts.identity.empty()) s += " i=" + m_opts.identity + ";";
    s += "\r\n\t" + foldedList(signedNames(message, headerEnd));
    s += "\r\n\tbh=" + bodyHash + ";\r\n\tb=";
    return s;
}

size_t DkimSigner::bodyOffset(const char* message, size_t n) { return splitHeader(message, n, nullptr); }

bool DkimSigner::bodyHash(const char* body, size_t n, bool relaxed, std::string& out) {
    uint8_t digest[32];
    platform::Sha256 hash;
    DkimBodyCanon canon(relaxed, hash);
    canon.update(body, n);
    canon.finish();
    if (!hash.finish(digest)) return false;
    out = base64(std::string(reinterpret_cast<char*>(digest), 32));
    return true;
}

bool DkimSigner::signatureField(const char* message, size_t n, std::string& field, LogBase& log,
                                const std::string* bodyHashValue) const {
    if (!m_ready) {
        log.LogError("The DKIM signer has no usable key.");
        return false;
    }
    std::vector<Field> fields;
    size_t bodyStart = splitHeader(message, n, &fields);
    std::string bh;
    if (bodyHashValue) {
        bh = *bodyHashValue;
    } else if (!bodyHash(message + bodyStart, n - bodyStart, m_opts.relaxedBody, bh)) {
        log.LogError("SHA-256 is not available.");
        return false;
    }
    uint8_t digest[32];
    std::string sig = tagList(message, bodyStart, bh);

    // Each name listed takes the next instance from the bottom (RFC 6376 section 5.4.2).
    std::string hashed;
    std::vector<bool> used(fields.size(), false);
    for (const std::string& name : signedNames(message, bodyStart)) {
        for (size_t k = fields.size(); k-- > 0;) {
            if (used[k] || !fieldIs(message, fields[k], name)) continue;
            used[k] = true;
            const Field& f = fields[k];
            if (m_opts.relaxedHeader)
                dkimRelaxedHeader(message + f.start, f.end - f.start, hashed);
            else
                hashed.append(message + f.start, f.end - f.start);
            break;
        }
    }
    if (m_opts.relaxedHeader) {
        dkimRelaxedHeader(sig.data(), sig.size(), hashed);
        hashed.resize(hashed.size() - 2);  // the field itself goes in without its CRLF
    } else {
        hashed += sig;
    }
    platform::Sha256 headerHash;
    headerHash.update(hashed.data(), hashed.size());
    std::string signature, reason;
    if (!headerHash.finish(digest) || !m_key->signDigest(digest, signature, reason)) {
        log.LogError(reason.empty() ? "SHA-256 is not available." : reason.c_str());
        return false;
    }
    std::string b = base64(signature);
    for (size_t i = 0; i < b.size(); i += 64) sig += (i ? "\r\n\t " : "") + b.substr(i, 64);
    field = sig + "\r\n";
    return true;
}

bool DkimSigner::dnsRecord(const platform::SigningKey& key, std::string& txt) {
    std::string pub;
    if (!key.publicKey(pub)) return false;
    txt = std::string("v=DKIM1; k=") + (key.type() == platform::SigningKey::Type::kRsa ? "rsa" : "ed25519") +
          "; p=" + base64(pub);
    return true;
}

bool dkimSignAll(const std::vector<DkimSigner>& signers, StringBuffer& message, LogBase& log) {
    if (signers.empty()) return true;
    LogContextExitor ctx(log, "dkimSign");
    std::string fields, hashes[2];  // bh= for simple and for relaxed, each made once
    const char* text = message.getString();
    size_t n = message.getSize(), body = DkimSigner::bodyOffset(text, n);
    for (const DkimSigner& s : signers) {
        std::string& bh = hashes[s.relaxedBody() ? 1 : 0];
        if (bh.empty() && !DkimSigner::bodyHash(text + body, n - body, s.relaxedBody(), bh)) {
            log.LogError("SHA-256 is not available.");
            return false;
        }
        std::string field;
        if (!s.signatureField(text, n, field, log, &bh)) return false;
        fields.insert(0, field);
    }
    // In place: a large message is not copied a second time.
    if (!message.prepend(fields.c_str())) {
        log.LogError("Out of memory while signing.");
        return false;
    }
    log.LogDataLong("dkim_signatures", static_cast<int32_t>(signers.size()));
    return true;
}

}  // namespace ostmail
