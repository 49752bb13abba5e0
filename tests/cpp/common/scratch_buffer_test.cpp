#include "common/scratch_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "common/sanitizers.hpp"

namespace zarn {
namespace {

class ScratchBufferSizes : public ::testing::TestWithParam<std::size_t> {};

// Every byte of the room can be written and read back, whichever memory it
// came from; large rooms on Linux are mappings that start at a huge page.
TEST_P(ScratchBufferSizes, HoldsEveryByte) {
    const std::size_t size = GetParam();
    ScratchBuffer room(size);
    ASSERT_EQ(room.size(), size);
    ASSERT_NE(room.data(), nullptr);
    for (std::size_t i = 0; i < size; ++i) room.data()[i] = static_cast<char>(i * 131 % 251);
    for (std::size_t i = 0; i < size; i += 4093) ASSERT_EQ(room.data()[i], static_cast<char>(i * 131 % 251)) << i;
    if (size != 0) {
        ASSERT_EQ(room.data()[size - 1], static_cast<char>((size - 1) * 131 % 251));
    }
#if defined(__linux__)
    const bool large = size >= ScratchBuffer::kHugePage && !kAddressSanitizer;
    EXPECT_EQ(room.mapped(), large);
    if (large) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(room.data()) % ScratchBuffer::kHugePage, 0u);
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(, ScratchBufferSizes,
                         ::testing::Values(0, 1, 4096, ScratchBuffer::kHugePage - 1, ScratchBuffer::kHugePage,
                                           3 * ScratchBuffer::kHugePage + 12345));

}  // namespace
}  // namespace zarn
