// JSON text that a person or another program wrote: parsed, or what is wrong
// with it in words, with the line and column where the parser gave up rather
// than the JSON library's own exception text. The virtual reader's scenario
// and state files and the tool's dump files are read through it; each
// caller throws its own error with the text it gets back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zelvorn {

namespace json_text_detail {

inline std::string Position(std::string_view text, std::size_t byte) {
    // The parser counts the byte it stopped at from 1.
    const std::size_t end = byte == 0 ? 0 : std::min(byte - 1, text.size());
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace json_text_detail

// Fills out and returns an empty string, or returns why the text is no JSON
// document.
template <typename Json>
std::string ParseJsonText(std::string_view text, Json& out) {
    try {
        out = Json::parse(text);
        return {};
    } catch (const nlohmann::json::parse_error& e) {
        if (e.byte > text.size()) return "not valid JSON: it ends before the document does";
        return "not valid JSON at " + json_text_detail::Position(text, e.byte);
    } catch (const nlohmann::json::out_of_range&) {
        // The only range the parser checks: a number beyond what a double holds.
        return "not valid JSON here: it holds a number too large to store";
    } catch (const nlohmann::json::exception&) {
        return "not valid JSON";
    }
}

}  // namespace zelvorn
