#include "virtual/cards/entry.h"

#include <algorithm>
#include <cctype>

#include "virtual/scenario.h"
#include "virtual/state_file.h"

namespace zelvorn::virt {

Entry Entry::operator[](const char* key) const {
    if (!Has(key)) Fail(std::string("needs \"") + key + "\"");
    return Entry(value_[key], where_ + "." + key, file_);
}

Entry Entry::At(std::size_t index) const {
    return Entry(value_.at(index), where_ + "[" + std::to_string(index) + "]", file_);
}

void Entry::Fail(const std::string& what) const {
    const std::string message = where_ + ": " + what;
    if (file_ == File::Scenario) throw ScenarioError(message);
    throw StateError(message);
}

void Entry::OnlyKeys(std::initializer_list<const char*> keys) const {
    Object();
    for (auto it = value_.begin(); it != value_.end(); ++it) {
        if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; })) {
            Fail("unknown entry \"" + it.key() + "\"");
        }
    }
}

const Json& Entry::Object() const {
    if (!value_.is_object()) Fail("expected an object");
    return value_;
}

const Json& Entry::List() const {
    if (!value_.is_array()) Fail("expected a list");
    return value_;
}

Bytes Entry::Hex() const {
    if (!value_.is_string()) Fail("expected a string of hexadecimal digits");
    std::string digits;
    for (char c : value_.get_ref<const std::string&>()) {
        if (c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) Fail("not a hexadecimal digit");
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0) Fail("odd number of hexadecimal digits");
    Bytes out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes Entry::ExactBytes(std::size_t n) const {
    if (!value_.is_string()) Fail("expected hexadecimal text");
    const std::string& text = value_.get_ref<const std::string&>();
    if (text.size() != 2 * n) Fail("expected " + std::to_string(n) + " bytes");
    if (!std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
        Fail("not a hexadecimal digit");
    }
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}

std::uint64_t Entry::Number(std::uint64_t max) const {
    std::uint64_t n = 0;
    if (value_.is_number_unsigned()) {
        n = value_.get<std::uint64_t>();
    } else if (value_.is_string()) {
        const Bytes b = Hex();
        if (b.empty() || b.size() > 8) Fail("expected 1 to 8 bytes");
        for (std::uint8_t byte : b) n = n << 8 | byte;
    } else {
        Fail("expected a number");
    }
    if (n > max) Fail("larger than " + std::to_string(max));
    return n;
}

unsigned Entry::Index(const std::string& key, unsigned limit) const {
    const std::string at = where_ + "." + key;
    if (key.empty() || key.size() > 3 || !std::all_of(key.begin(), key.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        })) {
        Entry(value_, at, file_).Fail("\"" + key + "\" is not a decimal number");
    }
    const unsigned n = static_cast<unsigned>(std::stoul(key));
    if (n >= limit) {
        Entry(value_, at, file_).Fail(key + " is not in 0.." + std::to_string(limit - 1));
    }
    return n;
}

bool Entry::Bool() const {
    if (!value_.is_boolean()) Fail("expected true or false");
    return value_.get<bool>();
}

std::string HexText(const std::uint8_t* data, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

}  // namespace zelvorn::virt
