#include "ChatScript.h"

#include <cstdio>

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        out += byte;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

}  // namespace

ChatScript& ChatScript::Expect(Bytes request, std::vector<nvsemu::Reply> replies) {
    std::lock_guard<std::mutex> lock(mu_);
    steps_.push_back(Step{std::move(request), std::move(replies)});
    return *this;
}

std::vector<nvsemu::Reply> ChatScript::Answer(const nvsemu::Request& request) {
    std::lock_guard<std::mutex> lock(mu_);
    if (next_ >= steps_.size()) {
        mismatches_.push_back("after the last step: " + Hex(request.bytes));
        return {};
    }
    const Step& step = steps_[next_];
    if (request.bytes != step.request) {
        mismatches_.push_back("step " + std::to_string(next_) + " wants " + Hex(step.request) + ", got " +
                              Hex(request.bytes));
        return {};
    }
    ++next_;
    return step.replies;
}

bool ChatScript::Done() const {
    std::lock_guard<std::mutex> lock(mu_);
    return next_ == steps_.size();
}

std::vector<std::string> ChatScript::Mismatches() const {
    std::lock_guard<std::mutex> lock(mu_);
    return mismatches_;
}
