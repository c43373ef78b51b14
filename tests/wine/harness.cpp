// Loads caldrix.dll the way a Windows JVM does (LoadLibrary, then each native method by its export
// name) and calls the natives through pointers of their exact __stdcall types, with a minimal JNI
// environment standing in for the VM. Run under Wine by run_wine_tests.sh, which maps COM5 onto a
// pseudo-terminal whose far end answers every byte with its complement, and preloads a shim that
// gives the pty modem lines.
//
//   caldrix_harness.exe DLL LINES_IN LINES_OUT MACS
//
// DLL        the library, as a Windows path
// LINES_IN   file read by the modem shim: the far end's lines (C S D R), or '!' for a bare pty
// LINES_OUT  file the shim rewrites with the lines the port drives ("DTR RTS", "DTR", ...)
// MACS       comma-separated adapter addresses the host reports (aa:bb:..), or "none"
//
// Every check prints "ok - ..." or "not ok - ..."; the exit code is 1 if any failed. The run
// script also reads the output for the library's own lines (the load line, " USBPortOpen ").
#include <windows.h>

#include <jni.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake_jni.h"

namespace {

typedef jint(JNICALL* PortOpenFn)(JNIEnv*, jclass, jstring);
typedef jint(JNICALL* HandleFn)(JNIEnv*, jclass, jint);
typedef jint(JNICALL* TransferFn)(JNIEnv*, jclass, jint, jbyteArray, jint);
typedef jint(JNICALL* SetParamsFn)(JNIEnv*, jclass, jint, jint, jint, jint, jint, jint);
typedef jint(JNICALL* PurgeFn)(JNIEnv*, jclass, jint, jboolean, jboolean);
typedef jboolean(JNICALL* LineFn)(JNIEnv*, jclass, jint);
typedef jint(JNICALL* SetLineFn)(JNIEnv*, jclass, jint, jboolean);
typedef jint(JNICALL* MacFn)(JNIEnv*, jclass, jbyteArray);

struct Natives {
    PortOpenFn PortOpen;
    HandleFn PortClose;
    TransferFn PortRead;
    TransferFn PortWrite;
    SetParamsFn PortSetParams;
    PurgeFn PortPurge;
    HandleFn PortGetReadCount;
    LineFn PortIsCTS;
    LineFn PortIsDSR;
    LineFn PortIsRI;
    LineFn PortIsCD;
    LineFn PortIsDTR;
    LineFn PortIsRTS;
    SetLineFn PortSetRTS;
    SetLineFn PortSetDTR;
    SetLineFn PortSetHWFlowControl;
    MacFn GetMACAddress;
};

const char kPackage[] = "com_vorant_jpos_tavrolink_caldrix";
const char kOldPackage[] = "tellspan_devices_tavrolink_caldrix";

// The name a JVM of this word size looks up: on x86 the __stdcall decoration with the argument
// bytes (JNIEnv, class and parameters, four bytes each), on x64 the plain JNI name.
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

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool Report(bool ok, const std::string& what, const std::string& detail = std::string()) {
    ++g_checks;
    if (!ok) ++g_failures;
    if (ok) {
        printf("ok - %s\n", what.c_str());
    } else {
        printf("not ok - %s: %s\n", what.c_str(), detail.c_str());
    }
    fflush(stdout);
    return ok;
}

void Section(const char* name) {
    printf("# %s\n", name);
    fflush(stdout);
}

class Harness {
public:
    Harness(const Natives& n, FakeJni& jni, std::string linesIn, std::string linesOut)
        : n_(n), jni_(jni), env_(jni.env()), linesIn_(std::move(linesIn)),
          linesOut_(std::move(linesOut)) {}

    // Runs a native method and checks its result and what it left pending: nothing when
    // `message` is null, otherwise one IOException with exactly that message.
    bool Call(const std::string& what, const std::function<long()>& call, long expected,
              const char* message) {
        jni_.ClearPending();
        int throwsBefore = jni_.ThrowCount();
        long got = call();
        int throws = jni_.ThrowCount() - throwsBefore;
        std::string detail;
        if (got != expected) {
            detail = "returned " + std::to_string(got) + ", expected " + std::to_string(expected);
        }
        if (message == nullptr && throws != 0) {
            detail += (detail.empty() ? "" : "; ") + std::string("raised ") +
                      jni_.PendingClass() + " \"" + Printable(jni_.PendingMessage()) +
                      "\", expected nothing";
        }
        if (message != nullptr) {
            if (throws != 1) {
                detail += (detail.empty() ? "" : "; ") + std::string("raised ") +
                          std::to_string(throws) + " exceptions, expected 1";
            } else if (jni_.PendingClass() != "java/io/IOException" ||
                       jni_.PendingMessage() != message) {
                detail += (detail.empty() ? "" : "; ") + std::string("raised ") +
                          jni_.PendingClass() + " \"" + Printable(jni_.PendingMessage()) +
                          "\", expected java/io/IOException \"" + Printable(message) + "\"";
            }
        }
        jni_.ClearPending();
        return Report(detail.empty(), what, detail);
    }

    jint Open(const std::string& name) {
        jni_.ClearPending();
        return n_.PortOpen(env_, nullptr, jni_.NewString(name));
    }

    // The far end's modem lines, as letters for the shim.
    bool SetFarEnd(const char* letters) {
        HANDLE file = CreateFileA(linesIn_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return Report(false, std::string("set far-end lines '") + letters + "'",
                          "cannot write " + linesIn_ + ", error " +
                              std::to_string(GetLastError()));
        }
        DWORD written = 0;
        DWORD length = static_cast<DWORD>(strlen(letters));
        BOOL ok = length == 0 || WriteFile(file, letters, length, &written, nullptr);
        CloseHandle(file);
        if (!ok || written != length) {
            return Report(false, std::string("set far-end lines '") + letters + "'",
                          "short write to " + linesIn_);
        }
        return true;
    }

    // The lines the port drives, as the shim last recorded them ("" before any change).
    std::string DrivenLines() {
        HANDLE file = CreateFileA(linesOut_.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return std::string();
        char text[32];
        DWORD got = 0;
        if (!ReadFile(file, text, sizeof text - 1, &got, nullptr)) got = 0;
        CloseHandle(file);
        return std::string(text, got);
    }

    void ForgetDrivenLines() { DeleteFileA(linesOut_.c_str()); }

    void ExpectDriven(const std::string& what, const char* expected) {
        std::string got = DrivenLines();
        Report(got == expected, what,
               "port drives '" + got + "', expected '" + std::string(expected) + "'");
    }

    // The peer answers asynchronously and the DLL offers nothing to wait on, so poll the count
    // until it reaches `want`, with a deadline.
    long WaitForReadCount(jint handle, long want) {
        DWORD start = GetTickCount();
        long count = -1;
        for (;;) {
            jni_.ClearPending();
            count = n_.PortGetReadCount(env_, nullptr, handle);
            if (count >= want || count < 0 || GetTickCount() - start > 5000) break;
            Sleep(5);
        }
        jni_.ClearPending();
        return count;
    }

    // Write bytes, wait for the peer's answer, read it back whole.
    void RoundTrip(const std::string& label, jint handle, const std::vector<uint8_t>& bytes) {
        jbyteArray out = jni_.NewByteArray(bytes);
        jint count = static_cast<jint>(bytes.size());
        Call(label + ": PortWrite of " + std::to_string(count) + " bytes",
             [&] { return n_.PortWrite(env_, nullptr, handle, out, count); }, 0, nullptr);
        long waiting = WaitForReadCount(handle, count);
        Report(waiting == count, label + ": PortGetReadCount sees the peer's answer",
               "count " + std::to_string(waiting) + ", expected " + std::to_string(count));

        const uint8_t kUntouched = 0x55;
        jbyteArray in = jni_.NewByteArray(bytes.size() + 4, kUntouched);
        Call(label + ": PortRead of the answer",
             [&] { return n_.PortRead(env_, nullptr, handle, in, count); }, count, nullptr);
        std::vector<uint8_t> expected;
        for (uint8_t b : bytes) expected.push_back(static_cast<uint8_t>(b ^ 0xFF));
        expected.insert(expected.end(), 4, kUntouched);
        Report(jni_.Bytes(in) == expected, label + ": the answer is the complement of what went out",
               "array holds " + Hex(jni_.Bytes(in)) + ", expected " + Hex(expected));
    }

    static std::string Hex(const std::vector<uint8_t>& bytes) {
        std::string out;
        for (uint8_t b : bytes) {
            char hex[4];
            snprintf(hex, sizeof hex, "%02x", b);
            out += hex;
        }
        return out;
    }

    const Natives& n_;
    FakeJni& jni_;
    JNIEnv* env_;

private:
    std::string linesIn_;
    std::string linesOut_;
};

// A second handle on the port, opened by the harness itself: Wine does not enforce exclusive
// opens of COM ports, and GetCommState on it shows what the DLL configured.
class Observer {
public:
    Observer() {
        handle_ = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    }
    ~Observer() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    bool State(DCB* dcb) {
        memset(dcb, 0, sizeof *dcb);
        dcb->DCBlength = sizeof *dcb;
        return handle_ != INVALID_HANDLE_VALUE && GetCommState(handle_, dcb);
    }

private:
    HANDLE handle_;
};

// A pty keeps the speed and the stop bits, but its driver forces 8 data bits and no parity
// whatever is asked, so those two cannot be observed here.
void ExpectLineSettings(const std::string& what, DWORD baud, BYTE stopBits) {
    Observer observer;
    DCB dcb;
    if (!observer.State(&dcb)) {
        Report(false, what, "cannot read the port's state, error " + std::to_string(GetLastError()));
        return;
    }
    char detail[128];
    snprintf(detail, sizeof detail, "port runs %lu baud, stop bits code %u; expected %lu, %u",
             static_cast<unsigned long>(dcb.BaudRate), dcb.StopBits,
             static_cast<unsigned long>(baud), stopBits);
    Report(dcb.BaudRate == baud && dcb.StopBits == stopBits, what, detail);
}

void ExpectCtsFlow(const std::string& what, bool on) {
    Observer observer;
    DCB dcb;
    if (!observer.State(&dcb)) {
        Report(false, what, "cannot read the port's state, error " + std::to_string(GetLastError()));
        return;
    }
    Report(static_cast<bool>(dcb.fOutxCtsFlow) == on, what,
           std::string("fOutxCtsFlow is ") + (dcb.fOutxCtsFlow ? "1" : "0"));
}

bool ResolveExports(HMODULE dll, Natives* n) {
    struct Entry {
        const char* package;
        const char* method;
        int bytes;
        FARPROC* slot;
    };
    const Entry entries[] = {
        {kPackage, "PortOpen", 12, reinterpret_cast<FARPROC*>(&n->PortOpen)},
        {kPackage, "PortClose", 12, reinterpret_cast<FARPROC*>(&n->PortClose)},
        {kPackage, "PortRead", 20, reinterpret_cast<FARPROC*>(&n->PortRead)},
        {kPackage, "PortWrite", 20, reinterpret_cast<FARPROC*>(&n->PortWrite)},
        {kPackage, "PortSetParams", 32, reinterpret_cast<FARPROC*>(&n->PortSetParams)},
        {kPackage, "PortPurge", 20, reinterpret_cast<FARPROC*>(&n->PortPurge)},
        {kPackage, "PortGetReadCount", 12, reinterpret_cast<FARPROC*>(&n->PortGetReadCount)},
        {kPackage, "PortIsCTS", 12, reinterpret_cast<FARPROC*>(&n->PortIsCTS)},
        {kPackage, "PortIsDSR", 12, reinterpret_cast<FARPROC*>(&n->PortIsDSR)},
        {kPackage, "PortIsRI", 12, reinterpret_cast<FARPROC*>(&n->PortIsRI)},
        {kOldPackage, "PortIsCD", 12, reinterpret_cast<FARPROC*>(&n->PortIsCD)},
        {kPackage, "PortIsDTR", 12, reinterpret_cast<FARPROC*>(&n->PortIsDTR)},
        {kPackage, "PortIsRTS", 12, reinterpret_cast<FARPROC*>(&n->PortIsRTS)},
        {kPackage, "PortSetRTS", 16, reinterpret_cast<FARPROC*>(&n->PortSetRTS)},
        {kPackage, "PortSetDTR", 16, reinterpret_cast<FARPROC*>(&n->PortSetDTR)},
        {kPackage, "PortSetHWFlowControl", 16,
         reinterpret_cast<FARPROC*>(&n->PortSetHWFlowControl)},
        {kPackage, "GetMACAddress", 12, reinterpret_cast<FARPROC*>(&n->GetMACAddress)},
    };
    bool all = true;
    for (const Entry& e : entries) {
        std::string name = ExportName(e.package, e.method, e.bytes);
        *e.slot = GetProcAddress(dll, name.c_str());
        all &= Report(*e.slot != nullptr, "export " + name + " resolves", "GetProcAddress failed");
    }
    return all;
}

void CheckExportShape(HMODULE dll, const Natives& n) {
    Report(reinterpret_cast<void*>(n.PortIsDTR) == reinterpret_cast<void*>(n.PortIsRTS),
           "PortIsDTR and PortIsRTS are one routine", "the two exports differ");
    std::string cdInNewPackage = ExportName(kPackage, "PortIsCD", 12);
    Report(GetProcAddress(dll, cdInNewPackage.c_str()) == nullptr,
           "PortIsCD is not exported under " + std::string(kPackage), cdInNewPackage + " resolves");
#ifndef _WIN64
    std::string plain = std::string("Java_") + kPackage + "_PortOpen";
    Report(GetProcAddress(dll, plain.c_str()) == nullptr,
           "no undecorated export on x86 (" + plain + ")", "it resolves");
#endif
}

void CheckInvalidHandles(Harness& h) {
    const Natives& n = h.n_;
    JNIEnv* env = h.env_;
    jbyteArray buffer = h.jni_.NewByteArray(16, 0x11);
    // 3 is in range but was never opened; 0 is the reserved slot.
    for (jint handle : {0, -1, 10, 3, -2147483647 - 1}) {
        std::string t = "handle " + std::to_string(handle) + ": ";
        h.Call(t + "PortClose", [&] { return n.PortClose(env, nullptr, handle); }, -1, nullptr);
        h.Call(t + "PortRead", [&] { return n.PortRead(env, nullptr, handle, buffer, 4); }, -1,
               nullptr);
        h.Call(t + "PortWrite", [&] { return n.PortWrite(env, nullptr, handle, buffer, 4); }, -1,
               nullptr);
        h.Call(t + "PortSetParams",
               [&] { return n.PortSetParams(env, nullptr, handle, 9600, 8, 1, 0, 0); }, -1,
               nullptr);
        h.Call(t + "PortPurge", [&] { return n.PortPurge(env, nullptr, handle, 1, 1); }, -1,
               nullptr);
        h.Call(t + "PortGetReadCount", [&] { return n.PortGetReadCount(env, nullptr, handle); },
               -1, nullptr);
        h.Call(t + "PortIsCTS", [&] { return n.PortIsCTS(env, nullptr, handle); }, 0xFF, nullptr);
        h.Call(t + "PortIsDSR", [&] { return n.PortIsDSR(env, nullptr, handle); }, 0xFF, nullptr);
        h.Call(t + "PortIsRI", [&] { return n.PortIsRI(env, nullptr, handle); }, 0xFF, nullptr);
        h.Call(t + "PortIsCD", [&] { return n.PortIsCD(env, nullptr, handle); }, 0xFF, nullptr);
        h.Call(t + "PortIsDTR", [&] { return n.PortIsDTR(env, nullptr, handle); }, 1, nullptr);
        h.Call(t + "PortIsRTS", [&] { return n.PortIsRTS(env, nullptr, handle); }, 1, nullptr);
        h.Call(t + "PortSetRTS", [&] { return n.PortSetRTS(env, nullptr, handle, 1); }, -1,
               nullptr);
        h.Call(t + "PortSetDTR", [&] { return n.PortSetDTR(env, nullptr, handle, 1); }, -1,
               nullptr);
        h.Call(t + "PortSetHWFlowControl",
               [&] { return n.PortSetHWFlowControl(env, nullptr, handle, 1); }, -1, nullptr);
    }
    Report(h.jni_.Bytes(buffer) == std::vector<uint8_t>(16, 0x11),
           "calls on invalid handles leave the array alone", "array changed");
}

void CheckBarePty(Harness& h) {
    // Without modem lines Wine refuses EscapeCommFunction with ERROR_NOT_SUPPORTED (50); the open
    // stops there and leaves nothing held.
    if (!h.SetFarEnd("!")) return;
    for (const char* name : {"COM5:", "\\\\.\\COM5"}) {
        h.Call(std::string("bare pty: PortOpen ") + name + " fails at SETDTR",
               [&] { return h.Open(name); }, -1, "EscapeCommFunction SETDTR error 50 on port");
    }
    h.SetFarEnd("");
}

void CheckSerialLines(Harness& h, jint port) {
    const Natives& n = h.n_;
    JNIEnv* env = h.env_;

    // The far end's lines, one at a time, so a swapped bit shows.
    struct Far {
        const char* letters;
        int cts, dsr, ri, cd;
    };
    for (const Far& f : {Far{"", 0, 0, 0, 0}, Far{"C", 1, 0, 0, 0}, Far{"S", 0, 1, 0, 0},
                         Far{"R", 0, 0, 1, 0}, Far{"D", 0, 0, 0, 1}, Far{"CSRD", 1, 1, 1, 1}}) {
        if (!h.SetFarEnd(f.letters)) continue;
        std::string t = std::string("far end '") + f.letters + "': ";
        h.Call(t + "PortIsCTS", [&] { return n.PortIsCTS(env, nullptr, port); }, f.cts, nullptr);
        h.Call(t + "PortIsDSR", [&] { return n.PortIsDSR(env, nullptr, port); }, f.dsr, nullptr);
        h.Call(t + "PortIsRI", [&] { return n.PortIsRI(env, nullptr, port); }, f.ri, nullptr);
        h.Call(t + "PortIsCD", [&] { return n.PortIsCD(env, nullptr, port); }, f.cd, nullptr);
    }
    h.SetFarEnd("");

    h.Call("PortSetRTS off", [&] { return n.PortSetRTS(env, nullptr, port, 0); }, 0, nullptr);
    h.ExpectDriven("RTS off, DTR still on", "DTR");
    h.Call("PortSetRTS on", [&] { return n.PortSetRTS(env, nullptr, port, 1); }, 0, nullptr);
    h.ExpectDriven("RTS back on", "DTR RTS");
    h.Call("PortSetDTR with 2 (only 1 means on)",
           [&] { return n.PortSetDTR(env, nullptr, port, 2); }, 0, nullptr);
    h.ExpectDriven("DTR off", "RTS");
    h.Call("PortSetDTR on", [&] { return n.PortSetDTR(env, nullptr, port, 1); }, 0, nullptr);
    h.ExpectDriven("DTR back on", "DTR RTS");
    h.Call("PortIsDTR on an open port", [&] { return n.PortIsDTR(env, nullptr, port); }, 1,
           nullptr);
    h.Call("PortIsRTS on an open port", [&] { return n.PortIsRTS(env, nullptr, port); }, 1,
           nullptr);

    h.Call("PortSetHWFlowControl off",
           [&] { return n.PortSetHWFlowControl(env, nullptr, port, 0); }, 0, nullptr);
    h.ExpectDriven("flow control off drops RTS", "DTR");
    ExpectCtsFlow("flow control off: no CTS output flow", false);
    // Wine leaves RTS alone while CTS flow control is on, so only the flow setting shows here.
    h.Call("PortSetHWFlowControl on",
           [&] { return n.PortSetHWFlowControl(env, nullptr, port, 1); }, 0, nullptr);
    ExpectCtsFlow("flow control on: CTS output flow", true);
    h.Call("PortSetHWFlowControl off again",
           [&] { return n.PortSetHWFlowControl(env, nullptr, port, 0); }, 0, nullptr);
    ExpectCtsFlow("flow control off again: no CTS output flow", false);
    h.ExpectDriven("flow control off again drops RTS", "DTR");
    h.Call("PortSetRTS on after flow control", [&] { return n.PortSetRTS(env, nullptr, port, 1); },
           0, nullptr);
    h.ExpectDriven("RTS on after flow control", "DTR RTS");

    // The same calls on a port that has lost its modem lines: Wine's ERROR_NOT_SUPPORTED (50,
    // hex 32) in the library's "%0x04" style.
    if (h.SetFarEnd("!")) {
        h.Call("modem query on a bare pty", [&] { return n.PortIsCTS(env, nullptr, port); }, 0,
               "GetCommModemStatus: GetLastError = 3204\n");
        h.Call("PortSetRTS on a bare pty", [&] { return n.PortSetRTS(env, nullptr, port, 1); }, -1,
               "EscapeCommFunction: GetLastError = 3204\n");
        h.SetFarEnd("");
    }
}

void CheckSerialData(Harness& h, jint port) {
    const Natives& n = h.n_;
    JNIEnv* env = h.env_;

    h.RoundTrip("text", port, {'h', 'e', 'l', 'l', 'o'});
    h.RoundTrip("binary", port, {0x00, 0xFF, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0x80});

    jbyteArray buffer = h.jni_.NewByteArray(8, 0x55);
    h.Call("PortRead with nothing waiting returns 0",
           [&] { return n.PortRead(env, nullptr, port, buffer, 4); }, 0, nullptr);

    // A read asking for more than has come returns what there is.
    jbyteArray three = h.jni_.NewByteArray(std::vector<uint8_t>{1, 2, 3});
    h.Call("PortWrite of 3 bytes", [&] { return n.PortWrite(env, nullptr, port, three, 3); }, 0,
           nullptr);
    long waiting = h.WaitForReadCount(port, 3);
    Report(waiting == 3, "3 answer bytes waiting", "count " + std::to_string(waiting));
    h.Call("PortRead of 8 with 3 waiting returns 3",
           [&] { return n.PortRead(env, nullptr, port, buffer, 8); }, 3, nullptr);
    Report(h.jni_.Bytes(buffer) ==
               std::vector<uint8_t>{0xFE, 0xFD, 0xFC, 0x55, 0x55, 0x55, 0x55, 0x55},
           "short read fills only the bytes that came", Harness::Hex(h.jni_.Bytes(buffer)));

    h.Call("PortRead count 0", [&] { return n.PortRead(env, nullptr, port, buffer, 0); }, -1,
           "Invalid read count");
    h.Call("PortWrite count -1", [&] { return n.PortWrite(env, nullptr, port, buffer, -1); }, -1,
           "Invalid write count");

    // Purge: only the value 1 selects a queue.
    jbyteArray four = h.jni_.NewByteArray(std::vector<uint8_t>{9, 8, 7, 6});
    h.Call("PortWrite of 4 bytes", [&] { return n.PortWrite(env, nullptr, port, four, 4); }, 0,
           nullptr);
    waiting = h.WaitForReadCount(port, 4);
    Report(waiting == 4, "4 answer bytes waiting", "count " + std::to_string(waiting));
    h.Call("PortPurge with flags 2, 2 purges nothing",
           [&] { return n.PortPurge(env, nullptr, port, 2, 2); }, 0, nullptr);
    h.Call("receive queue kept", [&] { return n.PortGetReadCount(env, nullptr, port); }, 4,
           nullptr);
    h.Call("PortPurge transmit only", [&] { return n.PortPurge(env, nullptr, port, 1, 0); }, 0,
           nullptr);
    h.Call("receive queue kept by a transmit purge",
           [&] { return n.PortGetReadCount(env, nullptr, port); }, 4, nullptr);
    h.Call("PortPurge receive", [&] { return n.PortPurge(env, nullptr, port, 0, 1); }, 0, nullptr);
    h.Call("receive queue empty after purge",
           [&] { return n.PortGetReadCount(env, nullptr, port); }, 0, nullptr);
    h.Call("PortPurge both", [&] { return n.PortPurge(env, nullptr, port, 1, 1); }, 0, nullptr);

    h.RoundTrip("after purge", port, {'o', 'k'});
}

void CheckSerialParams(Harness& h, jint port) {
    const Natives& n = h.n_;
    JNIEnv* env = h.env_;
    ExpectLineSettings("open leaves 9600 baud, one stop bit", 9600, ONESTOPBIT);
    h.Call("PortSetParams 19200 7 data, 2 stop, even",
           [&] { return n.PortSetParams(env, nullptr, port, 19200, 7, 2, 2, 0); }, 0, nullptr);
    ExpectLineSettings("port runs 19200 baud, two stop bits", 19200, TWOSTOPBITS);
    h.Call("PortSetParams 14400 refused",
           [&] { return n.PortSetParams(env, nullptr, port, 14400, 8, 1, 0, 0); }, -1,
           "SetPortParams: Invalid baud rate");
    h.Call("PortSetParams 1.5 stop bits (code 3) refused",
           [&] { return n.PortSetParams(env, nullptr, port, 9600, 8, 3, 0, 0); }, -1,
           "SetPortParams: Invalid stopbits");
    h.Call("PortSetParams parity 3 refused",
           [&] { return n.PortSetParams(env, nullptr, port, 9600, 8, 1, 3, 0); }, -1,
           "SetPortParams: Invalid parity");
    ExpectLineSettings("refused settings change nothing", 19200, TWOSTOPBITS);
    h.Call("PortSetParams 115200 8 data, 1 stop, odd",
           [&] { return n.PortSetParams(env, nullptr, port, 115200, 8, 1, 1, 0); }, 0, nullptr);
    ExpectLineSettings("port runs 115200 baud, one stop bit", 115200, ONESTOPBIT);
    h.Call("PortSetParams back to 9600 8N1",
           [&] { return n.PortSetParams(env, nullptr, port, 9600, 8, 1, 0, 0); }, 0, nullptr);
    ExpectLineSettings("port runs 9600 baud again", 9600, ONESTOPBIT);
}

void CheckSerial(Harness& h) {
    const Natives& n = h.n_;
    JNIEnv* env = h.env_;

    CheckBarePty(h);

    h.ForgetDrivenLines();
    jint port = -1;
    // The failed opens above gave their slots back, so the first open gets handle 1.
    h.Call("PortOpen COM5: with modem lines", [&] { return port = h.Open("COM5:"); }, 1, nullptr);
    if (port < 1) return;
    h.ExpectDriven("open raises DTR and RTS", "DTR RTS");

    CheckSerialParams(h, port);
    CheckSerialData(h, port);
    CheckSerialLines(h, port);

    // Wine does not enforce exclusive opens of COM ports, so a second open may succeed there;
    // either way it must answer cleanly.
    jint second = h.Open("\\\\.\\COM5");
    if (second == -1) {
        Report(h.jni_.PendingMessage() == "CreateFile error 5 on port",
               "second open of an open port is refused as access denied",
               "message \"" + Printable(h.jni_.PendingMessage()) + "\"");
    } else {
        Report(second == 2, "second open (allowed by Wine) gets the next handle",
               "handle " + std::to_string(second));
        h.Call("close of the second open",
               [&] { return n.PortClose(env, nullptr, second); }, 0, nullptr);
    }

    h.Call("PortClose", [&] { return n.PortClose(env, nullptr, port); }, 0, nullptr);
    h.Call("PortClose again", [&] { return n.PortClose(env, nullptr, port); }, -1, nullptr);
    h.Call("PortIsCTS on the closed handle", [&] { return n.PortIsCTS(env, nullptr, port); },
           0xFF, nullptr);
    h.Call("PortGetReadCount on the closed handle",
           [&] { return n.PortGetReadCount(env, nullptr, port); }, -1, nullptr);

    // The other spellings of the same port: the NT device name, and the POSIX name that maps
    // to COM5:.
    for (const char* name : {"\\\\.\\COM5", "/dev/ttyS6"}) {
        std::string t = name;
        jint p = -1;
        h.Call("PortOpen " + t, [&] { return p = h.Open(name); }, 1, nullptr);
        if (p < 1) continue;
        h.RoundTrip(t, p, {'C', 'O', 'M', '5'});
        h.Call("PortClose " + t, [&] { return n.PortClose(env, nullptr, p); }, 0, nullptr);
    }

    h.Call("PortOpen of a port that does not exist", [&] { return h.Open("\\\\.\\COM250"); }, -1,
           "CreateFile error 2 on port");
}

void CheckHid(Harness& h) {
    h.Call("PortOpen USBHID/x", [&] { return h.Open("USBHID/x"); }, -1,
           "HID devices are not supported yet");
}

std::vector<std::vector<uint8_t>> ParseMacs(const std::string& list) {
    std::vector<std::vector<uint8_t>> macs;
    if (list == "none") return macs;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string one = list.substr(start, end - start);
        unsigned b[6];
        if (sscanf(one.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) ==
            6) {
            macs.push_back(std::vector<uint8_t>(b, b + 6));
        }
        start = end + 1;
    }
    return macs;
}

void CheckMacAddress(Harness& h, const std::string& macList) {
    const Natives& n = h.n_;
    JNIEnv* env = h.env_;
    std::vector<std::vector<uint8_t>> macs = ParseMacs(macList);
    jbyteArray address = h.jni_.NewByteArray(8, 0xAA);
    if (macs.empty()) {
        // No adapter with an address: Wine lists no LANA.
        h.Call("GetMACAddress without adapters",
               [&] { return n.GetMACAddress(env, nullptr, address); }, -1,
               "Netbios ncb_retcode:  = 004\n");
    } else {
        h.Call("GetMACAddress", [&] { return n.GetMACAddress(env, nullptr, address); }, 6,
               nullptr);
        std::vector<uint8_t> got = h.jni_.Bytes(address);
        std::vector<uint8_t> first6(got.begin(), got.begin() + 6);
        bool known = false;
        for (const auto& m : macs) known |= (m == first6);
        Report(known, "GetMACAddress answers the host adapter's address",
               Harness::Hex(first6) + " is not among " + macList);
        Report(got[6] == 0xAA && got[7] == 0xAA, "GetMACAddress writes six bytes only",
               Harness::Hex(got));
    }
    jbyteArray shortArray = h.jni_.NewByteArray(4, 0xAA);
    h.Call("GetMACAddress into 4 bytes",
           [&] { return n.GetMACAddress(env, nullptr, shortArray); }, -1,
           "GetMACAddress: the address array must hold at least 6 bytes");
    Report(h.jni_.Bytes(shortArray) == std::vector<uint8_t>(4, 0xAA),
           "a short array is left alone", Harness::Hex(h.jni_.Bytes(shortArray)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s DLL LINES_IN LINES_OUT MACS\n", argv[0]);
        return 2;
    }
    const char* dllPath = argv[1];

    Section("load");
    printf("harness: loading\n");
    fflush(stdout);
    HMODULE dll = LoadLibraryA(dllPath);
    printf("harness: loaded\n");
    fflush(stdout);
    if (!Report(dll != nullptr, std::string("LoadLibrary ") + dllPath,
                "error " + std::to_string(GetLastError()))) {
        return 1;
    }
    // A second load only counts a reference: no second load line.
    HMODULE again = LoadLibraryA(dllPath);
    Report(again == dll, "a second LoadLibrary gives the same module", "a different module");

    Natives natives;
    memset(&natives, 0, sizeof natives);
    bool resolved = ResolveExports(dll, &natives);
    if (!resolved) {
        printf("harness: %d checks, %d failed\n", g_checks, g_failures);
        return 1;
    }
    CheckExportShape(dll, natives);

    FakeJni jni;
    Harness h(natives, jni, argv[2], argv[3]);

    Section("invalid handles");
    CheckInvalidHandles(h);
    Section("HID");
    CheckHid(h);
    Section("serial");
    CheckSerial(h);
    Section("adapter address");
    CheckMacAddress(h, argv[4]);

    Section("JNI resources");
    Report(jni.OutstandingStrings() == 0, "every port name given back",
           std::to_string(jni.OutstandingStrings()) + " outstanding");
    Report(jni.OutstandingElements() == 0, "every array's elements given back",
           std::to_string(jni.OutstandingElements()) + " outstanding");

    printf("harness: %d checks, %d failed\n", g_checks, g_failures);
    fflush(stdout);
    return g_failures == 0 ? 0 : 1;
}
