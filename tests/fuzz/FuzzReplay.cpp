// Runs a fuzz target over saved inputs, for builds without libFuzzer: every
// argument is a file or a folder of files. Fails when no input was found, so
// a moved corpus cannot pass as a clean run.
#include "support/Maildir.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> files;
    std::error_code ec;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_regular_file(argv[i], ec)) files.push_back(argv[i]);
        for (fs::recursive_directory_iterator it(argv[i], ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file() && it->path().filename().string()[0] != '.') files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        const std::string bytes = ostmail::testsupport::Maildir::readFile(f.string());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
