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

bool FaultPlan::Apply(size_t index, const std::vector<uint8_t>& request, std::vector<Reply>& replies) {
    bool unplug = false;
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
        if (!hit)
            continue;
        if (e.fault.kind == Fault::Kind::Unplug)
            unplug = true;
        ApplyFault(e.fault, replies);
    }
    if (unplug)
        replies.clear();
    return unplug;
}

void ApplyFault(const Fault& fault, std::vector<Reply>& replies) {
    switch (fault.kind) {
        case Fault::Kind::Drop:
        case Fault::Kind::Unplug:
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
    }
}

}  // namespace nvsemu
