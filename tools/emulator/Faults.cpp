#include "Faults.h"

#include <algorithm>

namespace nvsemu {

void FaultPlan::OnRequest(size_t index, Fault fault) {
    Entry e;
    e.byIndex = true;
    e.index = index;
    e.fault = std::move(fault);
    entries_.push_back(std::move(e));
}

void FaultPlan::OnHeader(std::vector<uint8_t> prefix, Fault fault, unsigned times, unsigned skip) {
    Entry e;
    e.byIndex = false;
    e.prefix = std::move(prefix);
    e.times = times;
    e.skip = skip;
    e.fault = std::move(fault);
    entries_.push_back(std::move(e));
}

void FaultPlan::Clear() { entries_.clear(); }

FaultEffect FaultPlan::Apply(size_t index, const std::vector<uint8_t>& request, std::vector<Reply>& replies) {
    std::vector<const Fault*> due;
    for (Entry& e : entries_) {
        if (e.spent)
            continue;
        bool hit = false;
        if (e.byIndex) {
            hit = e.index == index;
            if (hit)
                e.spent = true;
        } else if (request.size() >= e.prefix.size() && std::equal(e.prefix.begin(), e.prefix.end(), request.begin())) {
            const unsigned n = e.seen++;
            hit = n >= e.skip;
            if (hit && e.times != 0 && n + 1 - e.skip >= e.times)
                e.spent = true;
        }
        if (hit)
            due.push_back(&e.fault);
    }

    for (const Fault* f : due)
        ApplyFault(*f, replies);

    FaultEffect effect;
    for (const Fault* f : due) {
        switch (f->kind) {
            case Fault::Kind::Unplug:
                effect.port = FaultEffect::Port::Unplug;
                break;
            case Fault::Kind::HangUp:
                if (effect.port == FaultEffect::Port::Keep) {
                    effect.port = FaultEffect::Port::HangUp;
                    effect.backAfterMs = f->delayMs;
                }
                break;
            case Fault::Kind::DelayUntilNext:
                effect.hold = true;
                effect.heldMs = std::max(effect.heldMs, f->delayMs);
                break;
            default:
                break;
        }
    }
    // Unsolicited packets are timed by the replies as they now stand; held replies
    // have no time yet, so then the packets are timed from the request.
    unsigned first = 0;
    unsigned last = 0;
    if (!effect.hold && !replies.empty()) {
        first = replies.front().delayMs;
        for (const Reply& r : replies) {
            first = std::min(first, r.delayMs);
            last = std::max(last, r.delayMs);
        }
    }
    for (const Fault* f : due) {
        if (f->kind != Fault::Kind::Unsolicited || f->bytes.empty())
            continue;
        if (f->before)
            effect.before.push_back(Reply{f->bytes, first});
        else
            effect.after.push_back(Reply{f->bytes, last + f->delayMs});
    }

    if (effect.port != FaultEffect::Port::Keep) {
        replies.clear();
        effect.before.clear();
        effect.after.clear();
        effect.hold = false;
    }
    return effect;
}

void ApplyFault(const Fault& fault, std::vector<Reply>& replies) {
    switch (fault.kind) {
        case Fault::Kind::Drop:
        case Fault::Kind::Unplug:
        case Fault::Kind::HangUp:
            replies.clear();
            break;
        case Fault::Kind::Truncate:
            for (Reply& r : replies)
                r.bytes.resize(std::min(r.bytes.size(), fault.keep));
            break;
        case Fault::Kind::Delay:
            for (Reply& r : replies)
                r.delayMs += fault.delayMs;
            break;
        case Fault::Kind::Alter:
            for (Reply& r : replies)
                for (const auto& [offset, value] : fault.edits)
                    if (offset < r.bytes.size())
                        r.bytes[offset] = value;
            break;
        case Fault::Kind::Replace:
            if (replies.empty())
                replies.push_back(Reply{fault.bytes, 0});
            else
                replies = {Reply{fault.bytes, replies.front().delayMs}};
            break;
        case Fault::Kind::Refuse:
            for (Reply& r : replies)
                if (r.bytes.size() > 3)
                    r.bytes[3] = fault.status;
            break;
        case Fault::Kind::Duplicate: {
            std::vector<Reply> twice;
            twice.reserve(replies.size() * 2);
            for (Reply& r : replies) {
                twice.push_back(r);
                twice.push_back(Reply{r.bytes, r.delayMs + fault.delayMs});
            }
            replies = std::move(twice);
            break;
        }
        case Fault::Kind::Extend:
            for (Reply& r : replies)
                if (!r.bytes.empty())
                    r.bytes.insert(r.bytes.end(), fault.bytes.begin(), fault.bytes.end());
            break;
        case Fault::Kind::DelayUntilNext:
        case Fault::Kind::Unsolicited:
            break;
    }
}

}  // namespace nvsemu
