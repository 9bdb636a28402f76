// Simulators in a child process, so that the CPU time of the benchmark's process is the plug-in's alone.
#pragma once

#include "tools/sim/PlcSimulator.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

class ChildSimulator {
public:
    // `make(n)` starts the n-th simulator (from 1) in the child.
    using Make = std::function<std::unique_ptr<plcsim::PlcSimulator>(int n)>;

    ChildSimulator(int count, const Make& make)
    {
        int toParent[2];
        int toChild[2];
        if (::pipe(toParent) != 0 || ::pipe(toChild) != 0) {
            return;
        }
        child = ::fork();
        if (child == 0) {
            ::close(toParent[0]);
            ::close(toChild[1]);
            std::vector<std::unique_ptr<plcsim::PlcSimulator>> sims;
            std::vector<uint16_t> bound;
            for (int n = 1; n <= count; ++n) {
                sims.push_back(make(n));
                bound.push_back(sims.back()->Port());
            }
            const auto bytes = static_cast<ssize_t>(bound.size() * sizeof(uint16_t));
            if (::write(toParent[1], bound.data(), static_cast<size_t>(bytes)) == bytes) {
                char byte = 0;
                while (::read(toChild[0], &byte, 1) > 0) {
                }
            }
            sims.clear();
            ::_exit(0);
        }
        ::close(toParent[1]);
        ::close(toChild[0]);
        stop = toChild[1];
        ports.assign(static_cast<size_t>(count), 0);
        const auto bytes = static_cast<ssize_t>(ports.size() * sizeof(uint16_t));
        if (child < 0 || ::read(toParent[0], ports.data(), static_cast<size_t>(bytes)) != bytes) {
            ports.assign(ports.size(), 0);
        }
        port = ports.front();
        ::close(toParent[0]);
    }
    ~ChildSimulator()
    {
        if (stop >= 0) {
            ::close(stop); // the child ends when the pipe closes
        }
        if (child > 0) {
            ::waitpid(child, nullptr, 0);
        }
    }
    ChildSimulator(const ChildSimulator&) = delete;
    ChildSimulator& operator=(const ChildSimulator&) = delete;

    std::string HostString(size_t n = 0) const { return "127.0.0.1:" + std::to_string(ports[n]); }
    uint16_t port = 0;
    std::vector<uint16_t> ports;

private:
    pid_t child = -1;
    int stop = -1;
};

} // namespace bench
