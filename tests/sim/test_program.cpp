// The stand-alone ads-plc-sim program: options, symbol files, serving, clean stop.
#include "sim/support/RawClient.h"

#include "ads/LittleEndian.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#ifndef ADS_PLC_SIM_PATH
#error "ADS_PLC_SIM_PATH must name the built ads-plc-sim program"
#endif

extern char** environ;

using namespace simtest;
namespace le = plc::ads::le;

namespace {

class Program {
public:
    explicit Program(std::vector<std::string> args)
    {
        args.insert(args.begin(), ADS_PLC_SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int out[2];
        int err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        const int rc = posix_spawn(&pid, ADS_PLC_SIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        outFd = out[0];
        errFd = err[0];
        if (rc != 0) {
            pid = -1;
            throw std::runtime_error("cannot start " ADS_PLC_SIM_PATH);
        }
    }

    ~Program()
    {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(outFd);
        ::close(errFd);
    }

    // Collects output until the program exits; returns its exit status, or -1 on time-out.
    int Wait(std::chrono::milliseconds timeout = 10s)
    {
        const bool done = plcsim::WaitUntil(
            [&] {
                Drain(0);
                int status = 0;
                if (::waitpid(pid, &status, WNOHANG) == pid) {
                    exited = true;
                    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
                return exited;
            },
            timeout);
        Drain(0);
        return done ? exitStatus : -1;
    }

    // Reads stdout until it contains `text`, at most `timeout`.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Drain(static_cast<int>(left.count()))) {
                return false;
            }
        }
        return true;
    }

    pid_t pid = -1;
    std::string out;
    std::string err;

private:
    // Reads what is available on both pipes; false when neither had anything within waitMs.
    bool Drain(int waitMs)
    {
        pollfd pfds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        if (::poll(pfds, 2, waitMs) <= 0) {
            return false;
        }
        bool any = false;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if ((pfds[i].revents & (POLLIN | POLLHUP)) != 0) {
                const ssize_t n = ::read(pfds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
                    any = true;
                }
            }
        }
        return any;
    }

    int outFd = -1;
    int errFd = -1;
    bool exited = false;
    int exitStatus = -1;
};

std::string WriteTempFile(const std::string& text)
{
    char path[] = "/tmp/ads_plc_sim_symbols_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    ::close(fd);
    std::ofstream(path) << text;
    return path;
}

TEST(Program, HelpAndBadOptions)
{
    Program help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.out.find("--listen ADDR:PORT"), std::string::npos);
    EXPECT_NE(help.out.find("--symbols FILE"), std::string::npos);

    const std::vector<std::vector<std::string>> bad = {
        {"--frobnicate"}, {"--listen", "127.0.0.1"}, {"--listen", "127.0.0.1:70000"}, {"--version", "1.2"},
        {"--netid", "1.2.3"}, {"--tick"}, {"--delay", "-5"}, {"--symbols", "/nonexistent/symbols.txt"},
    };
    for (const auto& args : bad) {
        Program p(args);
        EXPECT_NE(p.Wait(), 0) << args[0];
        EXPECT_NE(p.err.find("ads-plc-sim: "), std::string::npos) << args[0];
        EXPECT_EQ(p.out.find("listening"), std::string::npos);
    }
}

TEST(Program, MalformedSymbolFileNamesTheLine)
{
    const std::string path = WriteTempFile("# my symbols\nMAIN.a INT 5 counter\nMAIN.b INT 5 sideways\n");
    Program p({"--symbols", path, "--listen", "127.0.0.1:0"});
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_NE(p.err.find(path + ": line 3: unknown behaviour 'sideways'"), std::string::npos) << p.err;
    std::remove(path.c_str());
}

TEST(Program, ServesItsSymbolsLogsConnectionsAndStopsOnSigterm)
{
    const std::string path = WriteTempFile("GVL.speed DINT -42 constant\n");
    Program p({"--listen", "127.0.0.1:0", "--name", "Line 4 PLC", "--version", "2.11.77", "--symbols", path, "-v"});
    ASSERT_TRUE(p.WaitForOutput("\n")) << p.err;
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(p.out.rfind(prefix, 0), 0u) << p.out;
    const auto port = static_cast<uint16_t>(std::stoi(p.out.substr(prefix.size())));
    {
        RawClient c(port);
        auto info = c.Call(ADS_CMD_READ_DEVICE_INFO, {});
        ASSERT_TRUE(info);
        ASSERT_EQ(info->data.size(), 24u);
        EXPECT_EQ(Bytes(info->data.begin() + 4, info->data.begin() + 8), Cat({{2, 11}, U16(77)}));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(info->data.data()) + 8), "Line 4 PLC");
        const uint32_t h = c.Handle("GVL.speed");
        ASSERT_NE(h, 0u);
        auto r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 4));
        ASSERT_TRUE(r);
        EXPECT_EQ(ReadDataOf(*r), U32(static_cast<uint32_t>(-42)));
        EXPECT_EQ(c.Handle("MAIN.down"), 0u); // a symbols file replaces the built-in table
    }
    EXPECT_TRUE(p.WaitForOutput("connection 1 from 127.0.0.1:"));
    EXPECT_TRUE(p.WaitForOutput("connection 1: cmd 1 "));
    EXPECT_TRUE(p.WaitForOutput("connection 1 closed"));
    ::kill(p.pid, SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    std::remove(path.c_str());
}

} // namespace
