// Symbol type word decoding, the packet size of a fresh client, and the refusals that come before
// any exchange.
#include <gtest/gtest.h>

#include "logix_internal.h"

namespace {

TEST(LogixModel, TypeWordDecoding) {
    const struct {
        uint16_t word;
        bool is_struct, is_atomic, is_program;
        uint32_t rank, template_id;
        int bits;
    } cases[] = {
        {0x8FCE, true, false, false, 0, 0xFCE, 0},  {0x9FCE, false, false, false, 0, 0xFCE, 0}, // system bit
        {0xAFCE, true, false, false, 1, 0xFCE, 0},  {0xE100, true, false, false, 3, 0x100, 0},
        {0x00C4, false, true, false, 0, 0xC4, 32},  {0x20C4, false, false, false, 1, 0xC4, 32},
        {0x40C4, false, false, false, 2, 0xC4, 32}, {0x60C5, false, false, false, 3, 0xC5, 64},
        {0x1068, false, true, true, 0, 0x68, 0},    {0x1069, false, true, false, 0, 0x69, 0},
        {0x00C1, false, true, false, 0, 0xC1, 1},   {0x00C9, false, true, false, 0, 0xC9, 64},
        {0x00CB, false, true, false, 0, 0xCB, 64},  {0x00CC, false, true, false, 0, 0xCC, 0},
        {0x00D3, false, true, false, 0, 0xD3, 0},   {0x00C0, false, true, false, 0, 0xC0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.word);
        EXPECT_EQ(zelkc_logix_tag_is_struct(c.word), c.is_struct);
        EXPECT_EQ(zelkc_logix_tag_is_atomic(c.word), c.is_atomic);
        EXPECT_EQ(zelkc_logix_tag_is_program(c.word), c.is_program);
        EXPECT_EQ(zelkc_logix_tag_array_rank(c.word), c.rank);
        EXPECT_EQ(zelkc_logix_tag_template_id(c.word), c.template_id);
        EXPECT_EQ(zelkc_logix_tag_atomic_type(c.word), c.word & 0xFF);
        EXPECT_EQ(zelkc_logix_tag_bit_size(c.word), c.bits);
    }
    char lower[] = "string", upper[] = "STRING";
    zelkc_logix_tag_info info[2] = {{0, 0x8FCE, nullptr, {}, lower, 0, nullptr}, {0, 0x8FCE, nullptr, {}, upper, 0, nullptr}};
    EXPECT_TRUE(!zelkc_logix_tag_is_string(&info[0]) && zelkc_logix_tag_is_string(&info[1]));
}

TEST(LogixModel, RefusalsBeforeAnyExchange) {
    zelkc_logix_client* client = zelkc_logix_client_create();
    EXPECT_EQ(zelkc_logix_client_packet_size(client), 500u); // unconnected messaging until a connection
    EXPECT_EQ(zelkc_logix_client_connect_mode(client, "127.0.0.1", 1, 100, 3), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    // Every batch entry gets its own result, the path error ahead of the missing connection.
    zelkc_logix_atomic_read entries[2] = {{"A", 0, {}}, {"A..B", 0, {}}};
    EXPECT_EQ(zelkc_logix_client_read_atomic_values(client, entries, 2), ZELKC_LOGIX_ERR_NOT_CONNECTED);
    EXPECT_TRUE(entries[0].result == ZELKC_LOGIX_ERR_NOT_CONNECTED && entries[1].result == ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    zelkc_logix_value_array array{}; // beyond 65535 elements
    EXPECT_EQ(zelkc_logix_client_read_atomic_array(client, "A", 65536, &array), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    zelkc_logix_client_destroy(client);
}

} // namespace
