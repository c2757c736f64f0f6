// The plain-language reason table, and the per-entry statuses of a batch read zeroed first.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "zelkc_logix.h"

namespace {

TEST(LogixReasonTable, EveryCodeAndStatusHasItsOwnWords) {
    std::set<std::string> results, names;
    for (uint8_t r : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 15, 16, 17, 18, 19}) {
        results.insert(zelkc_logix_result_text(r));
    }
    EXPECT_EQ(results.size(), 16u) << "two result codes share their words";
    EXPECT_EQ(results.count(zelkc_logix_result_text(11)) + results.count(zelkc_logix_result_text(200)), 0u);
    for (unsigned g = 0x01; g <= 0x27; ++g) {
        names.insert(zelkc_logix_cip_status_name(uint8_t(g)));
        EXPECT_EQ(g == 0x27, !std::strcmp(zelkc_logix_cip_status_text(uint8_t(g), 0), "the controller reported an unknown status")) << g;
    }
    EXPECT_EQ(names.size(), 0x27u) << "two general statuses share a name";
    // A missing tag reads as the same reason whichever of the two statuses a controller gives;
    // extended words matter only for 0xFF.
    const std::tuple<uint8_t, uint16_t, const char*, const char*> cases[] = {
        {0x05, 0, "path destination unknown", "no such tag"}, {0x04, 0x2105, "path segment error", "no such tag"},
        {0x26, 0, "path size invalid", "the tag path is malformed"},
        {0xFF, 0x2105, "general error", "index or element count beyond the end of the tag"},
        {0xFF, 0x2107, "general error", "the tag's data type does not match the request"},
        {0xFF, 0x1234, "general error", "the controller reported a general error"},
        {0x80, 0, "unknown status", "the controller reported an unknown status"}};
    for (const auto& [general, extended, name, reason] : cases) {
        EXPECT_STREQ(zelkc_logix_cip_status_name(general), name);
        EXPECT_STREQ(zelkc_logix_cip_status_text(general, extended), reason);
    }
    // A failure's text names the status it came from, in the words of the same table; a result
    // that is no refusal, or a refusal without a status, is told by its own words alone.
    // A refusal by the router on the way names the route, and the slot when it is one hop.
    const std::tuple<uint8_t, zelkc_cip_refusal, const char*> failures[] = {
        {7, {0, 0x08, 0, 0, -1}, "the controller does not support this request (CIP 0x08 service not supported)"},
        {7, {0, 0x01, 0x0312, 0, -1}, "no device at that address or backplane slot (CIP 0x01/0x0312 connection failure)"},
        {7, {0, 0x01, 0x0312, 1, 3},
         "the route to slot 3: no device at that address or backplane slot (CIP 0x01/0x0312 connection failure)"},
        {7, {0, 0x08, 0, 1, 0},
         "the route to slot 0: the device does not route requests to a slot (Unconnected Send not supported) "
         "(CIP 0x08 service not supported)"},
        {7, {0, 0x01, 0x0311, 1, -1}, "the route: the route names a port the device does not have (CIP 0x01/0x0311 connection failure)"},
        {7, {8, 0, 0, 0, -1}, "the controller answered with an error status (encapsulation status 0x0008 unsupported command)"},
        {10, {2, 0, 0, 0, -1}, "the controller refused the session (encapsulation status 0x0002 insufficient memory)"},
        {6, {3, 0, 0, 0, -1}, "the connection failed or was closed (encapsulation status 0x0003 incorrect data)"},
        {6, {0, 0x05, 0, 0, -1}, "the connection failed or was closed"}, {4, {1, 8, 0, 0, -1}, "timed out waiting for the controller"},
        {7, {0, 0, 0, 0, -1}, "the controller answered with an error status"}};
    for (const auto& [result, refusal, text] : failures) {
        char buf[200];
        EXPECT_EQ(zelkc_logix_failure_text(result, &refusal, buf, sizeof buf), std::strlen(text));
        EXPECT_STREQ(buf, text);
    }
    char cut[8];
    EXPECT_EQ(zelkc_logix_failure_text(ZELKC_LOGIX_ERR_TIMEOUT, nullptr, cut, sizeof cut), 36u);
    EXPECT_STREQ(cut, "timed o");
    // Each batch entry's status is written as it is read; entries never read keep zero ones.
    zelkc_logix_atomic_read entry{"DintTag", 0, {}};
    zelkc_logix_read_status status;
    std::memset(&status, 0xEE, sizeof status);
    EXPECT_EQ(zelkc_logix_client_read_atomic_values_status(nullptr, &entry, 1, &status), 1);
    EXPECT_EQ(status.general_status | status.extended_status | status.struct_handle, 0);
}

} // namespace
