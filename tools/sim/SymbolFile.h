// The symbol file's pieces shared by the line parser (Symbols.cpp) and the program parser
// with its structure types (ProgramParser.cpp). Private to tools/sim.
#pragma once

#include "tools/sim/PlcSimulator.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace plcsim::symfile {

// The largest value a symbol file may declare, as much as a notification watches.
constexpr size_t kMaxSymbolSize = 65536;

// A symbol file's TYPE: an elementary value or an array of them.
struct FileType {
    PlcType element = PlcType::BOOL;
    size_t elementSize = 0;
    size_t count = 1;        // elements of an array, 1 for a single value
    std::string name;        // as symbol information shows it
    uint32_t dataTypeId = 0; // of a type of the program's own
};

std::string Upper(std::string s);
std::string Lower(std::string s);
// Splits a line into tokens; double quotes group blanks, '#' outside quotes ends the line.
bool Tokenize(const std::string& line, std::vector<std::string>& tokens, std::string& error);
bool ParseType(const std::string& text, FileType& type, std::string& error);
// One value for every element, or "[v1,v2,...]" with one per element.
bool ParseInitial(const FileType& type, const std::string& text, std::vector<uint8_t>& out, std::string& error);
// How many tokens from `first` make the TYPE; 0 for an array type that never completes.
size_t TypeTokens(const std::vector<std::string>& tokens, size_t first);
// The behaviour word for a value of `type` (written `typeText` in the file); the reason when it does not fit.
std::string ParseBehaviour(const std::string& word, const FileType& type, const std::string& typeText,
                           Behaviour& out);
// Name, TYPE (its tokens joined) and the fields after it.
std::vector<std::string> SplitFields(const std::vector<std::string>& tokens, std::string& error);
// A variable line of elementary values into `def`; the reason when it is malformed.
std::string ParseLine(const std::vector<std::string>& tokens, std::set<std::string>& seen, SymbolDef& def);
// The middle of a sine of that initial value (REAL or LREAL bytes), else 0.
double SineCenter(const std::vector<uint8_t>& initial);

} // namespace plcsim::symfile
