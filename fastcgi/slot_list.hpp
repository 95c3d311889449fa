#pragma once
// An order over the responder's slots, linked through arrays: constant-time
// append, removal and front, so a round never walks the whole table. With one
// timeout for all, slots appended as their clock starts stay in deadline order.

#include <cstddef>
#include <cstdint>

namespace pagestamp::fastcgi {

template <std::size_t Count>
class slot_list {
    static_assert(Count < 0xffff, "slot numbers must fit below the end marker");

public:
    static constexpr std::size_t none = 0xffff;

    [[nodiscard]] bool empty() const { return head_ == none; }
    [[nodiscard]] std::size_t front() const { return head_; }
    [[nodiscard]] bool contains(std::size_t slot) const { return linked_[slot]; }
    [[nodiscard]] std::size_t size() const { return size_; }

    void push_back(std::size_t slot)
    {
        remove(slot);
        prev_[slot] = static_cast<std::uint16_t>(tail_);
        next_[slot] = none;
        if (tail_ == none) {
            head_ = slot;
        } else {
            next_[tail_] = static_cast<std::uint16_t>(slot);
        }
        tail_ = slot;
        linked_[slot] = true;
        ++size_;
    }

    void remove(std::size_t slot)
    {
        if (!linked_[slot]) {
            return;
        }
        const std::size_t before = prev_[slot];
        const std::size_t after = next_[slot];
        if (before == none) {
            head_ = after;
        } else {
            next_[before] = static_cast<std::uint16_t>(after);
        }
        if (after == none) {
            tail_ = before;
        } else {
            prev_[after] = static_cast<std::uint16_t>(before);
        }
        linked_[slot] = false;
        --size_;
    }

private:
    std::size_t head_ = none;
    std::size_t tail_ = none;
    std::size_t size_ = 0;
    std::uint16_t prev_[Count] = {};
    std::uint16_t next_[Count] = {};
    bool linked_[Count] = {};
};

} // namespace pagestamp::fastcgi
