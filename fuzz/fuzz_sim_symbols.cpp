// The simulator's symbol-file parser: any text is either a program or a SymbolFileError
// whose first line lies in the text; every parsed symbol has a name and a value, and every
// structure's members lie inside it.
#include "tools/sim/PlcSimulator.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const plcsim::SimProgram program = plcsim::ParseSymbolProgram(text);
        for (const plcsim::SymbolDef& symbol : program.symbols) {
            if (symbol.name.empty() || symbol.initial.empty()) {
                std::abort();
            }
            for (const plcsim::SymbolPart& part : symbol.parts) {
                if (size_t{part.offset} + part.size > symbol.initial.size()) {
                    std::abort();
                }
            }
        }
        for (const plcsim::StructType& type : program.types) {
            if (type.size == 0 || type.size % type.alignment != 0 || type.initial.size() != type.size) {
                std::abort();
            }
            for (const plcsim::StructMember& member : type.members) {
                const uint64_t end = member.bit ? (uint64_t{member.offset} + 8) / 8 : uint64_t{member.offset} + member.size;
                if (end > type.size) {
                    std::abort();
                }
            }
        }
    } catch (const plcsim::SymbolFileError& e) {
        const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        if (e.Line() < 1 || e.Line() > lines) {
            std::abort(); // the error must point into the text
        }
    }
    return 0;
}
