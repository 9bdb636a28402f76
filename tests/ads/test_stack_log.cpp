// The stack's log: threshold, line format, and whole lines under concurrent writers.
#include "ads/Log.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class StackLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedLevel = Logger::logLevel;
        Logger::SetStream(&captured);
    }
    void TearDown() override
    {
        Logger::SetStream(nullptr);
        Logger::logLevel = savedLevel;
    }

    std::vector<std::string> lines() const
    {
        std::vector<std::string> result;
        std::istringstream in(captured.str());
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }

    std::ostringstream captured;
    uint32_t savedLevel = 4;
};

// ISO 8601 local time with numeric zone offset, then one blank.
const std::string STAMP = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}[+-]\d{4} )";

TEST_F(StackLogTest, DefaultThresholdKeepsTheStackSilent)
{
    EXPECT_EQ(Logger::logLevel, 4u);
    for (uint32_t level = 0; level <= 3; ++level) {
        Logger::Log(level, "hidden");
    }
    LOG_ERROR("hidden " << 1);
    EXPECT_EQ(captured.str(), "");
}

TEST_F(StackLogTest, LinesBelowTheThresholdAreDropped)
{
    Logger::logLevel = 2;
    Logger::Log(1, "info text");
    Logger::Log(0, "verbose text");
    EXPECT_EQ(captured.str(), "");
    Logger::Log(2, "warning text");
    const std::string out = captured.str();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_TRUE(std::regex_match(out, std::regex("^" + STAMP + "Warning: warning text\n$"))) << out;
}

TEST_F(StackLogTest, EachLevelHasItsPrefix)
{
    Logger::logLevel = 0;
    Logger::Log(0, "a");
    Logger::Log(1, "b");
    Logger::Log(2, "c");
    Logger::Log(3, "d");
    LOG_WARN("value " << 42 << '!');
    const auto got = lines();
    const char* expected[] = {"Verbose: a", "Info: b", "Warning: c", "Error: d", "Warning: value 42!"};
    ASSERT_EQ(got.size(), 5u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(std::regex_match(got[i], std::regex(STAMP + expected[i]))) << got[i];
    }
}

TEST_F(StackLogTest, ConcurrentWritersNeverInterleaveWithinALine)
{
    Logger::logLevel = 0;
    constexpr int THREADS = 8;
    constexpr int LINES = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([t] {
            const std::string body(40, static_cast<char>('a' + t));
            for (int i = 0; i < LINES; ++i) {
                Logger::Log(3, "writer " + std::to_string(t) + " line " + std::to_string(i) + " " + body);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    const auto got = lines();
    ASSERT_EQ(got.size(), static_cast<size_t>(THREADS * LINES));
    const std::regex pattern(STAMP + R"(Error: writer (\d) line (\d+) ([a-h])\3{39})");
    std::set<std::string> seen;
    for (const std::string& line : got) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, pattern)) << line;
        EXPECT_EQ(m[3].str()[0], static_cast<char>('a' + std::stoi(m[1].str())));
        seen.insert(m[1].str() + ":" + m[2].str());
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(THREADS * LINES));
}

} // namespace
