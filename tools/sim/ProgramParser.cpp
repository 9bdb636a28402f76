// Symbol files with structure types: TYPE blocks laid out like a PLC lays out a structure,
// and variables of them, next to the elementary lines Symbols.cpp parses.
#include "tools/sim/SymbolFile.h"

#include "ads/AdsTypeNames.h"

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>

namespace plcsim {
namespace {

using namespace symfile;
using plc::ads::ArrayBounds;

constexpr size_t kMaxMembers = 65535;

size_t AlignUp(size_t value, size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

bool IsIdentifier(const std::string& s)
{
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) {
        return false;
    }
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// A name the file's own types cannot take.
bool IsReserved(const std::string& name)
{
    const std::string key = Lower(name);
    return ParseTypeName(name) || key == "bit" || key == "string" || key == "wstring" || key == "array";
}

// What a TYPE of a member or variable line stands for.
struct Resolved {
    std::string name; // as symbol information shows it
    uint32_t dataTypeId = 0;
    size_t size = 0; // bytes, all elements
    size_t alignment = 1;
    size_t count = 1;
    std::vector<ArrayBounds> dimensions;
    std::optional<size_t> structure; // the (element's) structure type, an index into the program's
    bool bit = false;
    FileType file;                // an elementary value's
    std::string fileText;         // the TYPE as the line parser takes it (aliases spelled out)
    std::optional<AliasType> alias; // a NAME:BASE this TYPE declares
    bool decisive = false;          // an error the line parser would not see
};

class ProgramParser {
public:
    explicit ProgramParser(const std::string& text) : text(text) {}

    SimProgram Parse()
    {
        ScanTypeNames();
        std::istringstream in(text);
        std::string line;
        size_t number = 0;
        while (std::getline(in, line)) {
            ++number;
            std::vector<std::string> tokens;
            std::string error;
            if (Tokenize(line, tokens, error) && !tokens.empty()) {
                error = Line(number, tokens);
            }
            if (!error.empty()) {
                problems.emplace_back(number, error);
            }
        }
        if (open) {
            problems.emplace_back(open->line, "END_TYPE missing for structure '" + open->type.name + "'");
        }
        if (!problems.empty()) {
            std::stable_sort(problems.begin(), problems.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            throw SymbolFileError(problems);
        }
        return std::move(program);
    }

private:
    // A structure being declared: its members so far and where the next one goes.
    struct Open {
        StructType type;
        size_t line = 0;
        bool valid = true;
        size_t end = 0; // bytes laid out so far
        bool inBits = false;
        size_t bitByte = 0;
        unsigned bitsUsed = 0;
        std::set<std::string> memberKeys;
        bool memberFailed = false; // then no members are no news
    };

    // Every declared structure name, so that a use before its declaration says so.
    void ScanTypeNames()
    {
        std::istringstream in(text);
        std::string line;
        for (size_t number = 1; std::getline(in, line); ++number) {
            std::vector<std::string> tokens;
            std::string error;
            if (Tokenize(line, tokens, error) && tokens.size() == 2 && Upper(tokens[0]) == "TYPE" &&
                !IsReserved(tokens[1])) {
                declaredAt.emplace(Lower(tokens[1]), number);
            }
        }
    }

    std::string Line(size_t number, const std::vector<std::string>& tokens)
    {
        const std::string head = Upper(tokens[0]);
        if (head == "TYPE" && tokens.size() <= 2) {
            return BeginType(number, tokens);
        }
        if (head == "END_TYPE" && tokens.size() == 1) {
            return EndType();
        }
        if (!open) {
            return Variable(tokens);
        }
        const std::string error = Member(tokens);
        open->memberFailed = open->memberFailed || !error.empty();
        return error;
    }

    std::string BeginType(size_t number, const std::vector<std::string>& tokens)
    {
        std::string error;
        if (open) {
            error = "TYPE inside structure '" + open->type.name + "' (END_TYPE missing)";
        }
        open.emplace();
        open->line = number;
        open->type.name = tokens.size() == 2 ? tokens[1] : std::string();
        const std::string key = Lower(open->type.name);
        std::string problem;
        if (tokens.size() != 2) {
            problem = "expected 'TYPE name'";
        } else if (!IsIdentifier(open->type.name)) {
            problem = "structure name '" + open->type.name + "' is not an identifier";
        } else if (IsReserved(open->type.name)) {
            problem = "structure name '" + open->type.name + "' is a type of its own";
        } else if (structIndex.count(key) != 0 || aliasIndex.count(key) != 0) {
            problem = "type '" + open->type.name + "' declared twice";
        }
        open->valid = problem.empty();
        return error.empty() ? problem : error;
    }

    std::string EndType()
    {
        if (!open) {
            return "END_TYPE without TYPE";
        }
        Open done = std::move(*open);
        open.reset();
        if (!done.valid) {
            return std::string();
        }
        if (done.type.members.empty() && !done.memberFailed) {
            return "structure '" + done.type.name + "' has no members";
        }
        StructType& type = done.type;
        type.size = static_cast<uint32_t>(AlignUp(done.end, type.alignment));
        if (type.size > kMaxSymbolSize) {
            return "structure '" + type.name + "' larger than " + std::to_string(kMaxSymbolSize) + " bytes";
        }
        type.initial.resize(type.size, 0);
        structIndex.emplace(Lower(type.name), program.types.size());
        program.types.push_back(std::move(type));
        return std::string();
    }

    // A TYPE's meaning; the reason when it has none.
    std::string Resolve(const std::string& typeText, Resolved& out) const
    {
        out = Resolved();
        const auto array = plc::ads::ParseArrayTypeName(typeText);
        const std::string element = array ? array->element : typeText;
        const std::string key = Lower(element);
        if (array) {
            out.dimensions = array->dimensions;
            for (const ArrayBounds& bounds : array->dimensions) {
                out.count *= bounds.Count();
            }
        }
        if (const auto it = structIndex.find(key); it != structIndex.end()) {
            const StructType& type = program.types[it->second];
            if (uint64_t{type.size} * out.count > kMaxSymbolSize) {
                out.decisive = true;
                return "array larger than " + std::to_string(kMaxSymbolSize) + " bytes";
            }
            out.structure = it->second;
            out.name = array ? plc::ads::ArrayTypeNameText(array->dimensions, type.name) : type.name;
            out.dataTypeId = plc::ads::ADST_BIGTYPE;
            out.size = type.size * out.count;
            out.alignment = type.alignment;
            return std::string();
        }
        if (open && key == Lower(open->type.name)) {
            out.decisive = true;
            return "structure '" + element + "' used inside itself";
        }
        if (const auto later = declaredAt.find(key); later != declaredAt.end()) {
            out.decisive = true;
            return "structure '" + element + "' used before it is declared (line " + std::to_string(later->second) +
                   ")";
        }
        if (Upper(element) == "BIT") {
            if (array || !open) {
                out.decisive = true;
                return array ? "BIT arrays are not supported" : "BIT only inside a structure";
            }
            out.bit = true;
            out.name = "BIT";
            out.dataTypeId = plc::ads::ADST_BIT;
            out.file.element = PlcType::BOOL;
            out.file.elementSize = 1;
            out.file.name = "BIT";
            return std::string();
        }
        std::string spelled = element;
        const size_t colon = element.find(':');
        if (const auto alias = aliasIndex.find(key); colon == std::string::npos && alias != aliasIndex.end()) {
            spelled = program.aliases[alias->second].name + ":" + program.aliases[alias->second].baseTypeName;
        }
        out.fileText = array ? plc::ads::ArrayTypeNameText(array->dimensions, spelled) : spelled;
        std::string error;
        if (!ParseType(out.fileText, out.file, error)) {
            return error;
        }
        out.name = out.file.name;
        out.dataTypeId = out.file.dataTypeId != 0 ? out.file.dataTypeId : DataTypeIdOf(out.file.name);
        out.size = out.file.elementSize * out.file.count;
        out.alignment = out.file.element == PlcType::STRING    ? 1
                        : out.file.element == PlcType::WSTRING ? 2
                                                               : std::min<size_t>(out.file.elementSize, 8);
        if (colon != std::string::npos) {
            FileType base;
            ParseType(element.substr(colon + 1), base, error);
            AliasType declared{element.substr(0, colon), base.name, out.dataTypeId,
                               static_cast<uint32_t>(out.file.elementSize)};
            const auto known = aliasIndex.find(Lower(declared.name));
            if (structIndex.count(Lower(declared.name)) != 0 || declaredAt.count(Lower(declared.name)) != 0) {
                out.decisive = true;
                return "type '" + declared.name + "' is a structure";
            }
            if (known != aliasIndex.end() && program.aliases[known->second].baseTypeName != declared.baseTypeName) {
                out.decisive = true;
                return "type '" + declared.name + "' declared before as " + program.aliases[known->second].baseTypeName;
            }
            if (known == aliasIndex.end()) {
                out.alias = declared;
            }
        }
        return std::string();
    }

    void Declare(const Resolved& type)
    {
        if (type.alias) {
            aliasIndex.emplace(Lower(type.alias->name), program.aliases.size());
            program.aliases.push_back(*type.alias);
        }
    }

    // The bytes and moving parts of a value of a structure type (or an array of one).
    void StructValue(const Resolved& type, std::vector<uint8_t>& bytes, std::vector<SymbolPart>& parts) const
    {
        const StructType& element = program.types[*type.structure];
        bytes.clear();
        parts.clear();
        for (size_t i = 0; i < type.count; ++i) {
            const auto base = static_cast<uint32_t>(i * element.size);
            bytes.insert(bytes.end(), element.initial.begin(), element.initial.end());
            for (SymbolPart part : element.parts) {
                part.offset += base;
                parts.push_back(part);
            }
        }
    }

    std::string Member(const std::vector<std::string>& tokens)
    {
        std::string error;
        const std::vector<std::string> fields = SplitFields(tokens, error);
        if (!error.empty()) {
            return error;
        }
        if (fields.size() < 2 || fields.size() > 5) {
            return "expected 'member TYPE [initial [behaviour [comment]]]', got " + std::to_string(fields.size()) +
                   " fields";
        }
        const std::string& name = fields[0];
        if (!IsIdentifier(name)) {
            return "member name '" + name + "' is not an identifier";
        }
        if (!open->memberKeys.insert(Lower(name)).second) {
            return "member '" + name + "' twice in structure '" + open->type.name + "'";
        }
        Resolved type;
        if (!(error = Resolve(fields[1], type)).empty()) {
            return error;
        }
        std::vector<uint8_t> bytes;
        std::vector<SymbolPart> parts;
        std::string comment;
        if (type.structure) {
            if (fields.size() > 3) {
                return "expected 'member " + type.name + " [comment]', got " + std::to_string(fields.size()) +
                       " fields";
            }
            StructValue(type, bytes, parts);
            comment = fields.size() == 3 ? fields[2] : std::string();
        } else {
            bytes.assign(type.bit ? 1 : type.size, 0);
            if (fields.size() > 2 && !ParseInitial(type.file, fields[2], bytes, error)) {
                return error;
            }
            Behaviour behaviour = Behaviour::Constant;
            if (fields.size() > 3 && !(error = ParseBehaviour(fields[3], type.file, fields[1], behaviour)).empty()) {
                return error;
            }
            if (behaviour != Behaviour::Constant) {
                parts.push_back({0, static_cast<uint32_t>(bytes.size()), behaviour, SineCenter(bytes)});
            }
            comment = fields.size() == 5 ? fields[4] : std::string();
        }
        if (open->type.members.size() >= kMaxMembers) {
            return "structure '" + open->type.name + "' has more than " + std::to_string(kMaxMembers) + " members";
        }
        Place(name, type, bytes, parts, comment);
        if (open->end > kMaxSymbolSize) {
            open->valid = false;
            return "structure '" + open->type.name + "' larger than " + std::to_string(kMaxSymbolSize) + " bytes";
        }
        Declare(type);
        return std::string();
    }

    // Lays a member out after the ones before it: aligned, or into the bits of a shared byte.
    void Place(const std::string& name, const Resolved& type, const std::vector<uint8_t>& bytes,
               const std::vector<SymbolPart>& parts, const std::string& comment)
    {
        Open& o = *open;
        StructMember member{name, type.name, type.dataTypeId, 0, 0, type.bit, type.dimensions, comment};
        if (type.bit) {
            if (!o.inBits || o.bitsUsed == 8) {
                o.bitByte = o.end++;
                o.bitsUsed = 0;
                o.inBits = true;
            }
            member.offset = static_cast<uint32_t>(o.bitByte * 8 + o.bitsUsed);
            member.size = 1;
            o.type.initial.resize(o.end, 0);
            o.type.initial[o.bitByte] |= static_cast<uint8_t>((bytes[0] & 1) << o.bitsUsed++);
        } else {
            o.inBits = false;
            const size_t at = AlignUp(o.end, type.alignment);
            o.end = at + type.size;
            o.type.alignment = std::max<uint32_t>(o.type.alignment, static_cast<uint32_t>(type.alignment));
            member.offset = static_cast<uint32_t>(at);
            member.size = static_cast<uint32_t>(type.size);
            if (o.end <= kMaxSymbolSize) {
                o.type.initial.resize(o.end, 0);
                std::copy(bytes.begin(), bytes.end(), o.type.initial.begin() + static_cast<std::ptrdiff_t>(at));
                for (SymbolPart part : parts) {
                    part.offset += static_cast<uint32_t>(at);
                    o.type.parts.push_back(part);
                }
            }
        }
        o.type.members.push_back(std::move(member));
    }

    std::string Variable(const std::vector<std::string>& tokens)
    {
        std::string error;
        std::vector<std::string> fields = SplitFields(tokens, error);
        Resolved type;
        const std::string unresolved = error.empty() && fields.size() >= 2 ? Resolve(fields[1], type) : error;
        if (type.decisive) {
            return unresolved;
        }
        if (!unresolved.empty() || !type.structure) {
            // Elementary, or malformed: the line parser knows it, with the aliases spelled out.
            std::vector<std::string> spelled = tokens;
            if (unresolved.empty() && fields.size() >= 2) {
                fields[1] = type.fileText;
                spelled = fields;
            }
            SymbolDef def;
            error = ParseLine(spelled, seen, def);
            if (error.empty()) {
                Declare(type);
                program.symbols.push_back(std::move(def));
            }
            return error;
        }
        if (fields.size() > 3) {
            return "expected 'name " + type.name + " [comment]', got " + std::to_string(fields.size()) + " fields";
        }
        if (!seen.insert(Lower(fields[0])).second) {
            return "duplicate symbol '" + fields[0] + "'";
        }
        SymbolDef def;
        def.name = fields[0];
        def.typeName = type.name;
        def.dataTypeId = type.dataTypeId;
        def.comment = fields.size() == 3 ? fields[2] : std::string();
        StructValue(type, def.initial, def.parts);
        program.symbols.push_back(std::move(def));
        return std::string();
    }

    const std::string& text;
    SimProgram program;
    std::optional<Open> open;
    std::map<std::string, size_t> structIndex; // lower-case name: index into program.types
    std::map<std::string, size_t> aliasIndex;  // lower-case name: index into program.aliases
    std::map<std::string, size_t> declaredAt;  // lower-case structure name: its TYPE line
    std::set<std::string> seen;                // lower-case variable names
    std::vector<std::pair<size_t, std::string>> problems;
};

} // namespace

SimProgram ParseSymbolProgram(const std::string& text)
{
    return ProgramParser(text).Parse();
}

std::vector<SymbolDef> ParseSymbolText(const std::string& text)
{
    return ParseSymbolProgram(text).symbols;
}

} // namespace plcsim
