#pragma once
// Runs Debian's /usr/bin/python3 as a reference implementation for tests:
// a script (or a script file), bytes on stdin, stdout/stderr captured.
// Use sys.stdin.buffer / sys.stdout.buffer for exact bytes.
//
//   PythonResult r = runPython("import sys,base64; sys.stdout.buffer.write("
//                              "base64.b64encode(sys.stdin.buffer.read()))", data);
//   ASSERT_EQ(r.exitCode, 0) << r.err;

#include "support/Maildir.h"
#include "support/ScratchDir.h"

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace ostmail {
namespace testsupport {

struct PythonResult {
    int exitCode = -1;  // 128 + signal when killed; -1 when the shell could not run
    std::string out;
    std::string err;
};

// Any program, by PATH, killed once the time is up. Its stdin, stdout and
// stderr are files, not pipes: the input is there before it starts and the
// outputs are read after it ends, so nothing has to pump them meanwhile.
inline PythonResult runProgram(const std::vector<std::string>& argv, int timeoutMs = 130000,
                               const std::string& input = "") {
    const ScratchDir dir;
    std::string command = "exec timeout -s KILL " + std::to_string(timeoutMs / 1000.0);
    for (const std::string& arg : argv) {
        command += " '";
        for (char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    command += " <" + dir.write("in", input) + " >" + dir.path() + "/out 2>" + dir.path() + "/err";
    const int status = std::system(command.c_str());
    PythonResult r;
    r.exitCode = status == -1 ? -1 : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    r.out = Maildir::readFile(dir.path() + "/out");
    r.err = Maildir::readFile(dir.path() + "/err");
    return r;
}

// python3 PATH ARGS...: no PYTHON* variables, no user site, no bytecode
// files, and UTF-8 with surrogateescape on stdin and stdout.
inline PythonResult runPythonFile(const std::string& path, const std::string& input = "",
                                  std::vector<std::string> args = {}, int timeoutMs = 60000) {
    args.insert(args.begin(), {"/usr/bin/python3", "-E", "-s", "-B", "-X", "utf8", path});
    return runProgram(args, timeoutMs, input);
}
// python3 -c SCRIPT ARGS...
inline PythonResult runPython(const std::string& script, const std::string& input = "",
                              std::vector<std::string> args = {}, int timeoutMs = 60000) {
    args.insert(args.begin(), script);
    return runPythonFile("-c", input, args, timeoutMs);
}

}  // namespace testsupport
}  // namespace ostmail
