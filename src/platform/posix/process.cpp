// CreateProcessA over posix_spawn, and the host root under which Windows paths are looked for.
#include <errno.h>
#include <spawn.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "handles.h"
#include "provider.h"

extern "C" char** environ;

namespace caldrix_posix {
namespace {

struct Root {
    std::mutex lock;
    std::string path = "/";
};

Root& TheRoot() {
    static Root* root = new Root;
    return *root;
}

// Windows' splitting of a command line into argv: blanks and tabs separate, double quotes group,
// and backslashes are literal unless they come before a quote (2n of them give n and a quote
// that groups; 2n+1 give n and a literal quote).
std::vector<std::string> SplitCommandLine(const char* line) {
    std::vector<std::string> args;
    const char* p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') break;
        std::string arg;
        bool quoted = false;
        for (; *p != '\0' && (quoted || (*p != ' ' && *p != '\t')); ++p) {
            size_t slashes = 0;
            while (*p == '\\') ++slashes, ++p;
            if (*p == '"') {
                arg.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    arg += '"';
                } else if (quoted && p[1] == '"') {
                    arg += '"';  // "" inside quotes is one quote
                    ++p;
                } else {
                    quoted = !quoted;
                }
            } else {
                arg.append(slashes, '\\');
                if (*p == '\0') break;
                arg += *p;
            }
        }
        args.push_back(arg);
    }
    return args;
}

DWORD SpawnError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOEXEC:
            return 193;  // ERROR_BAD_EXE_FORMAT
        default:
            return Win32ErrorFromErrno(err);
    }
}

}  // namespace

void SetHostRoot(const std::string& root) {
    std::lock_guard<std::mutex> guard(TheRoot().lock);
    TheRoot().path = root.empty() ? "/" : root;
}

std::string HostPath(const char* windowsPath) {
    std::string p = windowsPath != nullptr ? windowsPath : "";
    // A drive letter names the one root there is.
    if (p.size() >= 2 && p[1] == ':' && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')))
        p.erase(0, 2);
    for (char& c : p)
        if (c == '\\') c = '/';
    if (p.empty() || p[0] != '/') return p;  // relative: to the current directory
    std::string root;
    {
        std::lock_guard<std::mutex> guard(TheRoot().lock);
        root = TheRoot().path;
    }
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root + p;
}

}  // namespace caldrix_posix

using namespace caldrix_posix;

BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID environment,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
    if (startup == nullptr || info == nullptr || (application == nullptr && commandLine == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Another environment block or directory is not needed by the library and not offered.
    if (environment != nullptr || currentDirectory != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    try {
        std::vector<std::string> args = SplitCommandLine(commandLine != nullptr ? commandLine : "");
        const std::string program = application != nullptr ? application
                                    : args.empty()         ? std::string()
                                                           : args[0];
        if (args.empty()) args.push_back(program);
        const std::string path = HostPath(program.c_str());
        for (DeviceProvider* p : RegisteredProviders()) {
            DWORD error = ERROR_SUCCESS;
            if (p->ProcessStart(program.c_str(), path.c_str(), commandLine, &error)) {
                SetLastError(error);
                if (error != ERROR_SUCCESS) return FALSE;
                memset(info, 0, sizeof *info);
                return TRUE;
            }
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
        if (rc != 0) {
            SetLastError(SpawnError(rc));
            return FALSE;
        }
        HANDLE process = RegisterProcess(pid);
        if (process == nullptr) return FALSE;  // the child is reaped all the same
        info->hProcess = process;
        info->hThread = RegisterProcess(-1);  // stands for its main thread; nothing to reap
        info->dwProcessId = static_cast<DWORD>(pid);
        info->dwThreadId = static_cast<DWORD>(pid);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
