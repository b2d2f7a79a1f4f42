#include "xml/Pattern.h"

#include <libxml/tree.h>

namespace xml::detail {

namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    std::optional<Pattern> parse() {
        Pattern p;
        if (peek('/')) {
            p.absolute = true;
            ++i_;
        }
        while (true) {
            auto step = parseStep();
            if (!step) return std::nullopt;
            p.steps.push_back(std::move(*step));
            if (i_ == s_.size()) return p;
            if (!peek('/')) return std::nullopt;
            ++i_;
        }
    }

private:
    bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
    void blanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    }
    bool expect(char c) {
        blanks();
        if (!peek(c)) return false;
        ++i_;
        return true;
    }
    // A QName ends at the first character that cannot continue it here.
    std::optional<std::string> qname() {
        const auto start = i_;
        while (i_ < s_.size() && s_[i_] != '/' && s_[i_] != '[' && s_[i_] != ']' && s_[i_] != '=' &&
               s_[i_] != ' ' && s_[i_] != '\t' && s_[i_] != ')')
            ++i_;
        std::string name(s_.substr(start, i_ - start));
        if (name.empty() || name.find('\0') != std::string::npos ||
            xmlValidateQName(BAD_CAST name.c_str(), 0) != 0)
            return std::nullopt;
        return name;
    }
    std::optional<Step> parseStep() {
        Step step;
        auto name = qname();
        if (!name) return std::nullopt;
        step.name = std::move(*name);
        while (peek('[')) {
            ++i_;
            auto pred = parsePredicate();
            if (!pred) return std::nullopt;
            step.predicates.push_back(std::move(*pred));
        }
        return step;
    }
    std::optional<Predicate> parsePredicate() {
        Predicate p;
        blanks();
        if (s_.substr(i_).starts_with("not(")) {
            p.negated = true;
            i_ += 4;
        }
        if (!expect('@')) return std::nullopt;
        auto name = qname();
        if (!name) return std::nullopt;
        p.attribute = std::move(*name);
        if (!expect('=')) return std::nullopt;
        blanks();
        if (!peek('"') && !peek('\'')) return std::nullopt;
        const char quote = s_[i_++];
        const auto end = s_.find(quote, i_);
        if (end == std::string_view::npos) return std::nullopt;
        p.value = std::string(s_.substr(i_, end - i_));
        i_ = end + 1;
        if (p.negated && !expect(')')) return std::nullopt;
        if (!expect(']')) return std::nullopt;
        return p;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

}  // namespace

std::optional<Pattern> parsePattern(std::string_view text) {
    return Parser(text).parse();
}

}  // namespace xml::detail
