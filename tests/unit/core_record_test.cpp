// When a run's record of the core's checks still speaks for the file.
#include <gtest/gtest.h>

#include <cstring>

#include "update/core_record.h"

namespace {

TEST(CoreRecord, HoldsOnlyForTheSameUnchangedFileWithinItsLifetime)
{
    CoreRecord record = {};
    record.stamp = FileStamp{{7, {1, 2, 3}}, 1100000, 500};
    record.checkedAt = 1000;
    strcpy(record.digest, "ab");
    const uint64_t last = record.checkedAt + kCoreRecordLifetime - 1;
    struct Case {
        const char* what;
        void (*change)(FileStamp*);
        uint64_t now;
        bool holds;
    } cases[] = {
        {"unchanged, at once", [](FileStamp*) {}, 1000, true},
        {"unchanged, at the end of its lifetime", [](FileStamp*) {}, last, true},
        {"unchanged, once its lifetime is over", [](FileStamp*) {}, last + 1, false},
        {"checked in the future", [](FileStamp*) {}, 999, false},
        {"another volume", [](FileStamp* s) { s->id.volume = 8; }, 1000, false},
        {"another file ID", [](FileStamp* s) { s->id.file[15] = 1; }, 1000, false},
        {"another size", [](FileStamp* s) { s->size += 1; }, 1000, false},
        {"written since", [](FileStamp* s) { s->lastWrite += 1; }, 1000, false},
    };
    for (const Case& c : cases) {
        FileStamp actual = record.stamp;
        c.change(&actual);
        EXPECT_EQ(CoreRecordHolds(record, actual, c.now), c.holds) << c.what;
    }
    memset(record.digest, 'a', sizeof(record.digest));
    EXPECT_FALSE(CoreRecordHolds(record, record.stamp, 1000)) << "a digest without its end";
}

}  // namespace
