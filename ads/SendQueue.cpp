#include "SendQueue.h"

#include <new>

bool SendQueue::Leave(const Frame& frame, Owner owner)
{
    if (frame.size() > FRAME_LIMIT) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (!open) {
        return false;
    }
    const size_t owners = left.owners.size();
    const size_t bytes = left.bytes.size();
    try {
        owner.end = bytes + frame.size();
        left.owners.push_back(owner);
        left.bytes.insert(left.bytes.end(), frame.data(), frame.data() + frame.size());
    } catch (const std::bad_alloc&) {
        left.owners.resize(owners);
        left.bytes.resize(bytes);
        return false;
    }
    return true;
}

void SendQueue::Open()
{
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
}

bool SendQueue::Take(Batch& batch, bool last)
{
    batch.bytes.clear();
    batch.owners.clear();
    std::lock_guard<std::mutex> lock(mutex);
    if (left.owners.empty()) {
        open = false;
        return false;
    }
    std::swap(batch, left);
    open = !last;
    return true;
}
