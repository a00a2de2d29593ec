// Instance fields of the stand-in VM's objects, and the JNI functions that
// make and read them.
#include "StandinObjects.h"

namespace standin {

void Vm::defineField(const std::string &className, const std::string &name, const std::string &signature) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto c = classes_.find(className);
    if (c == classes_.end()) fail("defineField", "no class %s", className.c_str());
    if (signature != "I" && signature[0] != 'L' && signature[0] != '[') {
        fail("defineField", "only int and reference fields are modelled, not %s", signature.c_str());
    }
    fields_.emplace_back(new Field{c->second, name, signature});
    c->second->fields.push_back(fields_.back().get());
}

Field *Vm::findField(Object *type, const char *name, const char *signature) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Field *f : type->fields) {
        if (f->name == name && f->signature == signature) return f;
    }
    return nullptr;
}

Field *Vm::resolveField(jfieldID id, const char *function) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &f : fields_) {
        if (reinterpret_cast<jfieldID>(f.get()) == id) return f.get();
    }
    fail(function, "%p is not a field ID of this VM", static_cast<void *>(id));
}

jint Vm::intField(Object *object, Field *field) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = object->ints.find(field);
    return it != object->ints.end() ? it->second : 0;
}

void Vm::setIntField(Object *object, Field *field, jint value) {
    std::lock_guard<std::mutex> lock(mutex_);
    object->ints[field] = value;
}

Object *Vm::objectField(Object *object, Field *field) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = object->references.find(field);
    return it != object->references.end() ? it->second : nullptr;
}

void Vm::setObjectField(Object *object, Field *field, Object *value) {
    std::lock_guard<std::mutex> lock(mutex_);
    object->references[field] = value;
}

namespace {

jfieldID JNICALL GetFieldID(JNIEnv *env, jclass type, const char *name, const char *signature) {
    Vm *vm = Vm::of(env);
    ThreadEnv *t = vm->thread(env, "GetFieldID");
    Object *c = vm->resolve(t, type, "GetFieldID");
    if (c == nullptr || c->kind != kClass) vm->fail("GetFieldID", "not a class");
    Field *f = vm->findField(c, name, signature);
    if (f == nullptr) vm->throwNew(t, "java/lang/NoSuchFieldError", name);
    return reinterpret_cast<jfieldID>(f);
}

// The receiver of a field access, after checking that the field is one of
// its class and of the type the function reads or writes.
Object *fieldHolder(JNIEnv *env, jobject object, jfieldID id, bool isInt, Field **field, const char *function) {
    Vm *vm = Vm::of(env);
    ThreadEnv *t = vm->thread(env, function);
    Object *o = vm->resolve(t, object, function);
    if (o == nullptr) vm->fail(function, "null object");
    Field *f = vm->resolveField(id, function);
    if (o->kind != kInstance || o->type != f->owner) {
        vm->fail(function, "field %s of another class", f->name.c_str());
    }
    if ((f->signature == "I") != isInt) {
        vm->fail(function, "field %s is of type %s", f->name.c_str(), f->signature.c_str());
    }
    *field = f;
    return o;
}

jint JNICALL GetIntField(JNIEnv *env, jobject object, jfieldID id) {
    Field *f;
    Object *o = fieldHolder(env, object, id, true, &f, "GetIntField");
    return Vm::of(env)->intField(o, f);
}

void JNICALL SetIntField(JNIEnv *env, jobject object, jfieldID id, jint value) {
    Field *f;
    Object *o = fieldHolder(env, object, id, true, &f, "SetIntField");
    Vm::of(env)->setIntField(o, f, value);
}

jobject JNICALL GetObjectField(JNIEnv *env, jobject object, jfieldID id) {
    Field *f;
    Object *o = fieldHolder(env, object, id, false, &f, "GetObjectField");
    Vm *vm = Vm::of(env);
    return vm->newLocal(vm->thread(env, "GetObjectField"), vm->objectField(o, f));
}

void JNICALL SetObjectField(JNIEnv *env, jobject object, jfieldID id, jobject value) {
    Field *f;
    Object *o = fieldHolder(env, object, id, false, &f, "SetObjectField");
    Vm *vm = Vm::of(env);
    vm->setObjectField(o, f, vm->resolve(vm->thread(env, "SetObjectField"), value, "SetObjectField"));
}

jobject JNICALL AllocObject(JNIEnv *env, jclass type) {
    Vm *vm = Vm::of(env);
    ThreadEnv *t = vm->thread(env, "AllocObject");
    Object *c = vm->resolve(t, type, "AllocObject");
    if (c == nullptr || c->kind != kClass || c->throwable) vm->fail("AllocObject", "not a plain class");
    return vm->newLocal(t, vm->newObject(kInstance, c));
}

} // namespace

void installFieldJni(JNINativeInterface_ *native) {
    native->GetFieldID = GetFieldID;
    native->GetIntField = GetIntField;
    native->SetIntField = SetIntField;
    native->GetObjectField = GetObjectField;
    native->SetObjectField = SetObjectField;
    native->AllocObject = AllocObject;
}

} // namespace standin
