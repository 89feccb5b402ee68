#include "platform/Process.h"

#include "platform/SysInfo.h"
#include "platform/win/WideText.h"

#include <windows.h>

#include <cstdlib>
#include <memory>

namespace ostmail {
namespace platform {

namespace {

struct HandleCloser {
    void operator()(void* h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Reads the child's output until it closes the pipe or the time is up.
// Anonymous pipes cannot wait with a time-out, so this polls.
bool drain(HANDLE pipe, DWORD deadline, std::string& text) {
    char buf[4096];
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE;
        if (avail > 0) {
            DWORD got = 0;
            if (!ReadFile(pipe, buf, avail < sizeof buf ? avail : sizeof buf, &got, nullptr)) return true;
            if (text.size() < 65536) text.append(buf, got);
            continue;
        }
        if (static_cast<LONG>(deadline - GetTickCount()) <= 0) return false;
        Sleep(10);
    }
}

// A child of cmd.exe with stdin on NUL and stdout into `out`, in a job so
// that a time-out also ends what the command started.
bool startShell(const std::string& command, HANDLE out, HANDLE job, Handle& process, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                           nullptr));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul.get();
    si.hStdOutput = out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // The shell by its full path: a bare "cmd.exe" is searched for in the
    // program's and the current folder first.
    wchar_t dir[MAX_PATH] = {0};
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    std::wstring shell = (n > 0 && n < MAX_PATH ? std::wstring(dir, n) : std::wstring(L"C:\\Windows\\system32")) +
                         L"\\cmd.exe";
    std::wstring line = L"cmd.exe /s /c \"" + win::widen(command.c_str()) + L"\"";
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(shell.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi)) {
        error = "cannot start cmd.exe: " + errorText(static_cast<int>(GetLastError()));
        return false;
    }
    process.reset(pi.hProcess);
    if (job) AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    return true;
}

}  // namespace

bool runShellFirstLine(const std::string& command, int timeoutMs, std::string& out, std::string& error) {
    out.clear();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = "cannot create a pipe";
        return false;
    }
    Handle reader(readEnd), writer(writeEnd), process;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    Handle job(CreateJobObjectW(nullptr, nullptr));
    DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs);
    if (!startShell(command, writeEnd, job.get(), process, error)) return false;
    writer.reset();  // the child's copy is the only writer now
    std::string text;
    bool finished = drain(readEnd, deadline, text);
    LONG left = static_cast<LONG>(deadline - GetTickCount());
    if (finished) finished = WaitForSingleObject(process.get(), left > 0 ? left : 0) == WAIT_OBJECT_0;
    if (!finished) {
        if (job) TerminateJobObject(job.get(), 1);
        TerminateProcess(process.get(), 1);
        error = "timed out after " + std::to_string(timeoutMs / 1000) + " s";
        return false;
    }
    DWORD status = 1;
    GetExitCodeProcess(process.get(), &status);
    if (status != 0) {
        error = "exited with status " + std::to_string(status);
        return false;
    }
    out = text.substr(0, text.find('\n'));
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return true;
}

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Windows files carry ACLs, not mode bits; nothing here tells "others".
bool readableByOthers(const char* path) {
    (void)path;
    return false;
}

bool readStdin(std::string& out, size_t limit) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == INVALID_HANDLE_VALUE || in == nullptr) return false;
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buf, sizeof buf, &got, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE;  // the writer closed its end
        if (got == 0) return true;
        out.append(buf, got);
        if (out.size() > limit) return false;
    }
}

}  // namespace platform
}  // namespace ostmail
