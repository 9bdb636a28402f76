// Frames that requests leave for the thread writing on a connection, so that requests made
// while it writes go out together in its next write instead of each one sleeping on the
// write lock in turn.
#pragma once

#include "Frame.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

struct AmsResponse;

class SendQueue {
public:
    // Whose reply a left frame asks for, so that a failed write can end that request.
    struct Owner {
        AmsResponse* slot;
        uint32_t invokeId;
        // Offset just past the frame in the batch: a write that stopped at or beyond it sent
        // the frame whole, and the peer may act on it.
        size_t end = 0;
    };
    struct Batch {
        std::vector<uint8_t> bytes;
        std::vector<Owner> owners;
    };
    // Larger frames are written by their own thread, so the queue stays a few small frames per port.
    static constexpr size_t FRAME_LIMIT = 4096;

    // Keeps a copy of the frame when a writer is active; false means the caller writes it itself.
    bool Leave(const Frame& frame, Owner owner);
    // The caller holds the write lock: frames left from now on are its to send.
    void Open();
    // Swaps what was left into `batch` (emptied first). Returns false, and closes the queue,
    // when nothing was left. With `last` the queue closes after this batch, so that the frames
    // left later find the write lock and one writer's time stays bounded.
    bool Take(Batch& batch, bool last);

private:
    std::mutex mutex;
    bool open = false;
    Batch left;
};
