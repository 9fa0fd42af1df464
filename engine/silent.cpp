#include "silent.h"

#include "FolderItem.h"

namespace _x_silent {

bool loaded = false;
Ref<Sound> permaSound;

namespace {
// The module's start values; nothing else.
StaticInitializer g_start(50, [] {
    loaded = false;
    permaSound = nullptr;
});
}  // namespace

Ref<Sound> silent() {
    if (loaded) return permaSound;
    loaded = true;
    Ref<FolderItem> resources = GetApplicationBundleResources();
    if (!resources) return permaSound;
    Ref<FolderItem> file = resources->Child("silent.wav");
    if (!file) throw NilObjectException();
    permaSound = file->OpenAsSound();
    return permaSound;
}

void ResetForTesting() {
    loaded = false;
    permaSound = nullptr;
}

}  // namespace _x_silent
