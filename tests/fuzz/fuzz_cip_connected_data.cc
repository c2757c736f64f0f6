// Any bytes as the CPF block of a SendUnitData reply: the connected data item is found within
// bounds (only for the connection asked about), and its CIP reply is parsed where it lies.
#include "zelkc_cip.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    uint16_t sequence = 0;
    uint32_t offset = 0, length = 0;
    const uint8_t rc = zelkc_cip_cpf_find_connected_data(data, static_cast<uint32_t>(size), 0x11223344,
                                                         &sequence, &offset, &length);
    if (rc != ZELKC_CIP_OK)
        return 0;
    // Interface handle, timeout, count, the data item header and the sequence count at least.
    if (offset < 14 || offset > size || length > size - offset)
        abort();
    zelkc_cip_response reply;
    if (length != 0 && zelkc_cip_response_parse(data + offset, length, &reply) == ZELKC_CIP_OK)
        zelkc_cip_response_free(&reply);
    return 0;
}
