#pragma once

#include <QString>

#include <atomic>
#include <thread>

// Exchanges two directory entries on a thread of its own, as fast as the kernel allows, until it
// is destroyed: what a listing shows as a file or folder one moment is a link to somewhere else
// the next, and the name is never missing in between. Linux only (renameat2).
class Swapper
{
public:
    Swapper(const QString &first, const QString &second);
    ~Swapper();
    Swapper(const Swapper &) = delete;
    Swapper &operator=(const Swapper &) = delete;

    // Whether the entries can be exchanged here at all.
    bool works() const { return exchanging; }
    unsigned long long swaps() const { return count.load(); }

private:
    bool exchanging = false;
    std::atomic<bool> stop { false };
    std::atomic<unsigned long long> count { 0 };
    std::thread thread;
};
