// Symbol list pages: byte 0 is the general status of the first page, bytes 1-4 the instance
// asked for; the rest is the page data. A page accepted with status 6 is fed again as the next
// page, which must then fail on instance order or pass with a higher instance.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "logix_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5 || size > 0xFFFFFF) {
        return 0;
    }
    const uint8_t status = data[0] & 1 ? 6 : (data[0] & 2 ? 0 : data[0]);
    uint32_t next = logix_le32(data + 1);
    std::vector<uint8_t> page(data + 5, data + size);
    zelkc_logix_tag_info_list list{};
    uint32_t capacity = 0;
    const uint32_t before = next;
    uint8_t rc = zelkc_logix_browse_page_decode(status, page.empty() ? nullptr : page.data(),
                                                uint32_t(page.size()), &list, &capacity, &next);
    if (rc == ZELKC_LOGIX_OK) {
        for (uint32_t i = 0; i < list.count; ++i) {
            const zelkc_logix_tag_info& info = list.items[i];
            if (info.name == nullptr || info.id < before || info.id >= next || capacity < list.count) {
                __builtin_trap();
            }
            (void)std::strlen(info.name);
        }
        if (status == 6) {
            rc = zelkc_logix_browse_page_decode(6, page.empty() ? nullptr : page.data(),
                                                uint32_t(page.size()), &list, &capacity, &next);
            if (rc == ZELKC_LOGIX_OK && !page.empty()) {
                __builtin_trap(); // the same instances twice can never be accepted
            }
        }
    }
    zelkc_logix_tag_info_list_free(&list);
    return 0;
}
