#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "support/TempDir.h"
#include "xml/Document.h"
#include "xml/SchemaCache.h"

namespace {

namespace fs = std::filesystem;

// Types.xml declares fdt:name and fdt:Info; Main.xml imports it by file name alone.
const char* const kTypes = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="x-schema:Types.xml"
           xmlns="x-schema:Types.xml" elementFormDefault="qualified">
  <xs:attribute name="name" type="xs:string"/>
  <xs:element name="Info"><xs:complexType><xs:attribute name="version" type="xs:string" use="required"/></xs:complexType></xs:element>
</xs:schema>)";

const char* const kMain = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="x-schema:Main.xml"
           xmlns="x-schema:Main.xml" xmlns:fdt="x-schema:Types.xml" elementFormDefault="qualified">
  <xs:import namespace="x-schema:Types.xml" schemaLocation="Types.xml"/>
  <xs:element name="FDT">
    <xs:complexType><xs:sequence>
      <xs:element ref="fdt:Info"/>
      <xs:element name="Row" minOccurs="0" maxOccurs="unbounded">
        <xs:complexType><xs:attribute ref="fdt:name" use="required"/></xs:complexType>
      </xs:element>
    </xs:sequence></xs:complexType>
  </xs:element>
</xs:schema>)";

const char* const kValid = R"(<FDT xmlns="x-schema:Main.xml" xmlns:fdt="x-schema:Types.xml">
  <fdt:Info version="1"/>
  <Row fdt:name="a"/>
</FDT>)";

void write(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

struct Schemas {
    testsupport::TempDir frame{"tiv-xsd-frame"};
    testsupport::TempDir own{"tiv-xsd-own"};
    std::shared_ptr<xml::SchemaCache> cache = std::make_shared<xml::SchemaCache>();
};

TEST(XmlSchemaCache, ImportsResolveThroughTheCacheAcrossDirectories) {
    Schemas s;
    write(s.frame / "Types.xml", kTypes);
    write(s.own / "Main.xml", kMain);
    ASSERT_TRUE(s.cache->add("x-schema:Types.xml", s.frame / "Types.xml"))
        << s.cache->lastAddError();
    ASSERT_TRUE(s.cache->add("x-schema:Main.xml", s.own / "Main.xml")) << s.cache->lastAddError();
    EXPECT_NE(s.cache->compiled("x-schema:Main.xml"), nullptr)
        << s.cache->compileError("x-schema:Main.xml");

    xml::Document d;
    d.setSchemas(s.cache);
    EXPECT_TRUE(d.loadXML(kValid)) << d.parseError().reason;
}

TEST(XmlSchemaCache, AnImportMissingFromTheCacheIsReadBesideTheImportingSchema) {
    Schemas s;
    write(s.own / "Types.xml", kTypes);
    write(s.own / "Main.xml", kMain);
    ASSERT_TRUE(s.cache->add("x-schema:Main.xml", s.own / "Main.xml"));
    EXPECT_NE(s.cache->compiled("x-schema:Main.xml"), nullptr)
        << s.cache->compileError("x-schema:Main.xml");
}

TEST(XmlSchemaCache, ValidationErrorsFailTheLoadWithTheirLine) {
    Schemas s;
    ASSERT_EQ((write(s.own / "Types.xml", kTypes), write(s.own / "Main.xml", kMain),
               s.cache->addDirectory(s.own.path())),
              2u);
    const struct {
        const char* text;
        int line;
    } cases[] = {
        // A missing required attribute, an attribute in the wrong namespace, an unknown element.
        {"<FDT xmlns=\"x-schema:Main.xml\" xmlns:fdt=\"x-schema:Types.xml\">\n<fdt:Info/>\n</FDT>",
         2},
        {"<FDT xmlns=\"x-schema:Main.xml\" xmlns:fdt=\"x-schema:Types.xml\">\n<fdt:Info "
         "version=\"1\"/>\n\n<Row name=\"a\"/></FDT>",
         4},
        {"<FDT xmlns=\"x-schema:Main.xml\" xmlns:fdt=\"x-schema:Types.xml\">\n<fdt:Info "
         "version=\"1\"/><Other/></FDT>",
         2},
    };
    for (const auto& c : cases) {
        xml::Document d;
        d.setSchemas(s.cache);
        EXPECT_FALSE(d.loadXML(c.text)) << c.text;
        EXPECT_GT(d.parseError().code, 0) << c.text;
        EXPECT_EQ(d.parseError().line, c.line) << d.parseError().reason;
        EXPECT_FALSE(d.parseError().srcText.empty());
        EXPECT_TRUE(d.empty());

        xml::Document unchecked;  // validation off: well-formed is enough
        unchecked.validateOnParse = false;
        unchecked.setSchemas(s.cache);
        EXPECT_TRUE(unchecked.loadXML(c.text)) << unchecked.parseError().reason;
    }
}

TEST(XmlSchemaCache, NamespacesWithoutACompilableSchemaLoadWellFormedOnly) {
    Schemas s;
    write(s.own / "Main.xml", kMain);  // its import cannot be found anywhere
    ASSERT_TRUE(s.cache->add("x-schema:Main.xml", s.own / "Main.xml"));
    EXPECT_EQ(s.cache->compiled("x-schema:Main.xml"), nullptr);
    EXPECT_FALSE(s.cache->compileError("x-schema:Main.xml").empty());
    for (const char* text : {"<FDT xmlns=\"x-schema:Main.xml\"><Anything/></FDT>",
                             "<FDT xmlns=\"x-schema:Unknown.xml\"><Anything/></FDT>",
                             "<Dictionary><Language localeId=\"0009\"/></Dictionary>"}) {
        xml::Document d;
        d.setSchemas(s.cache);
        EXPECT_TRUE(d.loadXML(text)) << text << ": " << d.parseError().reason;
    }
}

TEST(XmlSchemaCache, AddKeepsOnlyXsdSchemasOfTheirOwnNamespaceAndTheLastWins) {
    Schemas s;
    write(s.own / "Types.xml", kTypes);
    write(s.own / "Broken.xml", "<xs:schema");
    write(s.own / "Plain.XML", "<a/>");
    write(s.own / "notes.txt", kTypes);
    EXPECT_FALSE(s.cache->add("x-schema:Other.xml", s.own / "Types.xml"));
    EXPECT_NE(s.cache->lastAddError().find("targetNamespace"), std::string::npos);
    EXPECT_FALSE(s.cache->add("x-schema:Broken.xml", s.own / "Broken.xml"));
    EXPECT_FALSE(s.cache->add("x-schema:Plain.XML", s.own / "Plain.XML"));
    EXPECT_FALSE(s.cache->add("x-schema:Gone.xml", s.own / "Gone.xml"));
    EXPECT_EQ(s.cache->addDirectory(s.own / "missing"), 0u);
    EXPECT_EQ(s.cache->addDirectory(s.own.path()), 1u);
    EXPECT_EQ(s.cache->keys(), std::vector<std::string>{"x-schema:Types.xml"});

    // A later schema under the same key replaces the first, and its compiled form with it.
    write(s.own / "Main.xml", kMain);
    ASSERT_TRUE(s.cache->add("x-schema:Main.xml", s.own / "Main.xml"));
    const std::string text =
        std::string(kValid).replace(std::string(kValid).find("\"1\""), 3, "\"v1\"");
    xml::Document d;
    d.setSchemas(s.cache);
    ASSERT_TRUE(d.loadXML(text)) << d.parseError().reason;
    std::string intVersion = kTypes;
    const std::string stringType = "name=\"version\" type=\"xs:string\"";
    intVersion.replace(intVersion.find(stringType), stringType.size(),
                       "name=\"version\" type=\"xs:int\"");
    write(s.frame / "Types.xml", intVersion);
    ASSERT_TRUE(s.cache->add("x-schema:Types.xml", s.frame / "Types.xml"));
    EXPECT_FALSE(d.loadXML(text));
}

}  // namespace
