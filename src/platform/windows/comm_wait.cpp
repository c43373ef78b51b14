// The wait for serial input on Windows: WaitCommEvent(EV_RXCHAR) on an overlapped handle, beside
// the port's stop event. The POSIX subset answers the same call with poll() (posix/files.cpp).
#include "../win32.h"

namespace {

// Input is waiting, or a line error that the next count clears; FALSE when the port failed.
BOOL InputWaiting(HANDLE h, bool* waiting) {
    DWORD errors = 0;
    COMSTAT stat;
    ZeroMemory(&stat, sizeof stat);
    if (!ClearCommError(h, &errors, &stat)) return FALSE;
    *waiting = stat.cbInQue > 0 || errors != 0;
    return TRUE;
}

// Ends the thread's own pending WaitCommEvent and waits until the system is done with `ov`.
// Setting the mask ends a pending wait on every Windows and in Wine, whose wait no cancel reaches
// (it would hang here); the cancel is for a port whose mask can no longer be set. CancelTransfers
// falls back on CancelIo, which needs no Vista, for the calling thread's own.
void EndWait(HANDLE h, OVERLAPPED* ov) {
    DWORD ignored = 0;
    if (!SetCommMask(h, EV_RXCHAR)) CancelTransfers(h, ov);
    GetOverlappedResult(h, ov, &ignored, TRUE);
}

}  // namespace

DWORD WaitCommInput(HANDLE h, HANDLE stop, DWORD ms) {
    if (stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return WAIT_OBJECT_0 + 1;
    // EV_RXCHAR fires only for bytes that arrive after the wait began: the count is looked at
    // once the wait is pending, so a byte that came just before it is not waited past.
    if (!SetCommMask(h, EV_RXCHAR)) return WAIT_FAILED;
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return WAIT_FAILED;
    const DWORD start = GetTickCount();
    DWORD answer = WAIT_FAILED;
    for (;;) {
        DWORD mask = 0;
        bool pending = false;
        if (!WaitCommEvent(h, &mask, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) break;
            pending = true;
        }
        bool waiting = false;
        if (!InputWaiting(h, &waiting)) {
            const DWORD error = GetLastError();
            if (pending) EndWait(h, &ov);
            SetLastError(error);
            break;
        }
        if (waiting) {
            if (pending) EndWait(h, &ov);
            answer = WAIT_OBJECT_0;
            break;
        }
        if (pending) {
            DWORD left = INFINITE;
            if (ms != INFINITE) {
                const DWORD spent = GetTickCount() - start;
                left = spent >= ms ? 0 : ms - spent;
            }
            const HANDLE waits[2] = {ov.hEvent, stop};
            const DWORD woke = WaitForMultipleObjects(stop != nullptr ? 2 : 1, waits, FALSE, left);
            if (woke != WAIT_OBJECT_0) {
                EndWait(h, &ov);
                answer = woke == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0 + 1;
                break;
            }
            DWORD ignored = 0;
            if (!GetOverlappedResult(h, &ov, &ignored, FALSE)) {
                // Cancelled by a close on another thread (CancelIoEx): the port is ending.
                if (GetLastError() == ERROR_OPERATION_ABORTED) answer = WAIT_OBJECT_0 + 1;
                break;
            }
        }
        // An event came (or the mask changed under us): look at the count again.
    }
    const DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(error);
    return answer;
}
