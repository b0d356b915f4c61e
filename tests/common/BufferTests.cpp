#include "CBuffer.h"

#include <gtest/gtest.h>

// A block is zeroed, replaced whole by the next Allocate, and a request the heap cannot meet
// leaves the buffer empty with 8.
TEST(Buffer, AllocateZeroesReplacesAndFailsWithoutThrowing)
{
    struct Case { SIZE_T size; DWORD result; SIZE_T kept; };
    const Case cases[] = {
        { 16, 0, 16 },
        { 4096, 0, 4096 },
        { static_cast<SIZE_T>(-1) / 2, ERROR_NOT_ENOUGH_MEMORY, 0 },
        { 0, 0, 0 },
    };
    CBuffer buffer;
    for (const Case& c : cases) {
        EXPECT_EQ(c.result, buffer.Allocate(c.size)) << c.size;
        EXPECT_EQ(c.kept, buffer.Size()) << c.size;
        EXPECT_EQ(c.result != 0, buffer.Get() == NULL) << c.size;
        for (SIZE_T i = 0; i < buffer.Size(); ++i) {
            ASSERT_EQ(0, buffer.Get()[i]) << c.size << " at " << i;
        }
        if (buffer.Size() != 0) {
            buffer.Get()[0] = 0xAB;  // the next Allocate starts from zero again
        }
    }
    buffer.Free();
    EXPECT_EQ(NULL, buffer.Get());
}
