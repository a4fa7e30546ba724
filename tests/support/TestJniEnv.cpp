// SPDX-License-Identifier: Apache-2.0
#include "TestJniEnv.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zkpos_test {

struct TestJniEnv::Object {
    enum Kind { kSelf, kString, kByteArray, kThrowable } kind;
    std::string text;
    std::vector<jbyte> bytes;
};

namespace {

// The slot names of the JNI function table, in table order, for the message
// of a trap. A newer jni.h may have more slots; those are shown by number.
const char* const kSlotNames[] = {
    "reserved0",
    "reserved1",
    "reserved2",
    "reserved3",
    "GetVersion",
    "DefineClass",
    "FindClass",
    "FromReflectedMethod",
    "FromReflectedField",
    "ToReflectedMethod",
    "GetSuperclass",
    "IsAssignableFrom",
    "ToReflectedField",
    "Throw",
    "ThrowNew",
    "ExceptionOccurred",
    "ExceptionDescribe",
    "ExceptionClear",
    "FatalError",
    "PushLocalFrame",
    "PopLocalFrame",
    "NewGlobalRef",
    "DeleteGlobalRef",
    "DeleteLocalRef",
    "IsSameObject",
    "NewLocalRef",
    "EnsureLocalCapacity",
    "AllocObject",
    "NewObject",
    "NewObjectV",
    "NewObjectA",
    "GetObjectClass",
    "IsInstanceOf",
    "GetMethodID",
    "CallObjectMethod",
    "CallObjectMethodV",
    "CallObjectMethodA",
    "CallBooleanMethod",
    "CallBooleanMethodV",
    "CallBooleanMethodA",
    "CallByteMethod",
    "CallByteMethodV",
    "CallByteMethodA",
    "CallCharMethod",
    "CallCharMethodV",
    "CallCharMethodA",
    "CallShortMethod",
    "CallShortMethodV",
    "CallShortMethodA",
    "CallIntMethod",
    "CallIntMethodV",
    "CallIntMethodA",
    "CallLongMethod",
    "CallLongMethodV",
    "CallLongMethodA",
    "CallFloatMethod",
    "CallFloatMethodV",
    "CallFloatMethodA",
    "CallDoubleMethod",
    "CallDoubleMethodV",
    "CallDoubleMethodA",
    "CallVoidMethod",
    "CallVoidMethodV",
    "CallVoidMethodA",
    "CallNonvirtualObjectMethod",
    "CallNonvirtualObjectMethodV",
    "CallNonvirtualObjectMethodA",
    "CallNonvirtualBooleanMethod",
    "CallNonvirtualBooleanMethodV",
    "CallNonvirtualBooleanMethodA",
    "CallNonvirtualByteMethod",
    "CallNonvirtualByteMethodV",
    "CallNonvirtualByteMethodA",
    "CallNonvirtualCharMethod",
    "CallNonvirtualCharMethodV",
    "CallNonvirtualCharMethodA",
    "CallNonvirtualShortMethod",
    "CallNonvirtualShortMethodV",
    "CallNonvirtualShortMethodA",
    "CallNonvirtualIntMethod",
    "CallNonvirtualIntMethodV",
    "CallNonvirtualIntMethodA",
    "CallNonvirtualLongMethod",
    "CallNonvirtualLongMethodV",
    "CallNonvirtualLongMethodA",
    "CallNonvirtualFloatMethod",
    "CallNonvirtualFloatMethodV",
    "CallNonvirtualFloatMethodA",
    "CallNonvirtualDoubleMethod",
    "CallNonvirtualDoubleMethodV",
    "CallNonvirtualDoubleMethodA",
    "CallNonvirtualVoidMethod",
    "CallNonvirtualVoidMethodV",
    "CallNonvirtualVoidMethodA",
    "GetFieldID",
    "GetObjectField",
    "GetBooleanField",
    "GetByteField",
    "GetCharField",
    "GetShortField",
    "GetIntField",
    "GetLongField",
    "GetFloatField",
    "GetDoubleField",
    "SetObjectField",
    "SetBooleanField",
    "SetByteField",
    "SetCharField",
    "SetShortField",
    "SetIntField",
    "SetLongField",
    "SetFloatField",
    "SetDoubleField",
    "GetStaticMethodID",
    "CallStaticObjectMethod",
    "CallStaticObjectMethodV",
    "CallStaticObjectMethodA",
    "CallStaticBooleanMethod",
    "CallStaticBooleanMethodV",
    "CallStaticBooleanMethodA",
    "CallStaticByteMethod",
    "CallStaticByteMethodV",
    "CallStaticByteMethodA",
    "CallStaticCharMethod",
    "CallStaticCharMethodV",
    "CallStaticCharMethodA",
    "CallStaticShortMethod",
    "CallStaticShortMethodV",
    "CallStaticShortMethodA",
    "CallStaticIntMethod",
    "CallStaticIntMethodV",
    "CallStaticIntMethodA",
    "CallStaticLongMethod",
    "CallStaticLongMethodV",
    "CallStaticLongMethodA",
    "CallStaticFloatMethod",
    "CallStaticFloatMethodV",
    "CallStaticFloatMethodA",
    "CallStaticDoubleMethod",
    "CallStaticDoubleMethodV",
    "CallStaticDoubleMethodA",
    "CallStaticVoidMethod",
    "CallStaticVoidMethodV",
    "CallStaticVoidMethodA",
    "GetStaticFieldID",
    "GetStaticObjectField",
    "GetStaticBooleanField",
    "GetStaticByteField",
    "GetStaticCharField",
    "GetStaticShortField",
    "GetStaticIntField",
    "GetStaticLongField",
    "GetStaticFloatField",
    "GetStaticDoubleField",
    "SetStaticObjectField",
    "SetStaticBooleanField",
    "SetStaticByteField",
    "SetStaticCharField",
    "SetStaticShortField",
    "SetStaticIntField",
    "SetStaticLongField",
    "SetStaticFloatField",
    "SetStaticDoubleField",
    "NewString",
    "GetStringLength",
    "GetStringChars",
    "ReleaseStringChars",
    "NewStringUTF",
    "GetStringUTFLength",
    "GetStringUTFChars",
    "ReleaseStringUTFChars",
    "GetArrayLength",
    "NewObjectArray",
    "GetObjectArrayElement",
    "SetObjectArrayElement",
    "NewBooleanArray",
    "NewByteArray",
    "NewCharArray",
    "NewShortArray",
    "NewIntArray",
    "NewLongArray",
    "NewFloatArray",
    "NewDoubleArray",
    "GetBooleanArrayElements",
    "GetByteArrayElements",
    "GetCharArrayElements",
    "GetShortArrayElements",
    "GetIntArrayElements",
    "GetLongArrayElements",
    "GetFloatArrayElements",
    "GetDoubleArrayElements",
    "ReleaseBooleanArrayElements",
    "ReleaseByteArrayElements",
    "ReleaseCharArrayElements",
    "ReleaseShortArrayElements",
    "ReleaseIntArrayElements",
    "ReleaseLongArrayElements",
    "ReleaseFloatArrayElements",
    "ReleaseDoubleArrayElements",
    "GetBooleanArrayRegion",
    "GetByteArrayRegion",
    "GetCharArrayRegion",
    "GetShortArrayRegion",
    "GetIntArrayRegion",
    "GetLongArrayRegion",
    "GetFloatArrayRegion",
    "GetDoubleArrayRegion",
    "SetBooleanArrayRegion",
    "SetByteArrayRegion",
    "SetCharArrayRegion",
    "SetShortArrayRegion",
    "SetIntArrayRegion",
    "SetLongArrayRegion",
    "SetFloatArrayRegion",
    "SetDoubleArrayRegion",
    "RegisterNatives",
    "UnregisterNatives",
    "MonitorEnter",
    "MonitorExit",
    "GetJavaVM",
    "GetStringRegion",
    "GetStringUTFRegion",
    "GetPrimitiveArrayCritical",
    "ReleasePrimitiveArrayCritical",
    "GetStringCritical",
    "ReleaseStringCritical",
    "NewWeakGlobalRef",
    "DeleteWeakGlobalRef",
    "ExceptionCheck",
    "NewDirectByteBuffer",
    "GetDirectBufferAddress",
    "GetDirectBufferCapacity",
    "GetObjectRefType",
    "GetModule",
};

constexpr size_t kSlotCount = sizeof(JNINativeInterface_) / sizeof(void*);

[[noreturn]] void Fatal(const std::string& message) {
    std::fprintf(stderr, "TestJniEnv: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

template <size_t Slot>
void JNICALL Trap(JNIEnv*) {
    std::string name = Slot < sizeof(kSlotNames) / sizeof(kSlotNames[0])
                           ? kSlotNames[Slot]
                           : "slot " + std::to_string(Slot);
    Fatal("the library called JNI function " + name +
          ", which this test environment does not provide");
}

template <size_t... Slots>
void FillWithTraps(void** slots, std::index_sequence<Slots...>) {
    ((slots[Slots] = reinterpret_cast<void*>(&Trap<Slots>)), ...);
}

TestJniEnv& Owner(JNIEnv* env) {
    if (env == nullptr) {
        Fatal("a JNI function was called with a null environment");
    }
    return *reinterpret_cast<TestJniEnv::Holder*>(env)->owner;
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) {
    return Owner(env).PendingException() != nullptr ? JNI_TRUE : JNI_FALSE;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
    return Owner(env).PendingException();
}

void JNICALL ExceptionClear(JNIEnv* env) {
    Owner(env).ClearException();
}

void JNICALL ExceptionDescribe(JNIEnv* env) {
    if (Owner(env).PendingException() != nullptr) {
        std::fprintf(stderr, "TestJniEnv: pending java.lang.OutOfMemoryError\n");
    }
    Owner(env).ClearException();
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring text, jboolean* isCopy) {
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    return Owner(env).GetStringChars(text);
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring text, const char* chars) {
    Owner(env).ReleaseStringChars(text, chars);
}

jsize JNICALL GetArrayLength(JNIEnv* env, jarray array) {
    Owner(env).CheckNoExceptionPending("GetArrayLength");
    return static_cast<jsize>(Owner(env).BytesOf(array).size());
}

jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize length) {
    return Owner(env).NewByteArray(length);
}

jbyte* JNICALL GetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    return Owner(env).GetElements(array);
}

void JNICALL ReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode) {
    Owner(env).ReleaseElements(array, elements, mode);
}

void CheckRegion(const TestJniEnv::Object& object, jsize start, jsize length,
                 const char* function) {
    if (start < 0 || length < 0 ||
        static_cast<size_t>(start) + static_cast<size_t>(length) > object.bytes.size()) {
        Fatal(std::string(function) + " outside the array: start " + std::to_string(start) +
              ", length " + std::to_string(length) + ", array length " +
              std::to_string(object.bytes.size()));
    }
}

void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length,
                                const jbyte* bytes) {
    Owner(env).CheckNoExceptionPending("SetByteArrayRegion");
    TestJniEnv::Object& object = *Owner(env).Find(array, "SetByteArrayRegion");
    CheckRegion(object, start, length, "SetByteArrayRegion");
    if (length > 0) {
        std::memcpy(object.bytes.data() + start, bytes, static_cast<size_t>(length));
    }
}

void JNICALL GetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length,
                                jbyte* bytes) {
    TestJniEnv::Object& object = *Owner(env).Find(array, "GetByteArrayRegion");
    CheckRegion(object, start, length, "GetByteArrayRegion");
    if (length > 0) {
        std::memcpy(bytes, object.bytes.data() + start, static_cast<size_t>(length));
    }
}

}  // namespace

TestJniEnv::TestJniEnv() : table_(new JNINativeInterface_) {
    void* slots[kSlotCount];
    FillWithTraps(slots, std::make_index_sequence<kSlotCount>());
    std::memcpy(table_.get(), slots, sizeof(slots));
    table_->reserved0 = nullptr;
    table_->reserved1 = nullptr;
    table_->reserved2 = nullptr;
    table_->reserved3 = nullptr;
    table_->GetStringUTFChars = &zkpos_test::GetStringUTFChars;
    table_->ReleaseStringUTFChars = &zkpos_test::ReleaseStringUTFChars;
    table_->GetArrayLength = &zkpos_test::GetArrayLength;
    table_->NewByteArray = &zkpos_test::NewByteArray;
    table_->GetByteArrayElements = &zkpos_test::GetByteArrayElements;
    table_->ReleaseByteArrayElements = &zkpos_test::ReleaseByteArrayElements;
    table_->SetByteArrayRegion = &zkpos_test::SetByteArrayRegion;
    table_->GetByteArrayRegion = &zkpos_test::GetByteArrayRegion;
    table_->ExceptionCheck = &zkpos_test::ExceptionCheck;
    table_->ExceptionOccurred = &zkpos_test::ExceptionOccurred;
    table_->ExceptionClear = &zkpos_test::ExceptionClear;
    table_->ExceptionDescribe = &zkpos_test::ExceptionDescribe;
    holder_.env.functions = table_.get();
    holder_.owner = this;
    std::unique_ptr<Object> self(new Object);
    self->kind = Object::kSelf;
    self_ = Adopt(std::move(self));
    std::unique_ptr<Object> outOfMemory(new Object);
    outOfMemory->kind = Object::kThrowable;
    outOfMemory_ = static_cast<jthrowable>(Adopt(std::move(outOfMemory)));
}

TestJniEnv::~TestJniEnv() {
    for (auto& handedOut : elements_) {
        std::free(handedOut.first);
    }
    for (auto& handedOut : strings_) {
        std::free(const_cast<char*>(handedOut.first));
    }
}

JNIEnv* TestJniEnv::Env() {
    return &holder_.env;
}

jobject TestJniEnv::Self() {
    return self_;
}

jobject TestJniEnv::Adopt(std::unique_ptr<Object> object) {
    // The address of the object itself serves as its reference.
    jobject reference = reinterpret_cast<jobject>(object.get());
    objects_[reference] = std::move(object);
    return reference;
}

jstring TestJniEnv::MakeString(const char* utf) {
    std::unique_ptr<Object> object(new Object);
    object->kind = Object::kString;
    object->text = utf;
    return static_cast<jstring>(Adopt(std::move(object)));
}

jbyteArray TestJniEnv::MakeByteArray(const void* bytes, size_t length) {
    std::unique_ptr<Object> object(new Object);
    object->kind = Object::kByteArray;
    const jbyte* first = static_cast<const jbyte*>(bytes);
    object->bytes.assign(first, first + length);
    return static_cast<jbyteArray>(Adopt(std::move(object)));
}

jbyteArray TestJniEnv::MakeByteArray(const std::string& bytes) {
    return MakeByteArray(bytes.data(), bytes.size());
}

TestJniEnv::Object* TestJniEnv::Find(jobject object, const char* function) const {
    if (object == nullptr) {
        Fatal(std::string(function) + " was given a null reference, which crashes a JVM");
    }
    auto found = objects_.find(object);
    if (found == objects_.end()) {
        Fatal(std::string(function) + " was given a reference that this environment never made");
    }
    return found->second.get();
}

std::string TestJniEnv::BytesOf(jarray array) const {
    const Object& object = *Find(array, "GetArrayLength");
    if (object.kind != Object::kByteArray) {
        Fatal("an array function was given a reference that is not a byte array");
    }
    return std::string(object.bytes.begin(), object.bytes.end());
}

void TestJniEnv::SetNewByteArrayFails(bool fails) {
    newByteArrayFails_ = fails;
}

void TestJniEnv::SetGetByteArrayElementsFails(bool fails) {
    getElementsFails_ = fails;
}

void TestJniEnv::SetGetStringUTFCharsFails(bool fails) {
    getStringFails_ = fails;
}

jbyteArray TestJniEnv::NewByteArray(jsize length) {
    ++newByteArrayCalls_;
    if (length < 0) {
        Fatal("NewByteArray with the negative length " + std::to_string(length));
    }
    CheckNoExceptionPending("NewByteArray");
    if (newByteArrayFails_) {
        pending_ = outOfMemory_;
        return nullptr;
    }
    std::unique_ptr<Object> object(new Object);
    object->kind = Object::kByteArray;
    object->bytes.assign(static_cast<size_t>(length), 0);
    return static_cast<jbyteArray>(Adopt(std::move(object)));
}

jbyte* TestJniEnv::GetElements(jbyteArray array) {
    ++getElementsCalls_;
    CheckNoExceptionPending("GetByteArrayElements");
    Object& object = *Find(array, "GetByteArrayElements");
    if (object.kind != Object::kByteArray) {
        Fatal("GetByteArrayElements was given a reference that is not a byte array");
    }
    if (getElementsFails_) {
        pending_ = outOfMemory_;
        return nullptr;
    }
    // Exactly as long as the array (one byte for an empty one, since a
    // zero-byte allocation may come back null): nothing follows the data.
    size_t length = object.bytes.size();
    jbyte* elements = static_cast<jbyte*>(std::malloc(length == 0 ? 1 : length));
    if (elements == nullptr) {
        Fatal("out of memory");
    }
    if (length > 0) {
        std::memcpy(elements, object.bytes.data(), length);
    }
    elements_[elements] = Elements{array, length};
    return elements;
}

void TestJniEnv::ReleaseElements(jbyteArray array, jbyte* elements, jint mode) {
    releaseModes_.push_back(mode);
    Object& object = *Find(array, "ReleaseByteArrayElements");
    auto found = elements_.find(elements);
    if (found == elements_.end()) {
        problems_.push_back(
            "ReleaseByteArrayElements was given a pointer that is not handed out (released "
            "twice, or never obtained)");
        return;
    }
    if (found->second.array != array) {
        problems_.push_back(
            "ReleaseByteArrayElements was given another array than the one "
            "the pointer came from");
    }
    if (mode != 0) {
        problems_.push_back("ReleaseByteArrayElements with mode " + std::to_string(mode) +
                            " instead of 0");
    }
    if (mode == 0 || mode == JNI_COMMIT) {
        if (found->second.length > 0) {
            std::memcpy(object.bytes.data(), elements, found->second.length);
        }
    }
    if (mode == 0 || mode == JNI_ABORT) {
        std::free(elements);
        elements_.erase(found);
    }
}

const char* TestJniEnv::GetStringChars(jstring text) {
    ++getStringCalls_;
    CheckNoExceptionPending("GetStringUTFChars");
    const Object& object = *Find(text, "GetStringUTFChars");
    if (object.kind != Object::kString) {
        Fatal("GetStringUTFChars was given a reference that is not a string");
    }
    if (getStringFails_) {
        pending_ = outOfMemory_;
        return nullptr;
    }
    char* chars = static_cast<char*>(std::malloc(object.text.size() + 1));
    if (chars == nullptr) {
        Fatal("out of memory");
    }
    std::memcpy(chars, object.text.c_str(), object.text.size() + 1);
    strings_[chars] = text;
    return chars;
}

void TestJniEnv::ReleaseStringChars(jstring text, const char* chars) {
    Find(text, "ReleaseStringUTFChars");
    auto found = strings_.find(chars);
    if (found == strings_.end()) {
        problems_.push_back(
            "ReleaseStringUTFChars was given a pointer that is not handed out (released twice, "
            "or never obtained)");
        return;
    }
    if (found->second != text) {
        problems_.push_back(
            "ReleaseStringUTFChars was given another string than the one the text came from");
    }
    std::free(const_cast<char*>(found->first));
    strings_.erase(found);
}

void TestJniEnv::CheckNoExceptionPending(const char* function) {
    if (pending_ != nullptr) {
        problems_.push_back(std::string(function) + " called while an exception is pending");
    }
}

std::vector<std::string> TestJniEnv::Problems() const {
    std::vector<std::string> problems = problems_;
    if (!elements_.empty()) {
        problems.push_back(std::to_string(elements_.size()) +
                           " pointer(s) from GetByteArrayElements not released");
    }
    return problems;
}

}  // namespace zkpos_test
