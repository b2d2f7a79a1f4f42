#include "ProjectFile.h"

#include <charconv>
#include <fstream>
#include <stdexcept>

#include "xml/Document.h"

namespace tivframe {

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& why) {
    throw std::runtime_error(file.string() + ": " + why);
}

}  // namespace

Project ReadProject(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) fail(file, "cannot be read (" + ec.message() + ")");
    if (size > kMaxProjectSize)
        fail(file, "is larger than " + std::to_string(kMaxProjectSize) + " bytes");
    xml::Document doc;
    doc.validateOnParse = false;
    if (!doc.load(file))
        fail(file, doc.parseError().reason + " at line " + std::to_string(doc.parseError().line));
    const xml::Node dtm = doc.selectSingleNode("TivframeProject/Dtm");
    if (!dtm) fail(file, "is not a tivframe project (no TivframeProject/Dtm)");
    Project project;
    project.progId = dtm.getAttribute("progId").value_or(project.progId);
    project.tag = dtm.getAttribute("tag").value_or("");
    const auto properties = dtm.selectNodes("Property");
    if (properties.size() > kMaxProperties)
        fail(file, "has more than " + std::to_string(kMaxProperties) + " properties");
    for (const xml::Node& p : properties) {
        const std::string name = p.getAttribute("name").value_or("");
        if (name.empty() || name.size() > 64) fail(file, "a property without a usable name");
        const std::string type = p.getAttribute("type").value_or("string");
        const std::string text = p.text();
        com::Variant value;
        if (type == "string") {
            value = com::Variant(text);
        } else if (type == "bool") {
            if (text != "true" && text != "false")
                fail(file, "property " + name + ": \"" + text + "\" is not true or false");
            value = com::Variant(text == "true");
        } else if (type == "int") {
            std::int32_t n = 0;
            const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), n);
            if (err != std::errc() || end != text.data() + text.size())
                fail(file, "property " + name + ": \"" + text + "\" is not a number");
            value = com::Variant(n);
        } else {
            fail(file, "property " + name + ": unknown type \"" + type + "\"");
        }
        project.bag->Write(name, value);
    }
    return project;
}

void WriteProject(const std::filesystem::path& file, const Project& project) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<TivframeProject version=\"1\">\n";
    out += "  <Dtm progId=\"" + xml::escapeText(project.progId) + "\" tag=\"" +
           xml::escapeText(project.tag) + "\">\n";
    for (const auto& [name, value] : project.bag->entries()) {
        const com::Variant v = value.value();
        std::string type = "string", text;
        if (v.vt() == com::VT_BOOL) {
            type = "bool";
            text = v.boolVal() ? "true" : "false";
        } else if (v.vt() == com::VT_I2 || v.vt() == com::VT_I4) {
            type = "int";
            text = std::to_string(v.toInt64().value_or(0));
        } else {
            text = v.converted(com::VT_BSTR).bstr();
        }
        out += "    <Property name=\"" + xml::escapeText(name) + "\" type=\"" + type + "\">" +
               xml::escapeText(text) + "</Property>\n";
    }
    out += "  </Dtm>\n</TivframeProject>\n";
    // Written beside and then renamed over: a save that fails half-way keeps the old project.
    const auto temp = std::filesystem::path(file) += ".saving";
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    f << out;
    f.close();
    std::error_code ec;
    if (f) std::filesystem::rename(temp, file, ec);
    if (!f || ec) {
        std::filesystem::remove(temp, ec);
        fail(file, "cannot be written");
    }
}

}  // namespace tivframe
