#pragma once
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace ostmail {
namespace testsupport {

// A scratch folder removed with its files at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        // create_directory fails on a name already taken, so parallel tests never share one.
        for (int tries = 0; !ec && tries < 100 && path_.empty(); ++tries) {
            std::filesystem::path p = base / ("ostmail-test-" + std::to_string(std::random_device{}()));
            if (std::filesystem::create_directory(p, ec)) path_ = p.string();
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

private:
    std::string path_;
};

}  // namespace testsupport
}  // namespace ostmail
