// Flags that a thread registers for itself and that the code it runs consults, kept in
// a small table keyed by thread id rather than in thread-local variables: a library
// loaded at run time that has thread-local variables leaves a stale entry in each
// thread's view of them once it is unloaded, which trips the leak checkers at exit.
//
// Owns: one table per use (the transport's write mute, the memory reads' stop). A thread
// registers at its start and removes its entry before it ends, so an id that the system
// hands to a later thread never finds an entry. Never blocks.
#pragma once

#include <atomic>
#include <thread>

class CThreadFlagTable {
public:
    // Registers flag for the calling thread (replacing its earlier one); null removes the
    // entry. False when the table is full (the thread then runs unregistered).
    bool Set(const std::atomic<int>* flag);
    // True when the calling thread has a flag registered and it is non-zero.
    bool Raised() const;

private:
    static constexpr int kSlots = 8;
    std::atomic<std::thread::id> m_owner[kSlots];
    std::atomic<const std::atomic<int>*> m_flag[kSlots] = {};
};
