// Folders the system assigns to the user.
#pragma once

#include "FolderItem.h"
#include "Object.h"

class SpecialFolder {
public:
    // The user's application-data folder, or nil when the system names none:
    // on Linux $XDG_CONFIG_HOME, or ~/.config when that is unset, empty or not
    // an absolute path; on macOS ~/Library/Application Support. A missing
    // folder is created (owner-only on Linux, as the XDG base-directory rules
    // ask) so that programs can make their own folders inside it.
    static Ref<FolderItem> ApplicationData();
};
