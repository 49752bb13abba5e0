#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "json/block_cache.hpp"

namespace zarn::json::detail {

// The heap block behind a non-empty array or object: its size and capacity,
// then the elements. An empty container has no block.
struct BlockHeader {
    std::size_t size;
    std::size_t capacity;
};

// Owning, growable storage of trivially relocatable elements.
template <class T>
class FlatStorage {
public:
    FlatStorage() noexcept = default;
    FlatStorage(const FlatStorage& other);
    FlatStorage(FlatStorage&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    FlatStorage& operator=(const FlatStorage& other) {
        if (this != &other) *this = FlatStorage(other);
        return *this;
    }
    FlatStorage& operator=(FlatStorage&& other) noexcept {
        if (this != &other) {
            release();
            block_ = std::exchange(other.block_, nullptr);
        }
        return *this;
    }
    ~FlatStorage() { release(); }

    [[nodiscard]] std::size_t size() const noexcept { return block_ != nullptr ? block_->size : 0; }
    [[nodiscard]] std::size_t capacity() const noexcept { return block_ != nullptr ? block_->capacity : 0; }
    [[nodiscard]] T* data() noexcept { return block_ != nullptr ? items() : nullptr; }
    [[nodiscard]] const T* data() const noexcept { return block_ != nullptr ? items() : nullptr; }

    void reserve(std::size_t capacity);
    template <class... Args>
    T& emplace_back(Args&&... args) {
        // When full, the element is built before the storage moves: the
        // arguments may refer into it.
        if (size() == capacity()) return relocate_in(size(), T(std::forward<Args>(args)...));
        T* slot = ::new (static_cast<void*>(items() + block_->size)) T(std::forward<Args>(args)...);
        ++block_->size;
        return *slot;
    }
    // Constructs an element at `index`, shifting the ones from there up.
    template <class... Args>
    T& emplace_at(std::size_t index, Args&&... args) {
        return relocate_in(index, T(std::forward<Args>(args)...));
    }
    // Takes `count` elements from `source` onto the end, by their bytes in
    // one copy. Their lifetime ends there: the caller must neither destroy
    // nor read them again.
    void adopt_back(T* source, std::size_t count) {
        if (count == 0) return;
        reserve(size() + count);
        std::memcpy(static_cast<void*>(items() + block_->size), static_cast<const void*>(source), count * sizeof(T));
        block_->size += count;
    }
    // The same for source[order[0]], source[order[1]], ... in that order.
    void adopt_back(T* source, std::span<const std::uint32_t> order) {
        if (order.empty()) return;
        reserve(size() + order.size());
        T* out = items() + block_->size;
        for (const std::uint32_t index : order)
            std::memcpy(static_cast<void*>(out++), static_cast<const void*>(source + index), sizeof(T));
        block_->size += order.size();
    }
    void pop_back() noexcept {
        --block_->size;
        items()[block_->size].~T();
    }
    void clear() noexcept {
        if (block_ == nullptr) return;
        destroy_items();
        block_->size = 0;
    }
    // Hands each element to `release_item`, which ends its lifetime, then
    // the block to `releaser`; the storage is left empty.
    template <class ReleaseItem>
    void release_into(BlockReleaser& releaser, const ReleaseItem& release_item) noexcept {
        if (block_ == nullptr) return;
        T* const first = items();
        for (std::size_t i = 0; i < block_->size; ++i) release_item(first[i]);
        releaser.release(block_, block_bytes(block_->capacity));
        block_ = nullptr;
    }

private:
    // Moves `value` in at `index` by its bytes, growing first if full, and
    // leaves an empty element in its place.
    T& relocate_in(std::size_t index, T&& value) {
        if (size() == capacity()) reserve(size() == 0 ? 4 : 2 * size());
        T* const at = items() + index;
        std::memmove(static_cast<void*>(at + 1), static_cast<const void*>(at), (block_->size - index) * sizeof(T));
        std::memcpy(static_cast<void*>(at), static_cast<const void*>(&value), sizeof(T));
        ::new (static_cast<void*>(&value)) T();
        ++block_->size;
        return *at;
    }
    [[nodiscard]] T* items() const noexcept { return reinterpret_cast<T*>(block_ + 1); }
    void destroy_items() noexcept {
        T* const first = items();
        for (std::size_t i = 0; i < block_->size; ++i) first[i].~T();
    }
    [[nodiscard]] static std::size_t block_bytes(std::size_t capacity) noexcept {
        return sizeof(BlockHeader) + capacity * sizeof(T);
    }
    void release() noexcept {
        if (block_ == nullptr) return;
        destroy_items();
        release_block(block_, block_bytes(block_->capacity));
    }

    BlockHeader* block_ = nullptr;
};

template <class T>
FlatStorage<T>::FlatStorage(const FlatStorage& other) {
    if (other.size() == 0) return;
    reserve(other.size());
    for (const T* p = other.items(); p != other.items() + other.size(); ++p) emplace_back(*p);
}

// Growing moves each element by its bytes: every element kind is trivially
// relocatable, and the old block is freed without running destructors.
template <class T>
void FlatStorage<T>::reserve(std::size_t capacity) {
    if (capacity <= this->capacity()) return;
    if (capacity > (static_cast<std::size_t>(-1) - sizeof(BlockHeader)) / sizeof(T)) throw std::bad_alloc();
    auto* grown = static_cast<BlockHeader*>(allocate_block(block_bytes(capacity)));
    grown->size = size();
    grown->capacity = capacity;
    if (block_ != nullptr) {
        std::memcpy(static_cast<void*>(grown + 1), static_cast<const void*>(items()), block_->size * sizeof(T));
        release_block(block_, block_bytes(block_->capacity));
    }
    block_ = grown;
}

}  // namespace zarn::json::detail
