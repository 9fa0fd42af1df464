// The preferences store: text values by key in one XML document, kept in
// memory and mirrored to Kestrune_prefs.xml in the folder KestrunePrefs of
// the user's application-data folder.
#pragma once

#include "FolderItem.h"
#include "Object.h"
#include "Xml.h"

namespace QelModule {

// The document every read and write works on; nil while the store is not open.
extern Ref<XmlDocument> prefsXML;
// The folder KestrunePrefs inside the application-data folder.
extern Ref<FolderItem> prefsFolder;
// The file Kestrune_prefs.xml inside that folder; the target of every save.
extern Ref<FolderItem> prefsFile;

// The value stored under key, or the empty string. Opens the store on first
// use. Never raises.
String GetPrefsValue(const String& key);

// Stores value under key and saves the whole document. Opens the store on
// first use; an empty key does nothing. Never raises.
void SetPrefsValue(const String& key, const String& value);

// Opens the store: a new document, the folder created when it is missing, and
// the file loaded, or created holding the root element alone when it is
// missing. Returns whether the file exists at the end; False when anything
// failed. Never raises.
bool InnitiatePrefs();

// Writes the whole document to prefsFile (nothing when that is nil). Lets
// whatever the save raises pass.
void SavePrefs();

// FOR TESTS ONLY, never called by the program: puts the module back in its
// start state (all three variables nil), as a new process would find it.
void ResetForTesting();

}  // namespace QelModule
