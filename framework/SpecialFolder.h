// Folders the system assigns to the user.
#pragma once

#include "FolderItem.h"
#include "Object.h"

#include <string>

class SpecialFolder {
public:
    // The user's application-data folder, or nil when the system names none:
    // on Linux $XDG_CONFIG_HOME, or .config in the user's home (UserHome)
    // when that is unset, empty or not an absolute path; on macOS
    // ~/Library/Application Support. A missing folder is created (owner-only
    // on Linux, as the XDG base-directory rules ask) so that programs can make
    // their own folders inside it.
    static Ref<FolderItem> ApplicationData();

    // The user's home folder: $HOME when it is an absolute path, otherwise
    // the home that the password database gives the user; empty when neither
    // names one. Never the filesystem root by default.
    static std::string UserHome();
};
