// PLC types, the built-in symbol table and the symbol file format.
#include "tools/sim/PlcSimulator.h"
#include "tools/sim/SymbolFile.h"

#include "ads/AdsTypeNames.h"
#include "ads/LittleEndian.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>

namespace plcsim {
namespace {

using namespace plc::ads;
using namespace symfile;

struct TypeInfo {
    PlcType type;
    const char* name;
    size_t size;
    uint32_t dataTypeId;
};

constexpr TypeInfo kTypes[] = {
    {PlcType::BOOL, "BOOL", 1, ADST_BIT},          {PlcType::WORD, "WORD", 2, ADST_UINT16},
    {PlcType::DWORD, "DWORD", 4, ADST_UINT32},     {PlcType::SINT, "SINT", 1, ADST_INT8},
    {PlcType::USINT, "USINT", 1, ADST_UINT8},      {PlcType::INT, "INT", 2, ADST_INT16},
    {PlcType::UINT, "UINT", 2, ADST_UINT16},       {PlcType::DINT, "DINT", 4, ADST_INT32},
    {PlcType::UDINT, "UDINT", 4, ADST_UINT32},     {PlcType::REAL, "REAL", 4, ADST_REAL32},
    {PlcType::LREAL, "LREAL", 8, ADST_REAL64},     {PlcType::STRING, "STRING", 81, ADST_STRING},
    {PlcType::BYTE, "BYTE", 1, ADST_UINT8},        {PlcType::LINT, "LINT", 8, ADST_INT64},
    {PlcType::ULINT, "ULINT", 8, ADST_UINT64},     {PlcType::LWORD, "LWORD", 8, ADST_UINT64},
    {PlcType::TIME, "TIME", 4, ADST_UINT32},       {PlcType::LTIME, "LTIME", 8, ADST_UINT64},
    {PlcType::TIME_OF_DAY, "TIME_OF_DAY", 4, ADST_UINT32}, {PlcType::DATE, "DATE", 4, ADST_UINT32},
    {PlcType::DATE_AND_TIME, "DATE_AND_TIME", 4, ADST_UINT32}, {PlcType::WSTRING, "WSTRING", 162, ADST_WSTRING},
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
    return t == PlcType::SINT || t == PlcType::INT || t == PlcType::DINT || t == PlcType::LINT;
}

bool IsText(PlcType t)
{
    return t == PlcType::STRING || t == PlcType::WSTRING;
}

// Types stored as a plain integer, which counters step: the integers and the time types.
bool IsCounting(PlcType t)
{
    return t != PlcType::BOOL && t != PlcType::REAL && t != PlcType::LREAL && !IsText(t);
}

std::vector<uint8_t> UInt(uint64_t v, size_t size)
{
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    return out;
}

std::vector<uint8_t> Int(int64_t v, size_t size)
{
    return UInt(static_cast<uint64_t>(v), size);
}

std::vector<uint8_t> Real(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return UInt(bits, 4);
}

std::vector<uint8_t> LReal(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return UInt(bits, 8);
}

// A STRING of `size` bytes: the text, cut to leave room for the terminator, then zeros.
std::vector<uint8_t> Text(const std::string& s, size_t size = 81)
{
    std::vector<uint8_t> out(size, 0);
    std::memcpy(out.data(), s.data(), std::min<size_t>(s.size(), size - 1));
    return out;
}

// UTF-8 to UTF-16 code units; false for bytes that are not UTF-8.
bool Utf16(const std::string& s, std::vector<uint16_t>& out)
{
    for (size_t i = 0; i < s.size();) {
        const auto lead = static_cast<uint8_t>(s[i]);
        const size_t n = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        uint32_t cp = n == 1 ? lead : lead & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto next = static_cast<uint8_t>(s[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp >= 0x110000 || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(cp));
        }
        i += n;
    }
    return true;
}

// A WSTRING of `size` bytes: UTF-16LE code units, then zeros.
std::vector<uint8_t> WText(const std::string& s, size_t size = 162)
{
    std::vector<uint16_t> units;
    Utf16(s, units);
    std::vector<uint8_t> out(size, 0);
    for (size_t i = 0; i < units.size() && 2 * i + 2 < size; ++i) {
        out[2 * i] = static_cast<uint8_t>(units[i]);
        out[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
    return out;
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

} // namespace

namespace symfile {

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

} // namespace symfile

namespace {

std::string Trim(const std::string& s)
{
    const size_t first = s.find_first_not_of(" \t\r");
    return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

bool ParseInteger(PlcType type, size_t size, const std::string& text, std::vector<uint8_t>& out, std::string& error)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const bool negative = !text.empty() && text[0] == '-';
    char* end = nullptr;
    errno = 0;
    uint64_t bits = 0;
    if (negative) {
        bits = static_cast<uint64_t>(std::strtoll(text.c_str(), &end, 10));
    } else {
        bits = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    }
    if (text.empty() || *end != '\0' || errno == ERANGE || (!negative && !text.empty() && text[0] == '+')) {
        error = "initial value '" + text + "' is not an integer";
        return false;
    }
    const unsigned bits8 = static_cast<unsigned>(size * 8);
    const uint64_t all = bits8 == 64 ? UINT64_MAX : (uint64_t{1} << bits8) - 1;
    bool inRange = false;
    if (IsSigned(type)) {
        const auto value = static_cast<int64_t>(bits);
        const auto high = static_cast<int64_t>(all >> 1);
        inRange = negative ? value >= -high - 1 : bits <= static_cast<uint64_t>(high);
    } else {
        inRange = !negative && bits <= all;
    }
    if (!inRange) {
        error = "initial value " + text + " out of range for " + TypeName(type);
        return false;
    }
    out = UInt(bits, size);
    return true;
}

bool ParseScalar(PlcType type, size_t size, const std::string& text, std::vector<uint8_t>& out, std::string& error)
{
    if (type == PlcType::STRING) {
        if (text.size() > size - 1) {
            error = "STRING initial value longer than " + std::to_string(size - 1) + " characters";
            return false;
        }
        out = Text(text, size);
        return true;
    }
    if (type == PlcType::WSTRING) {
        std::vector<uint16_t> units;
        if (!Utf16(text, units)) {
            error = "WSTRING initial value '" + text + "' is not UTF-8";
            return false;
        }
        if (units.size() > size / 2 - 1) {
            error = "WSTRING initial value longer than " + std::to_string(size / 2 - 1) + " characters";
            return false;
        }
        out = WText(text, size);
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
    return ParseInteger(type, size, text, out, error);
}

} // namespace

bool symfile::ParseInitial(const FileType& type, const std::string& text, std::vector<uint8_t>& out, std::string& error)
{
    if (type.count == 1 && type.name.compare(0, 5, "ARRAY") != 0) {
        return ParseScalar(type.element, type.elementSize, text, out, error);
    }
    std::string list;
    for (const char c : text) {
        if (c != '[' && c != ']') {
            list += c;
        }
    }
    std::vector<std::string> values;
    std::istringstream in(list);
    for (std::string value; std::getline(in, value, ',');) {
        value = Trim(value);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        values.push_back(value);
    }
    if (values.size() != 1 && values.size() != type.count) {
        error = "initial value has " + std::to_string(values.size()) + " values, " + type.name + " has " +
                std::to_string(type.count) + " elements";
        return false;
    }
    out.clear();
    std::vector<uint8_t> element;
    for (size_t i = 0; i < type.count; ++i) {
        // One value for all is parsed once.
        if ((i == 0 || values.size() != 1) &&
            !ParseScalar(type.element, type.elementSize, values[values.size() == 1 ? 0 : i], element, error)) {
            return false;
        }
        out.insert(out.end(), element.begin(), element.end());
    }
    return true;
}

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
    const std::string upper = Upper(name);
    if (upper == "TOD") {
        return PlcType::TIME_OF_DAY;
    }
    if (upper == "DT") {
        return PlcType::DATE_AND_TIME;
    }
    for (const auto& t : kTypes) {
        if (upper == t.name) {
            return t.type;
        }
    }
    return std::nullopt;
}

uint32_t DataTypeIdOf(const std::string& typeName)
{
    if (const auto array = ParseArrayTypeName(typeName)) {
        return DataTypeIdOf(array->element);
    }
    if (ParseStringTypeName(typeName, "STRING")) {
        return ADST_STRING;
    }
    if (ParseStringTypeName(typeName, "WSTRING")) {
        return ADST_WSTRING;
    }
    const auto type = ParseTypeName(typeName);
    return type ? Info(*type).dataTypeId : ADST_BIGTYPE;
}

std::vector<SymbolDef> DefaultSymbols()
{
    const char* const words[] = {"one", "two", "three", "four", "five"};
    std::vector<std::vector<uint8_t>> reals, ints, texts;
    for (int i = 1; i <= 10; ++i) {
        reals.push_back(Real(1.5F * static_cast<float>(i)));
    }
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            ints.push_back(Int(row * 10 + column - 5, 2));
        }
    }
    for (const char* word : words) {
        texts.push_back(Text(word, 21));
    }
    const std::vector<uint8_t> lints =
        Join({Int(std::numeric_limits<int64_t>::min(), 8), Int(0, 8), Int(std::numeric_limits<int64_t>::max(), 8)});
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
        {"MAIN.byByte", Int(0xA5, 1), Behaviour::Constant, "BYTE", ""},
        // Beyond 2^53: a detour through a double would change it.
        {"MAIN.liLint", Int(-9007199254740993LL, 8), Behaviour::Constant, "LINT", ""},
        {"MAIN.uliUlint", UInt(UINT64_MAX, 8), Behaviour::Constant, "ULINT", ""},
        {"MAIN.lwLword", UInt(0x0123456789ABCDEFULL, 8), Behaviour::Constant, "LWORD", ""},
        {"MAIN.tTime", Int(3723004, 4), Behaviour::Constant, "TIME", "T#1h2m3s4ms"},
        {"MAIN.ltLtime", Int(5006, 8), Behaviour::Constant, "LTIME", "LTIME#5us6ns"},
        {"MAIN.todTime", Int(45296789, 4), Behaviour::Constant, "TIME_OF_DAY", "TOD#12:34:56.789"},
        {"MAIN.dDate", Int(1796601600, 4), Behaviour::Constant, "DATE", "D#2026-12-07"},
        {"MAIN.dtStamp", Int(1796646896, 4), Behaviour::Constant, "DATE_AND_TIME", "DT#2026-12-07-12:34:56"},
        {"MAIN.wsText", WText("Gr\xC3\xBC\xC3\x9F" "e \xE4\xB8\x96\xE7\x95\x8C"), Behaviour::Constant, "WSTRING(80)", ""},
        {"MAIN.eMode", Int(2, 2), Behaviour::Constant, "E_Mode", "an enumeration of INT", ADST_INT16},
        {"MAIN.aReal", Join(reals), Behaviour::Constant, "ARRAY [1..10] OF REAL", ""},
        {"MAIN.aInt", Join(ints), Behaviour::Constant, "ARRAY [0..2, 0..3] OF INT", ""},
        {"MAIN.aText", Join(texts), Behaviour::Constant, "ARRAY [0..4] OF STRING(20)", ""},
        {"MAIN.aLint", lints, Behaviour::Constant, "ARRAY [-1..1] OF LINT", ""},
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

// An elementary TYPE: a name, STRING(n) or WSTRING(n), or NAME:BASE for the program's own.
bool ParseElement(const std::string& text, FileType& type)
{
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
        if (colon == 0 || !ParseElement(text.substr(colon + 1), type) || type.dataTypeId != 0) {
            return false;
        }
        type.name = text.substr(0, colon);
        type.dataTypeId = Info(type.element).dataTypeId;
        return true;
    }
    for (const PlcType text_type : {PlcType::STRING, PlcType::WSTRING}) {
        const auto length = ParseStringTypeName(text, TypeName(text_type));
        const bool wide = text_type == PlcType::WSTRING;
        if (length && *length <= (wide ? 32767u : 65535u)) {
            type.element = text_type;
            type.elementSize = (*length + 1) * (wide ? 2 : 1);
            type.name = std::string(TypeName(text_type)) + "(" + std::to_string(*length) + ")";
            return true;
        }
    }
    const auto parsed = ParseTypeName(text);
    if (!parsed) {
        return false;
    }
    type.element = *parsed;
    type.elementSize = TypeSize(*parsed);
    type.name = Upper(text);
    return true;
}

} // namespace

bool symfile::ParseType(const std::string& text, FileType& type, std::string& error)
{
    const auto array = ParseArrayTypeName(text);
    if (!array) {
        if (!ParseElement(text, type)) {
            error = "unknown type '" + text + "'";
            return false;
        }
        return true;
    }
    if (!ParseElement(array->element, type)) {
        error = "unknown element type '" + array->element + "'";
        return false;
    }
    uint64_t count = 1;
    for (const ArrayBounds& bounds : array->dimensions) {
        count *= bounds.Count();
        if (count * type.elementSize > kMaxSymbolSize) {
            error = "array larger than " + std::to_string(kMaxSymbolSize) + " bytes";
            return false;
        }
    }
    type.count = static_cast<size_t>(count);
    type.name = ArrayTypeNameText(array->dimensions, type.name);
    return true;
}

// An array's name has blanks unless it is quoted.
size_t symfile::TypeTokens(const std::vector<std::string>& tokens, size_t first)
{
    if (Upper(tokens[first]).compare(0, 5, "ARRAY") != 0) {
        return 1;
    }
    std::string text = tokens[first];
    for (size_t n = 1; first + n <= tokens.size(); ++n) {
        if (ParseArrayTypeName(text)) {
            return n;
        }
        if (first + n < tokens.size()) {
            text += " " + tokens[first + n];
        }
    }
    return 0;
}

std::vector<std::string> symfile::SplitFields(const std::vector<std::string>& tokens, std::string& error)
{
    const size_t typeTokens = tokens.size() > 1 ? TypeTokens(tokens, 1) : 1;
    if (typeTokens == 0) {
        error = "malformed array type (ARRAY [a..b, c..d] OF TYPE)";
        return {};
    }
    std::vector<std::string> fields = {tokens[0]};
    std::string typeText;
    for (size_t i = 1; i < tokens.size() && i <= typeTokens; ++i) {
        typeText += (i == 1 ? "" : " ") + tokens[i];
    }
    if (tokens.size() > 1) {
        fields.push_back(typeText);
    }
    fields.insert(fields.end(), tokens.begin() + static_cast<std::ptrdiff_t>(std::min(tokens.size(), 1 + typeTokens)),
                  tokens.end());
    return fields;
}

std::string symfile::ParseBehaviour(const std::string& b, const FileType& type, const std::string& typeText,
                                    Behaviour& out)
{
    const bool single = type.name.compare(0, 5, "ARRAY") != 0;
    if (b == "constant") {
        out = Behaviour::Constant;
    } else if (b == "counter" || b == "countdown") {
        if (!single || !IsCounting(type.element)) {
            return b + " needs an integer type, not " + typeText;
        }
        out = b == "counter" ? Behaviour::CountUp : Behaviour::CountDown;
    } else if (b == "sine") {
        if (!single || (type.element != PlcType::REAL && type.element != PlcType::LREAL)) {
            return "sine needs REAL or LREAL, not " + typeText;
        }
        out = Behaviour::Sine;
    } else {
        return "unknown behaviour '" + b + "' (constant, counter, countdown or sine)";
    }
    return std::string();
}

double symfile::SineCenter(const std::vector<uint8_t>& initial)
{
    if (initial.size() == 4) {
        const uint32_t bits = le::Read<uint32_t>(initial.data());
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    if (initial.size() == 8) {
        const uint64_t bits = le::Read<uint64_t>(initial.data());
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    return 0;
}

std::string symfile::ParseLine(const std::vector<std::string>& tokens, std::set<std::string>& seen, SymbolDef& def)
{
    std::string error;
    const std::vector<std::string> fields = SplitFields(tokens, error);
    if (!error.empty()) {
        return error;
    }
    if (fields.size() != 4 && fields.size() != 5) {
        return "expected 'name TYPE initial behaviour [comment]', got " + std::to_string(fields.size()) + " fields";
    }
    const std::string& name = fields[0];
    if (name.empty()) {
        return "empty symbol name";
    }
    if (!seen.insert(Lower(name)).second) {
        return "duplicate symbol '" + name + "'";
    }
    FileType type;
    if (!ParseType(fields[1], type, error)) {
        return error;
    }
    def.name = name;
    def.typeName = type.name;
    def.dataTypeId = type.dataTypeId;
    def.comment = fields.size() == 5 ? fields[4] : std::string();
    if (!ParseInitial(type, fields[2], def.initial, error)) {
        return error;
    }
    return ParseBehaviour(fields[3], type, fields[1], def.behaviour);
}

SymbolFileError::SymbolFileError(const std::vector<std::pair<size_t, std::string>>& problems)
    : std::runtime_error(JoinProblems(problems)), line(problems.empty() ? 0 : problems.front().first)
{
}

} // namespace plcsim
