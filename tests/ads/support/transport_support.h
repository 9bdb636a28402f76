// Test helpers for the transport layer: a router for local ports 30000..30127, a log
// capture, and access to a connection's invoke id counter.
#pragma once

#include "ads/AmsConnection.h"
#include "ads/Log.h"

#include <cstdint>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

// Presets the invoke id counter, to reach the wrap-around without four billion requests.
struct AmsConnectionTestAccess {
    static void SetInvokeId(AmsConnection& connection, uint32_t last) { connection.invokeId = last; }
};

namespace transport {

// Answers for ports 30000..30127 with one fixed local NetId; other ports are not open.
struct TestRouter : Router {
    explicit TestRouter(AmsNetId local = AmsNetId{192, 168, 77, 5, 1, 1}) : localNetId(local) {}
    int32_t GetLocalAddress(uint16_t port, AmsAddr* addr) override;
    const AmsNetId localNetId;
};

// Collects the stack's log lines (level `level` and above) while it lives.
class LogCapture {
public:
    explicit LogCapture(uint32_t level = LOG_LEVEL_INFO);
    ~LogCapture();
    std::string Text() const;
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
    size_t Count(const std::string& text) const;
    // Waits (bounded) until the text has been logged.
    bool WaitFor(const std::string& text, int timeoutMs = 2000) const;

private:
    class Sink : public std::streambuf {
    public:
        std::string Text() const;

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;

    private:
        mutable std::mutex mutex;
        std::string text;
    };
    Sink sink;
    std::ostream stream;
    uint32_t previousLevel;
};

} // namespace transport
