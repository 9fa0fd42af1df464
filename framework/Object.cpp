#include "Object.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <thread>

namespace {

std::mutex g_mainThreadMutex;
bool g_mainThreadSet = false;
std::thread::id g_mainThread;

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::mutex g_builtMutex;
std::vector<std::string>& BuiltClasses() {
    static std::vector<std::string> names;
    return names;
}

}  // namespace

std::string ExceptionClassName(const std::exception& e) {
    if (auto* re = dynamic_cast<const RuntimeException*>(&e)) return re->ClassName();
    if (dynamic_cast<const std::bad_alloc*>(&e)) return "OutOfMemoryException";
    return "RuntimeException";
}

void SetMainThread() {
    std::lock_guard<std::mutex> lock(g_mainThreadMutex);
    g_mainThread = std::this_thread::get_id();
    g_mainThreadSet = true;
}

bool IsMainThread() {
    {
        std::lock_guard<std::mutex> lock(g_mainThreadMutex);
        if (g_mainThreadSet) return g_mainThread == std::this_thread::get_id();
    }
    if (auto* app = QCoreApplication::instance()) return QThread::currentThread() == app->thread();
    SetMainThread();
    return true;
}

void CheckMainThread() {
    if (!IsMainThread()) throw ThreadAccessingUIException();
}

const char* PropTypeName(PropType t) {
    switch (t) {
        case PropType::Integer: return "Integer";
        case PropType::Boolean: return "Boolean";
        case PropType::String: return "String";
        case PropType::Color: return "Color";
        case PropType::Single: return "Single";
        case PropType::FontUnit: return "FontUnits";
        case PropType::Double: return "Double";
        case PropType::Object: return "Object";
    }
    return "?";
}

// ---------------------------------------------------------------------------

bool ClassInfo::IsA(const ClassInfo& other) const {
    for (const ClassInfo* c = this; c; c = c->base)
        if (c == &other) return true;
    return false;
}

const PropertyInfo* ClassInfo::FindProperty(std::string_view propName) const {
    if (!indexed_) {
        // Ancestors first, so that a class's own declaration wins.
        for (const PropertyInfo* p : AllProperties()) lowerIndex_[Lower(p->name)] = p;
        indexed_ = true;
    }
    auto it = lowerIndex_.find(Lower(propName));
    return it == lowerIndex_.end() ? nullptr : it->second;
}

std::vector<const PropertyInfo*> ClassInfo::AllProperties() const {
    std::vector<const PropertyInfo*> out;
    if (base) out = base->AllProperties();
    for (const PropertyInfo& p : properties) out.push_back(&p);
    return out;
}

const EventBinding* ClassInfo::FindBinding(std::string_view event) const {
    for (const ClassInfo* c = this; c; c = c->base)
        for (const EventBinding& b : c->bindings)
            if (b.event == event) return &b;
    return nullptr;
}

ClassInfo DerivedClassInfo(std::string name, const ClassInfo& base) {
    ClassInfo c;
    c.name = std::move(name);
    c.base = &base;
    c.virtualOps = base.virtualOps;
    c.interfaces = base.interfaces;
    c.methods = base.methods;
    return c;
}

const ClassInfo& Object::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Object";
        return c;
    }();
    return info;
}

const ClassInfo& Object::ClassOf() const { return Class(); }

const ClassInfo& Delegate::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Delegate";
        c.base = &Object::Class();
        return c;
    }();
    return info;
}

Ref<Object> RuntimeNewObject(const ClassInfo& cls) {
    if (!cls.factory)
        throw UnsupportedOperationException("class " + cls.name + " cannot be instantiated");
    return Ref<Object>(cls.factory());
}

Ref<Object> RuntimeCheckCast(const Ref<Object>& obj, const ClassInfo& cls) {
    if (!obj) return obj;
    if (!obj->ClassOf().IsA(cls))
        throw IllegalCastException("cannot cast " + obj->ClassOf().name + " to " + cls.name);
    return obj;
}

void RuntimeNoteClassBuilt(const ClassInfo& cls) {
    std::lock_guard<std::mutex> lock(g_builtMutex);
    BuiltClasses().push_back(cls.name);
}

std::vector<std::string> RuntimeBuiltClasses() {
    std::lock_guard<std::mutex> lock(g_builtMutex);
    return BuiltClasses();
}
