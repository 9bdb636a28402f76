#include "transport_support.h"

#include "ads/Log.h"
#include "tools/sim/PlcSimulator.h"

namespace transport {

int32_t TestRouter::GetLocalAddress(uint16_t port, AmsAddr* addr)
{
    if (port < ADS_PORT_BASE || port >= ADS_PORT_BASE + ADS_PORT_COUNT) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    *addr = AmsAddr{localNetId, port};
    return 0;
}

LogCapture::LogCapture(uint32_t level) : stream(&sink), previousLevel(Logger::logLevel)
{
    Logger::SetStream(&stream);
    Logger::logLevel = level;
}

LogCapture::~LogCapture()
{
    Logger::logLevel = previousLevel;
    Logger::SetStream(nullptr);
}

std::string LogCapture::Text() const
{
    return sink.Text();
}

size_t LogCapture::Count(const std::string& needle) const
{
    const std::string text = Text();
    size_t count = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

bool LogCapture::WaitFor(const std::string& needle, int timeoutMs) const
{
    return plcsim::WaitUntil([&] { return Contains(needle); }, std::chrono::milliseconds(timeoutMs));
}

std::string LogCapture::Sink::Text() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return text;
}

LogCapture::Sink::int_type LogCapture::Sink::overflow(int_type c)
{
    if (c != traits_type::eof()) {
        std::lock_guard<std::mutex> lock(mutex);
        text.push_back(static_cast<char>(c));
    }
    return traits_type::not_eof(c);
}

std::streamsize LogCapture::Sink::xsputn(const char* s, std::streamsize n)
{
    std::lock_guard<std::mutex> lock(mutex);
    text.append(s, static_cast<size_t>(n));
    return n;
}

} // namespace transport
