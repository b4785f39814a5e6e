#include "store/store.h"
#include "tests/store/store_test_util.h"

#include "core/state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

using storetest::dumpDatabase;
using storetest::execSql;
using storetest::finishesWhileHeld;
using storetest::OutputCapture;
using storetest::queryText;

struct FreeRecord {
    void operator()(CardRecord *record) const { free(record); }
};
using Record = std::unique_ptr<CardRecord, FreeRecord>;

class CardDb : public storetest::ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        ASSERT_TRUE(execSql(cardDbFile, storetest::CARD_SCHEMA));
        ASSERT_EQ(sqlite3_open(cardDbFile.c_str(), &db), SQLITE_OK);
    }
    void TearDown() override
    {
        sqlite3_close(db);
        ScratchTest::TearDown();
    }
    std::string count() { return queryText(cardDbFile, "SELECT count(*) FROM Card"); }

    sqlite3 *db = nullptr;
};

TEST_F(CardDb, EmptyTableGivesNoRecord)
{
    OutputCapture out;
    EXPECT_EQ(Record(readCardRecord(db)), nullptr);
    EXPECT_EQ(deleteCardRecordAll(db), 0);
    EXPECT_EQ(deleteCardRecord(db, 1), 0);
    EXPECT_EQ(out.finish(), "");
}

TEST_F(CardDb, WriteReadAndDeleteById)
{
    ASSERT_EQ(writeCardRecord(db, "0123ABCD"), 0);
    std::string id = queryText(cardDbFile, "SELECT id FROM Card WHERE cardNum='0123ABCD'");
    Record record(readCardRecord(db));
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->cardNum, "0123ABCD");
    EXPECT_EQ(std::to_string(record->id), id);
    EXPECT_EQ(deleteCardRecord(db, record->id), 0);
    EXPECT_EQ(count(), "0");
    EXPECT_EQ(Record(readCardRecord(db)), nullptr);
}

TEST_F(CardDb, DeleteOfAnUnknownIdChangesNothing)
{
    ASSERT_EQ(writeCardRecord(db, "AAAA"), 0);
    EXPECT_EQ(deleteCardRecord(db, 999), 0);
    EXPECT_EQ(deleteCardRecord(db, -1), 0);
    EXPECT_EQ(count(), "1");
}

TEST_F(CardDb, DeleteAllEmptiesTheTable)
{
    for (const char *card : {"01", "02", "03"})
        ASSERT_EQ(writeCardRecord(db, card), 0);
    Record first(readCardRecord(db));
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->cardNum, "01");
    EXPECT_EQ(deleteCardRecordAll(db), 0);
    EXPECT_EQ(count(), "0");
    EXPECT_EQ(Record(readCardRecord(db)), nullptr);
}

TEST_F(CardDb, CardNumberOfThirtyOneCharactersFitsLongerGivesNoRecord)
{
    std::string fits(31, '7');
    ASSERT_EQ(writeCardRecord(db, fits.c_str()), 0);
    Record record(readCardRecord(db));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(std::string(record->cardNum), fits);
    ASSERT_EQ(deleteCardRecordAll(db), 0);

    std::string tooLong(32, '8');
    ASSERT_EQ(writeCardRecord(db, tooLong.c_str()), 0);
    EXPECT_EQ(queryText(cardDbFile, "SELECT cardNum FROM Card"), tooLong); // stored whole
    OutputCapture out;
    EXPECT_EQ(Record(readCardRecord(db)), nullptr);
    EXPECT_NE(out.finish(), "");
}

TEST_F(CardDb, NullCardNumberGivesNoRecord)
{
    ASSERT_TRUE(execSql(cardDbFile, "INSERT INTO Card (cardNum) VALUES (NULL)"));
    OutputCapture out;
    EXPECT_EQ(Record(readCardRecord(db)), nullptr);
    EXPECT_NE(out.finish().find("NULL"), std::string::npos);
}

TEST_F(CardDb, QuotesAndSecondStatementsStayData)
{
    std::string before = dumpDatabase(cardDbFile);
    for (const char *card : {"x'); DROP TABLE Card; --", "'", "a''b", "1'); DELETE FROM Card; ('2"}) {
        SCOPED_TRACE(card);
        OutputCapture out;
        ASSERT_EQ(writeCardRecord(db, card), 0);
        EXPECT_EQ(out.finish(), "");
        Record record(readCardRecord(db));
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->cardNum, card);
        EXPECT_EQ(count(), "1");
        ASSERT_EQ(deleteCardRecord(db, record->id), 0);
    }
    // Only the rows written came and went; the id sequence is all that
    // remembers them.
    ASSERT_TRUE(execSql(cardDbFile, "DELETE FROM sqlite_sequence"));
    EXPECT_EQ(dumpDatabase(cardDbFile), before);
}

TEST_F(CardDb, InsertTakesACardNumberOf217CharactersAndRefusesLonger)
{
    std::string fits(217, 'C');
    ASSERT_EQ(writeCardRecord(db, fits.c_str()), 0);
    EXPECT_EQ(queryText(cardDbFile, "SELECT cardNum FROM Card"), fits);
    std::string tooLong(218, 'D');
    OutputCapture out;
    EXPECT_EQ(writeCardRecord(db, tooLong.c_str()), -1);
    EXPECT_EQ(out.finish(), "Statement too long\n");
    EXPECT_EQ(count(), "1");
}

TEST_F(CardDb, FailingChangePrintsWithoutLineEndFailingQueryWithOne)
{
    ASSERT_TRUE(execSql(cardDbFile, "DROP TABLE Card"));
    {
        OutputCapture out;
        EXPECT_EQ(writeCardRecord(db, "01"), -1);
        EXPECT_EQ(deleteCardRecord(db, 1), -1);
        EXPECT_EQ(deleteCardRecordAll(db), -1);
        EXPECT_EQ(out.finish(), "no such table: Cardno such table: Cardno such table: Card");
    }
    {
        OutputCapture out;
        EXPECT_EQ(Record(readCardRecord(db)), nullptr);
        EXPECT_EQ(out.finish(), "no such table: Card\n");
    }
}

TEST_F(CardDb, NoConnectionIsAFailureNotACrash)
{
    OutputCapture out;
    EXPECT_EQ(writeCardRecord(nullptr, "01"), -1);
    EXPECT_EQ(readCardRecord(nullptr), nullptr);
    EXPECT_EQ(deleteCardRecordAll(nullptr), -1);
    EXPECT_NE(out.finish(), "");
}

TEST_F(CardDb, ChangesTakeRwlockExclusivelyTheQueryShared)
{
    int status = 99;
    EXPECT_FALSE(finishesWhileHeld(false, 200, [&] { status = writeCardRecord(db, "01"); }));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(finishesWhileHeld(false, 200, [&] { status = deleteCardRecord(db, 5); }));
    EXPECT_EQ(status, 0);
    Record record;
    EXPECT_FALSE(finishesWhileHeld(true, 200, [&] { record.reset(readCardRecord(db)); }));
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(finishesWhileHeld(false, 10000, [&] { record.reset(readCardRecord(db)); }));
    ASSERT_NE(record, nullptr);
    EXPECT_FALSE(finishesWhileHeld(false, 200, [&] { status = deleteCardRecordAll(db); }));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(count(), "0");
}

} // namespace
