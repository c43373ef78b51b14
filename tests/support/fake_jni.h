// A minimal JNI environment for calling the native methods without a virtual machine: the unit
// tests use it on Linux and the Windows harness under Wine. It implements the JNI functions the
// library calls, hands out array elements as copies (as a VM may), and records what was thrown
// and what was not given back.
#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class FakeJni {
public:
    FakeJni();
    ~FakeJni();
    FakeJni(const FakeJni&) = delete;
    FakeJni& operator=(const FakeJni&) = delete;

    JNIEnv* env() { return &env_; }

    // Objects live until the FakeJni goes away.
    jstring NewString(const std::string& modifiedUtf8);
    jbyteArray NewByteArray(size_t length, uint8_t fill = 0);
    jbyteArray NewByteArray(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t>& Bytes(jbyteArray array);
    std::string Utf(jstring str);

    // The exception raised since the last Clear (empty class when none).
    bool HasPending() const { return !pendingClass_.empty(); }
    const std::string& PendingClass() const { return pendingClass_; }
    const std::string& PendingMessage() const { return pendingMessage_; }
    int ThrowCount() const { return throwCount_; }
    void ClearPending();

    // JNI resources obtained and not yet given back.
    int OutstandingStrings() const { return outstandingStrings_; }
    int OutstandingElements() const { return outstandingElements_; }

    // Failure injection: the VM out of memory, or a class path without java/io/IOException.
    void FailNextGetStringChars() { failStringChars_ = true; }
    void FailNextGetElements() { failElements_ = true; }
    void HideIOExceptionClass(bool hide) { hideIOException_ = hide; }

private:
    struct Impl;
    static FakeJni* Self(JNIEnv* env);

    JNINativeInterface_ table_;
    JNIEnv env_;
    std::unique_ptr<Impl> impl_;
    std::string pendingClass_;
    std::string pendingMessage_;
    int throwCount_ = 0;
    int outstandingStrings_ = 0;
    int outstandingElements_ = 0;
    bool failStringChars_ = false;
    bool failElements_ = false;
    bool hideIOException_ = false;

    friend struct FakeJniCallbacks;
};
