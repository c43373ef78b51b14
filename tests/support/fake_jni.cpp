#include "fake_jni.h"

#include <cstdlib>
#include <cstring>
#include <deque>

namespace {

// Objects handed to the library; each kind starts with a tag so that a wrong cast is caught.
enum class Tag : uint32_t { Class = 0xC1A55, String = 0x57A1, Array = 0xA77A };

struct FakeObject {
    Tag tag;
};
struct FakeClass : FakeObject {
    std::string name;
};
struct FakeString : FakeObject {
    std::string utf;
};
struct FakeArray : FakeObject {
    std::vector<uint8_t> bytes;
};

template <typename T>
T* As(void* object, Tag tag) {
    if (object == nullptr) return nullptr;
    T* typed = static_cast<T*>(static_cast<FakeObject*>(object));
    if (typed->tag != tag) std::abort();
    return typed;
}

}  // namespace

struct FakeJni::Impl {
    std::deque<FakeClass> classes;
    std::deque<FakeString> strings;
    std::deque<FakeArray> arrays;
};

FakeJni* FakeJni::Self(JNIEnv* env) {
    return static_cast<FakeJni*>(env->functions->reserved0);
}

struct FakeJniCallbacks {
    static jclass JNICALL FindClass(JNIEnv* env, const char* name) {
        FakeJni* self = FakeJni::Self(env);
        if (self->hideIOException_ && std::strcmp(name, "java/io/IOException") == 0) {
            return nullptr;
        }
        FakeClass cls;
        cls.tag = Tag::Class;
        cls.name = name;
        self->impl_->classes.push_back(cls);
        return reinterpret_cast<jclass>(static_cast<FakeObject*>(&self->impl_->classes.back()));
    }

    static jint JNICALL ThrowNew(JNIEnv* env, jclass clazz, const char* message) {
        FakeJni* self = FakeJni::Self(env);
        FakeClass* cls = As<FakeClass>(clazz, Tag::Class);
        if (cls == nullptr) std::abort();
        self->pendingClass_ = cls->name;
        self->pendingMessage_ = message ? message : "";
        self->throwCount_++;
        return 0;
    }

    static jboolean JNICALL ExceptionCheck(JNIEnv* env) {
        return FakeJni::Self(env)->HasPending() ? JNI_TRUE : JNI_FALSE;
    }

    static const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
        FakeJni* self = FakeJni::Self(env);
        FakeString* s = As<FakeString>(str, Tag::String);
        if (s == nullptr) std::abort();  // JNI forbids a null string here
        if (self->failStringChars_) {
            self->failStringChars_ = false;
            return nullptr;
        }
        char* copy = static_cast<char*>(std::malloc(s->utf.size() + 1));
        std::memcpy(copy, s->utf.c_str(), s->utf.size() + 1);
        if (isCopy) *isCopy = JNI_TRUE;
        self->outstandingStrings_++;
        return copy;
    }

    static void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring, const char* chars) {
        FakeJni::Self(env)->outstandingStrings_--;
        std::free(const_cast<char*>(chars));
    }

    static jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
        return FakeJni::Self(env)->NewString(utf != nullptr ? utf : "");
    }

    static jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring str) {
        (void)env;
        return static_cast<jsize>(As<FakeString>(str, Tag::String)->utf.size());
    }

    static jsize JNICALL GetArrayLength(JNIEnv*, jarray array) {
        FakeArray* a = As<FakeArray>(array, Tag::Array);
        if (a == nullptr) std::abort();
        return static_cast<jsize>(a->bytes.size());
    }

    static jbyte* JNICALL GetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
        FakeJni* self = FakeJni::Self(env);
        FakeArray* a = As<FakeArray>(array, Tag::Array);
        if (a == nullptr) std::abort();
        if (self->failElements_) {
            self->failElements_ = false;
            return nullptr;
        }
        // Always a copy, one byte larger than needed, so a missing copy-back shows.
        jbyte* copy = static_cast<jbyte*>(std::malloc(a->bytes.size() + 1));
        if (!a->bytes.empty()) std::memcpy(copy, a->bytes.data(), a->bytes.size());
        if (isCopy) *isCopy = JNI_TRUE;
        self->outstandingElements_++;
        return copy;
    }

    static void JNICALL ReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elems,
                                                 jint mode) {
        FakeJni* self = FakeJni::Self(env);
        FakeArray* a = As<FakeArray>(array, Tag::Array);
        if (mode == 0 || mode == JNI_COMMIT) {
            if (!a->bytes.empty()) std::memcpy(a->bytes.data(), elems, a->bytes.size());
        }
        if (mode != JNI_COMMIT) {
            self->outstandingElements_--;
            std::free(elems);
        }
    }
};

FakeJni::FakeJni() : impl_(new Impl) {
    std::memset(&table_, 0, sizeof table_);
    table_.reserved0 = this;
    table_.FindClass = &FakeJniCallbacks::FindClass;
    table_.ThrowNew = &FakeJniCallbacks::ThrowNew;
    table_.ExceptionCheck = &FakeJniCallbacks::ExceptionCheck;
    table_.GetStringUTFChars = &FakeJniCallbacks::GetStringUTFChars;
    table_.ReleaseStringUTFChars = &FakeJniCallbacks::ReleaseStringUTFChars;
    table_.GetStringUTFLength = &FakeJniCallbacks::GetStringUTFLength;
    table_.NewStringUTF = &FakeJniCallbacks::NewStringUTF;
    table_.GetArrayLength = &FakeJniCallbacks::GetArrayLength;
    table_.GetByteArrayElements = &FakeJniCallbacks::GetByteArrayElements;
    table_.ReleaseByteArrayElements = &FakeJniCallbacks::ReleaseByteArrayElements;
    env_.functions = &table_;
}

FakeJni::~FakeJni() = default;

jstring FakeJni::NewString(const std::string& modifiedUtf8) {
    FakeString s;
    s.tag = Tag::String;
    s.utf = modifiedUtf8;
    impl_->strings.push_back(s);
    return reinterpret_cast<jstring>(static_cast<FakeObject*>(&impl_->strings.back()));
}

jbyteArray FakeJni::NewByteArray(size_t length, uint8_t fill) {
    return NewByteArray(std::vector<uint8_t>(length, fill));
}

jbyteArray FakeJni::NewByteArray(const std::vector<uint8_t>& bytes) {
    FakeArray a;
    a.tag = Tag::Array;
    a.bytes = bytes;
    impl_->arrays.push_back(a);
    return reinterpret_cast<jbyteArray>(static_cast<FakeObject*>(&impl_->arrays.back()));
}

std::string FakeJni::Utf(jstring str) { return As<FakeString>(str, Tag::String)->utf; }

std::vector<uint8_t>& FakeJni::Bytes(jbyteArray array) {
    return As<FakeArray>(array, Tag::Array)->bytes;
}

void FakeJni::ClearPending() {
    pendingClass_.clear();
    pendingMessage_.clear();
}
