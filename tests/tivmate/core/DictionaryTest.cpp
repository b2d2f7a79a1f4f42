#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "ScopedAppDir.h"
#include "core/clsDictionary.h"

namespace {

using tivmatetest::ScopedAppDir;

const char* const kDictionary = R"X(<?xml version="1.0" encoding="UTF-8"?>
<Dictionary>
  <Language localeId="0009" isDefault="1">
    <Category name="keys">
      <msg_A text="A"/><a.b text="AB"/><a_b text="A_B"/><amp text="x &amp; &lt;y&gt;"/>
      <notext caption="c"/><tag text="$(msg_A)"/>
    </Category>
    <Category name="other"><msg_A text="other A"/><only text="O"/></Category>
  </Language>
  <Language localeId="0007"><Category name="keys"><msg_A text="&#xC4;"/></Category></Language>
  <Language localeId="zz"/>
</Dictionary>)X";

class Dictionary : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(app / "dict.xml") << kDictionary;
        ASSERT_TRUE(dict.LoadDictionary(app / "dict.xml"));
    }
    ScopedAppDir app{"[TimeCritical]\nTrace=ExternalFile\n"};
    tivmate::clsDictionary dict;
};

TEST_F(Dictionary, LanguagesSelectByPrimaryIdAsFourHexDigits) {
    EXPECT_EQ(dict.GetDefaultLanguageId(), 9);
    EXPECT_EQ(dict.GetIdOfLanguage(dict.GetSelectedLanguage()), 9);
    EXPECT_EQ(dict.GetLanguages().size(), 3u);
    EXPECT_EQ(dict.GetIdOfLanguage(dict.GetLanguages()[2]), 0);  // "zz" is not hex
    EXPECT_EQ(dict.GetIdOfLanguage({}), 0);
    const struct {
        std::int32_t id;
        bool found;
        std::int32_t selected;  // afterwards
    } steps[] = {
        {7, true, 7},   {1031, false, 7},                      // searches "0407"
        {12, false, 7}, {9, true, 9},     {0x10007, true, 7},  // only the low 16 bits count
        {-1, false, 7},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(dict.SelectLanguage(s.id, false), s.found) << s.id;
        EXPECT_EQ(dict.GetIdOfLanguage(dict.GetSelectedLanguage()), s.selected) << s.id;
    }
    EXPECT_EQ(dict.GetTextEntry("keys", "msg_A", "text"), "\xC3\x84");

    EXPECT_TRUE(dict.SelectLanguage(7, true));
    EXPECT_EQ(dict.GetLanguages().size(), 1u);
    EXPECT_FALSE(dict.SelectLanguage(9, false));
    EXPECT_EQ(dict.GetTextEntry("keys", "msg_A", "text"), "\xC3\x84");
    EXPECT_EQ(dict.GetDefaultLanguageId(), 0);  // the default went with the others

    const std::string trace = tivmatetest::readFile(app / "TraceInfoFile.txt");
    for (const char* expected :
         {"SelectLanguage: Begin\r\n", "SelectLanguage: sLangId= 0407\r\n",
          "SelectLanguage: SelectLanguage= True\r\n",
          "SelectLanguage: bFreeOtherLanguages is called\r\n",
          "SelectLanguage: In Loop for bFreeOtherLanguages\r\n",
          "GetIdOfLanguage: sLangId= &Hzz\r\n", "GetIdOfLanguage: GetIdOfLanguage= 9\r\n"})
        EXPECT_NE(trace.find(expected), std::string::npos) << expected;
}

TEST_F(Dictionary, LookupsNeverFail) {
    const struct {
        const char* category;
        const char* key;
        const char* attribute;
        std::optional<std::string> text;
    } cases[] = {
        {"keys", "msg_A", "text", "A"},
        {"other", "msg_A", "text", "other A"},
        {"keys", "a/b", "text", "AB"},
        {"keys", "a~b", "text", "A_B"},
        {"keys", "amp", "text", "x & <y>"},
        {"keys", "only", "text", std::nullopt},
        {"keys", "missing", "text", std::nullopt},
        {"keys", "notext", "text", std::nullopt},
        {"keys", "notext", "caption", "c"},
        {"nope", "msg_A", "text", std::nullopt},
        {"ke\"ys", "msg_A", "text", std::nullopt},
        // Keys that are not names: never a pattern, never an error.
        {"keys", "*", "text", std::nullopt},
        {"keys", "", "text", std::nullopt},
        {"keys", "msg_A[@text = \"A\"]", "text", std::nullopt},
        {"keys", "1x", "text", std::nullopt},
        {"keys", "a b", "text", std::nullopt},
        {"keys", "..", "text", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dict.GetTextEntry(c.category, c.key, c.attribute), c.text)
            << c.category << " " << c.key;
    EXPECT_EQ(dict.GetTextEntry(dict.GetCategories("other"), "only", "text"), "O");
    EXPECT_EQ(dict.GetTextEntry(std::vector<xml::Node>{}, "msg_A", "text"), std::nullopt);
}

TEST_F(Dictionary, TextTags) {
    const struct {
        const char* in;
        const char* out;
        const char* xmlOut;
    } cases[] = {
        {"$(msg_A) and $(missing)!", "A and $(missing)!", "A and $(missing)!"},
        {"x$(msg_A", "x$(msg_A", "x$(msg_A"},
        {"$(msg_A)$(a/b)$()", "AAB$()", "AAB$()"},
        {"$(tag)", "$(msg_A)", "$(msg_A)"},  // inserted text is not scanned again
        {"$(Msg_A)", "$(Msg_A)", "$(Msg_A)"},
        {"<F label=\"$(amp)\"/>", "<F label=\"x & <y>\"/>", "<F label=\"x &amp; &lt;y&gt;\"/>"},
        {"$($(msg_A))", "$($(msg_A))", "$($(msg_A))"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dict.TranslateStringTags(c.in), c.out) << c.in;
        EXPECT_EQ(dict.TranslateStringTagsForXml(c.in), c.xmlOut) << c.in;
    }
}

TEST_F(Dictionary, AFailedLoadKeepsWhatWasLoadedAndTracesWhy) {
    std::ofstream(app / "bad.xml") << "<Dictionary>\n<Language>\n</Dictionary>";
    ASSERT_TRUE(dict.SelectLanguage(7, false));
    EXPECT_FALSE(dict.LoadDictionary(app / "bad.xml"));
    EXPECT_FALSE(dict.LoadDictionary(app / "gone.xml"));
    EXPECT_EQ(dict.GetTextEntry("keys", "msg_A", "text"), "\xC3\x84");
    const std::string trace = tivmatetest::readFile(app / "TraceInfoFile.txt");
    EXPECT_NE(trace.find("clsDictionary.LoadDictionary: Your XML Document failed to loaddue the "
                         "following error.\r\nError #: "),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("Line #: 3\r\nLine Position: "), std::string::npos) << trace;
    EXPECT_NE(
        trace.find("Source Text: </Dictionary>\r\nDocument URL: " + (app / "bad.xml").string()),
        std::string::npos);

    tivmate::clsDictionary empty;
    EXPECT_FALSE(empty.LoadDictionary(app / "gone.xml"));
    EXPECT_FALSE(empty.IsLoaded());
    EXPECT_FALSE(empty.SelectLanguage(9, false));
    EXPECT_EQ(empty.GetTextEntry("keys", "msg_A", "text"), std::nullopt);
    EXPECT_EQ(empty.GetDefaultLanguageId(), 0);
    EXPECT_TRUE(empty.GetLanguages().empty());
    EXPECT_EQ(empty.TranslateStringTags("$(msg_A)"), "$(msg_A)");

    dict.Clear();
    EXPECT_FALSE(dict.GetSelectedLanguage());
    EXPECT_EQ(dict.GetTextEntry("keys", "msg_A", "text"), std::nullopt);
}

}  // namespace
