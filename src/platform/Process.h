#pragma once
#include <cstddef>
#include <string>

namespace ostmail {
namespace platform {

// Runs command with /bin/sh -c (cmd.exe /c on Windows), its stdin closed,
// and keeps the first line of what it prints (without the line end). False,
// with the reason in error, when it cannot start, exits non-zero, or is still
// running after timeoutMs (it is then killed); out is left empty then.
bool runShellFirstLine(const std::string& command, int timeoutMs, std::string& out, std::string& error);

// The environment variable's value, or "" when it is not set.
std::string envValue(const char* name);

// True when the file exists and others may read it: everyone, or its group
// unless root owns it (a machine's file shared with a group of senders).
bool readableByOthers(const char* path);

// All of standard input; false on a read error or when more than limit
// bytes come (out then holds what was read).
bool readStdin(std::string& out, size_t limit = static_cast<size_t>(-1));

}  // namespace platform
}  // namespace ostmail
