// Loads caldrix.dll the way a Windows JVM does (LoadLibrary, then each native method by its export
// name) and calls the natives through pointers of their exact __stdcall types, with a minimal JNI
// environment standing in for the VM. Run under Wine by run_wine_tests.sh, which maps COM5 onto a
// pseudo-terminal whose far end answers every byte with its complement, joins COM6 and COM7 by a
// null-modem cable, and preloads a shim that gives the ptys modem lines.
//
//   caldrix_harness.exe DLL LINES_IN LINES_OUT MACS [full|closes]
//
// DLL        the library, as a Windows path
// LINES_IN   file read by the modem shim: the far end's lines (C S D R), or '!' for a bare pty
// LINES_OUT  file the shim rewrites with the lines the port drives ("DTR RTS", "DTR", ...)
// MACS       comma-separated adapter addresses the host reports (aa:bb:..), or "none"
// closes     only the checks of a close during a transfer or wait (the run script repeats them
//            with CancelIoEx hidden from the library)
//
// The unit tests hold every message and rule against a simulated device; this keeps to what only
// the real DLL under Wine shows. Every check prints "ok - ..." or "not ok - ..."; the exit code is
// 1 if any failed. The run script also reads the output for the library's load line; the HID
// checks capture the lines the library prints themselves.
#include <jni.h>
#include <windows.h>
#include <dbt.h>
#include <fcntl.h>
#include <io.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_jni.h"

namespace {

const char kPackage[] = "com_vorant_jpos_tavrolink_caldrix";
const char kOldPackage[] = "tellspan_devices_tavrolink_caldrix";
const char kPortPackage[] = "com_vorant_jpos_tavrolink_port_NativePort";
const char kWatchPackage[] = "com_vorant_jpos_tavrolink_port_NativeWatch";

// Every native: package, method, the argument bytes of its x86 decoration (JNIEnv, class and
// parameters, four bytes each), result type and parameter types after JNIEnv and class.
#define CALDRIX_NATIVES(X)                                                   \
    X(kPackage, PortOpen, 12, jint, jstring)                                 \
    X(kPackage, PortClose, 12, jint, jint)                                   \
    X(kPackage, PortRead, 20, jint, jint, jbyteArray, jint)                  \
    X(kPackage, PortWrite, 20, jint, jint, jbyteArray, jint)                 \
    X(kPackage, PortSetParams, 32, jint, jint, jint, jint, jint, jint, jint) \
    X(kPackage, PortPurge, 20, jint, jint, jboolean, jboolean)               \
    X(kPackage, PortGetReadCount, 12, jint, jint)                            \
    X(kPackage, PortIsCTS, 12, jboolean, jint)                               \
    X(kPackage, PortIsDSR, 12, jboolean, jint)                               \
    X(kPackage, PortIsRI, 12, jboolean, jint)                                \
    X(kOldPackage, PortIsCD, 12, jboolean, jint)                             \
    X(kPackage, PortIsDTR, 12, jboolean, jint)                               \
    X(kPackage, PortIsRTS, 12, jboolean, jint)                               \
    X(kPackage, PortSetRTS, 16, jint, jint, jboolean)                        \
    X(kPackage, PortSetDTR, 16, jint, jint, jboolean)                        \
    X(kPackage, PortSetHWFlowControl, 16, jint, jint, jboolean)              \
    X(kPackage, GetMACAddress, 12, jint, jbyteArray)                         \
    X(kPortPackage, open, 12, jint, jstring)                                 \
    X(kPortPackage, await, 16, jint, jint, jint)

struct Natives {
#define CALDRIX_FIELD(package, method, bytes, result, ...) \
    result(JNICALL* method)(JNIEnv*, jclass, __VA_ARGS__);
    CALDRIX_NATIVES(CALDRIX_FIELD)
#undef CALDRIX_FIELD
    // NativeWatch's, listed apart: two of its names are NativePort's too.
    struct {
        jint(JNICALL* open)(JNIEnv*, jclass);
        jint(JNICALL* await)(JNIEnv*, jclass, jint, jint);
        void(JNICALL* stop)(JNIEnv*, jclass, jint);
        void(JNICALL* close)(JNIEnv*, jclass, jint);
        jstring(JNICALL* scan)(JNIEnv*, jclass);
    } watch;
};

// The name a JVM of this word size looks up: the __stdcall decoration on x86, the plain JNI name
// on x64.
std::string ExportName(const char* package, const char* method, int argumentBytes) {
#ifdef _WIN64
    (void)argumentBytes;
    return std::string("Java_") + package + "_" + method;
#else
    return std::string("_Java_") + package + "_" + method + "@" + std::to_string(argumentBytes);
#endif
}

int g_checks = 0;
int g_failures = 0;

bool Report(bool ok, const std::string& what, const std::string& detail = std::string()) {
    ++g_checks;
    if (!ok) ++g_failures;
    printf("%s - %s%s%s\n", ok ? "ok" : "not ok", what.c_str(), ok ? "" : ": ",
           ok ? "" : detail.c_str());
    fflush(stdout);
    return ok;
}

// The last line of the output, and the exit code.
int Summary() {
    printf("harness: %d checks, %d failed\n", g_checks, g_failures);
    fflush(stdout);
    return g_failures == 0 ? 0 : 1;
}

// A message on one output line: the library's messages may end in a newline.
std::string Printable(std::string text) {
    for (size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i)) {
        text.replace(i, 1, "\\n");
    }
    return text;
}

std::string Hex(const std::vector<uint8_t>& bytes, const char* separator = "") {
    std::string out;
    for (uint8_t b : bytes) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02x", b);
        out += (out.empty() ? "" : separator) + std::string(hex);
    }
    return out;
}

// Milliseconds since `start`, a QueryPerformanceCounter reading.
double MsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

std::string Ms(double ms) { return std::to_string(static_cast<long>(ms + 0.5)) + " ms"; }

// A far end that keeps sending, slowly: a thread writes bytes 0, 1, 2, ... one at a time through a
// second handle on COM5 (Wine does not enforce exclusive opens); the peer answers each with its
// complement, which arrives at the port under test.
struct Trickle {
    HANDLE port = INVALID_HANDLE_VALUE;
    int bytes = 0;
    DWORD gapMs = 0;
    volatile LONG stop = 0;
    int sent = 0;

    static DWORD WINAPI Run(LPVOID self) {
        Trickle* t = static_cast<Trickle*>(self);
        for (int i = 0; i < t->bytes && InterlockedCompareExchange(&t->stop, 0, 0) == 0; ++i) {
            const BYTE b = static_cast<BYTE>(i);
            DWORD done = 0;
            if (!WriteFile(t->port, &b, 1, &done, nullptr) || done != 1) break;
            ++t->sent;
            Sleep(t->gapMs);
        }
        return 0;
    }
};

// Milliseconds on one clock for every thread, so that times taken on two threads compare.
double NowMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A native called on a thread of its own, with a JNI environment of its own (a FakeJni keeps one
// pending exception and plain counters, so two threads never share one): its answer, the message
// it raised, and when it began and returned.
struct Background {
    FakeJni jni;
    std::function<long(Background&)> call;
    long answer = 0;
    std::string raised;
    double began = 0, ended = 0;
    HANDLE thread = nullptr;

    explicit Background(std::function<long(Background&)> c) : call(std::move(c)) {
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~Background() {
        if (thread == nullptr) return;
        // Its JNI environment dies with it: a call still inside the library ends the run.
        if (!Returned(10000)) {
            Report(false, "a call on a thread of its own returns", "still running after 10 s");
            Summary();
            TerminateProcess(GetCurrentProcess(), 1);
        }
        CloseHandle(thread);
    }
    static DWORD WINAPI Run(LPVOID self) {
        Background* b = static_cast<Background*>(self);
        b->began = NowMs();
        b->answer = b->call(*b);
        b->ended = NowMs();
        b->raised = b->jni.PendingMessage();
        return 0;
    }
    // Whether the call has returned, waiting up to `ms` for it.
    bool Returned(DWORD ms) { return WaitForSingleObject(thread, ms) == WAIT_OBJECT_0; }
    JNIEnv* env() { return jni.env(); }
};

// COM6's far end: COM7, joined to it by the peer's null-modem cable. A thread drains what COM6
// sends and counts it; a test may stop the draining (COM6's writes then block), send bytes to
// COM6, and settle the line: a marker byte, which data never holds, sent through COM6 once the
// port under test has closed, arrives after everything sent before it.
struct FarEnd {
    static constexpr BYTE kData = 0xA5, kMarker = 0x5A;
    HANDLE rx = INVALID_HANDLE_VALUE, tx = INVALID_HANDLE_VALUE, thread = nullptr;
    HANDLE draining = CreateEventA(nullptr, TRUE, TRUE, nullptr);   // set while it drains
    HANDLE reached = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // `want` bytes have come
    HANDLE marked = CreateEventA(nullptr, FALSE, FALSE, nullptr);   // the marker has come
    volatile LONG count = 0, want = LONG_MAX, stop = 0;

    static HANDLE OpenPort(const char* name) {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    bool Open() {
        rx = OpenPort("\\\\.\\COM7");
        tx = OpenPort("\\\\.\\COM7");
        // A read of one byte waits up to 20 ms for it; the bytes waiting after it are read at once.
        COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 20, 0, 0};
        if (rx == INVALID_HANDLE_VALUE || tx == INVALID_HANDLE_VALUE || !SetCommTimeouts(rx, &t) ||
            !PurgeComm(rx, PURGE_RXCLEAR)) {
            return false;
        }
        thread = CreateThread(nullptr, 0, Drain, this, 0, nullptr);
        return thread != nullptr;
    }
    ~FarEnd() {
        InterlockedExchange(&stop, 1);
        SetEvent(draining);
        if (thread != nullptr && WaitForSingleObject(thread, 1000) == WAIT_OBJECT_0) {
            CloseHandle(thread);
        }
        for (HANDLE h : {rx, tx, draining, reached, marked}) {
            if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
        }
    }
    static DWORD WINAPI Drain(LPVOID self) {
        FarEnd* f = static_cast<FarEnd*>(self);
        static BYTE buffer[65536];
        while (WaitForSingleObject(f->draining, INFINITE) == WAIT_OBJECT_0 && !f->stop) {
            DWORD errors = 0, got = 0, ask = 1;
            COMSTAT stat = {};
            if (ClearCommError(f->rx, &errors, &stat) && stat.cbInQue > 0) {
                ask = (std::min)(stat.cbInQue, static_cast<DWORD>(sizeof buffer));
            }
            if (!ReadFile(f->rx, buffer, ask, &got, nullptr)) got = 0;
            for (DWORD i = 0; i < got; ++i) {
                if (buffer[i] == kMarker) {
                    SetEvent(f->marked);
                } else if (InterlockedIncrement(&f->count) == f->want) {
                    SetEvent(f->reached);
                }
            }
        }
        return 0;
    }
    void Draining(bool on) { on ? SetEvent(draining) : ResetEvent(draining); }
    // `reached` is set once `bytes` more have come.
    void Expect(LONG bytes) {
        ResetEvent(reached);
        InterlockedExchange(&want, count + bytes);
    }
    bool Send(BYTE b) {
        DWORD done = 0;
        return WriteFile(tx, &b, 1, &done, nullptr) && done == 1;
    }
    // The bytes COM6 sent since the last settling, all of which have come; -1 when the marker did
    // not come within 5 s.
    long Settle() {
        Draining(true);
        HANDLE port = OpenPort("\\\\.\\COM6");
        DWORD done = 0;
        const bool sent = port != INVALID_HANDLE_VALUE &&
                          WriteFile(port, &kMarker, 1, &done, nullptr) && done == 1;
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        InterlockedExchange(&want, LONG_MAX);
        if (!sent || WaitForSingleObject(marked, 5000) != WAIT_OBJECT_0) return -1;
        return InterlockedExchange(&count, 0);
    }
};

// What the DLL configured, read through a second handle of the harness's own: Wine does not
// enforce exclusive opens of COM ports. A pty keeps the speed and the stop bits, but its driver
// forces 8 data bits and no parity whatever is asked, so those two cannot be observed here.
void ExpectPort(const std::string& what, DWORD baud, BYTE stopBits) {
    auto describe = [](DWORD b, unsigned stop) {
        return std::to_string(b) + " baud, stop code " + std::to_string(stop);
    };
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    HANDLE port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    bool read = port != INVALID_HANDLE_VALUE && GetCommState(port, &dcb);
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    std::string seen = describe(dcb.BaudRate, dcb.StopBits);
    std::string wanted = describe(baud, stopBits);
    Report(read && seen == wanted, what,
           read ? "port has " + seen + ", expected " + wanted : "cannot read the port's state");
}

// One expected answer: a native called through a lambda, and what it must return.
struct Answer {
    const char* name;
    long expected;
    std::function<long()> call;
};

struct Harness {
    const Natives& n;
    FakeJni& jni;
    JNIEnv* env;
    const std::string linesIn;   // the far end's lines, for the shim
    const std::string linesOut;  // the lines the port drives, from the shim

    // Runs a native and describes how its result and what it left pending differ from the
    // expectation (empty when they match): nothing pending when `message` is null, otherwise one
    // IOException with exactly that message.
    std::string Outcome(const std::function<long()>& call, long expected, const char* message) {
        jni.ClearPending();
        int throwsBefore = jni.ThrowCount();
        long got = call();
        int throws = jni.ThrowCount() - throwsBefore;
        std::string raised =
            throws == 0   ? "nothing"
            : throws == 1 ? jni.PendingClass() + " \"" + Printable(jni.PendingMessage()) + "\""
                          : std::to_string(throws) + " exceptions";
        std::string wanted =
            message ? "java/io/IOException \"" + Printable(message) + "\"" : "nothing";
        jni.ClearPending();
        std::string detail;
        if (got != expected) {
            detail = "returned " + std::to_string(got) + ", expected " + std::to_string(expected);
        }
        if (raised != wanted) {
            detail += (detail.empty() ? "raised " : "; raised ") + raised + ", expected " + wanted;
        }
        return detail;
    }

    bool Call(const std::string& what, long expected, const char* message,
              const std::function<long()>& call) {
        std::string detail = Outcome(call, expected, message);
        return Report(detail.empty(), what, detail);
    }
    bool Call(const std::string& what, long expected, const std::function<long()>& call) {
        return Call(what, expected, nullptr, call);
    }

    // How several calls that must answer without raising did otherwise (empty when none did).
    std::string Mismatches(const std::vector<Answer>& answers) {
        std::string details;
        for (const Answer& a : answers) {
            std::string d = Outcome(a.call, a.expected, nullptr);
            if (!d.empty()) details += (details.empty() ? "" : "; ") + (a.name + (" " + d));
        }
        return details;
    }

    jint Open(const std::string& name) { return n.PortOpen(env, nullptr, jni.NewString(name)); }

    // The far end's modem lines, as letters for the shim.
    bool SetFarEnd(const char* letters) {
        FILE* file = fopen(linesIn.c_str(), "wb");
        bool ok = file != nullptr && fputs(letters, file) >= 0;
        ok = file != nullptr && fclose(file) == 0 && ok;
        if (!ok) Report(false, std::string("set far-end lines '") + letters + "'", linesIn);
        return ok;
    }

    // The lines the port drives, as the shim last recorded them ("" before any change).
    void ExpectDriven(const std::string& what, const char* expected) {
        char text[32];
        FILE* file = fopen(linesOut.c_str(), "rb");
        size_t got = file != nullptr ? fread(text, 1, sizeof text, file) : 0;
        if (file != nullptr) fclose(file);
        std::string driven(text, got);
        Report(driven == expected, what,
               "port drives '" + driven + "', expected '" + std::string(expected) + "'");
    }

    // The peer answers asynchronously and the DLL offers nothing to wait on, so poll the count
    // until it reaches `want`, with a deadline.
    long WaitForReadCount(jint handle, long want) {
        long count = -1;
        for (DWORD start = GetTickCount(); GetTickCount() - start < 5000; Sleep(5)) {
            count = n.PortGetReadCount(env, nullptr, handle);
            if (count >= want || count < 0) break;
        }
        jni.ClearPending();
        return count;
    }

    // Writes bytes and waits until PortGetReadCount counts the peer's answer.
    void Send(const std::string& label, jint handle, const std::vector<uint8_t>& bytes) {
        jint count = static_cast<jint>(bytes.size());
        jbyteArray out = jni.NewByteArray(bytes);
        Call(label + ": PortWrite of " + std::to_string(count) + " bytes", 0,
             [&] { return n.PortWrite(env, nullptr, handle, out, count); });
        long waiting = WaitForReadCount(handle, count);
        Report(waiting == count, label + ": PortGetReadCount sees the peer's answer",
               "count " + std::to_string(waiting) + ", expected " + std::to_string(count));
    }

    // Sends bytes and reads the answer with room to spare: the read returns what came, the
    // complement of each byte, and leaves the rest of the array alone.
    void RoundTrip(const std::string& label, jint handle, const std::vector<uint8_t>& bytes) {
        Send(label, handle, bytes);
        jint count = static_cast<jint>(bytes.size());
        const uint8_t kUntouched = 0x55;
        jbyteArray in = jni.NewByteArray(bytes.size() + 4, kUntouched);
        Call(label + ": PortRead of " + std::to_string(count + 4) + " returns the " +
                 std::to_string(count) + " that came",
             count, [&] { return n.PortRead(env, nullptr, handle, in, count + 4); });
        std::vector<uint8_t> expected;
        for (uint8_t b : bytes) expected.push_back(static_cast<uint8_t>(b ^ 0xFF));
        expected.insert(expected.end(), 4, kUntouched);
        Report(jni.Bytes(in) == expected, label + ": the answer is the complement of what went out",
               "array holds " + Hex(jni.Bytes(in)) + ", expected " + Hex(expected));
    }

    // When a read returns, on the real DLL: with nothing waiting after the port's read wait for
    // a first byte (100 ms), with bytes waiting at once (Wine makes a ReadFile that asks for more
    // than is waiting wait out its time-out, so the library must not ask for more), and with a
    // far end that keeps sending, with what has come rather than when the sending stops.
    void CheckReadTiming(jint port) {
        const jint kRoom = 64;
        jbyteArray buffer = jni.NewByteArray(kRoom, 0x55);
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        std::string detail =
            Outcome([&] { return n.PortRead(env, nullptr, port, buffer, kRoom); }, 0, nullptr);
        double ms = MsSince(start);
        if (detail.empty() && (ms < 80 || ms > 600)) detail = "took " + Ms(ms);
        Report(detail.empty(),
               "PortRead with nothing waiting: 0 after about 100 ms (" + Ms(ms) + ")", detail);

        // The fastest of three tries: a read that waits takes the full 100 ms every time.
        for (size_t waiting : {size_t(kRoom), size_t(10)}) {
            double fastest = 1e9;
            detail.clear();
            for (int attempt = 0; attempt < 3 && detail.empty(); ++attempt) {
                std::vector<uint8_t> bytes(waiting);
                for (size_t i = 0; i < waiting; ++i) bytes[i] = static_cast<uint8_t>(i + attempt);
                Send("read timing", port, bytes);
                jbyteArray in = jni.NewByteArray(kRoom, 0x55);
                QueryPerformanceCounter(&start);
                detail = Outcome([&] { return n.PortRead(env, nullptr, port, in, kRoom); },
                                 static_cast<long>(waiting), nullptr);
                fastest = (std::min)(fastest, MsSince(start));
                std::vector<uint8_t> expected;
                for (uint8_t b : bytes) expected.push_back(static_cast<uint8_t>(b ^ 0xFF));
                expected.resize(kRoom, 0x55);
                if (detail.empty() && jni.Bytes(in) != expected) {
                    detail = "array holds " + Hex(jni.Bytes(in)) + ", expected " + Hex(expected);
                }
            }
            if (detail.empty() && fastest >= 50) detail = "fastest of three took " + Ms(fastest);
            Report(detail.empty(),
                   "PortRead of " + std::to_string(kRoom) + " with " + std::to_string(waiting) +
                       " waiting returns them at once (fastest " + Ms(fastest) + ")",
                   detail);
        }

        Trickle trickle;
        trickle.port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        if (!Report(trickle.port != INVALID_HANDLE_VALUE, "a second handle on COM5 for a trickle",
                    "error " + std::to_string(GetLastError()))) {
            return;
        }
        trickle.bytes = 40;
        trickle.gapMs = 25;
        HANDLE thread = CreateThread(nullptr, 0, Trickle::Run, &trickle, 0, nullptr);
        std::vector<uint8_t> got;
        double slowest = 0;
        detail.clear();
        for (DWORD begun = GetTickCount();
             got.size() < 40 && detail.empty() && GetTickCount() - begun < 10000;) {
            jbyteArray in = jni.NewByteArray(kRoom);
            jni.ClearPending();
            const int throwsBefore = jni.ThrowCount();
            QueryPerformanceCounter(&start);
            const jint count = n.PortRead(env, nullptr, port, in, kRoom);
            slowest = (std::max)(slowest, MsSince(start));
            if (count < 0 || jni.ThrowCount() != throwsBefore) {
                detail = "a read returned " + std::to_string(count) + " and raised \"" +
                         Printable(jni.PendingMessage()) + "\"";
            } else {
                got.insert(got.end(), jni.Bytes(in).begin(), jni.Bytes(in).begin() + count);
            }
            jni.ClearPending();
        }
        InterlockedExchange(&trickle.stop, 1);
        if (thread != nullptr) {
            WaitForSingleObject(thread, 5000);
            CloseHandle(thread);
        }
        CloseHandle(trickle.port);
        std::vector<uint8_t> expected;
        for (int i = 0; i < 40; ++i) expected.push_back(static_cast<uint8_t>(i ^ 0xFF));
        if (detail.empty() && got != expected) {
            detail = "read " + Hex(got) + ", expected " + Hex(expected) + " (" +
                     std::to_string(trickle.sent) + " sent)";
        }
        if (detail.empty() && slowest >= 400) detail = "a read took " + Ms(slowest);
        Report(detail.empty(),
               "PortRead of " + std::to_string(kRoom) +
                   " during a trickle (a byte every 25 ms) returns within 400 ms, losing nothing"
                   " (slowest " +
                   Ms(slowest) + ")",
               detail);
    }

    // Every native that takes a handle, on one that is not open: -1 from the actions, 0xFF from the
    // far-end line queries, 1 from the output line queries, nothing raised, the array untouched.
    void CheckNotOpen(jint handle) {
        jbyteArray buffer = jni.NewByteArray(16, 0x11);
        std::string details = Mismatches({
            {"PortClose", -1, [&] { return n.PortClose(env, nullptr, handle); }},
            {"PortRead", -1, [&] { return n.PortRead(env, nullptr, handle, buffer, 4); }},
            {"PortWrite", -1, [&] { return n.PortWrite(env, nullptr, handle, buffer, 4); }},
            {"PortSetParams", -1,
             [&] { return n.PortSetParams(env, nullptr, handle, 9600, 8, 1, 0, 0); }},
            {"PortPurge", -1, [&] { return n.PortPurge(env, nullptr, handle, 1, 1); }},
            {"PortGetReadCount", -1, [&] { return n.PortGetReadCount(env, nullptr, handle); }},
            {"PortSetRTS", -1, [&] { return n.PortSetRTS(env, nullptr, handle, 1); }},
            {"PortSetDTR", -1, [&] { return n.PortSetDTR(env, nullptr, handle, 1); }},
            {"PortSetHWFlowControl", -1,
             [&] { return n.PortSetHWFlowControl(env, nullptr, handle, 1); }},
            {"PortIsCTS", 0xFF, [&] { return n.PortIsCTS(env, nullptr, handle); }},
            {"PortIsDSR", 0xFF, [&] { return n.PortIsDSR(env, nullptr, handle); }},
            {"PortIsRI", 0xFF, [&] { return n.PortIsRI(env, nullptr, handle); }},
            {"PortIsCD", 0xFF, [&] { return n.PortIsCD(env, nullptr, handle); }},
            {"PortIsDTR", 1, [&] { return n.PortIsDTR(env, nullptr, handle); }},
            {"PortIsRTS", 1, [&] { return n.PortIsRTS(env, nullptr, handle); }},
        });
        if (jni.Bytes(buffer) != std::vector<uint8_t>(16, 0x11)) details += "; the array changed";
        Report(details.empty(), "handle " + std::to_string(handle) + " not open: -1 / 0xFF / 1",
               details);
    }

    // The far end's lines one at a time, so a swapped bit shows, then the lines the port drives.
    void CheckModemLines(jint port) {
        for (std::string on : {"", "C", "S", "R", "D"}) {
            if (!SetFarEnd(on.c_str())) continue;
            auto is = [&](char letter) { return on.find(letter) != std::string::npos ? 1L : 0L; };
            std::string details = Mismatches({
                {"PortIsCTS", is('C'), [&] { return n.PortIsCTS(env, nullptr, port); }},
                {"PortIsDSR", is('S'), [&] { return n.PortIsDSR(env, nullptr, port); }},
                {"PortIsRI", is('R'), [&] { return n.PortIsRI(env, nullptr, port); }},
                {"PortIsCD", is('D'), [&] { return n.PortIsCD(env, nullptr, port); }},
            });
            Report(details.empty(), "far end '" + on + "': only those lines read on", details);
        }
        SetFarEnd("");

        const struct {
            const char* name;
            decltype(Natives::PortSetRTS) set;
            jboolean value;
            const char* driven;
        } sets[] = {{"PortSetRTS 0", n.PortSetRTS, 0, "DTR"},
                    {"PortSetRTS 1", n.PortSetRTS, 1, "DTR RTS"},
                    {"PortSetDTR 0", n.PortSetDTR, 0, "RTS"},
                    {"PortSetDTR 1", n.PortSetDTR, 1, "DTR RTS"},
                    {"PortSetHWFlowControl 0", n.PortSetHWFlowControl, 0, "DTR"}};
        for (const auto& s : sets) {
            Call(s.name, 0, [&] { return s.set(env, nullptr, port, s.value); });
            ExpectDriven(std::string(s.name) + " leaves the port driving '" + s.driven + "'",
                         s.driven);
        }

        // The same calls on a port that has lost its modem lines: Wine's ERROR_NOT_SUPPORTED (50,
        // hex 32) in the library's "%0x04" style.
        if (SetFarEnd("!")) {
            Call("PortIsCTS on a bare pty", 0, "GetCommModemStatus: GetLastError = 3204\n",
                 [&] { return n.PortIsCTS(env, nullptr, port); });
            Call("PortSetRTS on a bare pty", -1, "EscapeCommFunction: GetLastError = 3204\n",
                 [&] { return n.PortSetRTS(env, nullptr, port, 1); });
            SetFarEnd("");
        }
    }

    void CheckSerial() {
        // Without modem lines Wine refuses EscapeCommFunction with ERROR_NOT_SUPPORTED (50); the
        // open stops there and leaves nothing held.
        if (SetFarEnd("!")) {
            for (const char* name : {"COM5:", "\\\\.\\COM5"}) {
                Call(std::string("bare pty: PortOpen ") + name + " fails at SETDTR", -1,
                     "EscapeCommFunction SETDTR error 50 on port", [&] { return Open(name); });
            }
        }
        if (!SetFarEnd("")) return;

        // So that what the port drives next is the open's doing.
        remove(linesOut.c_str());
        jint port = -1;
        // The failed opens above gave their slots back, so the first open gets handle 1.
        Call("PortOpen COM5: with modem lines", 1, [&] { return port = Open("COM5:"); });
        if (port < 1) return;
        ExpectDriven("open raises DTR and RTS", "DTR RTS");

        const struct {
            int baud, dataBits, stopBits, parity;
            const char* message;
            DWORD seenBaud;
            BYTE seenStop;
        } params[] = {
            {19200, 7, 2, 2, nullptr, 19200, TWOSTOPBITS},
            {14400, 8, 1, 0, "SetPortParams: Invalid baud rate", 19200, TWOSTOPBITS},
            // Ends without parity, as the flow-control call below needs: Wine fails its
            // SetCommState on a pty left with odd parity (error 50).
            {9600, 8, 1, 0, nullptr, 9600, ONESTOPBIT},
        };
        for (const auto& p : params) {
            char t[64];
            snprintf(t, sizeof t, "PortSetParams %d %d %d %d", p.baud, p.dataBits, p.stopBits,
                     p.parity);
            Call(t, p.message ? -1 : 0, p.message, [&] {
                return n.PortSetParams(env, nullptr, port, p.baud, p.dataBits, p.stopBits, p.parity,
                                       0);
            });
            ExpectPort(
                t + std::string(p.message ? ": the port keeps its settings" : ": the port follows"),
                p.seenBaud, p.seenStop);
        }

        RoundTrip("COM5: data", port, {'h', 'i', 0x00, 0xFF, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0x80});
        jbyteArray buffer = jni.NewByteArray(8, 0x55);
        Call("PortRead with nothing waiting returns 0", 0,
             [&] { return n.PortRead(env, nullptr, port, buffer, 4); });
        CheckReadTiming(port);

        Send("purge", port, {9, 8, 7, 6});
        Call("PortPurge receive", 0, [&] { return n.PortPurge(env, nullptr, port, 0, 1); });
        Call("receive queue empty after purge", 0,
             [&] { return n.PortGetReadCount(env, nullptr, port); });

        CheckModemLines(port);

        Call("PortClose", 0, [&] { return n.PortClose(env, nullptr, port); });
        Call("PortClose again", -1, [&] { return n.PortClose(env, nullptr, port); });
        CheckNotOpen(port);

        // The other spellings of the same port: the NT device name, and the POSIX name that maps
        // to COM5:.
        for (const char* name : {"\\\\.\\COM5", "/dev/ttyS6"}) {
            jint p = -1;
            Call(std::string("PortOpen ") + name, 1, [&] { return p = Open(name); });
            if (p < 1) continue;
            RoundTrip(name, p, {'C', 'O', 'M', '5'});
            Call(std::string("PortClose ") + name, 0, [&] { return n.PortClose(env, nullptr, p); });
        }

        Call("PortOpen of a port that does not exist", -1, "CreateFile error 2 on port",
             [&] { return Open("\\\\.\\COM250"); });
    }

    // What the library prints on standard output while `call` runs (the DLL and this program
    // share msvcrt's stdout), without the CR that text mode adds.
    static std::string Printed(const std::function<void()>& call) {
        fflush(stdout);
        char dir[MAX_PATH], path[MAX_PATH];
        if (GetTempPathA(MAX_PATH, dir) == 0 || GetTempFileNameA(dir, "cdx", 0, path) == 0) {
            call();
            return "(no temporary file)";
        }
        const int saved = _dup(1);
        const int fd = _open(path, _O_WRONLY | _O_TRUNC | _O_BINARY);
        _dup2(fd, 1);
        _close(fd);
        call();
        fflush(stdout);
        _dup2(saved, 1);
        _close(saved);
        std::string text;
        if (FILE* f = fopen(path, "rb")) {
            char buf[512];
            size_t got;
            while ((got = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
            fclose(f);
        }
        DeleteFileA(path);
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    }

    static int ThreadCount() {
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        if (snap == INVALID_HANDLE_VALUE) return -1;
        THREADENTRY32 t;
        t.dwSize = sizeof t;
        int count = 0;
        for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t)) {
            if (t.th32OwnerProcessID == GetCurrentProcessId()) ++count;
        }
        CloseHandle(snap);
        return count;
    }

    // Wine's two virtual HID devices (a mouse, vid_845e&pid_0001, and a keyboard, pid_0002): no
    // input value capabilities, no output report (every write fails with 87), no input.
    void CheckHid() {
        jint mouse = -1, keyboard = -1;
        std::string out = Printed([&] { mouse = Open("USBHID: VID_845E+PID_0001"); });
        Report(mouse >= 1 && mouse <= 9, "PortOpen by keyword opens the mouse",
               std::to_string(mouse) + " " + Printable(jni.PendingMessage()));
        Report(out == " USBPortOpen \n InitUSB: \n", "the open prints its two lines", Printable(out));
        keyboard = Open("/USB/0x845e/0x0002");
        Report(keyboard >= 1 && keyboard <= 9 && keyboard != mouse,
               "PortOpen by vendor and product opens the keyboard beside it",
               std::to_string(keyboard) + " " + Printable(jni.PendingMessage()));
        Call("PortOpen of an absent device", -1, "Device Not Found - vid_1234&pid_5678",
             [&] { return Open("/USB/0x1234/0x5678"); });

        jbyteArray buf = jni.NewByteArray(16, 0xEE);
        Call("PortGetReadCount of an idle device", 0, [&] { return n.PortGetReadCount(env, nullptr, mouse); });
        Call("PortRead of an idle device", 0, [&] { return n.PortRead(env, nullptr, mouse, buf, 16); });
        Report(jni.Bytes(buf) == std::vector<uint8_t>(16, 0xEE), "the idle read leaves the array");
        Call("PortPurge", 0, [&] { return n.PortPurge(env, nullptr, mouse, 1, 1); });
        Call("PortIsCTS of a HID port", 1, [&] { return n.PortIsCTS(env, nullptr, mouse); });

        char expected[96];
        snprintf(expected, sizeof expected, " USBPortWrite: WriteFile retcode = 2  pUSBDev = ");
        jint written = 0;
        jni.ClearPending();
        out = Printed([&] { written = n.PortWrite(env, nullptr, mouse, buf, 3); });
        Report(written == -1 &&
                   jni.PendingMessage() == "Number of bytes written != number of bytes requested",
               "PortWrite to a device with no output report fails with its message",
               std::to_string(written) + " " + Printable(jni.PendingMessage()));
        jni.ClearPending();
        Report(out.rfind(expected, 0) == 0 && out.back() == '\n' &&
                   out.find(" \n") == out.size() - 2,
               "the failed write prints its return code and record", Printable(out));

        jint closed = 0;
        out = Printed([&] { closed = n.PortClose(env, nullptr, mouse); });
        Report(closed == -1 && !jni.HasPending(), "PortClose of a HID port answers -1",
               std::to_string(closed));
        Report(out == " USBPortClose: \n intUSBPortClose: Complete \n",
               "the close prints its two lines", Printable(out));
        CheckNotOpen(mouse);
        Call("PortClose of the keyboard", -1, [&] { return n.PortClose(env, nullptr, keyboard); });

        // Open and close again and again: no thread, handle or packet left behind.
        const int threadsBefore = ThreadCount();
        DWORD handlesBefore = 0, handlesAfter = 0;
        GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
        int opened = 0;
        Printed([&] {
            for (int i = 0; i < 200; ++i) {
                const jint h = Open("USBHID: vid_845e+pid_0001");
                if (h < 1) break;
                ++opened;
                n.PortClose(env, nullptr, h);
            }
        });
        GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
        Report(opened == 200, "200 open/close cycles", std::to_string(opened) + " opened");
        Report(ThreadCount() == threadsBefore, "the thread count stays flat",
               std::to_string(threadsBefore) + " -> " + std::to_string(ThreadCount()));
        Report(handlesAfter <= handlesBefore + 2, "the handle count stays flat",
               std::to_string(handlesBefore) + " -> " + std::to_string(handlesAfter));
    }

    // The sensor monitor of an all-in-one unit: started from the root of the current drive with
    // its device's argument, its event set about a second later. The run script puts a stand-in
    // at C:\Calbrest\Sentivo\Sentivo.exe.
    void CheckMonitorLaunch() {
        const char* log = "C:\\Calbrest\\Sentivo\\standin.log";
        DeleteFileA(log);
        char cwd[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, cwd);
        SetCurrentDirectoryA("C:\\");
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        jint h = -1;
        Printed([&] { h = Open("USBAIO: vid_845e+pid_0002"); });
        const double took = MsSince(start);
        SetCurrentDirectoryA(cwd);
        Report(h >= 1 && h <= 9, "PortOpen of an all-in-one unit", Printable(jni.PendingMessage()));
        Report(took >= 1400 && took < 4000, "the open takes the launch's second and the settle",
               Ms(took));
        std::string text;
        for (int i = 0; i < 100 && text.find("set after") == std::string::npos &&
                        text.find("not set") == std::string::npos;
             ++i) {
            Sleep(50);  // the stand-in writes its record as it goes; a file has no event
            text.clear();
            if (FILE* f = fopen(log, "rb")) {
                char buf[256];
                size_t got;
                while ((got = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
                fclose(f);
            }
        }
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        Report(text.find("args Sentivo.exe /AIO\n") == 0, "the monitor gets \"Sentivo.exe /AIO\"",
               Printable(text));
        const size_t at = text.find("set after ");
        const long ms = at == std::string::npos ? -1 : atol(text.c_str() + at + 10);
        Report(ms >= 800 && ms <= 2500, "SentivoAIO is set about a second after the start",
               Printable(text));
        if (h >= 1) Printed([&] { n.PortClose(env, nullptr, h); });
    }

    void CheckMacAddress(const std::string& macList) {
        jbyteArray address = jni.NewByteArray(8, 0xAA);
        if (macList == "none") {
            // No adapter with an address: Wine lists no LANA.
            Call("GetMACAddress without adapters", -1, "Netbios ncb_retcode:  = 004\n",
                 [&] { return n.GetMACAddress(env, nullptr, address); });
        } else if (Call("GetMACAddress", 6,
                        [&] { return n.GetMACAddress(env, nullptr, address); })) {
            std::vector<uint8_t> got = jni.Bytes(address);
            std::string mac = Hex(std::vector<uint8_t>(got.begin(), got.begin() + 6), ":");
            Report(("," + macList + ",").find("," + mac + ",") != std::string::npos,
                   "GetMACAddress answers the host adapter's address",
                   mac + " is not among " + macList);
            Report(got[6] == 0xAA && got[7] == 0xAA, "GetMACAddress writes six bytes only",
                   Hex(got));
        }
        jbyteArray shortArray = jni.NewByteArray(4, 0xAA);
        Call("GetMACAddress into 4 bytes", -1,
             "GetMACAddress: the address array must hold at least 6 bytes",
             [&] { return n.GetMACAddress(env, nullptr, shortArray); });
        Report(jni.Bytes(shortArray) == std::vector<uint8_t>(4, 0xAA),
               "a short array is left alone", Hex(jni.Bytes(shortArray)));
    }

    jint OpenObject(const std::string& name) { return n.open(env, nullptr, jni.NewString(name)); }

    // On threads of their own: PortWrite of `size` bytes of FarEnd::kData until `total` are out or
    // *stop is set, answering the bytes written or the first other answer (`progress` is set
    // after each write); PortRead until a read answers other than 0 or *stop is set, answering
    // the last answer; one NativePort.await.
    std::unique_ptr<Background> Writer(jint port, jint size, long total,
                                       volatile LONG* stop = nullptr, HANDLE progress = nullptr) {
        return std::make_unique<Background>(
            [this, port, size, total, stop, progress](Background& b) {
                jbyteArray out = b.jni.NewByteArray(size, FarEnd::kData);
                long sent = 0;
                while (sent < total && !(stop != nullptr && *stop)) {
                    const jint answer = n.PortWrite(b.env(), nullptr, port, out, size);
                    if (answer != 0) return static_cast<long>(answer);
                    sent += size;
                    if (progress != nullptr) SetEvent(progress);
                }
                return sent;
            });
    }
    std::unique_ptr<Background> Reader(jint port, volatile LONG* stop) {
        return std::make_unique<Background>([this, port, stop](Background& b) {
            jbyteArray in = b.jni.NewByteArray(64);
            jint answer = 0;
            while (answer == 0 && !*stop) answer = n.PortRead(b.env(), nullptr, port, in, 64);
            return static_cast<long>(answer);
        });
    }
    std::unique_ptr<Background> Awaiter(jint port, jint ms) {
        return std::make_unique<Background>(
            [this, port, ms](Background& b) { return n.await(b.env(), nullptr, port, ms); });
    }
    // PortClose on a thread of its own, given up to 8 s: a close that hangs fails its check (and
    // then ends the run) rather than holding the harness until the run script's time-out.
    std::unique_ptr<Background> Closer(jint port) {
        auto closer = std::make_unique<Background>(
            [this, port](Background& b) { return n.PortClose(b.env(), nullptr, port); });
        closer->Returned(8000);
        return closer;
    }

    // KiB/s of a writer of 128 KiB in 1 KiB writes (a full 8 KiB chunk would pause 250 ms), the
    // best of five, or 0 with `failure` saying why.
    double WriteRate(jint port, std::string* failure) {
        const jint kBlock = 1024;
        const long kTotal = 128 * 1024;
        double best = 0;
        for (int i = 0; i < 5; ++i) {
            std::unique_ptr<Background> w = Writer(port, kBlock, kTotal);
            if (!w->Returned(30000) || w->answer != kTotal) {
                *failure =
                    "the writer answered " + std::to_string(w->answer) + " \"" + w->raised + "\"";
                return 0;
            }
            best = (std::max)(best, kTotal / 1024.0 / ((w->ended - w->began) / 1000.0));
        }
        return best;
    }
    static std::string Rate(double kibPerS) { return std::to_string(lround(kibPerS)) + " KiB/s"; }

    // A writer beside a reader or a wait on one port keeps at least half the rate it has alone.
    // Wine, unlike Windows, does not make a write wait for another thread's ReadFile on a
    // synchronous handle, so there the rates cannot tell the port object's overlapped handle from
    // PortOpen's (the PortOpen line shows it); the checks also hold the mechanism: only the port
    // object's handle waits, and input wakes a wait while a write runs.
    void CheckDuplex(FarEnd& farEnd) {
        enum Beside { kRead, kAwait };
        const struct {
            bool object;
            Beside beside;
            const char* what;
        } cases[] = {
            {false, kRead, "PortOpen COM6: a writer beside PortRead"},
            {true, kRead, "NativePort.open COM6: a writer beside PortRead"},
            {true, kAwait, "NativePort.open COM6: a writer beside a waiting NativePort.await"},
        };
        for (const auto& c : cases) {
            const jint port = c.object ? OpenObject("COM6") : Open("COM6");
            if (!c.object) {
                Call("NativePort.await on a PortOpen handle", -1, "Port was not opened for waiting",
                     [&] { return n.await(env, nullptr, port, 0); });
            }
            if (c.beside == kAwait) {
                // With nothing coming: the time-out ends the wait (Wine cannot cancel its wait).
                std::unique_ptr<Background> a = Awaiter(port, 200);
                const bool returned = a->Returned(3000);
                const double ms = a->ended - a->began;
                Report(returned && a->answer == 0 && a->raised.empty() && ms >= 150 && ms < 1000,
                       "NativePort.await of 200 ms with nothing coming answers 0 (" + Ms(ms) + ")",
                       returned ? "answered " + std::to_string(a->answer) + " \"" + a->raised + "\""
                                : "still waiting after 3 s");
            }
            std::string failure;
            const double alone = WriteRate(port, &failure);
            volatile LONG stop = 0;
            std::unique_ptr<Background> other =
                c.beside == kAwait ? Awaiter(port, 30000) : Reader(port, &stop);
            Sleep(100);  // lets it begin: nothing signals a call waiting inside the library
            const double beside = WriteRate(port, &failure);
            if (other->Returned(0)) failure += "; it returned " + std::to_string(other->answer);
            const std::string rates = " (alone " + Rate(alone) + ", beside " + Rate(beside) + ")";
            if (!c.object) {
                // Windows would hold each write until the read's 100 ms ended.
                printf("# Wine: %s%s\n", c.what, rates.c_str());
            } else {
                Report(failure.empty() && beside >= alone / 2,
                       std::string(c.what) + " keeps half its rate" + rates, failure);
            }
            if (c.beside == kAwait && failure.empty()) {
                // A byte from the far end while a write runs ends the wait at once.
                volatile LONG stopWriting = 0;
                HANDLE progress = CreateEventA(nullptr, FALSE, FALSE, nullptr);
                std::unique_ptr<Background> w =
                    Writer(port, 1024, LONG_MAX, &stopWriting, progress);
                const bool writing = WaitForSingleObject(progress, 5000) == WAIT_OBJECT_0;
                const double sent = NowMs();
                farEnd.Send(0x42);
                const bool woke = other->Returned(2000);
                const double ms = other->ended - sent;
                const bool stillWriting = !w->Returned(0);
                InterlockedExchange(&stopWriting, 1);
                w->Returned(5000);
                CloseHandle(progress);
                Report(writing && woke && other->answer == 1 && other->raised.empty() &&
                           stillWriting && ms < 100,
                       "NativePort.await answers 1 within 100 ms of a byte sent during a write (" +
                           Ms(ms) + ")",
                       std::string(writing ? "" : "the writer never wrote; ") +
                           (stillWriting ? "" : "the writer had stopped; ") + "answered " +
                           std::to_string(other->answer) + " \"" + other->raised + "\"");
            }
            InterlockedExchange(&stop, 1);
            std::unique_ptr<Background> closer = Closer(port);
            if (!closer->Returned(0) || closer->answer != 0) {
                Report(false, std::string(c.what) + ": PortClose",
                       closer->Returned(0) ? "answered " + std::to_string(closer->answer)
                                           : "still running after 8 s");
            }
            if (farEnd.Settle() < 0) Report(false, "COM6's far end settles", "no marker");
        }
    }

    static size_t Occurrences(const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }
    // NativeWatch.scan's JSON, or "" when it raised.
    std::string Scan() {
        jni.ClearPending();
        const jstring json = n.watch.scan(env, nullptr);
        return json == nullptr ? "" : jni.Utf(json);
    }
    std::unique_ptr<Background> WatchCall(jint id, jint awaitMs, bool close = false) {
        return std::make_unique<Background>([this, id, awaitMs, close](Background& b) -> long {
            if (!close) return n.watch.await(b.env(), nullptr, id, awaitMs);
            n.watch.close(b.env(), nullptr, id);
            return 0;
        });
    }

    // The device watch: the listing it compares, and its message-only window. No device comes or
    // goes under Wine, so the test sends that window DBT_DEVNODES_CHANGED (every kind) itself.
    void CheckWatch() {
        const auto& w = n.watch;
        // Wine's two HID devices in their order, the COM ports the run script maps, no printers.
        const std::string first = Scan();
        const size_t hid = first.find("],\"hid\":["),
                     end = first.find("],\"printers\":[],\"hidError\":null}");
        const std::string hids =
            end == std::string::npos || hid > end ? "" : first.substr(hid, end - hid);
        bool listed = Occurrences(hids, "{\"path\":") == 2 &&
                      hids.find("#vid_845e&pid_0001#") < hids.find("#vid_845e&pid_0002#") &&
                      hids.find("#vid_845e&pid_0002#") != std::string::npos;
        for (const char* com : {"COM5", "COM6", "COM7"})
            listed &= first.find(std::string("{\"device\":\"") + com + "\"") < hid;
        Report(listed, "NativeWatch.scan lists the mouse and keyboard, COM5-7 and no printer",
               Printable(first));
        printf("# scan: %s\n", first.substr(0, hid).c_str());

        jni.ClearPending();
        jint id = w.open(env, nullptr);
        if (!Report(id >= 0 && id < 16 && !jni.HasPending(), "NativeWatch.open answers an id",
                    std::to_string(id) + " \"" + jni.PendingMessage() + "\"")) {
            return;
        }
        // A notice to the watch's message-only window ends a pending await with its kinds.
        const HWND window = FindWindowExA(HWND_MESSAGE, nullptr, "caldrix-watch", nullptr);
        std::unique_ptr<Background> a = WatchCall(id, 5000);
        Sleep(150);  // lets it begin: nothing signals a call waiting inside the library
        const double posted = NowMs();
        PostMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        bool returned = a->Returned(6000);
        double ms = a->ended - posted;
        Report(window != nullptr && returned && a->answer == 7 && ms < 1000,
               "a posted DBT_DEVNODES_CHANGED ends a pending await with 7 (" + Ms(ms) + ")",
               window == nullptr ? "no window" : "answered " + std::to_string(a->answer));
        const std::string second = Scan();
        Report(second == first, "a scan after it equals the first", Printable(second));

        // Two notices with no await between answer once: sent, as the system sends its notices,
        // so that both are handled before the await.
        DWORD_PTR result = 0;
        for (int i = 0; i < 2; ++i)
            SendMessageTimeoutA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG,
                                2000, &result);
        const jint once = w.await(env, nullptr, id, 5000), again = w.await(env, nullptr, id, 0);
        Report(once == 7 && again == 0, "two notices, then awaits: 7, then 0",
               std::to_string(once) + ", then " + std::to_string(again));

        // A stop from another thread ends a pending await; then a close with none pending.
        a = WatchCall(id, 5000);
        Sleep(150);  // lets it begin: nothing signals a call waiting inside the library
        const double stopped = NowMs();
        w.stop(env, nullptr, id);
        returned = a->Returned(6000);
        ms = a->ended - stopped;
        Report(returned && a->answer == -1 && ms <= 300,
               "NativeWatch.stop ends a pending await with -1 (" + Ms(ms) + ")",
               "answered " + std::to_string(a->answer));
        a = WatchCall(id, 0, true);
        returned = a->Returned(8000);
        ms = a->ended - a->began;
        Report(returned && ms <= 300, "NativeWatch.close with no await pending (" + Ms(ms) + ")",
               returned ? "too slow" : "still running after 8 s");

        // 16 at once, the 17th refused with ERROR_TOO_MANY_OPEN_FILES; a close frees an id.
        std::vector<jint> ids;
        std::string raised;
        for (int i = 0; i < 17 && raised.empty(); ++i) {
            jni.ClearPending();
            id = w.open(env, nullptr);
            if (id >= 0) ids.push_back(id);
            raised = jni.PendingMessage();
        }
        Report(ids.size() == 16 && raised == "Device watch error 4",
               "16 watches open, the 17th fails with \"Device watch error 4\"",
               std::to_string(ids.size()) + " opened, then \"" + raised + "\"");
        if (!ids.empty()) w.close(env, nullptr, ids.back());
        jni.ClearPending();
        id = w.open(env, nullptr);
        Report(!ids.empty() && id >= 0 && !jni.HasPending(), "an open after a close succeeds",
               std::to_string(id) + " \"" + jni.PendingMessage() + "\"");
        if (id >= 0 && !ids.empty()) ids.back() = id;
        for (jint i : ids) w.close(env, nullptr, i);
        jni.ClearPending();
    }

    // A close during a transfer or a wait returns within 300 ms, and so does the call, answering
    // -1 (a blocked write on the port object's handle is cancelled: 995). A write stops at a chunk
    // boundary: the far end gets whole 8 KiB chunks. Not here: a blocked write on PortOpen's
    // synchronous handle, which Wine ends only at its 5 s time-out, whatever cancels or closes.
    void CheckCloses(FarEnd& farEnd) {
        enum Pending { kWrite, kRead, kAwait, kBlockedWrite };
        const char* mouse = "USBHID: vid_845e+pid_0001";
        const struct {
            const char* name;
            bool object;
            Pending pending;
            const char* what;
            const char* raised;  // by the call inside, which answers -1
        } cases[] = {
            {"COM6", false, kWrite, "PortOpen COM6, during a 1 MiB PortWrite", ""},
            {"COM6", true, kWrite, "NativePort.open COM6, during a 1 MiB PortWrite", ""},
            {"COM6", false, kRead, "PortOpen COM6, during PortRead", ""},
            {"COM6", true, kRead, "NativePort.open COM6, during PortRead", ""},
            {"COM6", true, kAwait, "NativePort.open COM6, during NativePort.await", ""},
            // Cancelled: Windows' ERROR_OPERATION_ABORTED.
            {"COM6", true, kBlockedWrite, "NativePort.open COM6, during a blocked PortWrite",
             "WriteFile: GetLastError=995"},
            {mouse, true, kAwait, "NativePort.open of a HID mouse, during NativePort.await", ""},
        };
        for (const auto& c : cases) {
            const bool hid = c.name == mouse;
            jint port = -1;
            Printed([&] { port = c.object ? OpenObject(c.name) : Open(c.name); });
            if (port < 1) {
                Report(false, std::string("close ") + c.what, "the open failed");
                continue;
            }
            std::unique_ptr<Background> call;
            volatile LONG stop = 0;
            HANDLE progress = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            bool ready = true;
            switch (c.pending) {
                case kWrite:
                    farEnd.Expect(8192);
                    call = Writer(port, 1 << 20, 1 << 20);
                    ready = WaitForSingleObject(farEnd.reached, 5000) == WAIT_OBJECT_0;
                    break;
                case kRead:
                case kAwait:
                    call = c.pending == kRead ? Reader(port, &stop) : Awaiter(port, 30000);
                    Sleep(150);  // lets it begin: nothing signals a call waiting inside the library
                    break;
                case kBlockedWrite:
                    // Blocked once no write has returned for 500 ms.
                    farEnd.Draining(false);
                    call = Writer(port, 8191, LONG_MAX, nullptr, progress);
                    ready = false;
                    for (int i = 0; i < 400 && !ready; ++i) {
                        ready = WaitForSingleObject(progress, 500) != WAIT_OBJECT_0;
                    }
                    break;
            }
            std::unique_ptr<Background> closer;
            Printed([&] { closer = Closer(port); });
            if (!closer->Returned(0)) {
                Report(false, std::string("close ") + c.what, "PortClose still running after 8 s");
                return;
            }
            const double closeMs = closer->ended - closer->began;
            const bool returned = call->Returned(8000);
            const double callMs = returned ? call->ended - closer->began : -1;
            CloseHandle(progress);
            std::string detail;
            if (!ready) detail = "the call never got under way; ";
            if (closer->answer != (hid ? -1 : 0)) {
                detail += "PortClose answered " + std::to_string(closer->answer) + "; ";
            }
            if (call->answer != -1 || call->raised != c.raised) {
                detail += "the call answered " + std::to_string(call->answer) + " \"" +
                          call->raised + "\"; ";
            }
            if (closeMs > 300 || !returned || callMs > 300) detail += "too slow; ";
            std::string figures = "close " + Ms(closeMs) + ", call " + Ms(callMs);
            if (!hid) {
                if (c.pending == kBlockedWrite) farEnd.Draining(true);
                const long got = farEnd.Settle();
                if (c.pending == kWrite) {
                    figures += ", far end got " + std::to_string(got);
                    if (got < 8192 || got > 2 * 8192 || got % 8192 != 0)
                        detail += "not 1 or 2 chunks";
                }
            }
            Report(detail.empty(), std::string("close ") + c.what + " (" + figures + ")", detail);
        }
    }
};

// Looks one native up by the name a JVM uses and stores it, whatever its pointer type, in `slot`.
bool Resolve(HMODULE dll, const char* package, const char* method, int bytes, void* slot) {
    std::string name = ExportName(package, method, bytes);
    FARPROC address = GetProcAddress(dll, name.c_str());
    memcpy(slot, &address, sizeof address);
    return Report(address != nullptr, "export " + name + " resolves", "not exported");
}

bool ResolveExports(HMODULE dll, Natives* n) {
    bool all = true;
#define CALDRIX_RESOLVE(package, method, bytes, result, ...) \
    all &= Resolve(dll, package, #method, bytes, &n->method);
    CALDRIX_NATIVES(CALDRIX_RESOLVE)
#undef CALDRIX_RESOLVE
    all &= Resolve(dll, kWatchPackage, "open", 8, &n->watch.open);
    all &= Resolve(dll, kWatchPackage, "await", 16, &n->watch.await);
    all &= Resolve(dll, kWatchPackage, "stop", 12, &n->watch.stop);
    all &= Resolve(dll, kWatchPackage, "close", 12, &n->watch.close);
    all &= Resolve(dll, kWatchPackage, "scan", 8, &n->watch.scan);

    Report(reinterpret_cast<void*>(n->PortIsDTR) == reinterpret_cast<void*>(n->PortIsRTS),
           "PortIsDTR and PortIsRTS are one routine", "the two exports differ");
    // PortIsCD lives in the older package only; a 32-bit JVM never looks up undecorated names.
    std::vector<std::string> absent = {ExportName(kPackage, "PortIsCD", 12)};
#ifndef _WIN64
    absent.push_back(std::string("Java_") + kPackage + "_PortOpen");
#endif
    for (const std::string& name : absent) {
        Report(GetProcAddress(dll, name.c_str()) == nullptr, name + " is not exported",
               "it resolves");
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    const bool closesOnly = argc == 6 && strcmp(argv[5], "closes") == 0;
    if (argc != 5 && !(argc == 6 && (closesOnly || strcmp(argv[5], "full") == 0))) {
        fprintf(stderr, "usage: %s DLL LINES_IN LINES_OUT MACS [full|closes]\n", argv[0]);
        return 2;
    }
    const char* dllPath = argv[1];

    printf("# load\nharness: loading\n");
    fflush(stdout);
    HMODULE dll = LoadLibraryA(dllPath);
    printf("harness: loaded\n");
    fflush(stdout);
    if (!Report(dll != nullptr, std::string("LoadLibrary ") + dllPath,
                "error " + std::to_string(GetLastError()))) {
        return 1;
    }
    // A second load only counts a reference: the run script sees no second load line.
    Report(LoadLibraryA(dllPath) == dll, "a second LoadLibrary gives the same module",
           "a different module");

    Natives natives = {};
    if (!ResolveExports(dll, &natives)) return Summary();

    FakeJni jni;
    Harness h{natives, jni, jni.env(), argv[2], argv[3]};

    if (!closesOnly) {
        printf("# handles, HID\n");
        // 0 is the reserved slot, 3 is in range but never opened.
        for (jint handle : {0, 3, -1}) h.CheckNotOpen(handle);
        h.CheckHid();
        printf("# sensor monitor\n");
        h.CheckMonitorLaunch();
        printf("# serial\n");
        h.CheckSerial();
    }
    const bool hidden = GetEnvironmentVariableA("CALDRIX_HIDE_CANCELIOEX", nullptr, 0) != 0;
    printf("# a write beside a wait, closes during calls (CancelIoEx %s)\n",
           hidden ? "hidden" : "there");
    {
        FarEnd farEnd;
        if (Report(farEnd.Open(), "COM7 opens as COM6's far end",
                   "error " + std::to_string(GetLastError()))) {
            if (!closesOnly) h.CheckDuplex(farEnd);
            h.CheckCloses(farEnd);
        }
    }
    if (!closesOnly) {
        printf("# device watch\n");
        h.CheckWatch();
        printf("# adapter address\n");
        h.CheckMacAddress(argv[4]);
    }

    printf("# JNI resources\n");
    Report(jni.OutstandingStrings() == 0, "every port name given back",
           std::to_string(jni.OutstandingStrings()) + " outstanding");
    Report(jni.OutstandingElements() == 0, "every array's elements given back",
           std::to_string(jni.OutstandingElements()) + " outstanding");

    return Summary();
}
