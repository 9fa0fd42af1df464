// The XML document plug-in: building, querying, saving and loading documents,
// node ownership, and what a hostile or broken file does to a load.
#include <gtest/gtest.h>

#include "HostileXml.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileSave.h"
#include "FileSizeLimit.h"
#include "Rerun.h"
#include "Runtime.h"
#include "Xml.h"

namespace {

class XmlTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    Ref<FolderItem> Item(const QString& name) const {
        return Ref<FolderItem>(new FolderItem(QFile::encodeName(dir_.filePath(name)).toStdString()));
    }
    Ref<FolderItem> Write(const QString& name, const QByteArray& content) const {
        QFile f(dir_.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return Item(name);
    }
    QByteArray Read(const QString& name) const {
        QFile f(dir_.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QStringList Entries() const { return QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); }

    QTemporaryDir dir_;
};

// <Kestrune><freq>29000</freq></Kestrune>, built through the API.
Ref<XmlDocument> SmallDocument() {
    Ref<XmlDocument> doc(new XmlDocument);
    Ref<XmlNode> root = doc->AppendChild(doc->CreateElement("Kestrune"));
    Ref<XmlNode> freq = root->AppendChild(doc->CreateElement("freq"));
    freq->AppendChildNoResult(doc->CreateTextNode("29000"));
    return doc;
}

void WriteBytesTo(const QString& path, const QByteArray& content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(content), content.size());
}

String FirstText(const Ref<XmlNode>& context, const String& query) {
    return context->Xql(query)->Item(0)->Child(0)->Value();
}

}  // namespace

TEST_F(XmlTest, BuiltDocumentSavesWithDeclarationAndLoadsBackWhole) {
    Ref<XmlDocument> empty(new XmlDocument);
    EXPECT_EQ(empty->ChildCount(), 0);

    Ref<XmlDocument> doc = SmallDocument();
    Ref<FolderItem> file = Item("prefs.xml");
    doc->SaveXml(file);
    const QByteArray text = Read("prefs.xml");
    EXPECT_TRUE(text.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>")) << text.constData();
    EXPECT_EQ(Entries(), QStringList{"prefs.xml"});  // no temporary file left behind

    Ref<XmlDocument> loaded(new XmlDocument);
    loaded->LoadXml(file);
    ASSERT_EQ(loaded->ChildCount(), 1);
    Ref<XmlNode> root = loaded->Child(0);
    EXPECT_EQ(root->Name(), "Kestrune");
    Ref<XmlNodeList> freq = loaded->Xql("//freq");
    ASSERT_EQ(freq->Length(), 1);
    ASSERT_EQ(freq->Item(0)->ChildCount(), 1);
    EXPECT_EQ(freq->Item(0)->Child(0)->Name(), "#text");
    EXPECT_EQ(freq->Item(0)->Child(0)->Value(), "29000");
}

TEST_F(XmlTest, AppendChildFormsAppendLastAndGiveTheSameNode) {
    Ref<XmlDocument> doc(new XmlDocument);
    Ref<XmlNode> root = doc->CreateElement("Kestrune");
    EXPECT_EQ(doc->AppendChild(root).get(), root.get());
    root->AppendChildNoResult(doc->CreateElement("a"));
    Ref<XmlNode> b = root->AppendChild(doc->CreateElement("b"));
    ASSERT_EQ(root->ChildCount(), 2);
    EXPECT_EQ(root->Child(0)->Name(), "a");
    EXPECT_EQ(root->Child(1).get(), b.get());
    EXPECT_EQ(doc->Xql("//b")->Item(0).get(), b.get());  // one handle per node

    // Appending a node that is in the tree moves it.
    Ref<XmlNode> a = root->Child(0);
    b->AppendChildNoResult(a);
    EXPECT_EQ(root->ChildCount(), 1);
    EXPECT_EQ(doc->Xql("/Kestrune/b/a")->Length(), 1);
}

TEST_F(XmlTest, AdjacentTextNodesStayTwoNodes) {
    // libxml2's own append merges them and frees the second; each handle must
    // stay usable with its own text.
    Ref<XmlDocument> doc(new XmlDocument);
    Ref<XmlNode> root = doc->AppendChild(doc->CreateElement("Kestrune"));
    Ref<XmlNode> first = root->AppendChild(doc->CreateTextNode("one"));
    Ref<XmlNode> second = root->AppendChild(doc->CreateTextNode("two"));
    EXPECT_EQ(root->ChildCount(), 2);
    EXPECT_EQ(first->Value(), "one");
    EXPECT_EQ(second->Value(), "two");
    second->SetValue("three");
    EXPECT_EQ(root->Child(1)->Value(), "three");
}

TEST_F(XmlTest, AppendChildRefusesWhatWouldBreakTheTree) {
    Ref<XmlDocument> doc = SmallDocument();
    Ref<XmlNode> root = doc->Child(0);
    Ref<XmlNode> freq = doc->Xql("//freq")->Item(0);
    Ref<XmlNode> text = freq->Child(0);
    Ref<XmlDocument> other(new XmlDocument);

    EXPECT_THROW(root->AppendChild(Ref<XmlNode>()), NilObjectException);
    EXPECT_THROW(root->AppendChild(root), InvalidArgumentException);
    EXPECT_THROW(freq->AppendChild(root), InvalidArgumentException);  // its own ancestor
    EXPECT_THROW(root->AppendChild(other->CreateElement("x")), InvalidArgumentException);
    EXPECT_THROW(text->AppendChild(doc->CreateTextNode("x")), UnsupportedOperationException);
    EXPECT_THROW(doc->AppendChild(doc->CreateElement("second")), UnsupportedOperationException);
    EXPECT_THROW(doc->AppendChild(doc->CreateTextNode("stray")), UnsupportedOperationException);
    EXPECT_THROW(doc->CreateElement("x")->AppendChild(Ref<XmlNode>(doc)), UnsupportedOperationException);

    // Nothing of that changed the document.
    Ref<FolderItem> file = Item("after.xml");
    doc->SaveXml(file);
    Ref<XmlDocument> loaded(new XmlDocument);
    loaded->LoadXml(file);
    EXPECT_EQ(loaded->Child(0)->ChildCount(), 1);
    EXPECT_EQ(FirstText(loaded, "//freq"), "29000");
}

TEST_F(XmlTest, QueriesAnswerInDocumentOrderFromTheirContextNode) {
    Ref<FolderItem> file = Write("order.xml",
                                 "<Kestrune><group><freq>1</freq><inner><freq>2</freq></inner></group>"
                                 "<freq>3</freq></Kestrune>");
    Ref<XmlDocument> doc(new XmlDocument);
    doc->LoadXml(file);

    Ref<XmlNodeList> all = doc->Xql("//freq");
    ASSERT_EQ(all->Length(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(all->Item(i)->Child(0)->Value(), QString::number(i + 1));
    // A union is answered in document order too, not in the order written.
    Ref<XmlNodeList> both = doc->Xql("/Kestrune/freq | //inner/freq");
    ASSERT_EQ(both->Length(), 2);
    EXPECT_EQ(both->Item(0)->Child(0)->Value(), "2");

    // The root query: the root element's name alone, run on the document.
    ASSERT_EQ(doc->Xql("Kestrune")->Length(), 1);
    EXPECT_EQ(doc->Xql("Kestrune")->Item(0)->Name(), "Kestrune");
    EXPECT_EQ(doc->Xql("group")->Length(), 0);
    // Relative to another node.
    Ref<XmlNode> group = doc->Xql("//group")->Item(0);
    EXPECT_EQ(group->Xql("freq")->Length(), 1);
    EXPECT_EQ(group->Xql(".//freq")->Length(), 2);

    Ref<XmlDocument> otherRoot(new XmlDocument);
    otherRoot->LoadXml(Write("other.xml", "<Other><Kestrune/></Other>"));
    EXPECT_EQ(otherRoot->Xql("Kestrune")->Length(), 0);
}

TEST_F(XmlTest, RejectedQueriesRaiseAndIndexesAreChecked) {
    Ref<XmlDocument> doc = SmallDocument();
    for (const char* query : {"//", "", "//a[", "//a b", "//ns:freq", "count(//freq)", "'text'", "//1x"}) {
        EXPECT_THROW(doc->Xql(query), XmlException) << "query: " << query;
    }
    Ref<XmlNodeList> none = doc->Xql("//missing");
    EXPECT_EQ(none->Length(), 0);
    EXPECT_THROW(none->Item(0), OutOfBoundsException);
    EXPECT_THROW(doc->Xql("//freq")->Item(-1), OutOfBoundsException);
    Ref<XmlNode> freq = doc->Xql("//freq")->Item(0);
    EXPECT_THROW(freq->Child(1), OutOfBoundsException);
    EXPECT_THROW(freq->Child(-1), OutOfBoundsException);
    EXPECT_THROW(freq->Child(0)->Child(0), OutOfBoundsException);
}

TEST_F(XmlTest, TextSurvivesSaveAndLoadUnchanged) {
    const std::vector<QString> values = {
        "29000", "", "a < b && c > d \"quoted\" 'single'", "  padded  ", "line\nbreak\r\nand\ttab",
        QString::fromUtf8("Grüße, 音, \xF0\x9F\x94\x8A"), "]]> and <![CDATA[ look-alikes", "&amp; not an entity",
    };
    Ref<XmlDocument> doc(new XmlDocument);
    Ref<XmlNode> root = doc->AppendChild(doc->CreateElement("Kestrune"));
    for (size_t i = 0; i < values.size(); ++i) {
        Ref<XmlNode> el = root->AppendChild(doc->CreateElement(QString("v%1").arg(i)));
        el->AppendChildNoResult(doc->CreateTextNode("placeholder"));
        el->Child(0)->SetValue(values[i]);
    }
    Ref<FolderItem> file = Item("values.xml");
    doc->SaveXml(file);
    Ref<XmlDocument> loaded(new XmlDocument);
    loaded->LoadXml(file);
    for (size_t i = 0; i < values.size(); ++i) {
        Ref<XmlNode> el = loaded->Xql(QString("//v%1").arg(i))->Item(0);
        const QString got = el->ChildCount() > 0 ? el->Child(0)->Value() : QString();
        EXPECT_EQ(got, values[i]) << "value " << i;
    }
}

TEST_F(XmlTest, NamesAndTextThatWouldCorruptTheFileAreRefused) {
    Ref<XmlDocument> doc = SmallDocument();
    for (const char* name : {"", "a b", "1x", "a[1]", "a|b", "a:b", "-x", "<x>"}) {
        EXPECT_THROW(doc->CreateElement(name), InvalidArgumentException) << "name: " << name;
    }
    const QString control = QString("x") + QChar(0x01);
    const QString nul = QString("x") + QChar(0x00);
    const QString loneSurrogate = QString("x") + QChar(0xD800);
    Ref<XmlNode> text = doc->Xql("//freq")->Item(0)->Child(0);
    for (const QString& bad : {control, nul, loneSurrogate, QString(QChar(0xFFFE))}) {
        EXPECT_THROW(doc->CreateTextNode(bad), InvalidArgumentException);
        EXPECT_THROW(text->SetValue(bad), InvalidArgumentException);
    }
    EXPECT_EQ(text->Value(), "29000");
    // Only text can be set: an element's value is not its text.
    Ref<XmlNode> freq = doc->Xql("//freq")->Item(0);
    EXPECT_EQ(freq->Value(), "");
    EXPECT_THROW(freq->SetValue("1"), UnsupportedOperationException);

    Ref<XmlDocument> rootless(new XmlDocument);
    EXPECT_THROW(rootless->SaveXml(Item("rootless.xml")), XmlException);
    EXPECT_FALSE(Item("rootless.xml")->Exists());
}

namespace {

// A document with a node of each kind that has a value (kValueKinds) and
// of each kind that has none, as a hand-edited file may hold them.
const QByteArray kEveryKind =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE Kestrune [<!ENTITY e \"4000\">]>\n"
    "<Kestrune a=\"attr\"><t>text</t><c><![CDATA[cdata]]></c><m><!--comment--></m><p><?pi instr?></p>"
    "<r>&e;</r><x><y/></x></Kestrune>";

struct ValueKind {
    const char* query;  // selects the node in kEveryKind
    const char* name;   // its Name, which a save and a load keep
    const char* value;  // its Value there
    std::vector<QString> refused;  // texts that it cannot carry through a save
};

const std::vector<ValueKind> kValueKinds = {
    {"//t/text()", "#text", "text", {}},
    {"//c/node()", "#cdata-section", "cdata", {"a]]>b"}},
    {"//m/comment()", "#comment", "comment", {"a--b", "--", "a-", "-"}},
    {"//p/processing-instruction()", "pi", "instr", {"a?>b", "?>"}},
    {"//@a", "a", "attr", {}},
};

}  // namespace

TEST_F(XmlTest, EveryKindOfNodeWithAValueHasItSetAndKeepsItThroughASave) {
    const std::vector<QString> values = {"9000", "a < b && c > d \"q\" 'r' &amp;", QString::fromUtf8("Grüße, 音")};
    for (const ValueKind& k : kValueKinds) {
        for (const QString& value : values) {
            SCOPED_TRACE(std::string(k.query) + " <- " + value.toStdString());
            Ref<XmlDocument> doc(new XmlDocument);
            doc->LoadXml(Write("kinds.xml", kEveryKind));
            Ref<XmlNode> node = doc->Xql(k.query)->Item(0);
            EXPECT_EQ(node->Name(), k.name);
            EXPECT_EQ(node->Value(), k.value);
            // A handle to an attribute's former text stays usable.
            Ref<XmlNode> formerChild = node->ChildCount() > 0 ? node->Child(0) : Ref<XmlNode>();

            node->SetValue(value);
            EXPECT_EQ(node->Value(), value);
            if (formerChild) {
                EXPECT_EQ(formerChild->Value(), k.value);
                EXPECT_EQ(node->ChildCount(), 1);
            }
            doc->SaveXml(Item("saved.xml"));
            Ref<XmlDocument> loaded(new XmlDocument);
            loaded->LoadXml(Item("saved.xml"));
            ASSERT_EQ(loaded->Xql(k.query)->Length(), 1);
            EXPECT_EQ(loaded->Xql(k.query)->Item(0)->Name(), k.name);
            EXPECT_EQ(loaded->Xql(k.query)->Item(0)->Value(), value);
            EXPECT_EQ(FirstText(loaded, "//t"), k.query == std::string("//t/text()") ? value : "text");
        }
    }
}

TEST_F(XmlTest, TextANodeCannotCarryAndNodesWithoutAValueAreRefusedAndLeftAlone) {
    const QString control = QString("x") + QChar(0x01);
    const QString loneSurrogate = QString("x") + QChar(0xD800);
    Ref<XmlDocument> doc(new XmlDocument);
    doc->LoadXml(Write("kinds.xml", kEveryKind));
    for (const ValueKind& k : kValueKinds) {
        Ref<XmlNode> node = doc->Xql(k.query)->Item(0);
        std::vector<QString> refused = k.refused;
        refused.insert(refused.end(), {control, loneSurrogate, QString(QChar(0xFFFE))});
        for (const QString& bad : refused) {
            SCOPED_TRACE(std::string(k.query) + " <- " + bad.toStdString());
            EXPECT_THROW(node->SetValue(bad), InvalidArgumentException);
            EXPECT_EQ(node->Value(), k.value);
        }
    }
    // An element, an entity reference and the document have no value: Value
    // gives none and SetValue changes nothing.
    const std::vector<std::pair<QString, Ref<XmlNode>>> valueless = {
        {"element", doc->Xql("//x")->Item(0)},
        {"element holding only an element", doc->Xql("//x")->Item(0)->Child(0)},
        {"entity reference", doc->Xql("//r")->Item(0)->Child(0)},
        {"document", doc},
    };
    for (const auto& [what, node] : valueless) {
        SCOPED_TRACE(what.toStdString());
        EXPECT_EQ(node->Value(), "");
        EXPECT_THROW(node->SetValue("9000"), UnsupportedOperationException);
        EXPECT_EQ(node->Value(), "");
    }
    // Nothing of that changed the document.
    doc->SaveXml(Item("saved.xml"));
    Ref<XmlDocument> untouched(new XmlDocument);
    untouched->LoadXml(Item("kinds.xml"));
    untouched->SaveXml(Item("expected.xml"));
    EXPECT_EQ(QString(Read("saved.xml")), QString(Read("expected.xml")));
}

TEST_F(XmlTest, NodeHandlesOutliveTheirDocumentAndDetachedNodesAreFreed) {
    // Run under the sanitizer build (or valgrind) this also shows that nothing
    // leaks and nothing is used after it was freed.
    Ref<XmlNode> text;
    {
        Ref<XmlDocument> doc = SmallDocument();
        text = doc->Xql("//freq")->Item(0)->Child(0);
    }
    EXPECT_EQ(text->Value(), "29000");

    Ref<XmlDocument> doc(new XmlDocument);
    Ref<XmlNode> inner;
    {
        Ref<XmlNode> outer = doc->CreateElement("outer");
        inner = outer->AppendChild(doc->CreateElement("inner"));
        inner->AppendChildNoResult(doc->CreateTextNode("kept"));
    }  // the detached outer element is held through its child
    EXPECT_EQ(inner->Child(0)->Value(), "kept");
    Ref<XmlNode> root = doc->AppendChild(doc->CreateElement("Kestrune"));
    root->AppendChildNoResult(inner);  // leaves outer unheld: freed here
    inner = nullptr;
    EXPECT_EQ(FirstText(doc, "//inner"), "kept");

    {
        Ref<XmlNode> never = doc->CreateElement("never");
        never->AppendChildNoResult(doc->CreateTextNode("attached"));
    }
    EXPECT_EQ(doc->Xql("//never")->Length(), 0);
}

TEST_F(XmlTest, SuccessfulLoadReplacesContentAndOldHandlesStayValid) {
    Ref<XmlDocument> doc = SmallDocument();
    Ref<XmlNode> oldText = doc->Xql("//freq")->Item(0)->Child(0);
    doc->LoadXml(Write("new.xml", "<Kestrune><freq>4000</freq></Kestrune>"));
    EXPECT_EQ(FirstText(doc, "//freq"), "4000");
    EXPECT_EQ(oldText->Value(), "29000");
    // A node of the former content is not part of the new one.
    EXPECT_THROW(doc->Child(0)->AppendChild(oldText), InvalidArgumentException);
}

namespace {

struct BadFile {
    const char* name;
    QByteArray content;
};

}  // namespace

TEST_F(XmlTest, BrokenOrHostileFilesRaiseAndLeaveTheDocumentAsItWas) {
    const std::vector<BadFile> files = {
        {"empty", ""},
        {"malformed", "<Kestrune><freq>9000</frq></Kestrune>"},
        {"truncated", "<?xml version=\"1.0\"?>\n<Kestrune>\n  <freq>90"},
        {"binary", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe\0\x01", 20)},
        {"two roots", "<Kestrune/><Kestrune/>"},
        {"deeply nested", "<Kestrune>" + Repeat("<a>", 100000) + Repeat("</a>", 100000) + "</Kestrune>"},
        {"entity expansion", BillionLaughs()},
        {"entity loop", "<!DOCTYPE Kestrune [<!ENTITY a \"&b;\"><!ENTITY b \"&a;\">]><Kestrune>&a;</Kestrune>"},
    };
    for (const BadFile& bad : files) {
        SCOPED_TRACE(bad.name);
        Ref<XmlDocument> doc = SmallDocument();
        EXPECT_THROW(doc->LoadXml(Write("bad.xml", bad.content)), XmlException);
        EXPECT_EQ(FirstText(doc, "//freq"), "29000");
        EXPECT_EQ(doc->ChildCount(), 1);
    }
}

TEST_F(XmlTest, FilesThatAreNotReadableXmlRaiseIOException) {
    Ref<XmlDocument> doc = SmallDocument();
    EXPECT_THROW(doc->LoadXml(Item("missing.xml")), IOException);
    ASSERT_TRUE(QDir(dir_.path()).mkdir("folder.xml"));
    EXPECT_THROW(doc->LoadXml(Item("folder.xml")), IOException);
    // A FIFO in the file's place must not make the load wait for a writer.
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir_.filePath("fifo.xml")).constData(), 0600), 0);
    EXPECT_THROW(doc->LoadXml(Item("fifo.xml")), IOException);
    // Far too large for a preferences file: refused before it is read.
    {
        QFile big(dir_.filePath("big.xml"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        big.write("<Kestrune>");
        ASSERT_TRUE(big.resize(XmlDocument::kMaxLoadBytes + 1));
    }
    EXPECT_THROW(doc->LoadXml(Item("big.xml")), IOException);
    EXPECT_THROW(doc->LoadXml(Ref<FolderItem>()), NilObjectException);
    EXPECT_EQ(FirstText(doc, "//freq"), "29000");
}

TEST_F(XmlTest, ExternalEntityNeverPullsInTheFileItNames) {
    const QByteArray secret = "SECRET-CONTENT-7f3a";
    Write("secret.txt", secret);
    const QByteArray url = "file://" + QFile::encodeName(dir_.filePath("secret.txt"));
    const std::vector<BadFile> files = {
        {"general entity", "<?xml version=\"1.0\"?>\n<!DOCTYPE Kestrune [<!ENTITY x SYSTEM \"" + url +
                               "\">]>\n<Kestrune><freq>&x;</freq></Kestrune>\n"},
        {"in an attribute", "<!DOCTYPE Kestrune [<!ENTITY x SYSTEM \"" + url +
                                "\">]><Kestrune a=\"&x;\"><freq>1</freq></Kestrune>"},
        {"parameter entity", "<!DOCTYPE Kestrune [<!ENTITY % p SYSTEM \"" + url + "\"> %p;]><Kestrune/>"},
        {"external DTD", "<!DOCTYPE Kestrune SYSTEM \"" + url + "\"><Kestrune/>"},
    };
    for (const BadFile& f : files) {
        SCOPED_TRACE(f.name);
        Ref<XmlDocument> doc = SmallDocument();
        try {
            doc->LoadXml(Write("entity.xml", f.content));
        } catch (const XmlException&) {
            continue;  // refusing the file is as good as not expanding
        }
        for (const char* query : {"//freq", "//@a"}) {
            Ref<XmlNodeList> found = doc->Xql(query);
            for (int64_t i = 0; i < found->Length(); ++i) {
                Ref<XmlNode> n = found->Item(i);
                EXPECT_FALSE(n->Value().contains(secret));
                for (int64_t c = 0; c < n->ChildCount(); ++c) EXPECT_FALSE(n->Child(c)->Value().contains(secret));
            }
        }
        Ref<FolderItem> out = Item("resaved.xml");
        doc->SaveXml(out);
        EXPECT_FALSE(Read("resaved.xml").contains(secret));
    }
}

TEST_F(XmlTest, FailedSaveRaisesAndLeavesTheOldFileUntouched) {
    Ref<XmlDocument> doc = SmallDocument();
    // The folder does not exist.
    EXPECT_THROW(doc->SaveXml(Item("nowhere/prefs.xml")), IOException);
    // The target is a folder.
    ASSERT_TRUE(QDir(dir_.path()).mkpath("taken.xml/inside"));
    EXPECT_THROW(doc->SaveXml(Item("taken.xml")), IOException);
    EXPECT_TRUE(QFileInfo(dir_.filePath("taken.xml/inside")).isDir());
    EXPECT_THROW(doc->SaveXml(Ref<FolderItem>()), NilObjectException);
    EXPECT_EQ(Entries(), QStringList{"taken.xml"});
}

TEST_F(XmlTest, AReplacedFileKeepsItsPermissionsAndALinkKeepsNamingIt) {
    Write("real.xml", "<Kestrune/>");
    ASSERT_EQ(::chmod(QFile::encodeName(dir_.filePath("real.xml")).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link("real.xml", dir_.filePath("link.xml")));
    SmallDocument()->SaveXml(Item("link.xml"));
    EXPECT_TRUE(QFileInfo(dir_.filePath("link.xml")).isSymLink());
    EXPECT_TRUE(Read("real.xml").contains("<freq>29000</freq>"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(dir_.filePath("real.xml")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(), (QStringList{"link.xml", "real.xml"}));
}

namespace {

// <Kestrune><pad>xxx...</pad></Kestrune>: a document of about size bytes.
Ref<XmlDocument> DocumentOfSize(int size) {
    Ref<XmlDocument> doc(new XmlDocument);
    Ref<XmlNode> root = doc->AppendChild(doc->CreateElement("Kestrune"));
    Ref<XmlNode> pad = root->AppendChild(doc->CreateElement("pad"));
    pad->AppendChildNoResult(doc->CreateTextNode(QString(size, QChar('x'))));
    return doc;
}


// Runs a case with unnamed temporary files (O_TMPFILE) and again with named
// ones, as on filesystems that have no unnamed files.
template <typename Case>
void InBothTempModes(Case&& run) {
    for (bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
        SetUnnamedTempFilesForTesting(unnamed);
        run();
    }
    SetUnnamedTempFilesForTesting(true);
}

const QByteArray kOldPrefs = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Kestrune><freq>4000</freq></Kestrune>\n";

}  // namespace

namespace {

// Where the save is pointed at, in a folder "shared" that the case sets up.
enum class Planted {
    kFileLink,     // shared/prefs.xml is a link to the file outside
    kDangling,     // shared/prefs.xml is a link to a file outside that is missing
    kFolderLink,   // shared/sub is a link to the folder outside; the save names shared/sub/target.xml
    kSecondHop,    // mine/prefs.xml, this user's link in a folder of this user's, leads to shared/prefs.xml
};

struct LinkCase {
    const char* name;
    mode_t folderMode;      // of shared
    bool folderOfNobody;    // shared belongs to nobody:nogroup, otherwise to this user and nogroup
    bool linkOfNobody;      // the link in shared belongs to nobody, otherwise to this user
    Planted planted;
    bool followed;
};

}  // namespace

TEST_F(XmlTest, ALinkThatAnotherUserCouldHavePlantedIsNotFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a link and a folder to another user needs root";
    const passwd* nobody = ::getpwnam("nobody");
    const group* nogroup = ::getgrnam("nogroup");
    if (!nobody || !nogroup) GTEST_SKIP() << "no user nobody or group nogroup here";
    const uid_t me = ::geteuid();

    const std::vector<LinkCase> cases = {
        {"others may write, nobody's link", 0777, false, true, Planted::kFileLink, false},
        {"nobody's group may write, nobody's link", 0770, false, true, Planted::kFileLink, false},
        {"nobody's folder, nobody's link", 0755, true, true, Planted::kFileLink, false},
        {"others may write, nobody's dangling link", 0777, false, true, Planted::kDangling, false},
        {"others may write, nobody's link to a folder", 0777, false, true, Planted::kFolderLink, false},
        {"my own link first, then nobody's", 0777, false, true, Planted::kSecondHop, false},
        {"others may write, my own link", 0777, false, false, Planted::kFileLink, true},
        {"others may write, my own dangling link", 0777, false, false, Planted::kDangling, true},
        {"nobody's group may write, my own link to a folder", 0770, false, false, Planted::kFolderLink, true},
        {"nobody's folder, my own link", 0755, true, false, Planted::kFileLink, true},
        {"my own link, then another of mine", 0777, false, false, Planted::kSecondHop, true},
        {"a folder of mine alone, nobody's link", 0755, false, true, Planted::kFileLink, true},
    };
    const QString outside = dir_.filePath("outside"), shared = dir_.filePath("shared"), mine = dir_.filePath("mine");
    const QString target = outside + "/target.xml";
    auto enc = [](const QString& p) { return QFile::encodeName(p); };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const QString& d : {outside, shared, mine}) {
            QDir(d).removeRecursively();
            ASSERT_TRUE(QDir().mkdir(d));
        }
        const bool dangling = c.planted == Planted::kDangling;
        if (!dangling) WriteBytesTo(target, kOldPrefs);

        QString link = shared + "/prefs.xml", linkTo = target, saved = link;
        if (c.planted == Planted::kFolderLink) {
            link = shared + "/sub";
            linkTo = outside;
            saved = link + "/target.xml";
        } else if (c.planted == Planted::kSecondHop) {
            ASSERT_TRUE(QFile::link(link, mine + "/prefs.xml"));
            saved = mine + "/prefs.xml";
        }
        ASSERT_EQ(::symlink(enc(linkTo).constData(), enc(link).constData()), 0);
        ASSERT_EQ(::lchown(enc(link).constData(), c.linkOfNobody ? nobody->pw_uid : me, nogroup->gr_gid), 0);
        ASSERT_EQ(::chown(enc(shared).constData(), c.folderOfNobody ? nobody->pw_uid : me, nogroup->gr_gid), 0);
        ASSERT_EQ(::chmod(enc(shared).constData(), c.folderMode), 0);

        Ref<XmlDocument> doc = SmallDocument();
        const Ref<FolderItem> file(new FolderItem(enc(saved).toStdString()));
        if (c.followed) {
            doc->SaveXml(file);
            EXPECT_TRUE(Read("outside/target.xml").contains("<freq>29000</freq>"));
        } else {
            EXPECT_THROW(doc->SaveXml(file), IOException);
            if (dangling)
                EXPECT_FALSE(QFileInfo::exists(target));
            else
                EXPECT_EQ(Read("outside/target.xml"), kOldPrefs);
        }
        // The link stays, names what it named, and no file is left beside it.
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), linkTo);
        EXPECT_EQ(QDir(shared).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{QFileInfo(link).fileName()});
        EXPECT_EQ(QDir(outside).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden),
                  c.followed || !dangling ? QStringList{"target.xml"} : QStringList{});
    }
}

TEST_F(XmlTest, AFileSizeLimitFailsTheSaveAndTheProcessGoesOn) {
    // SIGXFSZ would end the process: surviving the saves is part of the test.
    InBothTempModes([&] {
        Write("prefs.xml", kOldPrefs);
        {
            FileSizeLimit limit(100);  // the write is cut short, then refused
            EXPECT_THROW(DocumentOfSize(2000)->SaveXml(Item("prefs.xml")), IOException);
            EXPECT_THROW(DocumentOfSize(40)->SaveXml(Item("prefs.xml")), IOException);  // just over it
        }
        EXPECT_EQ(Read("prefs.xml"), kOldPrefs);
        EXPECT_EQ(Entries(), QStringList{"prefs.xml"});
        DocumentOfSize(2000)->SaveXml(Item("prefs.xml"));  // with the limit gone
        EXPECT_GT(Read("prefs.xml").size(), 2000);
    });
}

TEST_F(XmlTest, AFullDiskFailsTheSaveAndLeavesTheOldFileWhole) {
    const QString disk = SmallTmpfs();
    if (disk.isEmpty()) return RerunInSmallTmpfs(64, 16);

    const QString prefs = disk + "/prefs.xml";
    const Ref<FolderItem> file(new FolderItem(QFile::encodeName(prefs).toStdString()));
    auto entries = [&] { return QDir(disk).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); };
    auto bytesOf = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    };
    // Fills the disk with one file, leaving about room bytes (whole pages).
    auto fill = [&](qint64 room) {
        QFile filler(disk + "/filler");
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size() && filler.flush()) {
        }
        filler.close();
        ASSERT_TRUE(filler.resize(std::max<qint64>(0, filler.size() - room)));
    };
    // Uses up the inodes with empty files.
    auto useInodes = [&] {
        for (int i = 0; i < 100; ++i) {
            QFile f(disk + QString("/inode%1").arg(i));
            if (!f.open(QIODevice::WriteOnly)) break;
        }
    };
    auto clear = [&] {
        for (const QString& name : entries())
            if (name != "prefs.xml") QFile::remove(disk + "/" + name);
    };

    struct Fault {
        const char* name;
        std::function<void()> make;
        int documentSize;
    };
    const std::vector<Fault> faults = {
        {"no room at all", [&] { fill(0); }, 200},
        {"room for part of the document", [&] { fill(8192); }, 20000},
        {"no inode left", useInodes, 200},
    };
    InBothTempModes([&] {
        for (const Fault& fault : faults) {
            SCOPED_TRACE(fault.name);
            clear();
            WriteBytesTo(prefs, kOldPrefs);
            fault.make();
            const QStringList before = entries();
            EXPECT_THROW(DocumentOfSize(fault.documentSize)->SaveXml(file), IOException);
            EXPECT_EQ(bytesOf(prefs), kOldPrefs);
            EXPECT_EQ(entries(), before);  // no temporary file left
            clear();
            DocumentOfSize(fault.documentSize)->SaveXml(file);  // room again
            EXPECT_GT(bytesOf(prefs).size(), fault.documentSize);
            EXPECT_EQ(entries(), QStringList{"prefs.xml"});
        }
    });
}

TEST_F(XmlTest, AReadOnlyMountWithAWritableFileBoundInIsWrittenInPlaceAndAFullDiskLeavesItWhole) {
    // As in a container: the folder is a read-only mount (EROFS), the file a
    // writable bind mount inside it.
    const QString disk = SmallTmpfs();
    if (disk.isEmpty()) return RerunInSmallTmpfs(64, 64);
    const QString folder = disk + "/folder";
    const QString prefs = folder + "/prefs.xml";
    ASSERT_TRUE(QDir().mkdir(folder));
    WriteBytesTo(prefs, kOldPrefs);
    const QByteArray f = QFile::encodeName(folder), p = QFile::encodeName(prefs);
    ASSERT_EQ(::mount(f.constData(), f.constData(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, f.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    ASSERT_EQ(::mount(p.constData(), p.constData(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, p.constData(), nullptr, MS_REMOUNT | MS_BIND, nullptr), 0) << std::strerror(errno);
    ASSERT_FALSE(QFile(folder + "/probe").open(QIODevice::WriteOnly));

    const Ref<FolderItem> file(new FolderItem(p.toStdString()));
    auto bytesOf = [&] {
        QFile in(prefs);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<unreadable>");
    };
    auto expected = [&](const Ref<XmlDocument>& doc) {
        doc->SaveXml(Item("expected.xml"));
        return Read("expected.xml");
    };
    InBothTempModes([&] {
        Ref<XmlDocument> longer = DocumentOfSize(6000);
        longer->SaveXml(file);
        EXPECT_EQ(bytesOf(), expected(longer));
        Ref<XmlDocument> shorter = DocumentOfSize(10);
        shorter->SaveXml(file);
        EXPECT_EQ(bytesOf(), expected(shorter));

        // The disk full: a longer document finds no room and the file stays
        // whole; a shorter one fits in the room the file already has.
        {
            QFile filler(disk + "/filler");
            ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
            const QByteArray page(4096, 'f');
            while (filler.write(page) == page.size() && filler.flush()) {
            }
        }
        const QByteArray before = bytesOf();
        EXPECT_THROW(DocumentOfSize(20000)->SaveXml(file), IOException);
        EXPECT_EQ(bytesOf(), before);
        Ref<XmlDocument> shortest = DocumentOfSize(1);
        shortest->SaveXml(file);
        ASSERT_TRUE(QFile::remove(disk + "/filler"));
        EXPECT_EQ(bytesOf(), expected(shortest));
        EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{"prefs.xml"});
    });
}

namespace {

struct InPlaceCase {
    const char* name;
    mode_t fileMode;        // 0: no file
    int documentSize;       // of the new document; the old file is kOldPrefs
    rlim_t sizeLimit;       // RLIM_INFINITY: none
    bool saved;             // the new document reaches the file
};

}  // namespace

TEST_F(XmlTest, AFolderThatTakesNoNewFileGetsAWritableFileWrittenInPlace) {
    if (::geteuid() == 0) return RerunAsNobody();
    const std::vector<InPlaceCase> cases = {
        {"longer content", 0600, 500, RLIM_INFINITY, true},
        {"shorter content", 0600, 1, RLIM_INFINITY, true},
        {"read-only file", 0400, 500, RLIM_INFINITY, false},
        {"no file", 0, 500, RLIM_INFINITY, false},
        {"longer than the file-size limit", 0600, 500, 300, false},
    };
    const QString locked = dir_.filePath("locked");
    const QByteArray lockedPath = QFile::encodeName(locked);
    InBothTempModes([&] {
        for (const InPlaceCase& c : cases) {
            SCOPED_TRACE(c.name);
            QDir(locked).removeRecursively();
            ASSERT_TRUE(QDir().mkdir(locked));
            if (c.fileMode) {
                Write("locked/prefs.xml", kOldPrefs);
                ASSERT_EQ(::chmod(QFile::encodeName(locked + "/prefs.xml").constData(), c.fileMode), 0);
            }
            ASSERT_EQ(::chmod(lockedPath.constData(), 0500), 0);
            Ref<XmlDocument> doc = DocumentOfSize(c.documentSize);
            if (c.saved) {
                doc->SaveXml(Item("locked/prefs.xml"));
            } else {
                FileSizeLimit limit(c.sizeLimit);
                EXPECT_THROW(doc->SaveXml(Item("locked/prefs.xml")), IOException);
            }
            ::chmod(lockedPath.constData(), 0700);
            const QStringList inFolder = QDir(locked).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
            if (!c.fileMode) {
                EXPECT_TRUE(inFolder.isEmpty());
                continue;
            }
            EXPECT_EQ(inFolder, QStringList{"prefs.xml"});
            if (!c.saved) {
                EXPECT_EQ(Read("locked/prefs.xml"), kOldPrefs);
                continue;
            }
            doc->SaveXml(Item("expected.xml"));  // what a save into a writable folder writes
            EXPECT_EQ(Read("locked/prefs.xml"), Read("expected.xml"));
        }
    });
    // A folder that takes new files does not replace a file that is read-only.
    Write("readonly.xml", kOldPrefs);
    ASSERT_EQ(::chmod(QFile::encodeName(dir_.filePath("readonly.xml")).constData(), 0400), 0);
    EXPECT_THROW(SmallDocument()->SaveXml(Item("readonly.xml")), IOException);
    EXPECT_EQ(Read("readonly.xml"), kOldPrefs);
}

namespace {

struct Leftover {
    const char* name;
    QByteArray content;
    int ageSeconds;
    bool removed;
    bool locked = false;   // a save in progress holds it
    bool symlink = false;
};

}  // namespace

TEST_F(XmlTest, LeftoversOfKilledSavesAreRemovedAtTheNextSave) {
    const int old = static_cast<int>(kAbandonedTempAge.count()) + 60;
    const std::vector<Leftover> leftovers = {
        {"prefs.xml.AbCdEf", kOldPrefs.left(30), old, true},
        {"prefs.xml.qwerty", "", old, true},
        {"prefs.xml.ZZZZZZ", kOldPrefs, old, true},
        {"prefs.xml.Fresh", "<?xml", 0, false},            // five letters
        {"prefs.xml.FreshY", "<?xml", 0, false},           // a save in another process may be writing it
        {"prefs.xml.HeldXy", "<?xml", old, false, true},   // locked by a save in progress
        {"prefs.xml.Abc123", "<?xml", old, false},         // not letters alone
        {"prefs.xml.Abcdefg", "<?xml", old, false},        // seven letters
        {"prefs.xml.NotXml", "my own notes", old, false},  // not what a save writes
        {"prefs.xml.LinkIt", "", old, false, false, true},
        {"other.xml.AbCdEf", "<?xml", old, false},
        {"prefs.xml.bak", "<?xml", old, false},
    };
    std::vector<std::unique_ptr<QFile>> held;
    for (const Leftover& l : leftovers) {
        const QByteArray path = QFile::encodeName(dir_.filePath(l.name));
        if (l.symlink) {
            Write("target", "<?xml");
            ASSERT_EQ(::symlink("target", path.constData()), 0);
        } else {
            Write(l.name, l.content);
        }
        const timespec times[2] = {{::time(nullptr) - l.ageSeconds, 0}, {::time(nullptr) - l.ageSeconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW), 0);
        if (l.locked) {
            held.push_back(std::make_unique<QFile>(dir_.filePath(l.name)));
            ASSERT_TRUE(held.back()->open(QIODevice::ReadOnly));
            ASSERT_EQ(::flock(held.back()->handle(), LOCK_EX), 0);
        }
    }
    Write("prefs.xml", kOldPrefs);
    InBothTempModes([&] {
        SmallDocument()->SaveXml(Item("prefs.xml"));
        for (const Leftover& l : leftovers)
            EXPECT_EQ(QFileInfo::exists(dir_.filePath(l.name)) || QFileInfo(dir_.filePath(l.name)).isSymLink(),
                      !l.removed)
                << l.name;
        EXPECT_TRUE(QFileInfo::exists(dir_.filePath("target")));
        EXPECT_TRUE(Read("prefs.xml").contains("<freq>29000</freq>"));
    });
}

TEST(XmlPlugin, BindingMakesTheClassesReady) {
    InitPluginEntrypoints();
    EXPECT_TRUE(PluginIsBound("XML"));
    Ref<Object> made = RuntimeNewObject(XmlDocument::Class());
    EXPECT_TRUE(RuntimeCheckCast<XmlDocument>(made));
    EXPECT_TRUE(XmlDocument::Class().IsA(XmlNode::Class()));
    EXPECT_EQ(XmlNodeList::Class().name, "XmlNodeList");
}
