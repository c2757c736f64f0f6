// Any bytes as the CPF block of a SendRRData reply: find the unconnected data item within bounds.
#include "zelkc_cip.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    zelkc_cip_buffer item;
    const uint8_t rc = zelkc_cip_cpf_extract_unconnected_data(data, static_cast<uint32_t>(size), &item);
    if (rc == ZELKC_CIP_OK) {
        // The item's bytes lie inside the block, behind the 8-byte header and a 4-byte item header.
        if (item.size + 12u > size)
            abort();
        if (item.size != 0 && memmem(data + 12, size - 12, item.data, item.size) == nullptr)
            abort();
    } else if (item.data != nullptr) {
        abort();
    }
    zelkc_cip_path_free(&item);
    return 0;
}
