#include "Startup.h"

#include "App.h"
#include "MenuBar1.h"
#include "Window1.h"
#include "Runtime.h"

void Main() {
    try {
        if (std::exception_ptr pending = RuntimeTakePendingException()) std::rethrow_exception(pending);
        {
            Ref<Delegate> helper =
                RuntimeCreateDelegate(&FrameworkExceptionHelper, nullptr, "( code as Ptr ) as Ptr", 0);
            auto fn = helper->FunctionPointer<std::exception_ptr, const std::function<void()>&>();
            helper = nullptr;
            RuntimeSetExceptionHelper(std::move(fn));
        }
        EarlyStartup();
        {
            Ref<Delegate> late = RuntimeCreateDelegate(&LateStartup, nullptr, "(  )", 0);
            auto fn = late->FunctionPointer<void>();
            late = nullptr;
            RunFrameworkInitialization(fn);
        }
        RuntimeRun();
    } catch (...) {
        // An exception the unhandled-exception routine raises passes out.
        UnhandledException(std::current_exception());
    }
}

void EarlyStartup() {
    RuntimeInitExternalClasses();
    InitPluginEntrypoints();
    InitFileTypes();
    NewAppInstance();
    ApplicationAddMenuHandlers();
}

void InitFileTypes() {}

void NewAppInstance() {
    Ref<class App> app = RuntimeCheckCast<class App>(RuntimeNewObject(App::Class()));
    app->Constructor();
    if (!app) throw NilObjectException();
    {
        Ref<class MenuBar1> bar = MenuBar1();
        app->SetMenuBar(bar);
    }
    RuntimeRegisterAppObject(app);
}

void ApplicationAddMenuHandlers() {
    Ref<class App> first = App();
    if (!first) throw NilObjectException();
    Ref<class App> second = App();
    if (!second) throw NilObjectException();
    Ref<Delegate> about = RuntimeCreateDelegate(&App::About_Action, second.get(), "(  ) as Boolean", 0);
    first->AddMenuHandler("About", about->FunctionPointer<bool>());
}

void LateStartup() { MakeDefaultView(); }

void MakeDefaultView() {
    // The window's own design values make it visible; nothing shows it here.
    Ref<class Window1> window = Window1();
}
