#include "ThreadFlags.h"

bool CThreadFlagTable::Set(const std::atomic<int>* flag) {
    const std::thread::id self = std::this_thread::get_id();
    for (int i = 0; i < kSlots; ++i) {
        if (m_owner[i].load() == self) {
            if (flag != nullptr) {
                m_flag[i].store(flag);
            } else {
                m_flag[i].store(nullptr);
                m_owner[i].store(std::thread::id());
            }
            return true;
        }
    }
    if (flag == nullptr) {
        return true;
    }
    for (int i = 0; i < kSlots; ++i) {
        std::thread::id none;
        if (m_owner[i].compare_exchange_strong(none, self)) {
            m_flag[i].store(flag);
            return true;
        }
    }
    return false;
}

bool CThreadFlagTable::Raised() const {
    const std::thread::id self = std::this_thread::get_id();
    for (int i = 0; i < kSlots; ++i) {
        if (m_owner[i].load() == self) {
            const std::atomic<int>* flag = m_flag[i].load();
            return flag != nullptr && flag->load() != 0;
        }
    }
    return false;
}
