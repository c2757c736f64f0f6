// Symbol type word decoding, release of nested records, argument checks before any exchange.
#include <gtest/gtest.h>

#include <cstring>

#include "logix_internal.h"

namespace {

TEST(LogixModel, TypeWordDecoding) {
    EXPECT_TRUE(zelkc_logix_tag_is_struct(0x8FCE));
    EXPECT_FALSE(zelkc_logix_tag_is_struct(0x9FCE)); // system bit set
    EXPECT_TRUE(zelkc_logix_tag_is_struct(0xA0C4));  // a structure array is still a structure
    EXPECT_TRUE(zelkc_logix_tag_is_atomic(0x00C4));
    for (uint16_t w : {0x20C4, 0x40C4, 0x60C4, 0x8FCE}) {
        EXPECT_FALSE(zelkc_logix_tag_is_atomic(w)) << std::hex << w;
    }
    EXPECT_TRUE(zelkc_logix_tag_is_atomic(0x1068));
    EXPECT_TRUE(zelkc_logix_tag_is_program(0x1068));
    EXPECT_FALSE(zelkc_logix_tag_is_program(0x1069));
    const uint16_t ranks[] = {0x00C4, 0x20C4, 0x40C4, 0x60C4};
    for (uint32_t r = 0; r < 4; ++r) {
        EXPECT_EQ(zelkc_logix_tag_array_rank(ranks[r]), r);
    }
    EXPECT_EQ(zelkc_logix_tag_template_id(0xAFCE), 0xFCEu);
    EXPECT_EQ(zelkc_logix_tag_atomic_type(0x20C4), 0xC4);
    EXPECT_EQ(zelkc_logix_tag_bit_size(0xC1), 1);
    EXPECT_EQ(zelkc_logix_tag_bit_size(0xCB), 64);
    EXPECT_EQ(zelkc_logix_tag_bit_size(0xCC), 0);
    EXPECT_EQ(zelkc_logix_tag_bit_size(0xD3), 0);
    EXPECT_EQ(zelkc_logix_tag_bit_size(0x20C4), 32);
    EXPECT_EQ(zelkc_logix_tag_bit_size(0xC0), 0);

    zelkc_logix_tag_info info{};
    EXPECT_FALSE(zelkc_logix_tag_is_string(&info));
    EXPECT_FALSE(zelkc_logix_tag_is_string(nullptr));
    char lower[] = "string";
    char upper[] = "STRING";
    info.type_name = lower;
    EXPECT_FALSE(zelkc_logix_tag_is_string(&info));
    info.type_name = upper;
    EXPECT_TRUE(zelkc_logix_tag_is_string(&info));
}

// Builds a chain of `levels` nested single-child structures below `info`.
void nest(zelkc_logix_tag_info* info, int levels) {
    info->name = logix_strndup("n", 1);
    info->type_name = logix_strndup("T", 1);
    if (levels == 0) {
        return;
    }
    info->children = static_cast<zelkc_logix_tag_info*>(zelkc_cip_alloc(2 * sizeof(zelkc_logix_tag_info)));
    std::memset(info->children, 0, 2 * sizeof(zelkc_logix_tag_info));
    info->child_count = 2;
    nest(&info->children[0], levels - 1);
    nest(&info->children[1], 0);
}

TEST(LogixModel, FreeReleasesEveryLevelAndIsRepeatable) {
    // Leaks at any level show up under the leak checker of the sanitizer build.
    zelkc_logix_tag_info_list list{};
    list.items = static_cast<zelkc_logix_tag_info*>(zelkc_cip_alloc(2 * sizeof(zelkc_logix_tag_info)));
    std::memset(list.items, 0, 2 * sizeof(zelkc_logix_tag_info));
    list.count = 2;
    nest(&list.items[0], 3);
    nest(&list.items[1], 1);
    zelkc_logix_tag_info_list_free(&list);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.items, nullptr);
    zelkc_logix_tag_info_list_free(&list);
    zelkc_logix_tag_info_list_free(nullptr);

    zelkc_logix_tag_info info{};
    zelkc_logix_tag_info_free(&info);
    nest(&info, 2);
    zelkc_logix_tag_info_free(&info);
    EXPECT_EQ(info.children, nullptr);
    EXPECT_EQ(info.name, nullptr);
    EXPECT_EQ(info.child_count, 0u);
    zelkc_logix_tag_info_free(&info);
    zelkc_logix_tag_info_free(nullptr);

    zelkc_logix_value_array array{};
    zelkc_logix_value_array_free(&array);
    array.data = static_cast<uint8_t*>(zelkc_cip_alloc(4));
    array.count = 1;
    array.type = 0xC4;
    zelkc_logix_value_array_free(&array);
    EXPECT_EQ(array.data, nullptr);
    EXPECT_EQ(array.count, 0u);
    zelkc_logix_value_array_free(&array);
    zelkc_logix_value_array_free(nullptr);
}

TEST(LogixModel, NullArgumentsAreRefused) {
    EXPECT_EQ(zelkc_logix_client_plc_type(nullptr), nullptr);
    EXPECT_FALSE(zelkc_logix_client_is_connected(nullptr));
    zelkc_logix_client_disconnect(nullptr);
    zelkc_logix_client_destroy(nullptr);
    zelkc_logix_tag_info_list list{};
    EXPECT_EQ(zelkc_logix_client_browse_global_tags(nullptr, &list), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_logix_client_browse_global_tags(nullptr, nullptr), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);

    zelkc_logix_client* client = zelkc_logix_client_create();
    ASSERT_NE(client, nullptr);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client));
    EXPECT_EQ(zelkc_logix_client_plc_type(client), nullptr);
    EXPECT_EQ(zelkc_logix_client_browse_program_tags(client, &list, ""), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_logix_client_browse_program_tags(client, &list, nullptr),
              ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    zelkc_cip_request request{};
    zelkc_cip_multiple_response multiple{};
    // A count of 0 is refused before any network use (the client is not even connected).
    EXPECT_EQ(zelkc_logix_send_multiple_cip_internal(client, &request, 0, &multiple),
              ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_logix_send_multiple_cip_internal(client, &request, 1, &multiple),
              ZELKC_LOGIX_ERR_NOT_CONNECTED);
    zelkc_logix_value value{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client, "A", &value), ZELKC_LOGIX_ERR_NOT_CONNECTED);
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client, "A..B", &value), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    zelkc_logix_atomic_read entries[2] = {{"A", 0, {}}, {nullptr, 0, {}}};
    EXPECT_EQ(zelkc_logix_client_read_atomic_values(client, entries, 0), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_logix_client_read_atomic_values(client, entries, 2), ZELKC_LOGIX_ERR_NOT_CONNECTED);
    EXPECT_EQ(entries[0].result, ZELKC_LOGIX_ERR_NOT_CONNECTED);
    EXPECT_EQ(entries[1].result, ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    zelkc_logix_value_array array{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_array(client, "A", 0, &array), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_logix_client_read_atomic_array(client, "A", 65536, &array),
              ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    char buf[4];
    uint32_t length = 7;
    EXPECT_EQ(zelkc_logix_client_read_string_value(client, "A", buf, 0, &length),
              ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    uint8_t bytes[4];
    EXPECT_EQ(zelkc_logix_client_read_bytes(client, "A", bytes, 65536, &length),
              ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    zelkc_logix_tag_info tmpl{};
    tmpl.symbol_type = 0x00C4;
    EXPECT_EQ(zelkc_logix_client_browse_struct_members(client, &tmpl, &list), ZELKC_LOGIX_ERR_TYPE_MISMATCH);
    zelkc_logix_client_destroy(client);
}

} // namespace
