// PLC types, the built-in symbol table and the symbol file format.
#include "tools/sim/PlcSimulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>

namespace plcsim {
namespace {

struct TypeInfo {
    PlcType type;
    const char* name;
    size_t size;
};

constexpr TypeInfo kTypes[] = {
    {PlcType::BOOL, "BOOL", 1},   {PlcType::WORD, "WORD", 2},     {PlcType::DWORD, "DWORD", 4},
    {PlcType::SINT, "SINT", 1},   {PlcType::USINT, "USINT", 1},   {PlcType::INT, "INT", 2},
    {PlcType::UINT, "UINT", 2},   {PlcType::DINT, "DINT", 4},     {PlcType::UDINT, "UDINT", 4},
    {PlcType::REAL, "REAL", 4},   {PlcType::LREAL, "LREAL", 8},   {PlcType::STRING, "STRING", 81},
};

const TypeInfo& Info(PlcType type)
{
    for (const auto& t : kTypes) {
        if (t.type == type) {
            return t;
        }
    }
    return kTypes[0];
}

bool IsSigned(PlcType t)
{
    return t == PlcType::SINT || t == PlcType::INT || t == PlcType::DINT;
}

bool IsInteger(PlcType t)
{
    switch (t) {
    case PlcType::WORD:
    case PlcType::DWORD:
    case PlcType::SINT:
    case PlcType::USINT:
    case PlcType::INT:
    case PlcType::UINT:
    case PlcType::DINT:
    case PlcType::UDINT:
        return true;
    default:
        return false;
    }
}

std::vector<uint8_t> Int(int64_t v, size_t size)
{
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    }
    return out;
}

std::vector<uint8_t> Real(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return Int(bits, 4);
}

std::vector<uint8_t> LReal(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return Int(static_cast<int64_t>(bits), 8);
}

// A STRING of `size` bytes: the text, cut to leave room for the terminator, then zeros.
std::vector<uint8_t> Text(const std::string& s, size_t size = 81)
{
    std::vector<uint8_t> out(size, 0);
    std::memcpy(out.data(), s.data(), std::min<size_t>(s.size(), size - 1));
    return out;
}

std::string Upper(std::string s)
{
    for (auto& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

std::string Lower(std::string s)
{
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// Splits a line into tokens; double quotes group blanks, '#' outside quotes ends the line.
bool Tokenize(const std::string& line, std::vector<std::string>& tokens, std::string& error)
{
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const size_t end = line.find('"', i + 1);
            if (end == std::string::npos) {
                error = "unterminated quote";
                return false;
            }
            tokens.push_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' &&
                   line[end] != '#') {
                ++end;
            }
            tokens.push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

bool ParseInitial(PlcType type, size_t size, const std::string& text, std::vector<uint8_t>& out, std::string& error)
{
    if (type == PlcType::STRING) {
        if (text.size() > size - 1) {
            error = "STRING initial value longer than " + std::to_string(size - 1) + " characters";
            return false;
        }
        out = Text(text, size);
        return true;
    }
    if (type == PlcType::BOOL) {
        const std::string l = Lower(text);
        if (l == "1" || l == "true") {
            out = {1};
        } else if (l == "0" || l == "false") {
            out = {0};
        } else {
            error = "BOOL initial value must be 0, 1, true or false";
            return false;
        }
        return true;
    }
    if (type == PlcType::REAL || type == PlcType::LREAL) {
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || errno == ERANGE) {
            error = "initial value '" + text + "' is not a number";
            return false;
        }
        out = type == PlcType::REAL ? Real(static_cast<float>(v)) : LReal(v);
        return true;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const bool negative = !text.empty() && text[0] == '-';
    int64_t value = 0;
    if (negative) {
        value = std::strtoll(text.c_str(), &end, 10);
    } else {
        const unsigned long long u = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
        value = u > static_cast<unsigned long long>(std::numeric_limits<int64_t>::max())
                    ? std::numeric_limits<int64_t>::max()
                    : static_cast<int64_t>(u);
    }
    if (text.empty() || *end != '\0' || errno == ERANGE) {
        error = "initial value '" + text + "' is not an integer";
        return false;
    }
    const int bits = static_cast<int>(size * 8);
    int64_t lo = 0;
    int64_t hi = 0;
    if (IsSigned(type)) {
        lo = -(int64_t{1} << (bits - 1));
        hi = (int64_t{1} << (bits - 1)) - 1;
    } else {
        hi = (int64_t{1} << bits) - 1;
    }
    if (value < lo || value > hi) {
        error = "initial value " + text + " out of range for " + TypeName(type);
        return false;
    }
    out = Int(value, size);
    return true;
}

} // namespace

size_t TypeSize(PlcType type)
{
    return Info(type).size;
}

const char* TypeName(PlcType type)
{
    return Info(type).name;
}

std::optional<PlcType> ParseTypeName(const std::string& name)
{
    for (const auto& t : kTypes) {
        if (Upper(name) == t.name) {
            return t.type;
        }
    }
    return std::nullopt;
}

std::vector<SymbolDef> DefaultSymbols()
{
    return {
        {"MAIN.down", Int(10000, 2), Behaviour::CountDown, "INT", "counts down"},
        {".count", Int(0, 2), Behaviour::CountUp, "UINT", "counts up"},
        {"MAIN.bBool", {1}, Behaviour::Constant, "BOOL", ""},
        {"MAIN.wWord", Int(0xBEEF, 2), Behaviour::Constant, "WORD", ""},
        {"MAIN.dwDword", Int(0xDEADBEEF, 4), Behaviour::Constant, "DWORD", ""},
        {"MAIN.siSint", Int(-100, 1), Behaviour::Constant, "SINT", ""},
        {"MAIN.usiUsint", Int(200, 1), Behaviour::Constant, "USINT", ""},
        {"MAIN.iInt", Int(-12345, 2), Behaviour::Constant, "INT", ""},
        {"MAIN.uiUint", Int(54321, 2), Behaviour::Constant, "UINT", ""},
        {"MAIN.diDint", Int(-1234567890, 4), Behaviour::Constant, "DINT", ""},
        {"MAIN.udiUdint", Int(3000000000LL, 4), Behaviour::Constant, "UDINT", ""},
        {"MAIN.rReal", Real(3.5F), Behaviour::Constant, "REAL", ""},
        {"MAIN.lrLreal", LReal(-2.25), Behaviour::Constant, "LREAL", ""},
        {"MAIN.sText", Text("Hello from the PLC"), Behaviour::Constant, "STRING(80)", "greeting"},
        {"MAIN.udiCounter", Int(0, 4), Behaviour::CountUp, "UDINT", "counts up every tick"},
        {"MAIN.rSine", Real(0.0F), Behaviour::Sine, "REAL", "sine wave, amplitude 100"},
        {"MAIN.lrSine", LReal(0.0), Behaviour::Sine, "LREAL", "sine wave, amplitude 100"},
    };
}

SymbolFileError::SymbolFileError(size_t l, const std::string& what)
    : std::runtime_error("line " + std::to_string(l) + ": " + what), line(l)
{
}

namespace {

std::string JoinProblems(const std::vector<std::pair<size_t, std::string>>& problems)
{
    std::string text;
    for (const auto& [line, what] : problems) {
        text += (text.empty() ? "" : "\n") + ("line " + std::to_string(line) + ": " + what);
    }
    return text;
}

// TYPE in any case, or STRING(n) with n from 1 to 255; size and the name symbol information shows.
bool ParseType(const std::string& text, PlcType& type, size_t& size, std::string& name)
{
    const std::string upper = Upper(text);
    if (upper.size() > 8 && upper.compare(0, 7, "STRING(") == 0 && upper.back() == ')') {
        const std::string digits = upper.substr(7, upper.size() - 8);
        const bool numeric = !digits.empty() && digits.size() <= 3 &&
                             std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        const int length = numeric ? std::atoi(digits.c_str()) : 0;
        if (length < 1 || length > 255) {
            return false;
        }
        type = PlcType::STRING;
        size = static_cast<size_t>(length) + 1;
        name = "STRING(" + std::to_string(length) + ")";
        return true;
    }
    const auto parsed = ParseTypeName(upper);
    if (!parsed) {
        return false;
    }
    type = *parsed;
    size = TypeSize(type);
    name = type == PlcType::STRING ? "STRING(80)" : upper;
    return true;
}

// One non-blank line's fields into `def`; the reason when they are malformed.
std::string ParseLine(const std::vector<std::string>& tokens, std::set<std::string>& seen, SymbolDef& def)
{
    if (tokens.size() != 4 && tokens.size() != 5) {
        return "expected 'name TYPE initial behaviour [comment]', got " + std::to_string(tokens.size()) + " fields";
    }
    const std::string& name = tokens[0];
    if (name.empty()) {
        return "empty symbol name";
    }
    if (!seen.insert(Lower(name)).second) {
        return "duplicate symbol '" + name + "'";
    }
    PlcType type = PlcType::BOOL;
    size_t size = 0;
    if (!ParseType(tokens[1], type, size, def.typeName)) {
        return "unknown type '" + tokens[1] + "'";
    }
    def.name = name;
    def.comment = tokens.size() == 5 ? tokens[4] : std::string();
    std::string error;
    if (!ParseInitial(type, size, tokens[2], def.initial, error)) {
        return error;
    }
    const std::string& b = tokens[3];
    if (b == "constant") {
        def.behaviour = Behaviour::Constant;
    } else if (b == "counter" || b == "countdown") {
        if (!IsInteger(type)) {
            return b + " needs an integer type, not " + tokens[1];
        }
        def.behaviour = b == "counter" ? Behaviour::CountUp : Behaviour::CountDown;
    } else if (b == "sine") {
        if (type != PlcType::REAL && type != PlcType::LREAL) {
            return "sine needs REAL or LREAL, not " + tokens[1];
        }
        def.behaviour = Behaviour::Sine;
    } else {
        return "unknown behaviour '" + b + "' (constant, counter, countdown or sine)";
    }
    return std::string();
}

} // namespace

SymbolFileError::SymbolFileError(const std::vector<std::pair<size_t, std::string>>& problems)
    : std::runtime_error(JoinProblems(problems)), line(problems.empty() ? 0 : problems.front().first)
{
}

std::vector<SymbolDef> ParseSymbolText(const std::string& text)
{
    std::vector<SymbolDef> out;
    std::vector<std::pair<size_t, std::string>> problems;
    std::set<std::string> seen;
    std::istringstream in(text);
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::vector<std::string> tokens;
        std::string error;
        SymbolDef def;
        if (Tokenize(line, tokens, error) && !tokens.empty()) {
            error = ParseLine(tokens, seen, def);
        }
        if (!error.empty()) {
            problems.emplace_back(number, error);
        } else if (!tokens.empty()) {
            out.push_back(std::move(def));
        }
    }
    if (!problems.empty()) {
        throw SymbolFileError(problems);
    }
    return out;
}

} // namespace plcsim
