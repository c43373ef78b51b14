// Built the ordinary way, this asks for what the packaged native must not: the shared C++
// runtime, and glibc 2.34's pthread_cond_clockwait (a timed wait on a condition variable).
#include <chrono>
#include <condition_variable>
#include <mutex>

extern "C" __attribute__((visibility("default"))) bool caldrix_symbol_probe() {
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::milliseconds(1)) == std::cv_status::timeout;
}
