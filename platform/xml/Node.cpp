#include "xml/Node.h"

#include <libxml/tree.h>

#include "xml/Document.h"
#include "xml/ParseError.h"
#include "xml/Pattern.h"

namespace xml {

namespace {

std::string str(const xmlChar* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string();
}

// Takes a string libxml2 allocated.
std::string take(xmlChar* s) {
    std::string out = str(s);
    if (s) xmlFree(s);
    return out;
}

std::string qualified(const xmlChar* prefix, const xmlChar* local) {
    return prefix ? str(prefix) + ":" + str(local) : str(local);
}

std::pair<std::string, std::string> split(std::string_view qname) {
    const auto colon = qname.find(':');
    if (colon == std::string_view::npos) return {{}, std::string(qname)};
    return {std::string(qname.substr(0, colon)), std::string(qname.substr(colon + 1))};
}

bool isElement(const xmlNode* n) {
    return n && n->type == XML_ELEMENT_NODE;
}

xmlAttrPtr findAttribute(const xmlNode* n, std::string_view qname) {
    if (!isElement(n)) return nullptr;
    for (xmlAttrPtr a = n->properties; a; a = a->next) {
        const xmlChar* prefix = a->ns ? a->ns->prefix : nullptr;
        if (qualified(prefix, a->name) == qname) return a;
    }
    return nullptr;
}

// Namespace declarations are not attributes here; writing one would rebind names.
void checkAttributeName(std::string_view qname, const std::string& prefix,
                        const std::string& local) {
    if (!isXmlQName(qname) || prefix == "xmlns" || (prefix.empty() && local == "xmlns"))
        throw Error("not an attribute name: \"" + std::string(qname) + "\"");
}

void checkValue(std::string_view value) {
    if (!isXmlText(value)) throw Error("not XML text (invalid UTF-8 or a control character)");
}

bool matches(const xmlNode* n, const detail::Step& step) {
    if (!isElement(n)) return false;
    if (qualified(n->ns ? n->ns->prefix : nullptr, n->name) != step.name) return false;
    for (const auto& p : step.predicates) {
        const Node node(const_cast<xmlNode*>(n));
        const auto value = node.getAttribute(p.attribute);
        const bool equal = value && *value == p.value;
        if (equal == p.negated) return false;
    }
    return true;
}

std::vector<Node> select(xmlNodePtr context, std::string_view text, bool firstOnly) {
    std::vector<Node> found;
    if (!context) return found;
    const auto pattern = detail::parsePattern(text);
    if (!pattern) return found;
    std::vector<xmlNodePtr> current{
        pattern->absolute && context->doc ? reinterpret_cast<xmlNodePtr>(context->doc) : context};
    for (std::size_t s = 0; s < pattern->steps.size(); ++s) {
        const bool last = s + 1 == pattern->steps.size();
        std::vector<xmlNodePtr> next;
        for (xmlNodePtr c : current) {
            if (c->type == XML_ATTRIBUTE_NODE) continue;
            for (xmlNodePtr child = c->children; child; child = child->next) {
                if (!matches(child, pattern->steps[s])) continue;
                next.push_back(child);
                if (last && firstOnly) return {Node(child)};
            }
        }
        current = std::move(next);
    }
    for (xmlNodePtr n : current) found.emplace_back(n);
    return found;
}

// Points references to `from` inside the subtree at `to`.
void rebind(xmlNodePtr n, xmlNsPtr from, xmlNsPtr to) {
    for (; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (n->ns == from) n->ns = to;
        for (xmlAttrPtr a = n->properties; a; a = a->next)
            if (a->ns == from) a->ns = to;
        rebind(n->children, from, to);
    }
}

// An element made in a namespace carries its own declaration; where the same prefix is already
// bound to the same URI in the new parent, that binding is used and ours dropped.
void shareNamespaces(xmlNodePtr parent, xmlNodePtr child) {
    xmlNsPtr* link = &child->nsDef;
    while (xmlNsPtr ns = *link) {
        xmlNsPtr inScope = xmlSearchNs(parent->doc, parent, ns->prefix);
        if (inScope && inScope->href && ns->href && xmlStrEqual(inScope->href, ns->href)) {
            rebind(child, ns, inScope);
            *link = ns->next;
            ns->next = nullptr;
            xmlFreeNs(ns);
        } else {
            link = &ns->next;
        }
    }
}

}  // namespace

NodeType Node::type() const {
    if (!raw_) return NodeType::Other;
    switch (raw_->type) {
        case XML_ELEMENT_NODE:
            return NodeType::Element;
        case XML_ATTRIBUTE_NODE:
            return NodeType::Attribute;
        case XML_TEXT_NODE:
            return NodeType::Text;
        case XML_CDATA_SECTION_NODE:
            return NodeType::CData;
        case XML_ENTITY_REF_NODE:
            return NodeType::EntityReference;
        case XML_PI_NODE:
            return NodeType::ProcessingInstruction;
        case XML_COMMENT_NODE:
            return NodeType::Comment;
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
            return NodeType::Document;
        case XML_DOCUMENT_FRAG_NODE:
            return NodeType::DocumentFragment;
        default:
            return NodeType::Other;
    }
}

std::string Node::name() const {
    switch (type()) {
        case NodeType::Element:
        case NodeType::Attribute:
            return qualified(prefix().empty() ? nullptr : raw_->ns->prefix, raw_->name);
        case NodeType::Text:
            return "#text";
        case NodeType::CData:
            return "#cdata-section";
        case NodeType::Comment:
            return "#comment";
        case NodeType::Document:
            return "#document";
        case NodeType::DocumentFragment:
            return "#document-fragment";
        default:
            return raw_ ? str(raw_->name) : std::string();
    }
}

std::string Node::localName() const {
    return raw_ && (isElement(raw_) || raw_->type == XML_ATTRIBUTE_NODE) ? str(raw_->name) : "";
}

std::string Node::prefix() const {
    if (!raw_ || (!isElement(raw_) && raw_->type != XML_ATTRIBUTE_NODE) || !raw_->ns) return {};
    return str(raw_->ns->prefix);
}

std::string Node::namespaceURI() const {
    if (!raw_ || (!isElement(raw_) && raw_->type != XML_ATTRIBUTE_NODE) || !raw_->ns) return {};
    return str(raw_->ns->href);
}

std::string Node::text() const {
    return raw_ ? take(xmlNodeGetContent(raw_)) : std::string();
}

void Node::setText(std::string_view value) {
    if (!raw_) throw Error("setText on Nothing");
    checkValue(value);
    const std::string v(value);
    if (raw_->type == XML_ATTRIBUTE_NODE) {
        auto* a = reinterpret_cast<xmlAttrPtr>(raw_);
        if (!a->parent) throw Error("setText on an attribute outside an element");
        xmlSetNsProp(a->parent, a->ns, a->name, BAD_CAST v.c_str());
        return;
    }
    // xmlNodeSetContent would read "&…;" in the value as references.
    xmlNodeSetContent(raw_, nullptr);
    if (isElement(raw_)) {
        if (!v.empty()) xmlAddChild(raw_, xmlNewDocText(raw_->doc, BAD_CAST v.c_str()));
    } else {
        xmlNodeAddContent(raw_, BAD_CAST v.c_str());
    }
}

Document* Node::ownerDocument() const {
    return raw_ ? Document::of(raw_->doc) : nullptr;
}

Node Node::parent() const {
    return Node(raw_ ? raw_->parent : nullptr);
}

Node Node::firstChild() const {
    return Node(raw_ && raw_->type != XML_ATTRIBUTE_NODE ? raw_->children : nullptr);
}

Node Node::nextSibling() const {
    return Node(raw_ ? raw_->next : nullptr);
}

std::vector<Node> Node::children() const {
    std::vector<Node> out;
    for (Node c = firstChild(); c; c = c.nextSibling()) out.push_back(c);
    return out;
}

Node Node::selectSingleNode(std::string_view pattern) const {
    auto found = select(raw_, pattern, true);
    return found.empty() ? Node() : found.front();
}

std::vector<Node> Node::selectNodes(std::string_view pattern) const {
    return select(raw_, pattern, false);
}

std::optional<std::string> Node::getAttribute(std::string_view qname) const {
    xmlAttrPtr a = findAttribute(raw_, qname);
    if (!a) return std::nullopt;
    return take(xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a)));
}

Node Node::getAttributeNode(std::string_view qname) const {
    return Node(reinterpret_cast<xmlNodePtr>(findAttribute(raw_, qname)));
}

Node Node::setAttribute(std::string_view qname, std::string_view value) {
    if (!isElement(raw_)) throw Error("setAttribute on a node that is not an element");
    checkValue(value);
    const std::string v(value);
    if (xmlAttrPtr a = findAttribute(raw_, qname))
        return Node(
            reinterpret_cast<xmlNodePtr>(xmlSetNsProp(raw_, a->ns, a->name, BAD_CAST v.c_str())));
    const auto [prefix, local] = split(qname);
    checkAttributeName(qname, prefix, local);
    xmlNsPtr ns = nullptr;
    if (!prefix.empty()) {
        ns = xmlSearchNs(raw_->doc, raw_, BAD_CAST prefix.c_str());
        if (!ns)
            throw Error("namespace prefix \"" + prefix + "\" of attribute \"" + std::string(qname) +
                        "\" is not declared on " + name());
    }
    xmlAttrPtr a = xmlSetNsProp(raw_, ns, BAD_CAST local.c_str(), BAD_CAST v.c_str());
    if (!a) throw Error("out of memory");
    return Node(reinterpret_cast<xmlNodePtr>(a));
}

Node Node::setAttributeNS(std::string_view qname, std::string_view nsURI, std::string_view value) {
    if (nsURI.empty()) return setAttribute(qname, value);
    if (!isElement(raw_)) throw Error("setAttributeNS on a node that is not an element");
    checkValue(value);
    const auto [prefix, local] = split(qname);
    checkAttributeName(qname, prefix, local);
    const std::string uri(nsURI), v(value);
    xmlNsPtr ns = nullptr;
    if (!prefix.empty()) {
        xmlNsPtr bound = xmlSearchNs(raw_->doc, raw_, BAD_CAST prefix.c_str());
        if (bound && xmlStrEqual(bound->href, BAD_CAST uri.c_str())) ns = bound;
    }
    if (!ns) {
        xmlNsPtr any = xmlSearchNsByHref(raw_->doc, raw_, BAD_CAST uri.c_str());
        if (any && any->prefix &&
            (prefix.empty() || xmlStrEqual(any->prefix, BAD_CAST prefix.c_str())))
            ns = any;
    }
    if (!ns) {
        const std::string p = prefix.empty() ? "ns0" : prefix;
        ns = xmlNewNs(raw_, BAD_CAST uri.c_str(), BAD_CAST p.c_str());
        if (!ns) throw Error("cannot declare prefix \"" + p + "\" on " + name());
    }
    xmlAttrPtr a = xmlSetNsProp(raw_, ns, BAD_CAST local.c_str(), BAD_CAST v.c_str());
    if (!a) throw Error("out of memory");
    return Node(reinterpret_cast<xmlNodePtr>(a));
}

bool Node::removeAttribute(std::string_view qname) {
    xmlAttrPtr a = findAttribute(raw_, qname);
    if (!a) return false;
    xmlRemoveProp(a);
    return true;
}

Node Node::appendChild(Node child) {
    if (!raw_ || !child) throw Error("appendChild with Nothing");
    xmlNodePtr c = child.raw();
    if (c->doc != raw_->doc) throw Error("appendChild of a node of another document");
    if (c->type == XML_ATTRIBUTE_NODE || c->type == XML_DOCUMENT_NODE)
        throw Error("appendChild of a node that cannot be a child");
    for (xmlNodePtr a = raw_; a; a = a->parent)
        if (a == c) throw Error("appendChild of a node into itself");
    if (c->parent) xmlUnlinkNode(c);
    if (isElement(c) && isElement(raw_)) shareNamespaces(raw_, c);
    xmlNodePtr added = xmlAddChild(raw_, c);
    if (!added) throw Error("appendChild failed");
    if (isElement(added)) xmlReconciliateNs(added->doc, added);
    return Node(added);
}

Node Node::removeChild(Node child) {
    if (!raw_ || !child || child.raw()->parent != raw_ || child.raw()->type == XML_ATTRIBUTE_NODE)
        throw Error("removeChild of a node that is not a child");
    xmlUnlinkNode(child.raw());
    if (Document* d = ownerDocument()) d->adopt(child);
    return child;
}

}  // namespace xml
