// The framework's object model: reference-counted objects, the Ref<T> handle,
// class descriptions (class tables), the framework's exceptions, delegates and
// the main-thread guard of user-interface operations.
#pragma once

#include <QString>

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

// The framework's text type: an implicitly shared, reference-counted string.
using String = QString;

class Object;
struct ClassInfo;

// ---------------------------------------------------------------------------
// Exceptions. Every framework exception derives from RuntimeException, which
// carries the name of its class as the framework reports it.

class RuntimeException : public std::runtime_error {
public:
    explicit RuntimeException(const std::string& message = std::string(),
                              const char* className = "RuntimeException")
        : std::runtime_error(message), className_(className) {}
    const char* ClassName() const noexcept { return className_; }
    String Message() const { return String::fromUtf8(what()); }

private:
    const char* className_;
};

#define KESTRUNE_EXCEPTION(Name, Base)                                            \
    class Name : public Base {                                                    \
    public:                                                                       \
        explicit Name(const std::string& message = std::string(),                 \
                      const char* className = #Name)                              \
            : Base(message, className) {}                                         \
    };

KESTRUNE_EXCEPTION(NilObjectException, RuntimeException)
KESTRUNE_EXCEPTION(IllegalCastException, RuntimeException)
KESTRUNE_EXCEPTION(OutOfBoundsException, RuntimeException)
KESTRUNE_EXCEPTION(UnsupportedOperationException, RuntimeException)
KESTRUNE_EXCEPTION(InvalidArgumentException, RuntimeException)
KESTRUNE_EXCEPTION(IOException, RuntimeException)

// Raised by every user-interface operation called off the main thread.
class ThreadAccessingUIException : public RuntimeException {
public:
    static constexpr const char* kMessage =
        "A thread has attempted to manipulate a user interface element. "
        "This can only be done from the application's main thread.";
    ThreadAccessingUIException()
        : RuntimeException(kMessage, "ThreadAccessingUIException") {}
};

// The class name and message of any exception, as the framework reports it.
std::string ExceptionClassName(const std::exception& e);

// Throws ThreadAccessingUIException unless called on the main thread. The main
// thread is the one that called RuntimeInit (or, before that, the one that
// created the Qt application, or failing both the first caller).
void CheckMainThread();
bool IsMainThread();
// Marks the calling thread as the main thread (RuntimeInit does this).
void SetMainThread();

// ---------------------------------------------------------------------------
// Objects and counted references.

class Object {
public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object() = default;

    void Retain() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release() const noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    int RefCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

    // The description of the object's own class.
    virtual const ClassInfo& ClassOf() const;
    static const ClassInfo& Class();

private:
    mutable std::atomic<int> refs_{0};
};

// A counted reference. Copying takes a reference, destruction releases it,
// and assignment takes the new reference before releasing the old. Using a
// nil reference (->, *) raises NilObjectException.
template <class T>
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    // Takes a new reference to p (objects start with no references).
    Ref(T* p) noexcept : p_(p) { if (p_) p_->Retain(); }
    Ref(const Ref& o) noexcept : p_(o.p_) { if (p_) p_->Retain(); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    Ref(const Ref<U>& o) noexcept : p_(o.get()) { if (p_) p_->Retain(); }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    Ref(Ref<U>&& o) noexcept : p_(o.Detach()) {}
    ~Ref() { if (p_) p_->Release(); }

    Ref& operator=(const Ref& o) noexcept { Reset(o.p_); return *this; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { T* old = p_; p_ = std::exchange(o.p_, nullptr); if (old) old->Release(); }
        return *this;
    }
    Ref& operator=(std::nullptr_t) noexcept { Reset(nullptr); return *this; }

    // Stores p, taking the new reference before releasing the old one.
    void Reset(T* p = nullptr) noexcept {
        if (p) p->Retain();
        T* old = std::exchange(p_, p);
        if (old) old->Release();
    }
    // Gives up the reference without releasing it.
    T* Detach() noexcept { return std::exchange(p_, nullptr); }

    T* get() const noexcept { return p_; }
    T* operator->() const { if (!p_) throw NilObjectException(); return p_; }
    T& operator*() const { if (!p_) throw NilObjectException(); return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool IsNil() const noexcept { return p_ == nullptr; }

    friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    T* p_ = nullptr;
};

// Throws NilObjectException when r is nil; otherwise gives r back.
template <class T>
const Ref<T>& CheckNil(const Ref<T>& r) {
    if (!r) throw NilObjectException();
    return r;
}

// ---------------------------------------------------------------------------
// Property values, as design-value streams and introspection carry them.

// A colour as 0xRRGGBB in the low three bytes; the high byte is kept as given.
struct Color {
    uint32_t value = 0;
    int Red() const { return (value >> 16) & 0xFF; }
    int Green() const { return (value >> 8) & 0xFF; }
    int Blue() const { return value & 0xFF; }
    friend bool operator==(Color a, Color b) { return a.value == b.value; }
};

// The framework's font-unit enumeration (one byte in a stream).
enum class FontUnits : uint8_t { Default = 0, Pixel = 1, Point = 2, Inch = 3, Millimeter = 4 };

enum class PropType { Integer, Boolean, String, Color, Single, FontUnit, Double, Object };

const char* PropTypeName(PropType t);

using PropValue = std::variant<int64_t, bool, String, Color, float, FontUnits, double, Ref<Object>>;

struct PropertyInfo {
    std::string name;       // declared name, e.g. "MacProcId"
    PropType type;
    std::string typeName;   // for Object properties: the declared class, e.g. "VurivTimer"
    std::function<void(Object&, const PropValue&)> set;   // may be empty (read-only)
    std::function<PropValue(const Object&)> get;          // may be empty (write-only)
};

struct MethodInfo {
    std::string name;
    std::string signature;  // e.g. "( PopupMenu )", "(  ) as Boolean"
    std::vector<std::pair<std::string, std::string>> attributes;  // e.g. {"Hidden", ""}
};

// An event that a class binds to one of its own operations. The framework
// raises it by calling the handler with the object.
struct EventBinding {
    std::string event;    // e.g. "Action"
    std::string handler;  // e.g. "VurivTimer.Event_Action"
    std::function<void(Object&)> fn;
};

// A class description: built once per process, kept until exit.
struct ClassInfo {
    std::string name;                   // registered name, e.g. "Window1.Window1"
    const ClassInfo* base = nullptr;
    std::vector<std::string> virtualOps;   // in slot order, inherited ones first
    std::vector<std::string> interfaces;   // e.g. "actionSource"
    std::vector<std::string> events;       // events the class declares
    std::vector<EventBinding> bindings;    // events the class binds
    std::vector<MethodInfo> methods;       // for introspection
    std::vector<PropertyInfo> properties;  // declared by this class only
    std::function<Object*()> factory;      // a new object, no constructor run
    std::function<void(Object&)> exitHook; // description only; C++ destructors run it

    bool IsA(const ClassInfo& other) const;
    // The property whose declared name equals name without regard to letter
    // case, in this class or an ancestor; nullptr when there is none.
    const PropertyInfo* FindProperty(std::string_view name) const;
    // The handler this class (or an ancestor) binds to event; nullptr if none.
    const EventBinding* FindBinding(std::string_view event) const;
    // All properties, ancestors' first.
    std::vector<const PropertyInfo*> AllProperties() const;

private:
    mutable std::map<std::string, const PropertyInfo*> lowerIndex_;
    mutable bool indexed_ = false;
};

// The start of a subclass's table: named name, with base as its base and
// base's virtual operations (in slot order), interfaces and methods, which
// the subclass then extends with its own.
ClassInfo DerivedClassInfo(std::string name, const ClassInfo& base);

// Helpers to declare typed properties in a class table.
template <class T> struct PropTypeOf;
template <> struct PropTypeOf<int64_t> { static constexpr PropType value = PropType::Integer; };
template <> struct PropTypeOf<bool> { static constexpr PropType value = PropType::Boolean; };
template <> struct PropTypeOf<String> { static constexpr PropType value = PropType::String; };
template <> struct PropTypeOf<Color> { static constexpr PropType value = PropType::Color; };
template <> struct PropTypeOf<float> { static constexpr PropType value = PropType::Single; };
template <> struct PropTypeOf<FontUnits> { static constexpr PropType value = PropType::FontUnit; };
template <> struct PropTypeOf<double> { static constexpr PropType value = PropType::Double; };

// A property of class C with value type V, set and read through C's members;
// the setter takes V by value or by const reference. The members may be
// inherited from a base M of C.
template <class C, class V, class M, class SetArg>
PropertyInfo MakeProperty(std::string name, void (M::*setter)(SetArg), V (M::*getter)() const) {
    static_assert(std::is_same_v<std::decay_t<SetArg>, V>, "the setter takes the property's type");
    static_assert(std::is_base_of_v<M, C>, "the members belong to the class or a base of it");
    PropertyInfo p;
    p.name = std::move(name);
    p.type = PropTypeOf<V>::value;
    if (setter) p.set = [setter](Object& o, const PropValue& v) { (static_cast<C&>(o).*setter)(std::get<V>(v)); };
    if (getter) p.get = [getter](const Object& o) { return PropValue((static_cast<const C&>(o).*getter)()); };
    return p;
}
// A property kept as a plain value with nothing to show: stored in a field.
template <class C, class V>
PropertyInfo MakeFieldProperty(std::string name, V C::*field) {
    PropertyInfo p;
    p.name = std::move(name);
    p.type = PropTypeOf<V>::value;
    p.set = [field](Object& o, const PropValue& v) { static_cast<C&>(o).*field = std::get<V>(v); };
    p.get = [field](const Object& o) { return PropValue(static_cast<const C&>(o).*field); };
    return p;
}

// Declares the class-table plumbing inside a class body.
#define KESTRUNE_CLASS()                                                          \
public:                                                                           \
    static const ClassInfo& Class();                                              \
    const ClassInfo& ClassOf() const override { return Class(); }                 \
                                                                                  \
private:

// ---------------------------------------------------------------------------
// Runtime object services.

// A new, not yet constructed object of the class. Raises when the class cannot
// be instantiated.
Ref<Object> RuntimeNewObject(const ClassInfo& cls);

// The object as an instance of cls: nil stays nil; an object of another class
// raises IllegalCastException.
Ref<Object> RuntimeCheckCast(const Ref<Object>& obj, const ClassInfo& cls);
template <class T>
Ref<T> RuntimeCheckCast(const Ref<Object>& obj) {
    Ref<Object> checked = RuntimeCheckCast(obj, T::Class());
    return Ref<T>(static_cast<T*>(checked.get()));
}

// Names of every class whose table was built, in the order they were built.
std::vector<std::string> RuntimeBuiltClasses();
// Called by each Class() when its table is first built.
void RuntimeNoteClassBuilt(const ClassInfo& cls);

// ---------------------------------------------------------------------------
// Delegates: a callable with an optional target, a signature text and a flag.
// The function the program reads out of a delegate takes the target first.

class Delegate : public Object {
    KESTRUNE_CLASS()
public:
    Delegate(std::any fn, Ref<Object> target, std::string signature, int flag)
        : fn_(std::move(fn)), target_(std::move(target)), signature_(std::move(signature)), flag_(flag) {}

    const std::string& Signature() const { return signature_; }
    int Flag() const { return flag_; }
    const Ref<Object>& Target() const { return target_; }

    // The function, as std::function<R(Object* target, A...)>.
    template <class R, class... A>
    std::function<R(Object*, A...)> FunctionPointer() const {
        return std::any_cast<std::function<R(Object*, A...)>>(fn_);
    }

    // Calls the function with the target first. A method delegate (flag 1)
    // without a target raises NilObjectException.
    template <class R, class... A>
    R Invoke(A... args) const {
        if (flag_ == 1 && !target_) throw NilObjectException("delegate has no target");
        return FunctionPointer<R, A...>()(target_.get(), std::forward<A>(args)...);
    }

private:
    std::any fn_;
    Ref<Object> target_;
    std::string signature_;
    int flag_;
};

// A delegate over a plain function; the target is ignored by the function.
template <class R, class... A>
Ref<Delegate> RuntimeCreateDelegate(R (*fn)(A...), Object* target, std::string signature, int flag) {
    std::function<R(Object*, A...)> f = [fn](Object*, A... args) -> R { return fn(std::forward<A>(args)...); };
    return Ref<Delegate>(new Delegate(std::any(f), Ref<Object>(target), std::move(signature), flag));
}

// A delegate over a method of C, called on the target through its virtual
// operations (a virtual member function dispatches on the object's class).
template <class C, class R, class... A>
Ref<Delegate> RuntimeCreateDelegate(R (C::*method)(A...), Object* target, std::string signature, int flag) {
    std::function<R(Object*, A...)> f = [method](Object* self, A... args) -> R {
        if (!self) throw NilObjectException("delegate has no target");
        Ref<C> obj = RuntimeCheckCast<C>(Ref<Object>(self));
        return ((*obj).*method)(std::forward<A>(args)...);
    };
    return Ref<Delegate>(new Delegate(std::any(f), Ref<Object>(target), std::move(signature), flag));
}

// ---------------------------------------------------------------------------
// Static initialisers: program modules register them at load time; they run
// in RuntimePerformInitializers, lowest order first.

struct StaticInitializer {
    StaticInitializer(int order, void (*fn)());
};
