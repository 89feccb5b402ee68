#include "email/ContentTypeTable.h"

#include <cstring>

namespace ostmail {

namespace {

// Order matters: the first row holding an extension wins.
const ContentTypeTable::Row kRows[] = {
    {"application/envoy", {"evy", nullptr}},
    {"application/fractals", {"fif", nullptr}},
    {"application/x-shockwave-flash", {"swf", nullptr}},
    {"application/futuresplash", {"spl", nullptr}},
    {"application/hta", {"hta", nullptr}},
    {"application/internet-property-tream", {"acx", nullptr}},
    {"application/mac-binhex40", {"hqx", nullptr}},
    {"application/msword", {"doc", "dot", nullptr}},
    {"application/octet-stream", {"*", "bin", "class", "dms", "exe", "lha", "lzh", nullptr}},
    {"application/oda", {"oda", nullptr}},
    {"application/olescript", {"axs", nullptr}},
    {"application/pdf", {"pdf", nullptr}},
    {"application/pics-rules", {"prf", nullptr}},
    {"application/pkcs10", {"p10", nullptr}},
    {"application/pkix-crl", {"crl", nullptr}},
    {"application/postscript", {"ai", "eps", "ps", nullptr}},
    {"application/rtf", {"rtf", nullptr}},
    {"application/set-payment-initiation", {"setpay", nullptr}},
    {"application/set-registration-initiation", {"setreg", nullptr}},
    {"application/vnd.ms-excel", {"xla", "xlc", "xlm", "xls", "xlt", "xlw", nullptr}},
    {"application/vnd.ms-pkicertstore", {"sst", nullptr}},
    {"application/vnd.ms-pkiseccat", {"cat", nullptr}},
    {"application/vnd.ms-pkistl", {"stl", nullptr}},
    {"application/vnd.ms-powerpoint", {"pot", "pps", "ppt", nullptr}},
    {"application/vnd.ms-project", {"mpp", nullptr}},
    {"application/vnd.ms-works", {"wcm", "wdb", "wks", "wps", nullptr}},
    {"application/winhlp", {"hlp", nullptr}},
    {"application/x-bcpio", {"bcpio", nullptr}},
    {"application/x-cdf", {"cdf", nullptr}},
    {"application/x-compress", {"z", nullptr}},
    {"application/x-compressed", {"tgz", nullptr}},
    {"application/x-cpio", {"cpio", nullptr}},
    {"application/x-csh", {"csh", nullptr}},
    {"application/x-director", {"dcr", "dir", "dxr", nullptr}},
    {"application/x-dvi", {"dvi", nullptr}},
    {"application/x-gtar", {"gtar", nullptr}},
    {"application/x-gzip", {"gz", nullptr}},
    {"application/x-hdf", {"hdf", nullptr}},
    {"application/x-internet-ignup", {"ins", "isp", nullptr}},
    {"application/x-iphone", {"iii", nullptr}},
    {"application/x-javascript", {"js", nullptr}},
    {"application/x-latex", {"latex", nullptr}},
    {"application/x-msaccess", {"mdb", nullptr}},
    {"application/x-mscardfile", {"crd", nullptr}},
    {"application/x-msclip", {"clp", nullptr}},
    {"application/x-msdownload", {"dll", nullptr}},
    {"application/x-msmediaview", {"m13", "m14", "mvb", nullptr}},
    {"application/x-msmetafile", {"wmf", nullptr}},
    {"application/x-msmoney", {"mny", nullptr}},
    {"application/x-mspublisher", {"pub", nullptr}},
    {"application/x-msschedule", {"scd", nullptr}},
    {"application/x-msterminal", {"trm", nullptr}},
    {"application/x-mswrite", {"wri", nullptr}},
    {"application/x-netcdf", {"nc", nullptr}},
    {"application/x-perfmon", {"pma", "pmc", "pml", "pmr", "pmw", nullptr}},
    {"application/x-pkcs12", {"p12", "pfx", nullptr}},
    {"application/x-pkcs7-certificates", {"p7b", "spc", nullptr}},
    {"application/x-pkcs7-certreqresp", {"p7r", nullptr}},
    {"application/x-pkcs7-mime", {"p7m", "p7c", nullptr}},
    {"application/x-pkcs7-signature", {"p7s", nullptr}},
    {"application/x-sh", {"sh", nullptr}},
    {"application/x-shar", {"shar", nullptr}},
    {"application/x-tuffit", {"sit", nullptr}},
    {"application/x-sv4cpio", {"sv4cpio", nullptr}},
    {"application/x-sv4crc", {"sv4crc", nullptr}},
    {"application/x-tar", {"tar", nullptr}},
    {"application/x-tcl", {"tcl", nullptr}},
    {"application/x-tex", {"tex", nullptr}},
    {"application/x-texinfo", {"texi", "texinfo", nullptr}},
    {"application/x-troff", {"roff", "t", "tr", nullptr}},
    {"application/x-troff-man", {"man", nullptr}},
    {"application/x-troff-me", {"me", nullptr}},
    {"application/x-troff-ms", {"ms", nullptr}},
    {"application/x-ustar", {"ustar", nullptr}},
    {"application/x-wais-source", {"src", nullptr}},
    {"application/x-x509-ca-cert", {"cer", "crt", "der", nullptr}},
    {"application/ynd.ms-pkipko", {"pko", nullptr}},
    {"application/zip", {"zip", nullptr}},
    {"audio/basic", {"au", "snd", nullptr}},
    {"audio/mid", {"mid", "rmi", nullptr}},
    {"audio/mpeg", {"mp3", nullptr}},
    {"audio/x-aiff", {"aif", "aifc", "aiff", nullptr}},
    {"audio/x-mpegurl", {"m3u", nullptr}},
    {"audio/x-pn-realaudio", {"ra", "ram", nullptr}},
    {"audio/x-wav", {"wav", nullptr}},
    {"image/bmp", {"bmp", nullptr}},
    {"image/cis-cod", {"cod", nullptr}},
    {"image/gif", {"gif", nullptr}},
    {"image/ief", {"ief", nullptr}},
    {"image/jpeg", {"jpe", "jpeg", "jpg", nullptr}},
    {"image/pipeg", {"jfif", nullptr}},
    {"image/tiff", {"tif", "tiff", nullptr}},
    {"image/x-cmu-raster", {"ras", nullptr}},
    {"image/x-cmx", {"cmx", nullptr}},
    {"image/x-icon", {"ico", nullptr}},
    {"image/x-portable-anymap", {"pnm", nullptr}},
    {"image/x-portable-bitmap", {"pbm", nullptr}},
    {"image/x-portable-graymap", {"pgm", nullptr}},
    {"image/png", {"png", nullptr}},
    {"image/x-portable-pixmap", {"ppm", nullptr}},
    {"image/x-rgb", {"rgb", nullptr}},
    {"image/x-xbitmap", {"xbm", nullptr}},
    {"image/x-xpixmap", {"xpm", nullptr}},
    {"image/x-xwindowdump", {"xwd", nullptr}},
    {"message/rfc822", {"mht", "mhtml", "nws", nullptr}},
    {"text/css", {"css", nullptr}},
    {"text/h323", {"323", nullptr}},
    {"text/html", {"htm", "html", "stm", nullptr}},
    {"text/iuls", {"uls", nullptr}},
    {"text/plain", {"bas", "c", "cpp", "h", "hpp", "txt", nullptr}},
    {"text/richtext", {"rtx", nullptr}},
    {"text/scriptlet", {"sct", nullptr}},
    {"text/tab-separated-values", {"tsv", nullptr}},
    {"text/webviewhtml", {"htt", nullptr}},
    {"text/x-component", {"htc", nullptr}},
    {"text/x-setext", {"etx", nullptr}},
    {"text/x-vcard", {"vcf", nullptr}},
    {"video/mpeg", {"mp2", "mpa", "mpe", "mpeg", "mpg", "mpv2", nullptr}},
    {"video/quicktime", {"mov", "qt", nullptr}},
    {"video/x-la-asf", {"lsf", "lsx", nullptr}},
    {"video/x-ms-asf", {"asf", "asr", "asx", nullptr}},
    {"video/x-msvideo", {"avi", nullptr}},
    {"video/x-sgi-movie", {"movie", nullptr}},
    {"x-world/x-vrml", {"flr", "vrml", "wrl", "wrz", "xaf", "xof", nullptr}},
};

const int kRowCount = static_cast<int>(sizeof(kRows) / sizeof(kRows[0]));

const char kDefaultType[] = "application/octet-stream";

bool asciiEqualNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca + 32);
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb + 32);
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

}  // namespace

int ContentTypeTable::rowCount() { return kRowCount; }

const ContentTypeTable::Row& ContentTypeTable::row(int index) {
    if (index < 0 || index >= kRowCount) index = 0;
    return kRows[index];
}

const char* ContentTypeTable::typeForExtension(const char* ext) {
    if (!ext) return nullptr;
    for (const Row& r : kRows) {
        for (const char* const* e = r.extensions; *e; ++e) {
            if (asciiEqualNoCase(*e, ext)) return r.contentType;
        }
    }
    return nullptr;
}

void ContentTypeTable::typeForPath(const char* path, StringBuffer& out) {
    const char* dot = path ? std::strrchr(path, '.') : nullptr;
    const char* type = nullptr;
    if (dot) {
        StringBuffer ext(dot + 1);
        ext.toLowerCase();
        type = typeForExtension(ext.getString());
    }
    StringBuffer result(type ? type : "");
    result.trim();
    if (result.isEmpty()) result.setString(kDefaultType);
    out.append(result);
}

}  // namespace ostmail
