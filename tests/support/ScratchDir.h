#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace ostmail {
namespace testsupport {

// A scratch folder removed with its files at the end of the test.
// OSTMAIL_KEEP_TEST_FILES keeps the folder for a look by hand.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/ostmail-test-XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~ScratchDir() {
        if (getenv("OSTMAIL_KEEP_TEST_FILES")) fprintf(stderr, "kept %s\n", path_.c_str());
        else if (!path_.empty()) (void)!system(("rm -rf '" + path_ + "'").c_str());
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
