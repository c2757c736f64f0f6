// Any bytes as a Multiple Service Packet reply, both as its data alone and as a complete reply.
#include "zelkc_cip.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

static void check(const uint8_t* data, size_t size, uint8_t rc, zelkc_cip_multiple_response* m) {
    if (rc != ZELKC_CIP_OK) {
        if (m->responses != nullptr || m->count != 0)
            abort();
        return;
    }
    if (m->count == 0 || m->responses == nullptr)
        abort();
    for (uint32_t i = 0; i < m->count; ++i) {
        const zelkc_cip_response& r = m->responses[i];
        if (r.data.size + r.additional_status.size + 4u > size)
            abort();
    }
    (void)data;
    zelkc_cip_multiple_response_free(m);
    if (m->responses != nullptr || m->count != 0)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    zelkc_cip_multiple_response m;
    check(data, size, zelkc_cip_multiple_response_data_parse(data, static_cast<uint32_t>(size), &m), &m);
    if (data != nullptr)
        check(data, size, zelkc_cip_multiple_response_parse(data, static_cast<uint32_t>(size), &m), &m);
    return 0;
}
