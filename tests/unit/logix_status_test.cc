// The plain-language reason table, and the CIP status each entry of a batch read carries back:
// over a packed batch and over single reads (the simulator refusing every packed batch).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "logixsim/server.h"
#include "zelkc_logix.h"

namespace {

TEST(LogixReasonTable, EveryCodeAndStatusHasItsOwnWords) {
    const uint8_t results[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 15, 16, 17, 18, 19};
    std::set<std::string> seen;
    for (uint8_t r : results) {
        seen.insert(zelkc_logix_result_text(r));
    }
    EXPECT_EQ(seen.size(), std::size(results)) << "two result codes share their words";
    EXPECT_FALSE(seen.count(zelkc_logix_result_text(11)));
    EXPECT_STREQ(zelkc_logix_result_text(11), zelkc_logix_result_text(200));

    std::set<std::string> names;
    for (unsigned g = 0x01; g <= 0x26; ++g) {
        names.insert(zelkc_logix_cip_status_name(uint8_t(g)));
        EXPECT_STRNE(zelkc_logix_cip_status_text(uint8_t(g), 0), zelkc_logix_cip_status_text(0x27, 0)) << g;
    }
    EXPECT_EQ(names.size(), 0x26u) << "two general statuses share a name";
    EXPECT_FALSE(names.count(zelkc_logix_cip_status_name(0x27)));

    // A missing tag reads as the same reason whichever of the two statuses a controller gives.
    const struct {
        uint8_t general;
        uint16_t extended;
        const char* name;
        const char* reason;
    } cases[] = {
        {0x04, 0, "path segment error", "no such tag"},
        {0x05, 0, "path destination unknown", "no such tag"},
        {0x04, 0x2105, "path segment error", "no such tag"}, // extended words matter only for 0xFF
        {0x26, 0, "path size invalid", "the tag path is malformed"},
        {0xFF, 0x2105, "general error", "index or element count beyond the end of the tag"},
        {0xFF, 0x2107, "general error", "the tag's data type does not match the request"},
        {0xFF, 0x1234, "general error", "the controller reported a general error"},
        {0x80, 0, "unknown status", "the controller reported an unknown status"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(zelkc_logix_cip_status_name(c.general), c.name);
        EXPECT_STREQ(zelkc_logix_cip_status_text(c.general, c.extended), c.reason);
    }
}

class LogixBatchStatus : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        logixsim::Options options;
        options.port = 0;
        options.live_interval_ms = 0;
        if (GetParam()) {
            options.faults.packet_limit = 10; // every packed batch refused: single reads
        }
        server_ = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
        server_->start();
        client_ = zelkc_logix_client_create();
        ASSERT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", server_->port(), 5000), ZELKC_LOGIX_OK);
    }
    void TearDown() override { zelkc_logix_client_destroy(client_); }
    std::unique_ptr<logixsim::Server> server_;
    zelkc_logix_client* client_ = nullptr;
};

TEST_P(LogixBatchStatus, EachEntryCarriesItsReplyStatus) {
    const struct {
        const char* tag;
        uint8_t result;
        uint8_t general; // 0x04 or 0x05 both stand for a missing tag
        uint16_t extended;
        uint16_t handle;
    } cases[] = {
        {"DintTag", ZELKC_LOGIX_OK, 0, 0, 0},
        {"NoSuchTag", ZELKC_LOGIX_ERR_DEVICE, 0x04, 0, 0},
        {"DintArray[12]", ZELKC_LOGIX_ERR_DEVICE, 0xFF, 0x2105, 0},
        {"Greeting", ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, 0, 0, ZELKC_LOGIX_STRING_HANDLE},
        {"Bad..Path", ZELKC_LOGIX_ERR_INVALID_ARGUMENT, 0, 0, 0}, // never sent
        {"Program:Mixer.Level", ZELKC_LOGIX_OK, 0, 0, 0},
    };
    std::vector<zelkc_logix_atomic_read> entries(std::size(cases));
    std::vector<zelkc_logix_read_status> statuses(entries.size());
    std::memset(statuses.data(), 0xEE, statuses.size() * sizeof statuses[0]);
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].tag = cases[i].tag;
    }
    ASSERT_EQ(zelkc_logix_client_read_atomic_values_status(client_, entries.data(), uint32_t(entries.size()),
                                                           statuses.data()),
              ZELKC_LOGIX_OK);
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.tag);
        EXPECT_EQ(entries[i].result, c.result);
        if (c.general == 0x04) {
            EXPECT_TRUE(statuses[i].general_status == 0x04 || statuses[i].general_status == 0x05);
        } else {
            EXPECT_EQ(statuses[i].general_status, c.general);
        }
        EXPECT_EQ(statuses[i].extended_status, c.extended);
        EXPECT_EQ(statuses[i].struct_handle, c.handle);
    }
    EXPECT_EQ(entries[5].value.value.i16, 40);
    // A user structure carries its own handle, not the STRING one.
    zelkc_logix_atomic_read motor{"PumpStatus", 0, {}};
    zelkc_logix_read_status status{};
    ASSERT_EQ(zelkc_logix_client_read_atomic_values_status(client_, &motor, 1, &status), ZELKC_LOGIX_OK);
    EXPECT_NE(status.struct_handle, 0u);
    EXPECT_NE(status.struct_handle, ZELKC_LOGIX_STRING_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(PackedAndSingle, LogixBatchStatus, ::testing::Bool());

} // namespace
