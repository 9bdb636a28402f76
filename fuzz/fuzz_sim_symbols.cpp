// The simulator's symbol-file parser: any text is either a table or a SymbolFileError
// whose first line lies in the text; every parsed symbol has a name and a value.
#include "tools/sim/PlcSimulator.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        for (const plcsim::SymbolDef& symbol : plcsim::ParseSymbolText(text)) {
            if (symbol.name.empty() || symbol.initial.empty()) {
                std::abort();
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
