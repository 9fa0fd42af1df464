#include <gtest/gtest.h>

#include <thread>

#include "Object.h"
#include "Runtime.h"

namespace {

int g_alive = 0;

class Probe : public Object {
    KESTRUNE_CLASS()
public:
    Probe() { ++g_alive; }
    ~Probe() override { --g_alive; }
    void SetWidth(int64_t w) { width_ = w; }
    int64_t Width() const { return width_; }
    int Twice(int x) { return 2 * x; }

private:
    int64_t width_ = 0;
};

class Other : public Object {
    KESTRUNE_CLASS()
};

const ClassInfo& Probe::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Probe";
        c.base = &Object::Class();
        c.factory = [] { return new Probe; };
        c.properties.push_back(MakeProperty<Probe, int64_t>("Width", &Probe::SetWidth, &Probe::Width));
        return c;
    }();
    return info;
}

const ClassInfo& Other::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Other";
        c.base = &Object::Class();
        return c;
    }();
    return info;
}

}  // namespace

TEST(ObjectModel, LastReferenceDestroysAndExceptionsReleaseReferences) {
    {
        Ref<Object> a = RuntimeNewObject(Probe::Class());
        Ref<Object> b = a;
        EXPECT_EQ(a->RefCount(), 2);
        EXPECT_EQ(g_alive, 1);
        a = nullptr;
        EXPECT_EQ(g_alive, 1);
    }
    EXPECT_EQ(g_alive, 0);
    try {
        Ref<Probe> p(new Probe);
        Ref<Probe> nil;
        nil->Width();  // raises
    } catch (const NilObjectException&) {
    }
    EXPECT_EQ(g_alive, 0);
}

TEST(ObjectModel, CastsAndCaseInsensitivePropertyLookup) {
    Ref<Object> o = RuntimeNewObject(Probe::Class());
    EXPECT_TRUE(RuntimeCheckCast<Probe>(o));
    EXPECT_THROW(RuntimeCheckCast<Other>(o), IllegalCastException);
    EXPECT_FALSE(RuntimeCheckCast<Probe>(Ref<Object>()));
    const PropertyInfo* p = Probe::Class().FindProperty("wIdTh");
    ASSERT_NE(p, nullptr);
    p->set(*o, PropValue(int64_t{480}));
    EXPECT_EQ(std::get<int64_t>(p->get(*o)), 480);
    EXPECT_EQ(Probe::Class().FindProperty("Height"), nullptr);
    EXPECT_THROW(RuntimeNewObject(Other::Class()), UnsupportedOperationException);
}

TEST(ObjectModel, MethodDelegateCallsTargetAndNeedsOne) {
    Ref<Probe> p(new Probe);
    Ref<Delegate> d = RuntimeCreateDelegate(&Probe::Twice, p.get(), "( Integer ) as Integer", 1);
    EXPECT_EQ((d->Invoke<int, int>(21)), 42);
    Ref<Delegate> none = RuntimeCreateDelegate(&Probe::Twice, nullptr, "( Integer ) as Integer", 1);
    EXPECT_THROW((none->Invoke<int, int>(1)), NilObjectException);
}

TEST(ObjectModel, MainThreadGuardRaisesWithTheFrameworkMessage) {
    EXPECT_NO_THROW(CheckMainThread());
    std::string message;
    std::thread t([&] {
        try {
            CheckMainThread();
        } catch (const ThreadAccessingUIException& e) {
            message = e.what();
        }
    });
    t.join();
    EXPECT_EQ(message,
              "A thread has attempted to manipulate a user interface element. This can only be done "
              "from the application's main thread.");
}
