#include "MemoryImage.h"

#include <algorithm>

namespace nvsemu {
namespace {

constexpr uint8_t kErased = 0xFF;

}  // namespace

MemoryImage::MemoryImage(int ppgBanks) {
    for (uint8_t target : {uint8_t{0x01}, uint8_t{0x03}, uint8_t{0x12}, uint8_t{0x13}}) {
        const int banks = target == 0x13 ? std::max(1, ppgBanks) : 1;
        images_[target].assign(static_cast<size_t>(banks), std::vector<uint8_t>(TargetSize(target), kErased));
    }
}

bool MemoryImage::KnownTarget(uint8_t target) { return TargetSize(target) != 0; }

uint32_t MemoryImage::TargetSize(uint8_t target) {
    switch (target) {
        case 0x01:
            return 0x100;
        case 0x03:
            return 0x40000;  // block 1 ends at 0x3F400
        case 0x12:
            return 0x20000;  // the ECG texts end at 0x12040
        case 0x13:
            return 0x8000;  // the channel-3 DC table ends at 0x7600
        default:
            return 0;
    }
}

bool MemoryImage::IsFlash(uint8_t target) { return target == 0x01 || target == 0x03; }

uint32_t MemoryImage::ErasePage(uint8_t target) { return std::min<uint32_t>(0x400, TargetSize(target)); }

int MemoryImage::Banks(uint8_t target) const {
    const auto it = images_.find(target);
    return it == images_.end() ? 0 : static_cast<int>(it->second.size());
}

std::vector<uint8_t>* MemoryImage::Image(uint8_t target, int bank) {
    const auto it = images_.find(target);
    if (it == images_.end() || bank < 0 || static_cast<size_t>(bank) >= it->second.size())
        return nullptr;
    return &it->second[static_cast<size_t>(bank)];
}

const std::vector<uint8_t>* MemoryImage::Image(uint8_t target, int bank) const {
    return const_cast<MemoryImage*>(this)->Image(target, bank);
}

bool MemoryImage::Fits(uint8_t target, uint32_t address, size_t n) {
    const uint64_t size = TargetSize(target);
    return uint64_t{address} <= size && n <= size - address;
}

bool MemoryImage::Read(uint8_t target, int bank, uint32_t address, size_t n, std::vector<uint8_t>& out) const {
    const std::vector<uint8_t>* image = Image(target, bank);
    if (!image || !Fits(target, address, n))
        return false;
    out.assign(image->begin() + address, image->begin() + address + n);
    return true;
}

bool MemoryImage::Write(uint8_t target, int bank, uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t>* image = Image(target, bank);
    if (!image || !Fits(target, address, data.size()))
        return false;
    const bool flash = IsFlash(target);
    for (size_t i = 0; i < data.size(); ++i) {
        uint8_t& cell = (*image)[address + i];
        cell = flash ? static_cast<uint8_t>(cell & data[i]) : data[i];
    }
    return true;
}

bool MemoryImage::Program(uint8_t target, int bank, uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t>* image = Image(target, bank);
    if (!image || !Fits(target, address, data.size()))
        return false;
    std::copy(data.begin(), data.end(), image->begin() + address);
    return true;
}

bool MemoryImage::ErasePageAt(uint8_t target, int bank, uint32_t address) {
    const uint32_t page = ErasePage(target);
    if (page == 0)
        return false;
    return EraseSpan(target, bank, address - address % page, page);
}

bool MemoryImage::EraseSpan(uint8_t target, int bank, uint32_t address, size_t n) {
    std::vector<uint8_t>* image = Image(target, bank);
    if (!image || !Fits(target, address, n))
        return false;
    std::fill_n(image->begin() + address, n, kErased);
    return true;
}

void MemoryImage::EraseTarget(uint8_t target) {
    const auto it = images_.find(target);
    if (it == images_.end())
        return;
    for (auto& bank : it->second)
        std::fill(bank.begin(), bank.end(), kErased);
}

}  // namespace nvsemu
