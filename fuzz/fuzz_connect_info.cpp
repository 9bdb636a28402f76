// The connect info a peer sends inside the secure tunnel: any bytes decode to a block that
// fits the input exactly as announced, or are refused.
#include "ads/ConnectInfo.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using plc::ads::ConnectInfo;
    const size_t announced = ConnectInfo::Announced(data, size);
    ConnectInfo info;
    if (!ConnectInfo::Decode(data, size, info)) {
        return 0;
    }
    if (announced == 0 || announced > size || info.hostName.size() > ConnectInfo::HOST_NAME_SIZE ||
        ConnectInfo::FIXED_SIZE + info.userName.size() + info.password.size() != announced ||
        info.Encode().size() != announced) {
        std::abort();
    }
    return 0;
}
