#include "engine/ConvertGate.h"

#include <algorithm>

namespace cw {

TConvertGate::TConvertGate(int slots) : FSlots(std::max(1, slots)) {}

bool TConvertGate::Enter(const void* who, std::function<void()> ready)
{
    if (std::find(FHolders.begin(), FHolders.end(), who) != FHolders.end())
        return true;
    if (static_cast<int>(FHolders.size()) < FSlots && FWaiting.empty()) {
        FHolders.push_back(who);
        return true;
    }
    for (Waiter& w : FWaiting)
        if (w.Who == who) {
            w.Ready = std::move(ready);
            return false;
        }
    FWaiting.push_back({who, std::move(ready)});
    return false;
}

void TConvertGate::Leave(const void* who)
{
    std::erase_if(FWaiting, [who](const Waiter& w) { return w.Who == who; });
    auto held = std::find(FHolders.begin(), FHolders.end(), who);
    if (held == FHolders.end())
        return;
    FHolders.erase(held);
    // First come, first served: the slot goes straight to the longest waiter.
    if (!FWaiting.empty()) {
        Waiter next = std::move(FWaiting.front());
        FWaiting.pop_front();
        FHolders.push_back(next.Who);
        if (next.Ready)
            next.Ready();
    }
}

} // namespace cw
