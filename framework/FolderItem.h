// Files and folders, on std::filesystem.
#pragma once

#include "Object.h"

#include <filesystem>

class Sound;

class FolderItem : public Object {
    KESTRUNE_CLASS()
public:
    explicit FolderItem(std::filesystem::path path) : path_(std::move(path)) {}

    const std::filesystem::path& Path() const { return path_; }
    String NativePath() const;
    String Name() const;

    // The item of that name inside this folder, whether or not it exists.
    Ref<FolderItem> Child(const String& name) const;
    // The folder holding this item, or nil at the root.
    Ref<FolderItem> Parent() const;
    // Whether the item exists on disk at the moment of asking.
    bool Exists() const;
    bool IsFolder() const;
    // Creates the item as a folder; raises IOException when that fails.
    void CreateAsFolder() const;

    // Opens the file as a sound (see Sound.h): nil when it cannot be opened.
    Ref<Sound> OpenAsSound() const;

    // The application's executable file.
    static Ref<FolderItem> ApplicationExecutable();

private:
    std::filesystem::path path_;
};

// The Resources folder of the application bundle: the executable's parent
// folder's parent's child "Resources". Raises NilObjectException when the
// executable, its parent or that parent's parent is nil.
Ref<FolderItem> GetApplicationBundleResources();
