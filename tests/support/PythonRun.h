#pragma once
// Runs Debian's /usr/bin/python3 as a reference implementation for tests:
// a script (or a script file), bytes on stdin, stdout/stderr captured.
// Use sys.stdin.buffer / sys.stdout.buffer for exact bytes.
//
//   PythonResult r = runPython("import sys,base64; sys.stdout.buffer.write("
//                              "base64.b64encode(sys.stdin.buffer.read()))", data);
//   ASSERT_EQ(r.exitCode, 0) << r.err;

#include <string>
#include <vector>

namespace ostmail {
namespace testsupport {

struct PythonResult {
    int exitCode = -1;  // 128 + signal when killed; -1 when it could not run
    std::string out;
    std::string err;
    bool timedOut = false;
};

// python3 -c SCRIPT ARGS...
PythonResult runPython(const std::string& script, const std::string& input = "",
                       const std::vector<std::string>& args = {}, int timeoutMs = 60000);
// python3 PATH ARGS...
PythonResult runPythonFile(const std::string& path, const std::string& input = "",
                           const std::vector<std::string>& args = {}, int timeoutMs = 60000);

// Any program, its output captured the same way.
PythonResult runProgram(const std::vector<std::string>& argv, int timeoutMs = 130000);

}  // namespace testsupport
}  // namespace ostmail
