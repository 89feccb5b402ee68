// The accounts file, as a user or a careless editor leaves it: sections,
// keys and values of any shape, read for the default account or a named
// one. A file that cannot be used is refused with a reason naming it.
#include "FuzzInput.h"
#include "tools/ConfigFile.h"

using namespace ostmail;

void fuzzTarget(fuzz::FuzzInput& in) {
    const char* account = in.byte() & 1 ? "work" : "";
    cli::SendOptions opts;
    bool hasPassword = false;
    std::string error;
    if (!cli::ConfigFile::parse(in.rest(), "accounts.conf", account, opts, hasPassword, error)) {
        if (error.rfind("accounts.conf", 0) != 0) {
            fprintf(stderr, "refused without naming the file: %s\n", error.c_str());
            abort();
        }
        return;
    }
    cli::checkSendOptions(opts, error);
}
