// The stand-in VM's objects, methods, references and thread records.
#ifndef CASSOWIN_TESTS_STANDIN_OBJECTS_H
#define CASSOWIN_TESTS_STANDIN_OBJECTS_H

#include <map>
#include <string>
#include <vector>

#include "StandinVm.h"

namespace standin {

enum Kind { kInstance, kClass, kCharArray, kByteArray, kString, kThrowable };

struct Field;

struct Object {
    int kind;
    Object *type;  // the object's class; null for a class
    // Classes only.
    std::string name;  // "java/lang/String"
    Loader loader = Loader::Boot;
    bool throwable = false;
    std::vector<Method *> methods;
    std::vector<Field *> fields;
    // Arrays, strings (modified UTF-8) and throwables (their message).
    std::vector<jchar> chars;
    std::vector<jbyte> bytes;
    std::string text;
    // Instances: the values of their int and reference fields.
    std::map<const Field *, jint> ints;
    std::map<const Field *, Object *> references;
};

struct Field {
    Object *owner;
    std::string name, signature;  // "I", or a reference type
};

struct Method {
    Object *owner;
    std::string name, signature;
    bool isStatic;
    std::vector<char> params;  // one of "ZBCSIJFD" or 'L' for any reference
    char result;               // 'V', a primitive letter, or 'L'
    MethodBody body;
};

struct Ref {
    Object *object;
    bool global;
    ThreadEnv *thread;  // owner of a local reference
};

// JNIEnv comes first so that the table functions' environment is one of these.
struct ThreadEnv {
    JNIEnv env;
    Vm *vm;
    pthread_t id;
    bool vmThread;
    std::vector<std::vector<Ref *>> frames;  // the innermost last
    size_t liveLocal = 0;                    // in all frames
    Object *pending = nullptr;
    int exitPasses = 0;
};

} // namespace standin

#endif
