#include "Xml.h"

#include "FileSave.h"
#include "Runtime.h"


#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace xmlplugin {

// One libxml2 document tree. The XmlDocument object and every node handle of
// the tree hold it, so it lives until the last of them goes.
class Tree : public Object {
public:
    explicit Tree(xmlDocPtr d) : doc(d) {}
    ~Tree() override {
        if (doc) xmlFreeDoc(doc);
    }
    xmlDocPtr const doc;
};

}  // namespace xmlplugin

using xmlplugin::Tree;

namespace {

// External entities and DTDs are never fetched: the parser runs without the
// options that would ask for them, and this loader refuses every request in
// case anything asks anyway.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
    return nullptr;
}

void EnsureLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
    });
}

// Collects what libxml2 reports while it is in scope, so that nothing is
// written to standard error; the first error becomes the exception's message.
class ErrorCapture {
public:
    ErrorCapture() : oldHandler_(xmlStructuredError), oldContext_(xmlStructuredErrorContext) {
        xmlSetStructuredErrorFunc(this, &ErrorCapture::Handle);
    }
    ~ErrorCapture() { xmlSetStructuredErrorFunc(oldContext_, oldHandler_); }
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;

    static void Handle(void* self, xmlErrorPtr error) {
        auto* capture = static_cast<ErrorCapture*>(self);
        if (!error || error->level < XML_ERR_ERROR || !capture->first_.empty()) return;
        std::string msg = error->message ? error->message : "unknown error";
        while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
        if (error->line > 0) msg = "line " + std::to_string(error->line) + ": " + msg;
        capture->first_ = msg;
    }
    std::string Message(const char* fallback) const { return first_.empty() ? fallback : first_; }

private:
    xmlStructuredErrorFunc oldHandler_;
    void* oldContext_;
    std::string first_;
};

bool IsDocumentNode(const xmlNode* n) {
    return n->type == XML_DOCUMENT_NODE || n->type == XML_HTML_DOCUMENT_NODE;
}

// Kinds of node whose children list is their own. An entity reference's
// children pointer names the entity's declaration, so it counts as a leaf.
bool HasOwnChildren(const xmlNode* n) {
    switch (n->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
    case XML_DTD_NODE:
        return true;
    default:
        return false;
    }
}

xmlNodePtr TopOf(xmlNodePtr n) {
    while (n->parent) n = n->parent;
    return n;
}

// Whether any node of the subtree under top (attributes included) has a
// handle. Iterative, so that a deep tree cannot exhaust the stack.
bool SubtreeHasHandle(xmlNodePtr top) {
    std::vector<xmlNodePtr> pending{top};
    while (!pending.empty()) {
        xmlNodePtr n = pending.back();
        pending.pop_back();
        if (n->_private) return true;
        if (n->type == XML_ELEMENT_NODE)
            for (xmlAttrPtr a = n->properties; a; a = a->next) pending.push_back(reinterpret_cast<xmlNodePtr>(a));
        if (HasOwnChildren(n))
            for (xmlNodePtr c = n->children; c; c = c->next) pending.push_back(c);
    }
    return false;
}

// Frees the subtree under n when it stands outside its document's tree and
// no handle refers into it any more.
void FreeIfAbandoned(xmlNodePtr n) {
    xmlNodePtr top = TopOf(n);
    if (IsDocumentNode(top) || SubtreeHasHandle(top)) return;
    xmlFreeNode(top);
}

// Whether XML 1.0 can carry the text (its Char production). A lone
// surrogate is refused too: it has no UTF-8 form and would be altered.
bool IsXmlText(const String& text) {
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c)) {
            if (i + 1 >= n || !QChar::isLowSurrogate(text.at(i + 1).unicode())) return false;
            ++i;  // U+10000..U+10FFFF are all allowed
            continue;
        }
        const bool ok = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                        (c >= 0xE000 && c <= 0xFFFD);
        if (!ok) return false;
    }
    return true;
}

const xmlChar* X(const QByteArray& utf8) { return reinterpret_cast<const xmlChar*>(utf8.constData()); }

String FromXml(const xmlChar* s) { return s ? String::fromUtf8(reinterpret_cast<const char*>(s)) : String(); }

std::string NativePath(const FolderItem& file) { return file.Path().string(); }

// Reads the whole of a regular file, refusing one over limit bytes. Opening
// without blocking keeps a FIFO or device put in the file's place from
// stalling the caller.
QByteArray ReadRegularFile(const std::string& path, int64_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw IOException("cannot open " + path + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw IOException("cannot read " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw IOException(path + " is not a file");
    if (st.st_size > limit) throw IOException(path + " is too large to be a preferences document");
    QByteArray data;
    data.reserve(static_cast<qsizetype>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw IOException("cannot read " + path + ": " + std::strerror(errno));
        }
        if (got == 0) break;
        if (data.size() + got > limit) throw IOException(path + " is too large to be a preferences document");
        data.append(buf, static_cast<qsizetype>(got));
    }
    return data;
}

// Makes the value of attr the text utf8 taken as it stands, as xmlSetProp
// does (xmlNodeSetContent would read entity references in it). The former
// children are unlinked; those that a handle refers to are freed with their
// handle, the others at once.
void SetAttributeText(xmlAttrPtr attr, const QByteArray& utf8) {
    xmlNodePtr text = xmlNewDocText(attr->doc, X(utf8));
    if (!text) throw XmlException("cannot set the value");
    const bool isId = attr->atype == XML_ATTRIBUTE_ID;
    if (isId) xmlRemoveID(attr->doc, attr);
    while (xmlNodePtr child = attr->children) {
        xmlUnlinkNode(child);
        if (!SubtreeHasHandle(child)) xmlFreeNode(child);
    }
    text->parent = reinterpret_cast<xmlNodePtr>(attr);
    attr->children = attr->last = text;
    if (isId) xmlAddID(nullptr, attr->doc, X(utf8), attr);
}

}  // namespace

// ---------------------------------------------------------------------------
// XmlNode

XmlNode::XmlNode() = default;

XmlNode::XmlNode(Ref<Tree> tree, xmlNodePtr node) : tree_(std::move(tree)), node_(node) {
    node_->_private = this;
}

XmlNode::~XmlNode() { Unbind(); }

void XmlNode::Unbind() {
    if (!node_) return;
    xmlNodePtr n = std::exchange(node_, nullptr);
    n->_private = nullptr;
    FreeIfAbandoned(n);
}

Ref<XmlNode> XmlNode::Wrap(const Ref<Tree>& tree, xmlNodePtr node) {
    if (!node) return nullptr;
    if (node->_private) return Ref<XmlNode>(static_cast<XmlNode*>(node->_private));
    return Ref<XmlNode>(new XmlNode(tree, node));
}

void XmlNode::LinkChild(XmlNode& child) {
    xmlNodePtr parent = node_;
    xmlNodePtr c = child.node_;
    if (!parent || !c) throw NilObjectException();
    if (child.tree_.get() != tree_.get()) throw InvalidArgumentException("the node belongs to another document");
    for (xmlNodePtr p = parent; p; p = p->parent)
        if (p == c) throw InvalidArgumentException("a node cannot be appended to itself or to a node below it");

    switch (c->type) {
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        break;
    default:
        throw UnsupportedOperationException("this kind of node cannot be appended");
    }
    if (IsDocumentNode(parent)) {
        if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE)
            throw UnsupportedOperationException("a document cannot hold text");
        if (c->type == XML_ELEMENT_NODE) {
            xmlNodePtr root = xmlDocGetRootElement(reinterpret_cast<xmlDocPtr>(parent));
            if (root && root != c) throw UnsupportedOperationException("the document has a root element already");
        }
    } else if (parent->type != XML_ELEMENT_NODE) {
        throw UnsupportedOperationException("this kind of node cannot hold children");
    }

    // Linked by hand rather than with xmlAddChild, which merges adjacent text
    // nodes and frees the appended one, a node that a handle refers to.
    xmlNodePtr oldTop = c->parent ? TopOf(c) : nullptr;
    xmlUnlinkNode(c);
    c->parent = parent;
    c->next = nullptr;
    c->prev = parent->last;
    if (parent->last)
        parent->last->next = c;
    else
        parent->children = c;
    parent->last = c;
    // Moving a node out of a detached subtree may leave that subtree unheld.
    if (oldTop) FreeIfAbandoned(oldTop);
}

Ref<XmlNode> XmlNode::AppendChild(const Ref<XmlNode>& child) {
    Ref<XmlNode> hold = CheckNil(child);
    LinkChild(*hold);
    return hold;
}

void XmlNode::AppendChildNoResult(const Ref<XmlNode>& child) {
    Ref<XmlNode> hold = CheckNil(child);
    LinkChild(*hold);
}

Ref<XmlNodeList> XmlNode::Xql(const String& query) {
    if (!node_) throw NilObjectException();
    EnsureLibrary();
    ErrorCapture errors;
    struct Context {
        xmlXPathContextPtr p;
        ~Context() { xmlXPathFreeContext(p); }
    } ctx{xmlXPathNewContext(tree_->doc)};
    if (!ctx.p) throw XmlException("cannot run a query");
    ctx.p->node = node_;
    ctx.p->error = &ErrorCapture::Handle;
    ctx.p->userData = &errors;

    const QByteArray expr = query.toUtf8();
    struct Result {
        xmlXPathObjectPtr p;
        ~Result() { xmlXPathFreeObject(p); }
    } res{xmlXPathEval(X(expr), ctx.p)};
    if (!res.p) throw XmlException("invalid query \"" + expr.toStdString() + "\": " + errors.Message("rejected"));
    if (res.p->type != XPATH_NODESET)
        throw XmlException("the query \"" + expr.toStdString() + "\" does not select nodes");

    Ref<XmlNodeList> list(new XmlNodeList);
    if (xmlNodeSetPtr set = res.p->nodesetval) {
        xmlXPathNodeSetSort(set);
        for (int i = 0; i < set->nodeNr; ++i) {
            xmlNodePtr n = set->nodeTab[i];
            // The query's copies of namespace nodes die with its result.
            if (n->type == XML_NAMESPACE_DECL) throw XmlException("queries for namespace nodes are not supported");
            list->nodes_.push_back(Wrap(tree_, n));
        }
    }
    return list;
}

int64_t XmlNode::ChildCount() const {
    if (!node_) throw NilObjectException();
    int64_t count = 0;
    if (HasOwnChildren(node_))
        for (xmlNodePtr c = node_->children; c; c = c->next) ++count;
    return count;
}

Ref<XmlNode> XmlNode::Child(int64_t index) {
    if (!node_) throw NilObjectException();
    if (index >= 0 && HasOwnChildren(node_)) {
        int64_t i = 0;
        for (xmlNodePtr c = node_->children; c; c = c->next, ++i)
            if (i == index) return Wrap(tree_, c);
    }
    throw OutOfBoundsException("no child at index " + std::to_string(index));
}

String XmlNode::Value() const {
    if (!node_) throw NilObjectException();
    switch (node_->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        return FromXml(node_->content);
    case XML_ATTRIBUTE_NODE: {
        xmlChar* v = xmlNodeGetContent(node_);
        String s = FromXml(v);
        xmlFree(v);
        return s;
    }
    default:
        return String();
    }
}

void XmlNode::SetValue(const String& value) {
    if (!node_) throw NilObjectException();
    const xmlElementType kind = node_->type;
    switch (kind) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_ATTRIBUTE_NODE:
        break;
    default:
        // Elements, documents and entity references have no text of their
        // own (Value gives none). xmlNodeSetContent would replace an
        // element's children, and free the declaration that an entity
        // reference's children pointer names.
        throw UnsupportedOperationException("this kind of node has no text of its own to set");
    }
    if (!IsXmlText(value)) throw InvalidArgumentException("the text holds characters that XML cannot carry");
    if (kind == XML_CDATA_SECTION_NODE && value.contains(QLatin1String("]]>")))
        throw InvalidArgumentException("a CDATA section cannot hold \"]]>\"");
    if (kind == XML_COMMENT_NODE && (value.contains(QLatin1String("--")) || value.endsWith(QLatin1Char('-'))))
        throw InvalidArgumentException("a comment cannot hold \"--\" or end with \"-\"");
    if (kind == XML_PI_NODE && value.contains(QLatin1String("?>")))
        throw InvalidArgumentException("a processing instruction cannot hold \"?>\"");
    const QByteArray utf8 = value.toUtf8();
    if (kind == XML_ATTRIBUTE_NODE)
        SetAttributeText(reinterpret_cast<xmlAttrPtr>(node_), utf8);
    else
        xmlNodeSetContent(node_, X(utf8));
}

String XmlNode::Name() const {
    if (!node_) throw NilObjectException();
    switch (node_->type) {
    case XML_TEXT_NODE: return QStringLiteral("#text");
    case XML_CDATA_SECTION_NODE: return QStringLiteral("#cdata-section");
    case XML_COMMENT_NODE: return QStringLiteral("#comment");
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE: return QStringLiteral("#document");
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
        if (node_->ns && node_->ns->prefix) return FromXml(node_->ns->prefix) + ':' + FromXml(node_->name);
        return FromXml(node_->name);
    default:
        return FromXml(node_->name);
    }
}

// ---------------------------------------------------------------------------
// XmlDocument

XmlDocument::XmlDocument() {
    EnsureLibrary();
    xmlDocPtr doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    if (!doc) throw XmlException("cannot create a document");
    tree_ = Ref<Tree>(new Tree(doc));
    node_ = reinterpret_cast<xmlNodePtr>(doc);
    node_->_private = static_cast<XmlNode*>(this);
}

XmlDocument::~XmlDocument() = default;

void XmlDocument::LoadXml(const Ref<FolderItem>& file) {
    const std::string path = NativePath(*CheckNil(file));
    const QByteArray data = ReadRegularFile(path, kMaxLoadBytes);

    EnsureLibrary();
    ErrorCapture errors;
    struct Parser {
        xmlParserCtxtPtr p;
        ~Parser() { xmlFreeParserCtxt(p); }
    } parser{xmlNewParserCtxt()};
    if (!parser.p) throw XmlException("cannot create a parser");
    // No XML_PARSE_NOENT (entities stay references), no DTD loading or
    // validation, no network, and no XML_PARSE_HUGE: libxml2's limits on
    // depth, text size and entity amplification stay in force.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDocPtr parsed = xmlCtxtReadMemory(parser.p, data.constData(), static_cast<int>(data.size()), path.c_str(),
                                         nullptr, options);
    if (!parsed || !parser.p->wellFormed) {
        if (parsed) xmlFreeDoc(parsed);
        throw XmlException("cannot load " + path + ": " + errors.Message("not well-formed XML"));
    }

    // Only now does the document take the new content; handles into the
    // former content keep their tree alive.
    Ref<Tree> fresh(new Tree(parsed));
    node_->_private = nullptr;
    tree_ = fresh;
    node_ = reinterpret_cast<xmlNodePtr>(parsed);
    node_->_private = static_cast<XmlNode*>(this);
}

void XmlDocument::SaveXml(const Ref<FolderItem>& file) {
    CheckNil(file);
    xmlDocPtr doc = tree_->doc;
    if (!xmlDocGetRootElement(doc)) throw XmlException("the document has no root element");

    ErrorCapture errors;
    xmlChar* text = nullptr;
    int size = 0;
    // Written as built, without added indentation, so that loading the file
    // gives back exactly the nodes that were saved.
    xmlDocDumpFormatMemoryEnc(doc, &text, &size, "UTF-8", 0);
    if (!text) throw XmlException("cannot write the document: " + errors.Message("out of memory"));
    const QByteArray bytes(reinterpret_cast<const char*>(text), size);
    xmlFree(text);

    SaveFileWhole(file->Path(), bytes);
}

Ref<XmlNode> XmlDocument::CreateElement(const String& name) {
    const QByteArray utf8 = name.toUtf8();
    if (name.isEmpty() || xmlValidateNCName(X(utf8), 0) != 0)
        throw InvalidArgumentException("\"" + utf8.toStdString() + "\" is not an element name");
    xmlNodePtr n = xmlNewDocNode(tree_->doc, nullptr, X(utf8), nullptr);
    if (!n) throw XmlException("cannot create an element");
    return Ref<XmlNode>(new XmlNode(tree_, n));
}

Ref<XmlNode> XmlDocument::CreateTextNode(const String& value) {
    if (!IsXmlText(value)) throw InvalidArgumentException("the text holds characters that XML cannot carry");
    const QByteArray utf8 = value.toUtf8();
    xmlNodePtr n = xmlNewDocText(tree_->doc, X(utf8));
    if (!n) throw XmlException("cannot create a text node");
    return Ref<XmlNode>(new XmlNode(tree_, n));
}

// ---------------------------------------------------------------------------
// XmlNodeList

Ref<XmlNode> XmlNodeList::Item(int64_t index) const {
    if (index < 0 || index >= Length()) throw OutOfBoundsException("no item at index " + std::to_string(index));
    return nodes_[static_cast<size_t>(index)];
}

// ---------------------------------------------------------------------------
// Class tables and the plug-in's binder

const ClassInfo& XmlNode::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "XmlNode";
        c.base = &Object::Class();
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

const ClassInfo& XmlDocument::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "XmlDocument";
        c.base = &XmlNode::Class();
        c.factory = [] { return static_cast<Object*>(new XmlDocument); };
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

const ClassInfo& XmlNodeList::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "XmlNodeList";
        c.base = &Object::Class();
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

void XmlPluginBind() {
    EnsureLibrary();
    (void)XmlNode::Class();
    (void)XmlDocument::Class();
    (void)XmlNodeList::Class();
}

namespace {
const PluginRegistration g_xmlPlugin("XML", &XmlPluginBind);
}
