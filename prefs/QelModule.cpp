#include "QelModule.h"

#include "SpecialFolder.h"

namespace QelModule {

Ref<XmlDocument> prefsXML;
Ref<FolderItem> prefsFolder;
Ref<FolderItem> prefsFile;

namespace {

void InitModuleVariables() {
    prefsXML = nullptr;
    prefsFolder = nullptr;
    prefsFile = nullptr;
}

const StaticInitializer g_moduleVariables(100, &InitModuleVariables);

}  // namespace

bool InnitiatePrefs() {
    try {
        // From here on the store is open, whatever fails below.
        prefsXML = Ref<XmlDocument>(new XmlDocument);

        Ref<FolderItem> appData = SpecialFolder::ApplicationData();
        prefsFolder = appData->Child(QStringLiteral("KestrunePrefs"));
        appData = nullptr;

        if (!prefsFolder->Exists()) prefsFolder->CreateAsFolder();

        prefsFile = prefsFolder->Child(QStringLiteral("Kestrune_prefs.xml"));

        // A 0-byte file holds nothing to lose, and only a failed save makes
        // one: it counts as missing, so the next save writes a whole file.
        if (prefsFile->Exists() && !prefsFile->IsEmptyFile()) {
            prefsXML->LoadXml(prefsFile);
        } else {
            Ref<XmlNode> root = prefsXML->AppendChild(prefsXML->CreateElement(QStringLiteral("Kestrune")));
            root = nullptr;
            SavePrefs();
        }

        return prefsFile->Exists();
    } catch (...) {
        return false;
    }
}

String GetPrefsValue(const String& key) {
    try {
        if (!prefsXML) (void)InnitiatePrefs();

        Ref<XmlNodeList> found = prefsXML->Xql(QStringLiteral("//") + key);
        if (!(found->Length() > 0)) return String();

        Ref<XmlNode> element = found->Item(0);
        if (!(element->ChildCount() > 0)) return String();

        return element->Child(0)->Value();
    } catch (...) {
        return String();
    }
}

void SetPrefsValue(const String& key, const String& value) {
    try {
        if (key.length() == 0) return;

        if (!prefsXML && !InnitiatePrefs()) return;

        Ref<XmlNodeList> found = prefsXML->Xql(QStringLiteral("//") + key);
        if (found->Length() > 0) {
            Ref<XmlNode> element = found->Item(0);
            if (element->ChildCount() > 0)
                element->Child(0)->SetValue(value);
            else
                element->AppendChildNoResult(prefsXML->CreateTextNode(value));
        } else {
            Ref<XmlNode> root = prefsXML->Xql(QStringLiteral("Kestrune"))->Item(0);
            Ref<XmlNode> element = root->AppendChild(prefsXML->CreateElement(key));
            element->AppendChildNoResult(prefsXML->CreateTextNode(value));
        }

        SavePrefs();
    } catch (...) {
    }
}

void SavePrefs() {
    if (!prefsFile) return;
    prefsXML->SaveXml(prefsFile);
}

void ResetForTesting() { InitModuleVariables(); }

}  // namespace QelModule
