// Log sink of the ADS stack: one time-stamped line per message on the error stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>

struct Logger {
    // Messages below this level are dropped; 4 keeps the stack silent. Atomic: it may be
    // changed while the stack's threads log.
    static std::atomic<uint32_t> logLevel;
    static void Log(uint32_t level, const std::string& message);
    // Where lines go; the error stream unless a test redirects it. Null restores the default.
    static void SetStream(std::ostream* stream);
};

enum : uint32_t {
    LOG_LEVEL_VERBOSE = 0,
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_ERROR = 3,
};

// Formats only when the level passes the threshold, so silent logging costs one comparison.
#define ADS_LOG_AT(level, msg)                                   \
    do {                                                         \
        if ((level) >= Logger::logLevel.load(std::memory_order_relaxed)) { \
            std::ostringstream adsLogStream_;                    \
            adsLogStream_ << msg;                                \
            Logger::Log((level), adsLogStream_.str());           \
        }                                                        \
    } while (false)

#define LOG_VERBOSE(msg) ADS_LOG_AT(LOG_LEVEL_VERBOSE, msg)
#define LOG_INFO(msg) ADS_LOG_AT(LOG_LEVEL_INFO, msg)
#define LOG_WARN(msg) ADS_LOG_AT(LOG_LEVEL_WARN, msg)
#define LOG_ERROR(msg) ADS_LOG_AT(LOG_LEVEL_ERROR, msg)
