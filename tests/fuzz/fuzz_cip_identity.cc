// Any bytes as the data of an Identity Get Attributes All reply.
#include "zelkc_cip.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    const zelkc_cip_response response = {
        0x81, 0, 0, {nullptr, 0, 0}, {const_cast<uint8_t*>(data), static_cast<uint32_t>(size), 0}};
    zelkc_cip_identity identity = {};
    const uint8_t rc = zelkc_cip_identity_object_parse(&response, &identity);
    if (rc == ZELKC_CIP_OK) {
        // The name is the counted bytes, terminated.
        const size_t n = data[14];
        if (identity.product_name == nullptr || n + 15 > size || identity.product_name[n] != '\0' ||
            memcmp(identity.product_name, data + 15, n) != 0)
            abort();
    } else if (identity.product_name != nullptr) {
        abort();
    }
    zelkc_cip_identity_object_free(&identity);
    return 0;
}
