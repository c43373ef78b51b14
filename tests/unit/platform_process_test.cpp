// What a started program gets from the process that starts it: its command line, standard input,
// output and error, and nothing else. A JVM holds open files, journals and sockets (a listening
// one would stay bound while the program lives) and blocks or ignores signals of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/posix/provider.h"
#include "unit_support.h"
#include "platform/win32.h"

namespace {

TEST(PlatformProcess, TheProgramInheritsNoDescriptorAndNoSignalState) {
    const std::string root = LayOutMonitorHost("caldrix-spawn");
    ASSERT_FALSE(root.empty());
    const std::string log = root + "/standin.log";

    // What the JVM holds, none of it close-on-exec: a file, a listening socket, a connection.
    const int file = open((root + "/secret").c_str(), O_RDWR | O_CREAT, 0600);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_TRUE(file >= 0 && server >= 0);
    // SIGQUIT blocked in the calling thread, SIGHUP ignored by the process.
    sigset_t quit, old;
    sigemptyset(&quit);
    sigaddset(&quit, SIGQUIT);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &quit, &old), 0);
    struct sigaction ignore = {}, hangup;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &hangup), 0);

    // Set before the start, so that the stand-in ends as soon as it has opened it.
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, "SentivoLCD9");
    char line[] = "Sentivo.exe /LCD9";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const BOOL started = CreateProcessA("\\Calbrest\\Sentivo\\Sentivo.exe", line, nullptr,
                                        nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    sigaction(SIGHUP, &hangup, nullptr);
    ASSERT_TRUE(started) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0) << "the stand-in ended";
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(event);
    caldrix_posix::SetHostRoot("/");
    unsetenv("SENTIVO_STANDIN_LOG");

    std::stringstream record;
    record << std::ifstream(log).rdbuf();
    EXPECT_NE(record.str().find("args Sentivo.exe /LCD9\n"
                                "fds 0 1 2\n"
                                "SigBlk:\t0000000000000000\n"
                                "SigIgn:\t0000000000000000\n"),
              std::string::npos)
        << record.str();
    for (int fd : {file, listener, client, server}) close(fd);
    ASSERT_EQ(system(("rm -r " + root).c_str()), 0);
}

}  // namespace
