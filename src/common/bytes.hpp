#pragma once

// Byte tricks shared by the JSON layer, the catalogue and the text helpers.
// Each is written once here, with its contract on the line above it.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace zarn::bytes {

// The sizeof(Word) bytes at `p`, which need no alignment, in machine order.
template <class Word>
[[gnu::always_inline]] inline Word load(const void* p) noexcept {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The n bytes at `p`, 4 <= n <= 8, as one word: the first four bytes in the
// low half and the last four in the high half (they overlap when n < 8).
[[gnu::always_inline]] inline std::uint64_t load_4_to_8(const char* p, std::size_t n) noexcept {
    return std::uint64_t{load<std::uint32_t>(p)} | std::uint64_t{load<std::uint32_t>(p + n - 4)} << 32;
}

// The first and the last sizeof(Word) bytes of the n at `p`, sizeof(Word) <=
// n <= 2 * sizeof(Word): two words that cover them, overlapping in the middle.
template <class Word>
struct HeadAndTail {
    Word head;
    Word tail;
};
template <class Word>
[[gnu::always_inline]] inline HeadAndTail<Word> head_and_tail(const char* p, std::size_t n) noexcept {
    return {load<Word>(p), load<Word>(p + n - sizeof(Word))};
}

// Copies n <= 16 bytes from `from` to `to` without a call: two words that
// overlap in the middle, or a loop below four bytes.
template <class Word>
[[gnu::always_inline]] inline void copy_head_and_tail(char* to, const char* from, std::size_t n) noexcept {
    const HeadAndTail<Word> words = head_and_tail<Word>(from, n);
    std::memcpy(to, &words.head, sizeof(Word));
    std::memcpy(to + n - sizeof(Word), &words.tail, sizeof(Word));
}
[[gnu::always_inline]] inline void copy_short(void* to, const char* from, std::size_t n) noexcept {
    auto* out = static_cast<char*>(to);
    if (n >= 8) copy_head_and_tail<std::uint64_t>(out, from, n);
    else if (n >= 4) copy_head_and_tail<std::uint32_t>(out, from, n);
    else
        for (std::size_t i = 0; i < n; ++i) out[i] = from[i];
}

// Whether the n <= 16 bytes at `a` and `b` are equal, compared as two words
// that overlap in the middle, or a loop below four bytes.
template <class Word>
[[gnu::always_inline]] inline bool equal_head_and_tail(const char* a, const char* b, std::size_t n) noexcept {
    const HeadAndTail<Word> x = head_and_tail<Word>(a, n);
    const HeadAndTail<Word> y = head_and_tail<Word>(b, n);
    return ((x.head ^ y.head) | (x.tail ^ y.tail)) == 0;
}
[[gnu::always_inline]] inline bool equal_short(const char* a, const char* b, std::size_t n) noexcept {
    if (n >= 8) return equal_head_and_tail<std::uint64_t>(a, b, n);
    if (n >= 4) return equal_head_and_tail<std::uint32_t>(a, b, n);
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// Eight bytes in a word, SWAR. The two tests below set the high bit of each
// byte of their result for the bytes of `w` that match, and leave the other
// bits for the caller to mask off with kHighBits (once, after combining
// tests). Bytes above a match may be flagged falsely (a borrow runs upwards),
// but the lowest flagged byte always matches, and the masked result is 0
// exactly when no byte does.
inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Flags the bytes of `w` below `limit` (at most 0x80).
[[gnu::always_inline]] constexpr std::uint64_t bytes_below(std::uint64_t w, std::uint8_t limit) noexcept {
    return (w - kOnes * limit) & ~w;
}

// Flags the bytes of `w` equal to `byte`.
[[gnu::always_inline]] constexpr std::uint64_t bytes_equal(std::uint64_t w, std::uint8_t byte) noexcept {
    return bytes_below(w ^ (kOnes * byte), 1);
}

// The position of the lowest flagged byte in a non-zero masked result, for a
// word loaded on a little-endian machine.
[[gnu::always_inline]] constexpr std::size_t first_flagged(std::uint64_t flags) noexcept {
    return static_cast<std::size_t>(std::countr_zero(flags)) / 8;
}

// Sequences of at most this many items are sorted by insertion: no scratch
// buffer, and one compare per item when they come in order already.
inline constexpr std::size_t kInsertionSortLimit = 16;

// Sorts `items` stably by `less`, by insertion: for short sequences only.
template <class T, class Less>
void insertion_sort(std::span<T> items, const Less& less) {
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (!less(items[i], items[i - 1])) continue;
        T moving = std::move(items[i]);
        std::size_t j = i;
        for (; j > 0 && less(moving, items[j - 1]); --j) items[j] = std::move(items[j - 1]);
        items[j] = std::move(moving);
    }
}

}  // namespace zarn::bytes
