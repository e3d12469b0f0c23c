// One entry of a scenario or state file as a card kind reads it: the JSON
// value, where it stands ("cards[2].blocks.4"), and which file's error a fault
// in it raises. Every check names the entry and says in words what is wrong.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

#include "virtual/card.h"

namespace zelvorn::virt {

using Json = nlohmann::ordered_json;

class Entry {
public:
    enum class File { Scenario, State };

    Entry(const Json& value, std::string where, File file)
        : value_(value), where_(std::move(where)), file_(file) {}

    const Json& Value() const { return value_; }
    const std::string& Where() const { return where_; }
    bool Has(const char* key) const { return value_.is_object() && value_.contains(key); }
    // The entry under a key of this object, or at an index of this list.
    Entry operator[](const char* key) const;
    Entry At(std::size_t index) const;

    // Throws the file's own error: ScenarioError or StateError.
    [[noreturn]] void Fail(const std::string& what) const;

    // An object whose keys are all among these.
    void OnlyKeys(std::initializer_list<const char*> keys) const;
    // The entry must be an object, or a list.
    const Json& Object() const;
    const Json& List() const;

    // Hexadecimal text; spaces and colons between the digits are allowed.
    Bytes Hex() const;
    template <std::size_t N>
    std::array<std::uint8_t, N> HexArray() const {
        const Bytes bytes = Hex();
        if (bytes.size() != N) Fail("expected " + std::to_string(N) + " bytes");
        std::array<std::uint8_t, N> out{};
        std::copy(bytes.begin(), bytes.end(), out.begin());
        return out;
    }
    // Exactly n bytes as 2n hexadecimal digits, as state files write them.
    Bytes ExactBytes(std::size_t n) const;
    // A number given as a JSON number or as hexadecimal text, at most max.
    std::uint64_t Number(std::uint64_t max) const;
    // A decimal object key ("12" in "blocks": {"12": ...}) below limit.
    unsigned Index(const std::string& key, unsigned limit) const;
    bool Bool() const;

private:
    const Json& value_;
    std::string where_;
    File file_;
};

// State files write bytes as upper-case hexadecimal digits.
std::string HexText(const std::uint8_t* data, std::size_t n);

}  // namespace zelvorn::virt
