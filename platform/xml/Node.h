#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _xmlNode;

namespace xml {

class Document;

// DOM node types by their DOM numbers.
enum class NodeType {
    Other = 0,
    Element = 1,
    Attribute = 2,
    Text = 3,
    CData = 4,
    EntityReference = 5,
    ProcessingInstruction = 7,
    Comment = 8,
    Document = 9,
    DocumentFragment = 11,
};

// A handle on a node of a Document (an element, attribute, text…). It does not own the node:
// it stays valid while its document lives and is not reloaded. A default Node is "Nothing".
//
// Names are qualified names as written in the document ("fdt:name"): selection and attribute
// lookup compare them as text, prefix included, as the system's documents are read.
class Node {
public:
    Node() = default;
    explicit Node(_xmlNode* raw) : raw_(raw) {}

    explicit operator bool() const { return raw_ != nullptr; }
    bool operator==(const Node& other) const { return raw_ == other.raw_; }
    _xmlNode* raw() const { return raw_; }

    NodeType type() const;
    std::string name() const;  // qualified: "prefix:local" or "local"
    std::string localName() const;
    std::string prefix() const;
    std::string namespaceURI() const;
    // Text content (of an attribute: its value).
    std::string text() const;
    void setText(std::string_view value);

    Document* ownerDocument() const;
    Node parent() const;
    Node firstChild() const;
    Node nextSibling() const;
    std::vector<Node> children() const;

    // XSL-pattern subset, relative to this node (a leading "/" starts at the document):
    //   step("/"step)*   step = QName predicate*
    //   predicate = [@QName = "v"] | [not(@QName = "v")]   (blanks optional, ' or " quotes)
    // Names compare as written, prefix included. A pattern outside the subset matches nothing.
    Node selectSingleNode(std::string_view pattern) const;
    std::vector<Node> selectNodes(std::string_view pattern) const;

    // Attributes of an element by qualified name as written: "p:n" finds the attribute whose
    // namespace prefix is p and local name n, or a plain attribute literally named "p:n"; a
    // plain name finds an attribute without namespace.
    std::optional<std::string> getAttribute(std::string_view qname) const;
    Node getAttributeNode(std::string_view qname) const;
    // Sets an existing attribute found as above, else creates it; "p:n" takes the binding of p
    // in scope here. Throws Error when p is not bound (the document would not re-parse).
    Node setAttribute(std::string_view qname, std::string_view value);
    // Creates or replaces the attribute in namespace nsURI (empty: none). The prefix of qname
    // is reused when bound to nsURI in scope; otherwise the binding is declared here.
    Node setAttributeNS(std::string_view qname, std::string_view nsURI, std::string_view value);
    bool removeAttribute(std::string_view qname);

    // Appends child (a node of the same document, new or removed) as the last child; returns
    // it. An element created in a namespace takes the binding in scope here when the prefix
    // matches, so no duplicate declaration is written.
    Node appendChild(Node child);
    // Unlinks child from this node; it stays usable (and owned by the document).
    Node removeChild(Node child);

private:
    _xmlNode* raw_ = nullptr;
};

}  // namespace xml
