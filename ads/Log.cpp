#include "Log.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <mutex>

std::atomic<uint32_t> Logger::logLevel{4};

namespace {
const char* const CATEGORY[] = {"Verbose: ", "Info: ", "Warning: ", "Error: "};

std::mutex& StreamMutex()
{
    static std::mutex m;
    return m;
}

std::ostream*& Stream()
{
    static std::ostream* s = &std::cerr;
    return s;
}
}

void Logger::SetStream(std::ostream* stream)
{
    std::lock_guard<std::mutex> lock(StreamMutex());
    Stream() = stream ? stream : &std::cerr;
}

void Logger::Log(uint32_t level, const std::string& message)
{
    if (level < logLevel.load(std::memory_order_relaxed)) {
        return;
    }
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    char stamp[28] = {};
    if (localtime_r(&now, &local)) {
        std::strftime(stamp, sizeof(stamp), "%FT%T%z ", &local);
    }
    // Build the whole line first: one insertion keeps lines of different threads whole.
    std::string line = stamp;
    line += level < 4 ? CATEGORY[level] : "Unknown: ";
    line += message;
    line += '\n';
    std::lock_guard<std::mutex> lock(StreamMutex());
    *Stream() << line << std::flush;
}
