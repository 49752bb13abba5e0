#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace zarn::json::detail {

// The values and members of the containers being read, on one stack each. A
// finished container takes its part of the stack over by its bytes, and the
// stack then forgets that part instead of destroying it: every kind is
// trivially relocatable, so nothing is left there to destroy.
template <class T>
class BuildStack {
public:
    BuildStack() noexcept = default;
    BuildStack(const BuildStack&) = delete;
    BuildStack& operator=(const BuildStack&) = delete;
    ~BuildStack() {
        std::destroy_n(items_, size_);
        ::operator delete(items_);
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    // The items from `base` up.
    [[nodiscard]] std::span<T> from(std::size_t base) noexcept { return {items_ + base, size_ - base}; }

    template <class... Args>
    void emplace_back(Args&&... args) {
        if (size_ == capacity_) grow();
        ::new (static_cast<void*>(items_ + size_)) T(std::forward<Args>(args)...);
        ++size_;
    }
    // The items from `base` up were adopted, so their lifetime has ended.
    void forget_from(std::size_t base) noexcept { size_ = base; }
    // The items from `base` up are destroyed.
    void pop_to(std::size_t base) noexcept {
        std::destroy(items_ + base, items_ + size_);
        size_ = base;
    }

private:
    void grow() {
        const std::size_t capacity = capacity_ == 0 ? 64 : 2 * capacity_;
        T* const grown = static_cast<T*>(::operator new(capacity * sizeof(T)));
        if (size_ != 0) std::memcpy(static_cast<void*>(grown), static_cast<const void*>(items_), size_ * sizeof(T));
        ::operator delete(items_);
        items_ = grown;
        capacity_ = capacity;
    }

    T* items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace zarn::json::detail
