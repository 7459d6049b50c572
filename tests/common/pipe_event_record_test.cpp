#include "common/pipe_event_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> Utf16LeWithNul(const char* ascii) {
    std::vector<unsigned char> bytes;
    for (const char* c = ascii;; ++c) {
        bytes.push_back(static_cast<unsigned char>(*c));
        bytes.push_back(0);
        if (*c == '\0') {
            return bytes;
        }
    }
}

std::vector<unsigned char> Raw(const PipeEventRecord& record) {
    const auto* data = static_cast<const unsigned char*>(record.rawData);
    return {data, data + record.rawDataSize};
}

TEST(PipeEventRecord, SuccessfulOpenIsAnInformationRecordOfFortyFourBytes) {
    const PipeEventRecord record = MakePipeEventRecord(true);
    EXPECT_EQ(record.type, 4);
    EXPECT_EQ(record.category, 3);
    EXPECT_EQ(record.eventId, 3221356800u);
    EXPECT_EQ(record.rawDataSize, 44u);
    EXPECT_EQ(Raw(record), Utf16LeWithNul("Pipe creation SUCCESS"));
}

TEST(PipeEventRecord, FailedOpenIsAnErrorRecordOfFortyTwoBytes) {
    const PipeEventRecord record = MakePipeEventRecord(false);
    EXPECT_EQ(record.type, 1);
    EXPECT_EQ(record.category, 3);
    EXPECT_EQ(record.eventId, 0xC0020100u);
    EXPECT_EQ(record.rawDataSize, 42u);
    EXPECT_EQ(Raw(record), Utf16LeWithNul("Pipe creation FAILED"));
}

}  // namespace
