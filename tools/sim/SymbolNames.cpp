// Names of symbols and of their parts: "MAIN.st.aDrives[2].rSpeed" steps from the symbol
// "MAIN.st" through members of the program's structure types and elements of arrays.
#include "tools/sim/SimServer.h"

#include "ads/AdsTypeNames.h"

#include <cstdlib>
#include <sstream>
#include <string_view>

namespace plcsim {

std::optional<SymbolRef> PlcSimulator::Impl::ResolveLocked(const std::string& name) const
{
    const std::string key = Lower(name);
    if (symbols.count(key) != 0) {
        return SymbolRef{key, 0, std::nullopt, std::string(), 0};
    }
    // The longest symbol name the rest steps from; symbol names may have dots of their own.
    for (size_t cut = key.size(); cut-- > 1;) {
        if (key[cut] != '.' && key[cut] != '[') {
            continue;
        }
        const auto it = symbols.find(std::string_view(key).substr(0, cut));
        if (it == symbols.end()) {
            continue;
        }
        const Symbol& s = it->second;
        SymbolRef ref{it->first, 0, s.value.size(), s.typeName.empty() ? DefaultTypeName(s.value.size()) : s.typeName,
                      0};
        ref.dataTypeId = s.dataTypeId != 0 ? s.dataTypeId : DataTypeIdOf(ref.typeName);
        if (WalkLocked(ref, key.substr(cut)) && ref.offset + ref.size.value_or(0) <= s.value.size()) {
            return ref;
        }
    }
    return std::nullopt;
}

bool PlcSimulator::Impl::WalkLocked(SymbolRef& ref, const std::string& path) const
{
    size_t i = 0;
    while (i < path.size()) {
        if (path[i] == '[') {
            const size_t close = path.find(']', i);
            const auto array = plc::ads::ParseArrayTypeName(ref.typeName);
            if (close == std::string::npos || !array) {
                return false;
            }
            std::istringstream indices(path.substr(i + 1, close - i - 1));
            uint64_t linear = 0;
            uint64_t count = 1;
            size_t dimension = 0;
            for (std::string index; std::getline(indices, index, ',');) {
                char* end = nullptr;
                const long long value = std::strtoll(index.c_str(), &end, 10);
                if (dimension == array->dimensions.size() || index.empty() || *end != '\0' ||
                    value < array->dimensions[dimension].lower || value > array->dimensions[dimension].upper) {
                    return false;
                }
                const uint32_t extent = array->dimensions[dimension].Count();
                linear = linear * extent + static_cast<uint64_t>(value - array->dimensions[dimension].lower);
                count *= extent;
                ++dimension;
            }
            const size_t size = ref.size.value_or(0);
            if (dimension != array->dimensions.size() || size % count != 0) {
                return false;
            }
            ref.size = size / count;
            ref.offset += static_cast<size_t>(linear) * *ref.size;
            ref.typeName = array->element;
            i = close + 1;
        } else if (path[i] == '.') {
            const size_t end = std::min(path.find_first_of(".[", i + 1), path.size());
            const std::string_view member = std::string_view(path).substr(i + 1, end - i - 1);
            const auto type = structs.find(Lower(ref.typeName));
            if (type == structs.end()) {
                return false;
            }
            const StructMember* found = nullptr;
            for (const StructMember& m : type->second.members) {
                if (Lower(m.name) == member) {
                    found = &m;
                    break;
                }
            }
            // A bit has no bytes of its own to read or write.
            if (found == nullptr || found->bit) {
                return false;
            }
            ref.offset += found->offset;
            ref.size = found->size;
            ref.typeName = found->typeName;
            ref.dataTypeId = found->dataTypeId;
            i = end;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace plcsim
