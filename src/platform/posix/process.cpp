// The process's start and what it loads: CreateProcessA, the host root under which Windows paths
// are looked for, and LoadLibraryA/GetProcAddress/FreeLibrary, which answer "hid.dll" with the
// HID class library of hid.cpp.
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#endif

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

// The child gets none of this process's state beyond standard input, output and error: no other
// descriptor (a JVM holds files, journals, listening sockets without close-on-exec), no signal
// mask, no handler or ignored signal. Answers the child's pid, or -1 with the errno of the failed
// start.
#if defined(__linux__)

#ifndef SYS_close_range
#define SYS_close_range 436  // the same number on every architecture
#endif

struct Launch {
    const char* path;
    char* const* argv;
    char* const* envp;
    int report;  // where the child writes the errno of a failed exec; close-on-exec
    long maxFd;  // above every descriptor, for the last way of closing them
};

// Closes every descriptor from `first` up to `last`, however the kernel lets us.
__attribute__((no_sanitize("address", "thread", "undefined"))) void CloseRange(long first,
                                                                               long last,
                                                                               long maxFd) {
    if (first > last || syscall(SYS_close_range, first, last, 0) == 0) return;
    // Kernels before 5.9: the open descriptors as /proc lists them, else every number.
    const long dir =
        syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        for (long fd = first; fd <= last && fd < maxFd; ++fd) syscall(SYS_close, fd);
        return;
    }
    alignas(8) char buf[1024];
    long n;
    while ((n = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
        for (long at = 0; at < n;) {
            const char* name = buf + at + 19;  // after d_ino 8, d_off 8, d_reclen 2, d_type 1
            const unsigned short length = *reinterpret_cast<unsigned short*>(buf + at + 16);
            long fd = 0;
            for (; *name >= '0' && *name <= '9'; ++name) fd = fd * 10 + (*name - '0');
            if (*name == '\0' && fd >= first && fd <= last && fd != dir) syscall(SYS_close, fd);
            at += length;
        }
    }
    syscall(SYS_close, dir);
}

// The child between vfork and exec. It shares this process's memory and, until it has exec'd,
// the stack of the thread that started it: raw system calls only, nothing that touches the C
// library's or a sanitizer's state, and it never returns. Its descriptor table is its own copy,
// taken at the vfork, so descriptors other threads open meanwhile never reach it.
[[noreturn]] __attribute__((noinline, no_sanitize("address", "thread", "undefined"))) void
RunChild(const Launch* launch) {
    // A handler of this process must never run here: every signal to its default first (zeros
    // are SIG_DFL, no flags, an empty mask in every architecture's layout), and only then the
    // mask, all blocked while the parent started us, emptied.
    static const unsigned long defaults[8] = {};
    static const unsigned long none = 0;
    for (long sig = 1; sig < 65; ++sig) syscall(SYS_rt_sigaction, sig, defaults, nullptr, 8);
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, 8);
    CloseRange(3, launch->report - 1, launch->maxFd);
    CloseRange(launch->report < 3 ? 3 : launch->report + 1, ~0u, launch->maxFd);
    syscall(SYS_execve, launch->path, launch->argv, launch->envp);
    const int error = errno;
    syscall(SYS_write, launch->report, &error, sizeof error);
    syscall(SYS_exit_group, 127);
    __builtin_unreachable();
}

pid_t Spawn(const char* path, char* const* argv) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    struct rlimit files;
    const Launch launch = {path, argv, environ, report[1],
                           getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                               ? static_cast<long>(files.rlim_cur)
                               : 65536};
    // Blocked until the child has put every signal back to its default.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = vfork();  // a plain fork under ThreadSanitizer; the child is the same
    if (pid == 0) RunChild(&launch);
    const int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(report[1]);
    int error = 0;
    ssize_t got = -1;
    // Nothing to read once the program runs: the exec closed the child's end.
    if (pid > 0) {
        while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
    }
    close(report[0]);
    if (pid < 0) {
        errno = forkError;
        return -1;
    }
    if (got == static_cast<ssize_t>(sizeof error)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        errno = error;
        return -1;
    }
    return pid;
}

#else

pid_t Spawn(const char* path, char* const* argv) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;  // only what file actions name survives
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addinherit_np(&actions, fd);
#endif
    posix_spawnattr_setflags(&attr, flags);
    pid_t pid = -1;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    const int rc = posix_spawn(&pid, path, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
#else
    const int rc = posix_spawn(&pid, path, nullptr, &attr, argv, environ);
#endif
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

#endif

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
        return CallFails(ERROR_INVALID_PARAMETER);
    }
    // Another environment block or directory is not needed by the library and not offered.
    if (environment != nullptr || currentDirectory != nullptr) {
        return CallFails(ERROR_NOT_SUPPORTED);
    }
    try {
        std::vector<std::string> args = SplitCommandLine(commandLine != nullptr ? commandLine : "");
        const std::string program = application != nullptr ? application
                                    : args.empty()         ? std::string()
                                                           : args[0];
        if (args.empty()) args.push_back(program);
        const std::string path = HostPath(program.c_str());
        for (ProviderHooks* hooks : RegisteredHooks()) {
            DWORD error = ERROR_SUCCESS;
            if (hooks->ProcessStart(program.c_str(), path.c_str(), commandLine, &error)) {
                SetLastError(error);
                if (error != ERROR_SUCCESS) return FALSE;
                memset(info, 0, sizeof *info);
                return TRUE;
            }
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        const pid_t pid = Spawn(path.c_str(), argv.data());
        if (pid < 0) return CallFails(SpawnError(errno));
        HANDLE process = RegisterProcess(pid);
        if (process == nullptr) return FALSE;  // the child is reaped all the same
        info->hProcess = process;
        info->hThread = RegisterProcess(-1);  // stands for its main thread; nothing to reap
        info->dwProcessId = static_cast<DWORD>(pid);
        info->dwThreadId = static_cast<DWORD>(pid);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (const std::bad_alloc&) {
        return CallFails(ERROR_NOT_ENOUGH_MEMORY);
    }
}

// ---- modules ------------------------------------------------------------------------------------

namespace {

// The one library this subset has; its handle is the address of this marker.
char g_hidModule;

}  // namespace

HMODULE LoadLibraryA(LPCSTR name) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (ProviderHooks* hooks : RegisteredHooks()) {
        DWORD error = ERROR_MOD_NOT_FOUND;
        if (hooks->RefuseLibrary(name, &error)) {
            SetLastError(error);
            return nullptr;
        }
    }
    if (strcasecmp(name, "hid.dll") != 0 && strcasecmp(name, "hid") != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return &g_hidModule;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module != &g_hidModule || name == nullptr) {
        SetLastError(module != &g_hidModule ? ERROR_INVALID_HANDLE : ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (FARPROC proc = HidExport(name)) return proc;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    if (module != &g_hidModule) return CallFails(ERROR_INVALID_HANDLE);
    return TRUE;
}
