// The XML document plug-in, on libxml2: a document, its nodes and the node
// lists that path queries answer.
//
// Ownership. Every node of a document, attached or not, lives in the libxml2
// tree that the document holds. Each node has at most one XmlNode handle
// object at a time (shared by every Ref to it), and every handle keeps its
// document's tree alive, so a node handle stays valid as long as it is held,
// whatever happens to the XmlDocument object. A node that is in the document's
// tree belongs to the tree; a node that is not (made by CreateElement or
// CreateTextNode and not yet appended, together with whatever was appended
// below it) is freed when the last handle to it, or to any node below it,
// goes away.
#pragma once

#include "FolderItem.h"
#include "Object.h"

#include <vector>

// Raised when libxml2 rejects a document or a query.
KESTRUNE_EXCEPTION(XmlException, RuntimeException)

class XmlDocument;
class XmlNodeList;

namespace xmlplugin {
class Tree;
}

// libxml2's node type, declared here so that the header needs no libxml2.
struct _xmlNode;

class XmlNode : public Object {
    KESTRUNE_CLASS()
public:
    ~XmlNode() override;

    // Appends child as this node's last child and returns it. A node that is
    // already in a tree is moved. Raises NilObjectException for a nil child,
    // InvalidArgumentException for a node of another document, the node
    // itself or one of its ancestors, and UnsupportedOperationException when
    // this kind of node cannot hold that kind of child (a text node holds no
    // children; a document holds one element and no text).
    Ref<XmlNode> AppendChild(const Ref<XmlNode>& child);
    // The same append, giving nothing back.
    void AppendChildNoResult(const Ref<XmlNode>& child);

    // Runs the XPath query with this node as the context node. Answers the
    // matching nodes in document order. Raises XmlException when libxml2
    // rejects the query or when its result is not a set of nodes.
    Ref<XmlNodeList> Xql(const String& query);

    // The number of child nodes (attributes are not children).
    int64_t ChildCount() const;
    // The child node at index (0 is the first); OutOfBoundsException when
    // there is none.
    Ref<XmlNode> Child(int64_t index);

    // The node's text: the content of a text, CDATA, comment or processing-
    // instruction node, the value of an attribute, and the empty string for
    // every other kind of node (elements, documents, entity references).
    String Value() const;
    // Replaces the node's text, for every kind of node whose text Value
    // gives: the content of a text, CDATA, comment or processing-instruction
    // node (as xmlNodeSetContent sets it) and the value of an attribute (its
    // children become one text node, as xmlSetProp makes them). Other kinds
    // of node raise UnsupportedOperationException and stay as they were.
    // Text that the node could not carry through a save and a load raises
    // InvalidArgumentException, so that a saved document always loads again:
    // characters that XML 1.0 cannot carry (control characters, lone
    // surrogates), "]]>" in a CDATA section, "--" or a last "-" in a comment,
    // and "?>" in a processing instruction.
    void SetValue(const String& value);

    // The node's name: the element's tag name, "#text" for text, and so on.
    String Name() const;

protected:
    XmlNode();
    XmlNode(Ref<xmlplugin::Tree> tree, _xmlNode* node);

    // The handle of node in tree, made when it has none.
    static Ref<XmlNode> Wrap(const Ref<xmlplugin::Tree>& tree, _xmlNode* node);
    // Checks child against this node and links it in as the last child.
    void LinkChild(XmlNode& child);
    // Lets go of the node: clears its handle mark and frees it when it stood
    // outside the document's tree and nothing else holds it.
    void Unbind();

    Ref<xmlplugin::Tree> tree_;
    _xmlNode* node_ = nullptr;

    friend class XmlDocument;
    friend class XmlNodeList;
};

class XmlDocument : public XmlNode {
    KESTRUNE_CLASS()
public:
    // A new, empty document: no root element.
    XmlDocument();
    ~XmlDocument() override;

    // Replaces the document's content with the XML in file. The file is
    // parsed without network access, without substituting entities and
    // without loading external DTDs or entities. Raises NilObjectException for
    // a nil file; IOException when the file cannot be read, is not a regular
    // file or is over kMaxLoadBytes (then it is not read at all); and
    // XmlException when it is not well-formed XML. On every failure the
    // document stays as it was. Node handles taken before a successful load
    // stay valid but belong to the former content.
    void LoadXml(const Ref<FolderItem>& file);

    // Writes the whole document to file, with an XML declaration, in UTF-8,
    // through SaveFileWhole (FileSave.h): a failure, a full disk or a crash at
    // any moment leaves either the former file or the new one, whole, and no
    // temporary file; a folder that takes no new file gets the file written
    // in place. Raises NilObjectException for a nil file, XmlException when
    // the document has no root element (it could not be loaded again) and
    // IOException when the file cannot be written.
    void SaveXml(const Ref<FolderItem>& file);

    // A new element named name, not yet in the tree. InvalidArgumentException
    // when name is not an XML name (it could not be saved and loaded again).
    Ref<XmlNode> CreateElement(const String& name);
    // A new text node holding value, not yet in the tree. Text that XML 1.0
    // cannot carry raises InvalidArgumentException.
    Ref<XmlNode> CreateTextNode(const String& value);

    // A preferences file is a few hundred bytes; anything this large is not
    // one, and is refused before it is read.
    static constexpr int64_t kMaxLoadBytes = 16 * 1024 * 1024;
};

class XmlNodeList : public Object {
    KESTRUNE_CLASS()
public:
    int64_t Length() const { return static_cast<int64_t>(nodes_.size()); }
    // The node at index (0 is the first); OutOfBoundsException when there is
    // none.
    Ref<XmlNode> Item(int64_t index) const;

private:
    XmlNodeList() = default;
    std::vector<Ref<XmlNode>> nodes_;
    friend class XmlNode;
};

// Makes the plug-in's classes and libxml2 ready (the plug-in's binder).
void XmlPluginBind();
