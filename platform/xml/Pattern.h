#pragma once

// Internal: the XSL-pattern subset that Node's selection understands.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xml::detail {

struct Predicate {
    std::string attribute;  // qualified, as written
    std::string value;
    bool negated = false;  // [not(@a = "v")]
};

struct Step {
    std::string name;  // qualified, as written
    std::vector<Predicate> predicates;
};

struct Pattern {
    bool absolute = false;  // leading "/": from the document
    std::vector<Step> steps;
};

// nullopt for anything outside the subset.
std::optional<Pattern> parsePattern(std::string_view text);

}  // namespace xml::detail
