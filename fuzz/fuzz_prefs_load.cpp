// Fuzzes loading a preferences file through the store: the input becomes
// Kestrune_prefs.xml in a private XDG_CONFIG_HOME, then the store, put back
// in its start state, reads freq, stores 4000 and reads freq again, as the
// window does at every launch. The store must never raise, crash or leak.
#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "QelModule.h"

namespace {
std::filesystem::path g_dir;
std::filesystem::path g_file;
void RemoveDir() {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/kestrune-fuzz-prefs.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) {
        std::perror("mkdtemp");
        std::abort();
    }
    setenv("XDG_CONFIG_HOME", dir, 1);
    SetMainThread();
    static int argc = 1;
    static char name[] = "fuzz_prefs_load";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    g_dir = dir;
    std::atexit(RemoveDir);
    g_file = g_dir / "KestrunePrefs" / "Kestrune_prefs.xml";
    std::filesystem::create_directories(g_file.parent_path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (FILE* f = std::fopen(g_file.c_str(), "wb")) {
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    QelModule::ResetForTesting();
    (void)QelModule::GetPrefsValue("freq");
    QelModule::SetPrefsValue("freq", "4000");
    (void)QelModule::GetPrefsValue("freq");
    QelModule::ResetForTesting();
    return 0;
}
