#include "AdsTypeNames.h"

#include <charconv>
#include <limits>

namespace plc::ads {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Takes `keyword` (in any case) off the front of `text`.
bool TakeKeyword(std::string_view& text, std::string_view keyword)
{
    if (text.size() < keyword.size()) {
        return false;
    }
    for (size_t i = 0; i < keyword.size(); ++i) {
        if (Upper(text[i]) != keyword[i]) {
            return false;
        }
    }
    text.remove_prefix(keyword.size());
    return true;
}

bool TakeChar(std::string_view& text, char c)
{
    text = Trimmed(text);
    if (text.empty() || text.front() != c) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

// An optionally signed decimal number of 32 bits.
bool TakeBound(std::string_view& text, int32_t& out)
{
    text = Trimmed(text);
    const bool negative = !text.empty() && text.front() == '-';
    const std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
        return false;
    }
    uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    if (ec != std::errc() || magnitude > limit) {
        return false;
    }
    out = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return true;
}

} // namespace

std::optional<ArrayTypeName> ParseArrayTypeName(std::string_view text)
{
    text = Trimmed(text);
    if (!TakeKeyword(text, "ARRAY") || !TakeChar(text, '[')) {
        return std::nullopt;
    }
    ArrayTypeName parsed;
    do {
        ArrayBounds bounds;
        if (parsed.dimensions.size() == MAX_ARRAY_DIMENSIONS || !TakeBound(text, bounds.lower) ||
            !TakeChar(text, '.') || text.empty() || text.front() != '.' || !TakeChar(text, '.') ||
            !TakeBound(text, bounds.upper) || bounds.upper < bounds.lower) {
            return std::nullopt;
        }
        parsed.dimensions.push_back(bounds);
    } while (TakeChar(text, ','));
    if (!TakeChar(text, ']')) {
        return std::nullopt;
    }
    text = Trimmed(text);
    // OF and at least one blank before the element's name.
    if (!TakeKeyword(text, "OF") || text.empty() || !IsBlank(text.front())) {
        return std::nullopt;
    }
    parsed.element = std::string(Trimmed(text));
    if (parsed.element.empty()) {
        return std::nullopt;
    }
    return parsed;
}

std::optional<uint32_t> ParseStringTypeName(std::string_view text, std::string_view keyword)
{
    text = Trimmed(text);
    if (!TakeKeyword(text, keyword)) {
        return std::nullopt;
    }
    if (Trimmed(text).empty()) {
        return DEFAULT_STRING_LENGTH;
    }
    if (!TakeChar(text, '(')) {
        return std::nullopt;
    }
    text = Trimmed(text);
    uint32_t length = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (ec != std::errc() || length == 0 || length > MAX_STRING_LENGTH) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    if (!TakeChar(text, ')') || !Trimmed(text).empty()) {
        return std::nullopt;
    }
    return length;
}

std::string ArrayTypeNameText(const std::vector<ArrayBounds>& dimensions, const std::string& element)
{
    std::string text = "ARRAY [";
    for (size_t i = 0; i < dimensions.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(dimensions[i].lower) + ".." + std::to_string(dimensions[i].upper);
    }
    return text + "] OF " + element;
}

} // namespace plc::ads
