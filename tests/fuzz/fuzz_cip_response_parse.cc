// Any bytes as a Message Router reply: parse within bounds, account for every byte, release.
#include "zelkc_cip.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    zelkc_cip_response response;
    const uint8_t rc = zelkc_cip_response_parse(data, static_cast<uint32_t>(size), &response);
    if (rc == ZELKC_CIP_OK) {
        // Header, additional status and data cover the input exactly; only an error reply may be
        // cut short, and then it hands out no data and the whole words of status that arrived.
        const bool error = data[2] != 0 && data[2] != 6;
        if (size >= 4 && 4u + 2u * data[3] <= size) {
            if (4u + response.additional_status.size + response.data.size != size ||
                response.additional_status.size != 2u * data[3])
                abort();
        } else if (!error || response.data.size != 0 || response.additional_status.size + 5 < size ||
                   response.additional_status.size % 2 != 0) {
            abort();
        }
        if (response.service != data[0] || response.general_status != data[2])
            abort();
        (void)zelkc_cip_response_is_success(&response);
    } else if (response.data.data != nullptr || response.additional_status.data != nullptr) {
        abort(); // a failed parse hands nothing out
    }
    zelkc_cip_response_free(&response);
    return 0;
}
