#pragma once
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace ostmail {
namespace testsupport {

// A scratch folder removed with its files at the end of the test.
// OSTMAIL_KEEP_TEST_FILES keeps the folder for a look by hand.
class ScratchDir {
public:
#ifdef _WIN32
    ScratchDir() {
        char base[MAX_PATH + 1];
        DWORD n = GetTempPathA(sizeof base, base);
        static unsigned counter = 0;
        for (int tries = 0; n && tries < 100 && path_.empty(); ++tries) {
            std::string p = std::string(base, n) + "ostmail-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(++counter);
            if (CreateDirectoryA(p.c_str(), nullptr)) path_ = p;
        }
    }
#else
    ScratchDir() {
        char tmpl[] = "/tmp/ostmail-test-XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
#endif
    ~ScratchDir() {
        std::error_code ec;
        if (getenv("OSTMAIL_KEEP_TEST_FILES")) fprintf(stderr, "kept %s\n", path_.c_str());
        else if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string write(const std::string& name, const std::string& bytes) const {
        std::string p = path_ + "/" + name;
        FILE* f = fopen(p.c_str(), "wb");
        if (f) {
            fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
        }
        return p;
    }

private:
    std::string path_;
};

}  // namespace testsupport
}  // namespace ostmail
