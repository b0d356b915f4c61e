// The notification table walked row by row: what the service puts on the wire decodes to the same
// code (and value) in the application, and no two rows share a code, a name, a condition or a
// place in the balloon and message order.
#include "CNotifyQueue.h"
#include "CNotifyTable.h"
#include "CServiceLink.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(NotifyTable, EveryCodeDecodesToItselfAndKeepsItsPlace)
{
    std::set<DWORD> codes, conditions;
    std::set<std::wstring> names;
    std::set<UINT> balloons, messages;
    for (size_t i = 0; i < CNotifyTable::Count(); ++i) {
        const NOTIFYROW& row = CNotifyTable::Row(i);
        SCOPED_TRACE(testing::Message() << std::hex << row.dwCode);
        const NotifyItem item = NotifyItem::Of(row.dwCode, 0x4D2);
        const DWORD body[2] = { item.dwCode, item.dwValue };
        DWORD code = 0, value = 1;
        EXPECT_TRUE(CServiceLink::Decode(body, item.dwLen, &code, &value));
        EXPECT_EQ(row.dwCode, code);
        EXPECT_EQ(row.dwWireLen > 4 ? 0x4D2u : 0u, value);
        EXPECT_EQ(CNotifyTable::Find(row.dwCode), &row);
        EXPECT_TRUE(codes.insert(row.dwCode).second);
        EXPECT_TRUE(names.insert(row.lpszName).second);
        EXPECT_TRUE(row.dwRaises == 0 || conditions.insert(row.dwRaises).second);
        EXPECT_TRUE(row.nBalloonRank == 0 || balloons.insert(row.nBalloonRank).second);
        EXPECT_TRUE(row.nMessageRank == 0 || messages.insert(row.nMessageRank).second);
        EXPECT_FALSE(row.bState && row.dwRaises != 0 && row.nMessageRank != 0) << "a box is never shed";
        EXPECT_TRUE(row.uUpsTextId == 0 || (row.uTextId != 0 && row.uUpsTextId != row.uTextId));
    }
    // Ranks run from 1 without a gap.
    EXPECT_EQ(balloons.size(), *balloons.rbegin());
    EXPECT_EQ(messages.size(), *messages.rbegin());
    DWORD code = 0, value = 0;
    const DWORD body[3] = {};
    EXPECT_FALSE(CServiceLink::Decode(body, 12, &code, &value));
    EXPECT_FALSE(CServiceLink::Decode(body, 2, &code, &value));
}
