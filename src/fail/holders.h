// Scoped holders for what JNI lends the library: string characters and array elements. Each gives
// its resource back exactly once, on every path, and can do so early so that the release happens
// before an exception is raised.
#pragma once

#include <jni.h>

#include "raise.h"

class ScopedUtfChars {
public:
    ScopedUtfChars(JNIEnv* env, jstring str)
        : env_(env), str_(str), chars_(str ? env->GetStringUTFChars(str, nullptr) : nullptr) {}
    ~ScopedUtfChars() { Release(); }
    ScopedUtfChars(const ScopedUtfChars&) = delete;
    ScopedUtfChars& operator=(const ScopedUtfChars&) = delete;

    const char* get() const { return chars_; }
    void Release() {
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(str_, chars_);
        chars_ = nullptr;
    }

private:
    JNIEnv* env_;
    jstring str_;
    const char* chars_;
};

// True when `array` is a real array with room for `count` bytes. Checked before any element is
// touched, so a count larger than the array can never move memory outside it.
inline bool ArrayHolds(JNIEnv* env, jbyteArray array, jint count) {
    return array != nullptr && count >= 0 && count <= env->GetArrayLength(array);
}

class ScopedByteElements {
public:
    ScopedByteElements(JNIEnv* env, jbyteArray array)
        : env_(env), array_(array), elems_(env->GetByteArrayElements(array, nullptr)) {}
    // The elements for a transfer of `count` bytes from the array's start. A count below 1 or
    // beyond the array (a null array too) raises `countMessage` and gets none, before any element
    // is touched; a VM out of memory gets none with its own error raised.
    ScopedByteElements(JNIEnv* env, jbyteArray array, jint count, const char* countMessage)
        : env_(env), array_(array), elems_(nullptr) {
        if (count <= 0 || !ArrayHolds(env, array, count)) {
            raiseIOException(env, countMessage);
            return;
        }
        elems_ = env->GetByteArrayElements(array, nullptr);
    }
    ~ScopedByteElements() { Release(); }
    ScopedByteElements(const ScopedByteElements&) = delete;
    ScopedByteElements& operator=(const ScopedByteElements&) = delete;

    jbyte* get() const { return elems_; }
    // Mode 0: copy back into the Java array, then free; the VM may have handed out a copy.
    void Release() {
        if (elems_ != nullptr) env_->ReleaseByteArrayElements(array_, elems_, 0);
        elems_ = nullptr;
    }

private:
    JNIEnv* env_;
    jbyteArray array_;
    jbyte* elems_;
};


// Booleans from Java count as true only when their low byte is 1.
inline bool JniTrue(jboolean b) { return (b & 0xFF) == JNI_TRUE; }
