// The plain-language reason table, and the CIP status each entry of a batch read carries back when
// the simulator refuses every packed batch (single reads). orvane-cli's read test covers the
// packed batch through the words it prints.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "logixsim/server.h"
#include "zelkc_logix.h"

namespace {

TEST(LogixReasonTable, EveryCodeAndStatusHasItsOwnWords) {
    std::set<std::string> results, names;
    for (uint8_t r : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 15, 16, 17, 18, 19})
        results.insert(zelkc_logix_result_text(r));
    EXPECT_EQ(results.size(), 16u) << "two result codes share their words";
    for (uint8_t unknown : {11, 200})
        EXPECT_EQ(results.count(zelkc_logix_result_text(unknown)), 0u) << int(unknown);
    for (unsigned g = 0x01; g <= 0x26; ++g) {
        names.insert(zelkc_logix_cip_status_name(uint8_t(g)));
        EXPECT_STRNE(zelkc_logix_cip_status_text(uint8_t(g), 0), zelkc_logix_cip_status_text(0x27, 0)) << g;
    }
    EXPECT_EQ(names.size(), 0x26u) << "two general statuses share a name";
    EXPECT_EQ(names.count(zelkc_logix_cip_status_name(0x27)), 0u);
    // A missing tag reads as the same reason whichever of the two statuses a controller gives;
    // extended words matter only for 0xFF.
    const std::tuple<uint8_t, uint16_t, const char*, const char*> cases[] = {
        {0x05, 0, "path destination unknown", "no such tag"},
        {0x04, 0x2105, "path segment error", "no such tag"},
        {0x26, 0, "path size invalid", "the tag path is malformed"},
        {0xFF, 0x2107, "general error", "the tag's data type does not match the request"},
        {0xFF, 0x1234, "general error", "the controller reported a general error"},
        {0x80, 0, "unknown status", "the controller reported an unknown status"}};
    for (const auto& [general, extended, name, reason] : cases) {
        EXPECT_STREQ(zelkc_logix_cip_status_name(general), name);
        EXPECT_STREQ(zelkc_logix_cip_status_text(general, extended), reason);
    }
}

TEST(LogixBatchStatus, EachSingleReadCarriesItsReplyStatus) {
    logixsim::Options options;
    options.port = 0;
    options.live_interval_ms = 0;
    options.faults.packet_limit = 10; // every packed batch refused: single reads
    logixsim::Server server(logixsim::demo_controller(), options);
    server.start();
    std::unique_ptr<zelkc_logix_client, void (*)(zelkc_logix_client*)> client(zelkc_logix_client_create(),
                                                                              zelkc_logix_client_destroy);
    ASSERT_EQ(zelkc_logix_client_connect(client.get(), "127.0.0.1", server.port(), 5000), ZELKC_LOGIX_OK);
    // Tag, result, general and extended status, structure handle (0xFFFF: a user type's own).
    const std::tuple<const char*, uint8_t, uint8_t, uint16_t, uint16_t> cases[] = {
        {"DintTag", ZELKC_LOGIX_OK, 0, 0, 0},
        {"NoSuchTag", ZELKC_LOGIX_ERR_DEVICE, 0x04, 0, 0},
        {"DintArray[12]", ZELKC_LOGIX_ERR_DEVICE, 0xFF, 0x2105, 0},
        {"Greeting", ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, 0, 0, ZELKC_LOGIX_STRING_HANDLE},
        {"Bad..Path", ZELKC_LOGIX_ERR_INVALID_ARGUMENT, 0, 0, 0}, // never sent
        {"PumpStatus", ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, 0, 0, 0xFFFF}};
    zelkc_logix_atomic_read entries[std::size(cases)] = {};
    zelkc_logix_read_status statuses[std::size(cases)];
    std::memset(statuses, 0xEE, sizeof statuses); // the call zeroes them first
    for (size_t i = 0; i < std::size(cases); ++i)
        entries[i].tag = std::get<0>(cases[i]);
    ASSERT_EQ(zelkc_logix_client_read_atomic_values_status(client.get(), entries, std::size(cases), statuses),
              ZELKC_LOGIX_OK);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [tag, result, general, extended, handle] = cases[i];
        SCOPED_TRACE(tag);
        EXPECT_EQ(entries[i].result, result);
        EXPECT_EQ(statuses[i].general_status, general);
        EXPECT_EQ(statuses[i].extended_status, extended);
        if (handle == 0xFFFF)
            EXPECT_TRUE(statuses[i].struct_handle != 0 &&
                        statuses[i].struct_handle != ZELKC_LOGIX_STRING_HANDLE);
        else
            EXPECT_EQ(statuses[i].struct_handle, handle);
    }
    EXPECT_EQ(entries[0].value.value.i32, 123456);
}

} // namespace
