// SPDX-License-Identifier: Apache-2.0
// A JNI environment for calling the native methods from a C++ test, without a
// Java virtual machine. It implements the few functions of the JNI function
// table that the port libraries use, and behaves like a strict JVM in them:
// arrays are handed out as exactly-sized heap copies (so a sanitizer sees any
// access past their end), every release is recorded with its mode, and a null
// array or string is fatal, as it would crash a real JVM. Every other slot of
// the table is a trap that names the slot and aborts the test program, so a
// library that starts to use more of JNI is noticed at once.
//
// Only jni.h and the standard library are used: the same source builds into
// the Linux tests and, with mingw-w64, into the Windows tests run under Wine.
#ifndef ZKPOS_TESTS_SUPPORT_TESTJNIENV_H
#define ZKPOS_TESTS_SUPPORT_TESTJNIENV_H

#include <jni.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zkpos_test {

class TestJniEnv {
public:
    TestJniEnv();
    ~TestJniEnv();
    TestJniEnv(const TestJniEnv&) = delete;
    TestJniEnv& operator=(const TestJniEnv&) = delete;

    // The environment to pass as the first argument of a native method.
    JNIEnv* Env();
    // Stands for the Java object (the LinPortComm or WinPortComm instance);
    // the libraries never look into it.
    jobject Self();

    // A Java string holding the given (modified UTF-8) text.
    jstring MakeString(const char* utf);
    // A Java byte array holding a copy of the given bytes.
    jbyteArray MakeByteArray(const void* bytes, size_t length);
    jbyteArray MakeByteArray(const std::string& bytes);

    // The current bytes of any array of this environment, including the
    // arrays the library created with NewByteArray. Aborts on an array that
    // does not belong to this environment.
    std::string BytesOf(jarray array) const;

    // While set, NewByteArray returns null and leaves an OutOfMemoryError
    // pending, as a JVM out of memory does.
    void SetNewByteArrayFails(bool fails);
    // The same for GetByteArrayElements, which a JVM may fail to copy.
    void SetGetByteArrayElementsFails(bool fails);
    // The same for GetStringUTFChars, which a JVM may fail to convert.
    void SetGetStringUTFCharsFails(bool fails);
    // True while an exception is pending: one the library left behind
    // reaches the Java caller, which the libraries never allow.
    bool ExceptionPending() const { return pending_ != nullptr; }

    // How often each of the implemented functions was called.
    int NewByteArrayCalls() const { return newByteArrayCalls_; }
    int GetByteArrayElementsCalls() const { return getElementsCalls_; }
    int GetStringUTFCharsCalls() const { return getStringCalls_; }
    // The mode of every ReleaseByteArrayElements, in order.
    const std::vector<jint>& ReleaseModes() const { return releaseModes_; }
    // Element pointers handed out and not released yet.
    size_t UnreleasedElements() const { return elements_.size(); }
    // String texts handed out and not released yet (releasing them is not
    // required of the libraries, so this is information, not a problem).
    size_t UnreleasedStrings() const { return strings_.size(); }

    // Every misuse seen so far, one sentence each: an element pointer
    // released with a mode other than 0, released twice or never handed out,
    // a JNI function other than the exception functions called while an
    // exception is pending, and every element pointer still not released at
    // the time of the call. Empty when all is well.
    std::vector<std::string> Problems() const;

    // Used by the function table; not for tests.
    struct Object;
    struct Holder {
        JNIEnv_ env;
        TestJniEnv* owner;
    };
    Object* Find(jobject object, const char* function) const;
    jbyteArray NewByteArray(jsize length);
    jbyte* GetElements(jbyteArray array);
    void ReleaseElements(jbyteArray array, jbyte* elements, jint mode);
    const char* GetStringChars(jstring text);
    void ReleaseStringChars(jstring text, const char* chars);
    jthrowable PendingException() const { return pending_; }
    void ClearException() { pending_ = nullptr; }
    // Records a misuse when an exception is pending.
    void CheckNoExceptionPending(const char* function);

private:
    struct Elements {
        jbyteArray array;
        size_t length;
    };

    jobject Adopt(std::unique_ptr<Object> object);

    std::unique_ptr<JNINativeInterface_> table_;
    Holder holder_;
    std::map<jobject, std::unique_ptr<Object>> objects_;
    jobject self_;
    jthrowable outOfMemory_;
    jthrowable pending_ = nullptr;
    bool newByteArrayFails_ = false;
    bool getElementsFails_ = false;
    bool getStringFails_ = false;
    int newByteArrayCalls_ = 0;
    int getElementsCalls_ = 0;
    int getStringCalls_ = 0;
    std::vector<jint> releaseModes_;
    std::map<jbyte*, Elements> elements_;
    std::map<const char*, jstring> strings_;
    std::vector<std::string> problems_;
};

}  // namespace zkpos_test

#endif
