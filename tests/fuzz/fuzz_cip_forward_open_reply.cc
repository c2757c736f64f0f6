// Any bytes as the reply to a Forward Open: parsed as a CIP reply, then taken for one connection.
// A reply is taken only when it names that connection; a refused or malformed one changes nothing.
#include "zelkc_cip.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    zelkc_cip_response reply;
    if (zelkc_cip_response_parse(data, static_cast<uint32_t>(size), &reply) != ZELKC_CIP_OK)
        return 0;
    zelkc_cip_connection connection{};
    connection.to_id = 0x11223344;
    connection.serial = 0x5566;
    connection.vendor_id = 0x4F56;
    connection.originator_serial = 0x778899AA;
    connection.size = 504;
    const zelkc_cip_connection before = connection;
    const uint8_t rc = zelkc_cip_forward_open_reply_accept(&reply, &connection);
    if (rc == ZELKC_CIP_OK) {
        if (reply.general_status != 0 || reply.data.size < 26 || connection.serial != before.serial ||
            memcmp(&connection.ot_id, reply.data.data, 4) != 0)
            abort();
    } else if (memcmp(&connection, &before, sizeof connection) != 0) {
        abort();
    }
    zelkc_cip_response_free(&reply);
    return 0;
}
