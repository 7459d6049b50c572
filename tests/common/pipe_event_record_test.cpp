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

TEST(PipeEventRecord, AnOpenIsAnInformationRecordAndAFailureAnErrorRecord) {
    struct Row {
        bool opened;
        unsigned short type;
        unsigned eventId;
        unsigned rawDataSize;
        const char* text;
    };
    const Row rows[] = {{true, 4, 3221356800u, 44, "Pipe creation SUCCESS"},
                        {false, 1, 0xC0020100u, 42, "Pipe creation FAILED"}};
    for (const Row& row : rows) {
        const PipeEventRecord record = MakePipeEventRecord(row.opened);
        EXPECT_EQ(record.type, row.type) << row.text;
        EXPECT_EQ(record.category, 3) << row.text;
        EXPECT_EQ(record.eventId, row.eventId) << row.text;
        EXPECT_EQ(record.rawDataSize, row.rawDataSize) << row.text;
        EXPECT_EQ(Raw(record), Utf16LeWithNul(row.text));
    }
}

}  // namespace
