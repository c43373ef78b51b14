// The benchmark's round trip through the library's native methods without a JVM: the same calls
// RoundTrip.java makes, from C++ with a minimal JNI environment. Set beside the JVM and plain-C
// figures it separates the library's own cost from the virtual machine's.
// Usage: roundtrip_native PORT [ITERATIONS [WARMUP]]; prints "native <bytes> <median us>".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fake_jni.h"
#include "jni/natives.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [ITERATIONS [WARMUP]]\n", argv[0]);
        return 64;
    }
    const int iterations = argc > 2 ? std::atoi(argv[2]) : 5000;
    const int warmup = argc > 3 ? std::atoi(argv[3]) : 1000;
    if (iterations <= 0 || warmup < 0) return 64;

    FakeJni jni;
    JNIEnv* env = jni.env();
    const jint h = CALDRIX(PortOpen)(env, nullptr, jni.NewString(argv[1]));
    if (h < 1) {
        std::fprintf(stderr, "roundtrip_native: PortOpen: %s\n", jni.PendingMessage().c_str());
        return 1;
    }
    CALDRIX(PortSetParams)(env, nullptr, h, 9600, 8, 1, 0, 0);
    for (int n : {1, 64}) {
        jbyteArray out = jni.NewByteArray(static_cast<size_t>(n), 0x5A);
        jbyteArray in = jni.NewByteArray(static_cast<size_t>(n));
        std::vector<double> samples;
        for (int i = 0; i < warmup + iterations; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            CALDRIX(PortWrite)(env, nullptr, h, out, n);
            for (int have = 0; have < n;) {
                const jint got = CALDRIX(PortRead)(env, nullptr, h, in, n - have);
                if (got <= 0) {
                    std::fprintf(stderr, "roundtrip_native: round trip %d of %d bytes failed\n", i, n);
                    return 1;
                }
                have += got;
            }
            const auto t1 = std::chrono::steady_clock::now();
            if (i >= warmup) samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        std::sort(samples.begin(), samples.end());
        std::printf("native %d %.2f\n", n, samples[samples.size() / 2]);
    }
    CALDRIX(PortClose)(env, nullptr, h);
    return 0;
}
