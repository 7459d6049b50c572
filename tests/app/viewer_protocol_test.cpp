#include "app/viewer_protocol.h"
#include "relay/traffic_counters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(const ViewerRequest& request) {
    std::vector<unsigned char> bytes(sizeof request);
    std::memcpy(bytes.data(), &request, sizeof request);
    return bytes;
}

TEST(ViewerProtocol, ARequestAsMadeIsTakenAndEveryOtherIsRefused) {
    ViewerRequest parsed{};
    const ViewerRequest good = MakeViewerRequest(ViewerCommand::Reload, L"lab-2", 77);
    ASSERT_TRUE(ParseViewerRequest(Bytes(good).data(), sizeof good, parsed));
    EXPECT_EQ(parsed.command, static_cast<std::uint16_t>(ViewerCommand::Reload));
    EXPECT_EQ(FromWire(parsed.bridge, kBridgeNameMaxLength + 1), L"lab-2");
    EXPECT_EQ(parsed.messagesFrom, 77u);
    EXPECT_TRUE(ParseViewerRequest(Bytes(MakeViewerRequest(ViewerCommand::Snapshot, L"", 0)).data(),
                                   sizeof good, parsed));

    auto refused = [&](void (*spoil)(ViewerRequest&), std::size_t size) {
        ViewerRequest request = good;
        spoil(request);
        return !ParseViewerRequest(Bytes(request).data(), size, parsed);
    };
    EXPECT_TRUE(refused([](ViewerRequest&) {}, sizeof good - 1));
    EXPECT_TRUE(refused([](ViewerRequest&) {}, sizeof good + 1));
    EXPECT_TRUE(refused([](ViewerRequest& r) { r.magic ^= 1; }, sizeof good));
    EXPECT_TRUE(refused([](ViewerRequest& r) { r.version = kViewerVersion + 1; }, sizeof good));
    EXPECT_TRUE(refused([](ViewerRequest& r) { r.command = 0; }, sizeof good));
    EXPECT_TRUE(refused([](ViewerRequest& r) { r.command = 6; }, sizeof good));
    EXPECT_TRUE(refused([](ViewerRequest& r) { r.traceFile[kViewerTextCapacity - 1] = u'x'; },
                        sizeof good));
    EXPECT_TRUE(refused([](ViewerRequest& r) { r.bridge[0] = u'/'; }, sizeof good));
    EXPECT_TRUE(refused(
        [](ViewerRequest& r) {
            for (char16_t& c : r.bridge) {
                c = u'a';
            }
        },
        sizeof good));
    EXPECT_FALSE(ParseViewerRequest(nullptr, sizeof good, parsed));
}

TEST(ViewerProtocol, AReplyCarriesExactlyTheMessagesItAnnounces) {
    ViewerReply reply{};
    reply.magic = kViewerMagic;
    reply.version = kViewerVersion;
    ToWire(L"Connected", reply.statusLine, kViewerTextCapacity);
    reply.messagesLength = 3;
    std::vector<unsigned char> bytes(sizeof reply + 3 * sizeof(char16_t));
    std::memcpy(bytes.data(), &reply, sizeof reply);
    const char16_t text[] = u"ab\n";
    std::memcpy(bytes.data() + sizeof reply, text, 3 * sizeof(char16_t));

    ViewerReply parsed{};
    std::wstring messages;
    ASSERT_TRUE(ParseViewerReply(bytes.data(), bytes.size(), parsed, messages));
    EXPECT_EQ(messages, L"ab\n");
    EXPECT_EQ(FromWire(parsed.statusLine, kViewerTextCapacity), L"Connected");
    EXPECT_FALSE(ParseViewerReply(bytes.data(), bytes.size() - 1, parsed, messages));
    reply.messagesLength = kViewerMessagesMax + 1;
    std::memcpy(bytes.data(), &reply, sizeof reply);
    EXPECT_FALSE(ParseViewerReply(bytes.data(), bytes.size(), parsed, messages));
}

TEST(ViewerProtocol, ResetIsTakenAtMostOnceASecondAndOnlyTheServiceIsBelieved) {
    ResetRate rate;
    const struct {
        std::uint64_t atMs;
        bool taken;
    } resets[] = {{5, true}, {6, false}, {1004, false}, {1005, true}, {1005, false}, {9000, true}};
    for (const auto& reset : resets) {
        EXPECT_EQ(TakeResetAt(rate, reset.atMs), reset.taken) << reset.atMs;
    }
    EXPECT_TRUE(IsServiceProcess(712, 712));
    EXPECT_FALSE(IsServiceProcess(713, 712));
    EXPECT_FALSE(IsServiceProcess(0, 0));  // the service does not run
}

}  // namespace
