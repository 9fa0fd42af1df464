// The application object: the program's one Application, holding the running
// timer, and the global accessor App().
//
// The class and its accessor share one name, as the struct stat / stat()
// pair does: after the function below is declared, `App` on its own names
// the accessor, and code names the class as `class App` (Ref<class App>,
// RuntimeCheckCast<class App>(...)). App::Class() and App::About_Action still
// work, since `App::` looks the name up as a class.
#pragma once

#include "Application.h"
#include "VurivTimer.h"

class App : public Application {
    KESTRUNE_CLASS()
public:
    // The exit hook: releases the timer.
    ~App() override;

    // The application's Open event: does nothing.
    virtual void Event_Open();
    // The About menu handler: shows the main window; True once it is shown.
    virtual bool About_Action();
    // The constructor that the start-up runs on the new object: does nothing.
    virtual void Constructor();

    // The running timer, nil until the main window's popup first opens; the
    // only reference the program keeps to it.
    Ref<VurivTimer> MyVurivTimer;
};

// The registered application object as an App (nil when none is registered;
// an object of another class raises IllegalCastException).
Ref<class App> App();
