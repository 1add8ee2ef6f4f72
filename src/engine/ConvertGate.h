#pragma once
// TConvertGate: how many conversions run at once across several runs that share it. A converter
// takes a whole core for the length of the file, so runs that each fetch on their own still
// convert no more files at once than the machine has cores; a run whose turn has not come waits
// without holding anything else.

#include <deque>
#include <functional>
#include <vector>

namespace cw {

class TConvertGate {
public:
    explicit TConvertGate(int slots);
    TConvertGate(const TConvertGate&) = delete;
    TConvertGate& operator=(const TConvertGate&) = delete;

    // who asks for a slot. True when it holds one now (or already held one); otherwise ready is
    // called once a slot is handed to who, from the Leave of another holder. ready must not call
    // back into the gate; posting a message is what it is for.
    bool Enter(const void* who, std::function<void()> ready);
    // who gives its slot back or stops waiting; nothing when it has neither.
    void Leave(const void* who);

    int Slots() const { return FSlots; }
    int Busy() const { return static_cast<int>(FHolders.size()); }

private:
    struct Waiter {
        const void* Who;
        std::function<void()> Ready;
    };
    int FSlots;
    std::vector<const void*> FHolders;
    std::deque<Waiter> FWaiting;
};

} // namespace cw
