#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "xml/Document.h"

namespace {

const char* const kFunctions = R"X(<?xml version="1.0" encoding="UTF-8"?>
<FDT xmlns="x-schema:F.xml" xmlns:fdt="x-schema:T.xml">
  <fdt:VersionInformation name="Tivmate"/>
  <Functions label="$(str_Functions)">
    <Function fdt:name="OfflineParameter" functionId="10"><Status hidden="0"/></Function>
    <Function fdt:name="Test" functionId="40"><Status hidden="0"/></Function>
    <Function fdt:name="About" functionId="50" kind="x y"><Status hidden="1"/></Function>
  </Functions>
</FDT>)X";

xml::Document loaded(const char* text) {
    xml::Document d;
    EXPECT_TRUE(d.loadXML(text)) << d.parseError().reason;
    return d;
}

TEST(XmlSelection, PatternsSelectByQualifiedNameAndPredicates) {
    xml::Document d;
    ASSERT_TRUE(d.loadXML(kFunctions)) << d.parseError().reason;
    struct Case {
        const char* pattern;
        std::vector<std::string> functionIds;  // of the matches, or the names when not Function
    };
    const Case cases[] = {
        {"FDT/Functions/Function", {"10", "40", "50"}},
        {"/FDT/Functions/Function", {"10", "40", "50"}},
        {R"(FDT/Functions/Function[@fdt:name = "Test"])", {"40"}},
        {R"(FDT/Functions/Function[@fdt:name="Test"])", {"40"}},
        {"FDT/Functions/Function[@fdt:name = 'About']", {"50"}},
        {R"(FDT/Functions/Function[not(@fdt:name = "Test")])", {"10", "50"}},
        {R"(FDT/Functions/Function[@kind = "x y"])", {"50"}},
        {R"(FDT/Functions/Function[@functionId = "10"][not(@fdt:name = "Test")])", {"10"}},
        // Names as written: the attribute is fdt:name, not name; the prefix is part of the name.
        {R"(FDT/Functions/Function[@name = "Test"])", {}},
        {R"(FDT/Functions/Function[not(@name = "Test")])", {"10", "40", "50"}},
        {"FDT/VersionInformation", {}},
        {"FDT/fdt:VersionInformation", {"V"}},
        {"fdt:FDT", {}},
        // Outside the subset: nothing, never an exception.
        {"*", {}},
        {"FDT/*", {}},
        {"FDT//Function", {}},
        {"", {}},
        {"/", {}},
        {"FDT/", {}},
        {"FDT/Functions[", {}},
        {R"(FDT/Functions/Function[@fdt:name = "Test")", {}},
        {"FDT/Functions/Function[@fdt:name = Test]", {}},
        {R"(FDT/Functions/Function[not(@fdt:name = "Test"])", {}},
        {"FDT/Functions/Function[@fdt:name]", {}},
        {"FDT/1bad", {}},
        {"FDT/a:b:c", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        for (const auto& n : d.selectNodes(c.pattern))
            got.push_back(n.getAttribute("functionId").value_or("V"));
        EXPECT_EQ(got, c.functionIds) << c.pattern;
        const auto single = d.selectSingleNode(c.pattern);
        EXPECT_EQ(bool(single), !c.functionIds.empty()) << c.pattern;
    }
}

TEST(XmlSelection, RelativeToAContextNodeAndAbsoluteFromIt) {
    auto d = loaded(kFunctions);
    const auto functions = d.selectSingleNode("FDT/Functions");
    ASSERT_TRUE(functions);
    EXPECT_EQ(functions.selectNodes("Function").size(), 3u);
    EXPECT_EQ(functions.selectNodes("Function/Status[@hidden = \"1\"]").size(), 1u);
    EXPECT_EQ(functions.selectNodes("/FDT/Functions").size(), 1u);
    EXPECT_FALSE(functions.selectSingleNode("Functions"));
}

TEST(XmlAttributes, QualifiedNamesFindPrefixedAttributesAndSetThroughTheBinding) {
    auto d = loaded(kFunctions);
    auto test = d.selectSingleNode(R"(FDT/Functions/Function[@fdt:name = "Test"])");
    ASSERT_TRUE(test);
    EXPECT_EQ(test.getAttribute("fdt:name"), "Test");
    EXPECT_EQ(test.getAttribute("name"), std::nullopt);
    EXPECT_EQ(test.getAttributeNode("fdt:name").type(), xml::NodeType::Attribute);
    EXPECT_EQ(test.getAttributeNode("fdt:name").text(), "Test");

    // Existing attribute: replaced in place; new prefixed one: takes the in-scope binding.
    test.setAttribute("fdt:name", "Probe");
    test.setAttribute("fdt:tag", R"(a&b<"c">)");
    test.setAttribute("label", "x");
    // Edits that would write a document that no longer loads are refused.
    for (const char* bad : {"nope:tag", "xmlns", "xmlns:p", "a:b:c", "1x", ":tag", "tag:"})
        EXPECT_THROW(test.setAttribute(bad, "v"), xml::Error) << bad;
    EXPECT_THROW(d.createElement("fdt:Row"), xml::Error);
    EXPECT_THROW(d.createElement(":Row", "urn:x"), xml::Error);
    for (const char* bad :
         {"a\x01", "\xFF", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "l\xff\xff\xff\x1f"}) {
        EXPECT_THROW(test.setAttribute("label", bad), xml::Error) << bad;
        EXPECT_THROW(test.setAttribute(bad, "v"), xml::Error) << bad;
        EXPECT_THROW(test.setText(bad), xml::Error) << bad;
    }
    const std::string note = "tab\tCR\rLF\n \xE2\x82\xAC \xF0\x9F\x98\x80";
    test.setAttribute("note", note);
    EXPECT_EQ(test.getAttribute("nope:tag"), std::nullopt);
    EXPECT_TRUE(test.removeAttribute("label"));
    EXPECT_FALSE(test.removeAttribute("label"));

    // The edited document re-parses with the values as set, prefixes bound.
    xml::Document again;
    ASSERT_TRUE(again.loadXML(d.xml())) << again.parseError().reason << "\n" << d.xml();
    auto probe = again.selectSingleNode(R"(FDT/Functions/Function[@fdt:name = "Probe"])");
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe.getAttribute("fdt:tag"), R"(a&b<"c">)");
    EXPECT_EQ(probe.getAttributeNode("fdt:tag").namespaceURI(), "x-schema:T.xml");
    EXPECT_FALSE(probe.getAttribute("label"));
    EXPECT_EQ(probe.getAttribute("note"), note);  // blanks and all characters come back
}

TEST(XmlAttributes, NamespacedSetReusesOrDeclaresTheBinding) {
    auto d = loaded(kFunctions);
    auto f = d.selectSingleNode("FDT/Functions/Function");
    f.setAttributeNS("fdt:display", "x-schema:T.xml", "1");
    f.setAttributeNS("q:extra", "urn:other", "2");
    const std::string text = d.xml();
    EXPECT_EQ(text.find("xmlns:fdt", text.find("<Function")), std::string::npos) << text;
    xml::Document again;
    ASSERT_TRUE(again.loadXML(text)) << again.parseError().reason;
    auto g = again.selectSingleNode("FDT/Functions/Function");
    EXPECT_EQ(g.getAttribute("fdt:display"), "1");
    EXPECT_EQ(g.getAttributeNode("q:extra").namespaceURI(), "urn:other");
}

TEST(XmlNodes, ElementsCreatedInANamespaceShareTheInScopeDeclaration) {
    auto d = loaded(kFunctions);
    auto functions = d.selectSingleNode("FDT/Functions");
    // As the document builders append rows: the root's namespace, and a prefixed one.
    auto row = functions.appendChild(d.createElement("Function", functions.namespaceURI()));
    row.setAttribute("fdt:name", "Extra");
    auto info = functions.appendChild(d.createElement("fdt:VersionInformation", "x-schema:T.xml"));
    auto other = functions.appendChild(d.createElement("o:Thing", "urn:o"));
    EXPECT_EQ(row.name(), "Function");
    EXPECT_EQ(info.name(), "fdt:VersionInformation");
    EXPECT_EQ(other.namespaceURI(), "urn:o");

    const std::string text = d.xml();
    EXPECT_NE(text.find(R"(<Function fdt:name="Extra"/>)"), std::string::npos) << text;
    EXPECT_NE(text.find("<fdt:VersionInformation/>"), std::string::npos) << text;
    EXPECT_NE(text.find(R"(<o:Thing xmlns:o="urn:o"/>)"), std::string::npos) << text;

    xml::Document again;
    ASSERT_TRUE(again.loadXML(text)) << again.parseError().reason;
    EXPECT_EQ(again.selectNodes("FDT/Functions/Function").size(), 4u);
    EXPECT_EQ(
        again.selectSingleNode("FDT/Functions/Function[@fdt:name = \"Extra\"]").namespaceURI(),
        "x-schema:F.xml");
}

TEST(XmlNodes, SiblingsTypesAndRemoval) {
    auto d = loaded("<a><!--c--><b/>text<c x='1'/></a>");
    auto a = d.documentElement();
    std::vector<xml::NodeType> types;
    for (auto n = a.firstChild(); n; n = n.nextSibling()) types.push_back(n.type());
    EXPECT_EQ(types, (std::vector<xml::NodeType>{xml::NodeType::Comment, xml::NodeType::Element,
                                                 xml::NodeType::Text, xml::NodeType::Element}));
    EXPECT_EQ(d.node().type(), xml::NodeType::Document);
    EXPECT_EQ(a.ownerDocument(), &d);

    auto c = a.removeChild(a.selectSingleNode("c"));
    EXPECT_FALSE(a.selectSingleNode("c"));
    EXPECT_EQ(c.getAttribute("x"), "1");  // still usable, owned by the document
    auto b = a.selectSingleNode("b");
    b.appendChild(c);
    EXPECT_EQ(a.selectNodes("b/c").size(), 1u);
    EXPECT_THROW(c.appendChild(b), xml::Error);
    EXPECT_THROW(a.removeChild(c), xml::Error);
    a.removeChild(b);  // freed with the document (LeakSanitizer checks)
    a.selectSingleNode("b");
    d.createElement("lost");
}

TEST(XmlDocument, SerialisesWithTheDeclarationOnlyWhenTheTextHadOne) {
    const struct {
        const char* text;
        const char* xml;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\n  <b/>\n</a>",
         "<?xml version=\"1.0\"?>\n<a><b/></a>\n"},
        {"<a>\n  <b/>\n</a>", "<a><b/></a>\n"},
        {"\xEF\xBB\xBF<?xml version='1.0'?><a>f\xC3\xBCr &amp; &lt;</a>",
         "<?xml version=\"1.0\"?>\n<a>f\xC3\xBCr &amp; &lt;</a>\n"},
    };
    for (const auto& c : cases) {
        auto d = loaded(c.text);
        EXPECT_EQ(d.xml(), c.xml) << c.text;
    }
    xml::Document keep;
    keep.preserveWhiteSpace = true;
    ASSERT_TRUE(keep.loadXML("<a>\n  <b/>\n</a>"));
    EXPECT_EQ(keep.xml(), "<a>\n  <b/>\n</a>\n");
}

TEST(XmlDocument, FailedLoadsReportWhereAndLeaveTheDocumentEmpty) {
    // linepos is libxml2's column: where the parser stood when it gave up.
    const struct {
        const char* text;
        int line;
        int linepos;
        const char* srcText;
    } cases[] = {
        {"<a>\n  <b></c>\n</a>", 2, 10, "  <b></c>"},
        {"<a>\r\n<b x='1' x='2'/></a>", 2, 15, "<b x='1' x='2'/></a>"},
        {"<a><p:b/></a>", 1, 8, "<a><p:b/></a>"},  // unbound prefix
        {"", 0, 0, ""},
        {"<a/><b/>", 1, 5, "<a/><b/>"},
    };
    for (const auto& c : cases) {
        xml::Document d;
        ASSERT_TRUE(d.loadXML("<ok/>"));
        EXPECT_FALSE(d.loadXML(c.text)) << c.text;
        const auto& e = d.parseError();
        EXPECT_NE(e.code, 0) << c.text;
        EXPECT_FALSE(e.reason.empty()) << c.text;
        EXPECT_NE(e.reason.back(), '\n');
        EXPECT_EQ(e.line, c.line) << c.text << ": " << e.reason;
        EXPECT_EQ(e.linepos, c.linepos) << c.text << ": " << e.reason;
        EXPECT_EQ(e.srcText, c.srcText) << c.text;
        EXPECT_EQ(e.url, "");
        EXPECT_TRUE(d.empty());
        EXPECT_FALSE(d.selectSingleNode("ok"));
        EXPECT_EQ(d.xml(), "");
    }
    xml::Document d;
    EXPECT_FALSE(d.loadXML("<a>\n  <b></c>\n</a>"));
    EXPECT_EQ(d.parseError().filepos, 4 + 9);
}

TEST(XmlDocument, FilesNamedInTheErrorAndTooLargeOnesRefused) {
    testsupport::TempDir dir("tiv-xml");
    xml::Document d;
    EXPECT_FALSE(d.load(dir / "missing.xml"));
    EXPECT_EQ(d.parseError().code, xml::ParseError::kFileNotReadable);
    EXPECT_EQ(d.parseError().url, (dir / "missing.xml").string());

    std::ofstream(dir / "bad.xml") << "<a>\n<b>\n</a>";
    EXPECT_FALSE(d.load(dir / "bad.xml"));
    EXPECT_EQ(d.parseError().url, (dir / "bad.xml").string());
    EXPECT_EQ(d.parseError().line, 3);

    std::string big = "<a>" + std::string(xml::kMaxDocumentSize, ' ') + "</a>";
    EXPECT_FALSE(d.loadXML(big));
    EXPECT_EQ(d.parseError().code, xml::ParseError::kTooLarge);
    std::ofstream(dir / "big.xml") << big;
    EXPECT_FALSE(d.load(dir / "big.xml"));
    EXPECT_EQ(d.parseError().code, xml::ParseError::kTooLarge);
    EXPECT_FALSE(xml::loadTextFile(dir / "big.xml"));
}

TEST(XmlDocument, ExternalEntitiesAndDtdsAreNeverRead) {
    testsupport::TempDir dir("tiv-xml");
    std::ofstream(dir / "secret.txt") << "SECRET";
    std::ofstream(dir / "ext.dtd") << "<!ENTITY leak 'SECRET'>";
    const std::string secret = (dir / "secret.txt").string();
    const std::string dtd = (dir / "ext.dtd").string();
    const std::string docs[] = {
        "<!DOCTYPE a [<!ENTITY x SYSTEM \"file://" + secret + "\">]><a>&x;</a>",
        "<!DOCTYPE a [<!ENTITY x SYSTEM \"" + secret + "\">]><a b='1'>&x;</a>",
        "<!DOCTYPE a SYSTEM \"" + dtd + "\"><a>&leak;</a>",
        "<!DOCTYPE a [<!ENTITY % p SYSTEM \"" + dtd + "\"> %p;]><a>&leak;</a>",
    };
    for (const auto& text : docs) {
        xml::Document d;
        d.loadXML(text);
        EXPECT_EQ(d.xml().find("SECRET"), std::string::npos) << text;
        EXPECT_EQ(d.documentElement().text().find("SECRET"), std::string::npos) << text;
    }
}

TEST(XmlNames, OnlyXmlNamesAreNames) {
    for (const char* good : {"msg_Connected", "a.b", "ctlOfflineParam_lblAdapterNumber", "x-y"})
        EXPECT_TRUE(xml::isXmlName(good)) << good;
    for (const char* bad : {"", "*", "1a", "a b", "a/b", "a[@x]", "$(k)"})
        EXPECT_FALSE(xml::isXmlName(bad)) << bad;
}

}  // namespace
