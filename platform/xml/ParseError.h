#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace xml {

// Why a load failed, in the fields a DOM parse error has. code 0 means the load succeeded.
//   code     libxml2's error code (xmlParserErrors), or one of ours below
//   reason   the message without its trailing line end
//   line     1-based line, linepos 1-based column (0 when unknown)
//   filepos  byte offset of that position when the text was at hand, else 0
//   srcText  the text of the failing line when at hand
//   url      the loaded path, "" for text
struct ParseError {
    std::int32_t code = 0;
    std::string reason;
    std::int32_t line = 0;
    std::int32_t linepos = 0;
    std::int32_t filepos = 0;
    std::string srcText;
    std::string url;

    bool failed() const { return code != 0; }

    // Our own codes, outside libxml2's range.
    static constexpr std::int32_t kFileNotReadable = -1;
    static constexpr std::int32_t kTooLarge = -2;
    static constexpr std::int32_t kSchemaInternal = -3;
};

// An internal failure of our own (not a document's fault): out of memory inside libxml2, a
// template that uses an unbound prefix. Callers treat it like a raised DOM error.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace xml
