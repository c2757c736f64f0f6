// Identity object (class 0x01, instance 1): the Get Attributes All request and its reply.
#include "zelkc_cip_internal.h"

#include <string.h>

static const uint8_t kIdentityPath[4] = {0x20, 0x01, 0x24, 0x01};
static const zelkc_cip_request kIdentityRequest = {0x01, kIdentityPath, sizeof kIdentityPath, nullptr, 0};
static const uint32_t kFixedSize = 15; // fixed fields and the name length byte

const zelkc_cip_request* zelkc_cip_identity_object_request(void) {
    return &kIdentityRequest;
}

uint8_t zelkc_cip_identity_object_parse(const zelkc_cip_response* response, zelkc_cip_identity* identity) {
    if (response == nullptr || identity == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (response->general_status != ZELKC_CIP_GENERAL_STATUS_SUCCESS)
        return ZELKC_CIP_ERR_DEVICE;
    const uint8_t* data = response->data.data;
    const uint32_t size = response->data.size;
    if (data == nullptr || size < kFixedSize)
        return ZELKC_CIP_ERR_BAD_REPLY;
    identity->vendor_id = zelkc_cip_get_u16(data + 0);
    identity->device_type = zelkc_cip_get_u16(data + 2);
    identity->product_code = zelkc_cip_get_u16(data + 4);
    identity->revision_major = data[6];
    identity->revision_minor = data[7];
    identity->status = zelkc_cip_get_u16(data + 8);
    identity->serial_number = zelkc_cip_get_u32(data + 10);
    const uint32_t name_length = data[14];
    if (size - kFixedSize < name_length)
        return ZELKC_CIP_ERR_BAD_REPLY;
    auto* name = static_cast<char*>(zelkc_cip_alloc(name_length + 1));
    if (name == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    memcpy(name, data + kFixedSize, name_length);
    name[name_length] = '\0';
    identity->product_name = name;
    return ZELKC_CIP_OK;
}

void zelkc_cip_identity_object_free(zelkc_cip_identity* identity) {
    if (identity == nullptr)
        return;
    zelkc_cip_free(identity->product_name);
    memset(identity, 0, sizeof *identity);
}
