// Templates asked for in Multiple Service Packets before a browse result is expanded: the
// attributes of many templates per packet, then whole definitions packed as far as their replies
// fit the connection. Whatever this leaves out of the cache, the expansion reads one request at a
// time, so results and failures stay those of the single requests.
#include <cstring>

#include "logix_internal.h"

namespace {

constexpr uint8_t kGetAttributeList = 0x03;
constexpr uint8_t kReadTemplate = 0x4C;
const uint8_t kTemplateAttributes[6] = {0x02, 0x00, 0x04, 0x00, 0x02, 0x00};
// Reply sizes: a reply header (service, reserved, status, additional size) in front of the data;
// a Multiple Service Packet reply adds its service count; each service adds an offset.
constexpr uint32_t kReplyHeader = 4;
constexpr uint32_t kPacketReplyOverhead = kReplyHeader + 2;
constexpr uint32_t kAttributeReply = kReplyHeader + 16 + 2;
// A template request: service, path size, path of at most 6 bytes, 6 data bytes, and its offset.
constexpr uint32_t kTemplateRequest = 2 + 6 + 6 + 2;
constexpr uint32_t kPacketRequestOverhead = 8;

// One template on its way into the cache.
struct Pending {
    uint16_t symbol_type; // the structure word that led here
    uint8_t path[6];      // class 0x6C, instance = template id
    uint8_t path_size;
    uint8_t ready; // attributes decoded
    uint16_t member_count;
    uint32_t definition_bytes;
    uint8_t request_data[6]; // offset 0, the whole definition
};

void make_path(Pending* p) {
    const uint32_t id = zelkc_logix_tag_template_id(p->symbol_type);
    p->path[0] = 0x20;
    p->path[1] = ZELKC_LOGIX_TEMPLATE_CLASS;
    if (id < 256) {
        p->path[2] = 0x24;
        p->path[3] = (uint8_t)id;
        p->path_size = 4;
    } else {
        p->path[2] = 0x25;
        p->path[3] = 0;
        logix_put16(p->path + 4, (uint16_t)id);
        p->path_size = 6;
    }
}

zelkc_cip_request make_request(const Pending* p, uint8_t service, const uint8_t* data, uint32_t size) {
    zelkc_cip_request request;
    std::memset(&request, 0, sizeof request);
    request.service = service;
    request.path = p->path;
    request.path_size = p->path_size;
    request.data = data;
    request.data_size = size;
    return request;
}

// The working state of one prefetch.
struct Batch {
    zelkc_logix_client* client;
    Pending* pending; // up to ZELKC_LOGIX_TEMPLATE_SLOTS
    uint32_t count;
    uint8_t* asked;              // per template id: already wanted in this call
    zelkc_cip_request* requests; // up to ZELKC_LOGIX_TEMPLATE_SLOTS
    uint32_t* index;             // request position -> pending index
    bool refused;                // a packet was refused: no more packing in this call
};

void want(Batch* b, uint16_t symbol_type) {
    if (!zelkc_logix_tag_is_struct(symbol_type)) {
        return;
    }
    const uint32_t id = zelkc_logix_tag_template_id(symbol_type);
    if (b->asked[id] != 0 || b->client->templates[id] != nullptr) {
        return;
    }
    b->asked[id] = 1;
    Pending* p = &b->pending[b->count++];
    std::memset(p, 0, sizeof *p);
    p->symbol_type = symbol_type;
    make_path(p);
}

// Sends `n` prepared requests as packets. A refused packet (the session still up) marks the
// batch refused and gives 0 with no responses; a failure that closed the session is returned.
uint8_t send_packed(Batch* b, uint32_t n, zelkc_cip_multiple_response* out) {
    std::memset(out, 0, sizeof *out);
    const uint8_t rc = zelkc_logix_send_multiple_cip_internal(b->client, b->requests, n, out);
    if (rc == ZELKC_LOGIX_OK && out->count == n) {
        return ZELKC_LOGIX_OK;
    }
    zelkc_cip_multiple_response_free(out);
    if (rc == ZELKC_LOGIX_ERR_NO_MEMORY || !zelkc_logix_client_is_connected(b->client)) {
        return rc != ZELKC_LOGIX_OK ? rc : (uint8_t)ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    b->refused = true;
    return ZELKC_LOGIX_OK;
}

// Builds the cache entry of `p` from a complete definition, or leaves the cache as it was.
uint8_t store(Batch* b, const Pending* p, const uint8_t* definition, uint32_t received) {
    auto* entry =
        static_cast<zelkc_logix_template_entry*>(zelkc_cip_alloc(sizeof(zelkc_logix_template_entry)));
    if (entry == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    std::memset(entry, 0, sizeof *entry);
    entry->info.symbol_type = p->symbol_type;
    const uint8_t rc = zelkc_logix_template_definition_decode(definition, received, p->member_count,
                                                              &entry->info.type_name, &entry->members);
    if (rc != ZELKC_LOGIX_OK) {
        zelkc_cip_free(entry);
        return rc == ZELKC_LOGIX_ERR_NO_MEMORY ? rc : (uint8_t)ZELKC_LOGIX_OK; // the expansion meets it again
    }
    if (!logix_template_cache_admit(b->client, entry->members.count)) {
        // Over the cache's bound: not kept; the expansion meets the type and ends the browse.
        zelkc_logix_tag_info_list_free(&entry->members);
        zelkc_cip_free(entry->info.type_name);
        zelkc_cip_free(entry);
        return ZELKC_LOGIX_OK;
    }
    b->client->templates[zelkc_logix_tag_template_id(p->symbol_type)] = entry;
    for (uint32_t i = 0; i < entry->members.count; ++i) {
        want(b, entry->members.items[i].symbol_type);
    }
    return ZELKC_LOGIX_OK;
}

// Asks the attributes of pending[first..end) in packets whose replies fit the connection.
uint8_t ask_attributes(Batch* b, uint32_t first, uint32_t end) {
    const uint32_t budget = logix_packet_size(b->client);
    uint32_t per_packet = (budget - kPacketReplyOverhead) / kAttributeReply;
    const uint32_t by_request = (budget - kPacketRequestOverhead) / kTemplateRequest;
    per_packet = per_packet < by_request ? per_packet : by_request;
    for (uint32_t at = first; at < end && !b->refused;) {
        const uint32_t n = end - at < per_packet ? end - at : per_packet;
        for (uint32_t i = 0; i < n; ++i) {
            b->requests[i] = make_request(&b->pending[at + i], kGetAttributeList, kTemplateAttributes,
                                          sizeof kTemplateAttributes);
        }
        zelkc_cip_multiple_response replies;
        const uint8_t rc = send_packed(b, n, &replies);
        if (rc != ZELKC_LOGIX_OK || b->refused) {
            return rc;
        }
        for (uint32_t i = 0; i < n; ++i) {
            Pending* p = &b->pending[at + i];
            const zelkc_cip_response* r = &replies.responses[i];
            p->ready = zelkc_logix_template_attributes_decode(r->general_status, r->data.data, r->data.size,
                                                              &p->definition_bytes,
                                                              &p->member_count) == ZELKC_LOGIX_OK;
        }
        zelkc_cip_multiple_response_free(&replies);
        at += n;
    }
    return ZELKC_LOGIX_OK;
}

// Reads one definition whose first reply (if any) came in a packet; the rest with single requests.
uint8_t read_one(Batch* b, const Pending* p, const zelkc_cip_response* first) {
    zelkc_logix_template_read read;
    read.definition = static_cast<uint8_t*>(zelkc_cip_alloc(p->definition_bytes));
    read.size = p->definition_bytes;
    read.offset = 0;
    read.fragments = 0;
    if (read.definition == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    uint8_t rc = ZELKC_LOGIX_OK;
    bool done = false;
    if (first != nullptr) {
        rc = zelkc_logix_template_fragment_accept(&read, zelkc_logix_template_read_ask(&read),
                                                  first->general_status, first->data.data, first->data.size,
                                                  &done);
    }
    if (rc == ZELKC_LOGIX_OK && !done) {
        zelkc_cip_buffer path;
        path.data = const_cast<uint8_t*>(p->path);
        path.size = p->path_size;
        path.capacity = 0;
        rc = logix_template_read_rest(b->client, &path, &read);
    }
    if (rc == ZELKC_LOGIX_OK) {
        rc = store(b, p, read.definition, read.offset);
    } else if (rc != ZELKC_LOGIX_ERR_NO_MEMORY && zelkc_logix_client_is_connected(b->client)) {
        rc = ZELKC_LOGIX_OK; // left out of the cache; the expansion reads it again and reports it
    }
    zelkc_cip_free(read.definition);
    return rc;
}

// Reads the definitions of pending[first..end) that have their attributes: those whose whole
// reply fits a packet packed together, the others one by one.
uint8_t read_definitions(Batch* b, uint32_t first, uint32_t end) {
    const uint32_t budget = logix_packet_size(b->client);
    uint32_t at = first;
    while (at < end && !b->refused) {
        uint32_t n = 0;
        uint32_t reply = kPacketReplyOverhead;
        uint32_t request = kPacketRequestOverhead;
        uint32_t next = at;
        for (; next < end; ++next) {
            Pending* p = &b->pending[next];
            if (!p->ready) {
                continue;
            }
            const uint64_t one = (uint64_t)kReplyHeader + 2 + p->definition_bytes;
            if (one > budget - kPacketReplyOverhead) {
                continue; // read alone below
            }
            if (reply + one > budget || request + kTemplateRequest > budget) {
                break;
            }
            reply += (uint32_t)one;
            request += kTemplateRequest;
            logix_put32(p->request_data, 0);
            logix_put16(p->request_data + 4, (uint16_t)p->definition_bytes);
            b->requests[n] = make_request(p, kReadTemplate, p->request_data, sizeof p->request_data);
            b->index[n++] = next;
        }
        if (n == 0) {
            break;
        }
        zelkc_cip_multiple_response replies;
        uint8_t rc = send_packed(b, n, &replies);
        for (uint32_t i = 0; rc == ZELKC_LOGIX_OK && !b->refused && i < n; ++i) {
            Pending* p = &b->pending[b->index[i]];
            p->ready = 0;
            rc = read_one(b, p, &replies.responses[i]);
        }
        zelkc_cip_multiple_response_free(&replies);
        if (rc != ZELKC_LOGIX_OK) {
            return rc;
        }
        at = next;
    }
    // Definitions too large for one packet's reply, read in fragments.
    for (uint32_t i = first; i < end && !b->refused; ++i) {
        Pending* p = &b->pending[i];
        if (p->ready) {
            p->ready = 0;
            const uint8_t rc = read_one(b, p, nullptr);
            if (rc != ZELKC_LOGIX_OK) {
                return rc;
            }
        }
    }
    return ZELKC_LOGIX_OK;
}

} // namespace

extern "C" {

uint8_t logix_templates_prefetch(zelkc_logix_client* client, const zelkc_logix_tag_info_list* list) {
    Batch b;
    std::memset(&b, 0, sizeof b);
    b.client = client;
    const uint32_t slots = ZELKC_LOGIX_TEMPLATE_SLOTS;
    b.pending = static_cast<Pending*>(zelkc_cip_alloc(slots * sizeof(Pending)));
    b.asked = static_cast<uint8_t*>(zelkc_cip_alloc(slots));
    b.requests = static_cast<zelkc_cip_request*>(zelkc_cip_alloc(slots * sizeof(zelkc_cip_request)));
    b.index = static_cast<uint32_t*>(zelkc_cip_alloc(slots * sizeof(uint32_t)));
    uint8_t rc = ZELKC_LOGIX_OK;
    if (b.pending == nullptr || b.asked == nullptr || b.requests == nullptr || b.index == nullptr) {
        rc = ZELKC_LOGIX_ERR_NO_MEMORY;
    } else {
        std::memset(b.asked, 0, slots);
        for (uint32_t i = 0; i < list->count; ++i) {
            want(&b, list->items[i].symbol_type);
        }
        // Level by level: the members of the templates just read may need further templates.
        uint32_t done = 0;
        while (rc == ZELKC_LOGIX_OK && !b.refused && done < b.count) {
            const uint32_t end = b.count;
            rc = ask_attributes(&b, done, end);
            if (rc == ZELKC_LOGIX_OK) {
                rc = read_definitions(&b, done, end);
            }
            done = end;
        }
    }
    zelkc_cip_free(b.index);
    zelkc_cip_free(b.requests);
    zelkc_cip_free(b.asked);
    zelkc_cip_free(b.pending);
    return rc;
}

} // extern "C"
