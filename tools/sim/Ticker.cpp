// The ticker thread: behaviour ticks, due notification samples, delayed replies and
// listening again after a restart, each at its time.
#include "tools/sim/SimServer.h"

namespace plcsim {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= end) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void PlcSimulator::Impl::TickerLoop()
{
    std::unique_lock<std::mutex> lock(mtx);
    nextTick = Clock::now() + tickPeriod;
    while (!tickerStop) {
        const auto now = Clock::now();
        if (now >= nextTick) {
            ApplyBehavioursLocked();
            ++tickCount;
            nextTick += tickPeriod;
            if (nextTick <= now) {
                nextTick = now + tickPeriod;
            }
        }
        if (runAgainAt && now >= *runAgainAt) {
            runAgainAt.reset();
            adsState = ADSSTATE_RUN;
        }
        if (relistenAt && now >= *relistenAt) {
            relistenAt.reset();
            lock.unlock();
            const bool ok = Relisten();
            lock.lock();
            if (!ok && !tickerStop) {
                relistenAt = Clock::now() + std::chrono::milliseconds(50);
            }
            continue;
        }
        std::vector<Delayed> due;
        for (auto it = delayed.begin(); it != delayed.end();) {
            if (it->due <= now) {
                due.push_back(std::move(*it));
                it = delayed.erase(it);
            } else {
                ++it;
            }
        }
        std::vector<Outgoing> frames;
        if (!silent) {
            frames = CollectSamplesLocked(now);
        }
        if (!due.empty() || !frames.empty()) {
            const bool quiet = silent;
            lock.unlock();
            for (auto& d : due) {
                if (!quiet) {
                    d.conn->Send(d.bytes);
                }
                Arm(d.arm);
            }
            for (auto& f : frames) {
                f.conn->Send(f.bytes);
            }
            lock.lock();
            continue;
        }
        auto wake = nextTick;
        for (const auto& at : {relistenAt, runAgainAt}) {
            wake = at ? std::min(wake, *at) : wake;
        }
        for (const auto& d : delayed) {
            wake = std::min(wake, d.due);
        }
        for (const auto& entry : notifications) {
            if (entry.second.armed && !silent) {
                wake = std::min(wake, entry.second.nextDue);
            }
        }
        tickCv.wait_until(lock, wake);
    }
}

void PlcSimulator::Impl::StopTicker()
{
    {
        std::lock_guard<std::mutex> lock(mtx);
        tickerStop = true;
        relistenAt.reset();
    }
    tickCv.notify_all();
    if (ticker.joinable()) {
        ticker.join();
    }
}

void PlcSimulator::SetTickPeriod(std::chrono::milliseconds period)
{
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        impl->tickPeriod = std::max<Clock::duration>(period, std::chrono::milliseconds(1));
        impl->nextTick = Clock::now() + impl->tickPeriod;
    }
    impl->tickCv.notify_all();
}

} // namespace plcsim
