// The stock byte tasks run through the pool, checked against memcpy and memset.
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "parallel/WorkerPool.h"

namespace {

class ByteTasks : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(WorkerPool::Acquire(), 1); }
    void TearDown() override { WorkerPool::Release(); }
};

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

// Lengths around the slicing boundaries for any processor count, and large odd ones.
const size_t kLengths[] = {1, 2, 3, 7, 8, 9, 31, 64, 65, 4097, 1000003, 9000011};

TEST_F(ByteTasks, CopyMatchesMemcpyAndStaysInsideItsRange) {
    constexpr size_t kGuard = 64;
    for (size_t length : kLengths) {
        const std::vector<uint8_t> source = RandomBytes(length + 2 * kGuard, 1u);
        std::vector<uint8_t> pooled = RandomBytes(length + 2 * kGuard, 2u);
        std::vector<uint8_t> expected = pooled;
        std::memcpy(expected.data() + kGuard, source.data() + kGuard, length);
        CopyBytesContext copy{pooled.data() + kGuard, source.data() + kGuard};
        EXPECT_EQ(WorkerPool::Run(CopyBytesTask, &copy, static_cast<unsigned>(length)), 1);
        EXPECT_TRUE(pooled == expected) << "length " << length;
    }
}

TEST_F(ByteTasks, FillMatchesMemsetWithTheLowByteOnly) {
    constexpr size_t kGuard = 64;
    for (size_t length : kLengths) {
        for (uint32_t value : {0x00000000u, 0x1234ABCDu, 0xFFFFFF00u, 0x000000FFu}) {
            std::vector<uint8_t> pooled = RandomBytes(length + 2 * kGuard, 3u);
            std::vector<uint8_t> expected = pooled;
            std::memset(expected.data() + kGuard, static_cast<int>(value & 0xFF), length);
            FillBytesContext fill{pooled.data() + kGuard, value};
            EXPECT_EQ(WorkerPool::Run(FillBytesTask, &fill, static_cast<unsigned>(length)), 1);
            EXPECT_TRUE(pooled == expected) << "length " << length << " value " << value;
        }
    }
}

}  // namespace
