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

    // The item of that name inside this folder, whether or not it exists; nil
    // when the name names nothing inside a folder (empty, ".", "..", or with a
    // "/" or NUL in it) or when this item exists and is not a folder.
    Ref<FolderItem> Child(const String& name) const;
    // The folder holding this item, or nil at the root.
    Ref<FolderItem> Parent() const;
    // Whether the item exists on disk at the moment of asking.
    bool Exists() const;
    bool IsFolder() const;
    // Whether the item is a regular file (a link is followed) of 0 bytes.
    bool IsEmptyFile() const;
    // Creates the item as a folder; raises IOException when that fails.
    void CreateAsFolder() const;

    // Opens the file as a sound (see Sound.h): nil when it is missing, is not
    // a sound file or cannot be read. Reads the file once, then and there.
    Ref<Sound> OpenAsSound() const;

    // The application's executable file.
    static Ref<FolderItem> ApplicationExecutable();

    // For tests, which do not run inside the application bundle: the path
    // that ApplicationExecutable gives from now on; an empty path restores
    // the real one.
    static void SetApplicationExecutableForTesting(const std::filesystem::path& path);

private:
    std::filesystem::path path_;
};

// The Resources folder of the application bundle: the executable's parent
// folder's parent's child "Resources". Raises NilObjectException when the
// executable, its parent or that parent's parent is nil.
Ref<FolderItem> GetApplicationBundleResources();
