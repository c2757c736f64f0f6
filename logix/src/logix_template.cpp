// Structure templates (class 0x6C): the attribute reply, the definition read in fragments, its
// decoding into members, and the expansion of a browse result through the template cache that
// lives as long as the connection.
#include <cstring>

#include "logix_internal.h"

namespace {

constexpr uint8_t kGetAttributeList = 0x03;
constexpr uint8_t kReadTemplate = 0x4C;
// Attribute count 2: definition size in words (4), member count (2).
const uint8_t kTemplateAttributes[6] = {0x02, 0x00, 0x04, 0x00, 0x02, 0x00};
constexpr uint32_t kMaxTemplateAsk = 65535;
constexpr size_t kHiddenPrefixLength = 10; // "ZZZZZZZZZZ"

bool is_hidden_member(uint16_t type, const char* name, size_t length) {
    if (type != ZELKC_LOGIX_TYPE_SINT || length < kHiddenPrefixLength) {
        return false;
    }
    for (size_t i = 0; i < kHiddenPrefixLength; ++i) {
        if (name[i] != 'Z') {
            return false;
        }
    }
    return true;
}

uint8_t send_template_request(zelkc_logix_client* client, const zelkc_cip_buffer* path, uint8_t service,
                              const uint8_t* data, uint32_t size, zelkc_cip_response* reply) {
    const zelkc_cip_request request = logix_make_request(service, path, data, size);
    return zelkc_logix_send_cip_internal(client, &request, reply);
}

void release_entry(zelkc_logix_template_entry* entry) {
    if (entry != nullptr) {
        zelkc_logix_tag_info_free(&entry->info);
        zelkc_logix_tag_info_list_free(&entry->members);
        zelkc_cip_free(entry);
    }
}

} // namespace

extern "C" {

void logix_templates_release(zelkc_logix_client* client) {
    if (client == nullptr || client->templates == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < ZELKC_LOGIX_TEMPLATE_SLOTS; ++i) {
        release_entry(client->templates[i]);
    }
    zelkc_cip_free(client->templates);
    client->templates = nullptr;
    client->template_members = 0;
}

uint8_t logix_templates_share(zelkc_logix_client* to, const zelkc_logix_client* from) {
    if (to->templates == nullptr) {
        const size_t cache_bytes = ZELKC_LOGIX_TEMPLATE_SLOTS * sizeof(zelkc_logix_template_entry*);
        to->templates = static_cast<zelkc_logix_template_entry**>(zelkc_cip_alloc(cache_bytes));
        if (to->templates == nullptr) {
            return ZELKC_LOGIX_ERR_NO_MEMORY;
        }
        std::memset(to->templates, 0, cache_bytes);
    }
    for (uint32_t id = 0; to != from && from->templates != nullptr && id < ZELKC_LOGIX_TEMPLATE_SLOTS; ++id) {
        const zelkc_logix_template_entry* source = from->templates[id];
        if (source == nullptr || to->templates[id] != nullptr) {
            continue;
        }
        const uint32_t count = source->members.count;
        if (!logix_template_cache_admit(to, count)) {
            return ZELKC_LOGIX_OK; // the rest is read again when a browse needs it
        }
        auto* entry = static_cast<zelkc_logix_template_entry*>(zelkc_cip_alloc(sizeof(zelkc_logix_template_entry)));
        if (entry == nullptr) {
            to->template_members -= count;
            return ZELKC_LOGIX_ERR_NO_MEMORY;
        }
        std::memset(entry, 0, sizeof *entry);
        entry->info.symbol_type = source->info.symbol_type;
        const char* name = source->info.type_name;
        bool ok = name == nullptr || (entry->info.type_name = logix_strndup(name, std::strlen(name))) != nullptr;
        if (ok && count != 0) {
            entry->members.items =
                static_cast<zelkc_logix_tag_info*>(zelkc_cip_alloc((size_t)count * sizeof(zelkc_logix_tag_info)));
            ok = entry->members.items != nullptr;
            for (uint32_t i = 0; ok && i < count; ++i) {
                const zelkc_logix_tag_info& member = source->members.items[i];
                zelkc_logix_tag_info* copy = &entry->members.items[i];
                *copy = member; // members in the cache carry no type name and no children
                copy->name = member.name != nullptr ? logix_strndup(member.name, std::strlen(member.name)) : nullptr;
                ok = member.name == nullptr || copy->name != nullptr;
                entry->members.count = ok ? i + 1 : i;
            }
        }
        if (!ok) {
            release_entry(entry);
            to->template_members -= count;
            return ZELKC_LOGIX_ERR_NO_MEMORY;
        }
        to->templates[id] = entry;
    }
    return ZELKC_LOGIX_OK;
}

bool logix_template_cache_admit(zelkc_logix_client* client, uint32_t members) {
    const uint32_t limit = client->template_limit != 0 ? client->template_limit : ZELKC_LOGIX_MAX_TAG_INFOS;
    if (members > limit || client->template_members > limit - members) {
        return false;
    }
    client->template_members += members;
    return true;
}

uint8_t zelkc_logix_template_attributes_decode(uint8_t general_status, const uint8_t* data, uint32_t size,
                                               uint32_t* definition_bytes, uint16_t* member_count) {
    if (definition_bytes == nullptr || member_count == nullptr || (data == nullptr && size != 0)) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (general_status != 0) {
        return ZELKC_LOGIX_ERR_DEVICE;
    }
    if (size != 16 || logix_le16(data) != 2 || logix_le16(data + 2) != 4 || logix_le16(data + 10) != 2) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    if (logix_le16(data + 4) != 0 || logix_le16(data + 12) != 0) {
        return ZELKC_LOGIX_ERR_DEVICE;
    }
    const uint32_t words = logix_le32(data + 6);
    const uint16_t members = logix_le16(data + 14);
    if (words < ZELKC_LOGIX_TEMPLATE_MIN_WORDS) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    if (words > ZELKC_LOGIX_TEMPLATE_MAX_WORDS) {
        return ZELKC_LOGIX_ERR_LIMIT;
    }
    const uint32_t bytes = words * 4u - 23u;
    if (bytes <= (uint32_t)members * 8u) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    *definition_bytes = bytes;
    *member_count = members;
    return ZELKC_LOGIX_OK;
}

uint32_t zelkc_logix_template_read_ask(const zelkc_logix_template_read* read) {
    const uint32_t remainder = read->size - read->offset;
    return remainder > kMaxTemplateAsk ? kMaxTemplateAsk : remainder;
}

uint8_t zelkc_logix_template_fragment_accept(zelkc_logix_template_read* read, uint32_t asked,
                                             uint8_t general_status, const uint8_t* data, uint32_t size,
                                             bool* done) {
    *done = false;
    if (general_status != 0 && general_status != 6) {
        return ZELKC_LOGIX_ERR_DEVICE;
    }
    if (size == 0 || data == nullptr || size > asked || size > read->size - read->offset) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    if (++read->fragments > ZELKC_LOGIX_TEMPLATE_FRAGMENTS(read->size)) {
        return ZELKC_LOGIX_ERR_BAD_REPLY; // fragments too small to ever finish in reasonable time
    }
    std::memcpy(read->definition + read->offset, data, size);
    const bool whole_remainder = read->size - read->offset == asked;
    read->offset += size;
    if (whole_remainder && general_status == 0) {
        *done = true;
        return ZELKC_LOGIX_OK;
    }
    // Partial, or a capped request: more must remain to be asked for.
    if (read->offset >= read->size) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    return ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_template_definition_decode(const uint8_t* definition, uint32_t received,
                                               uint16_t member_count, char** name,
                                               zelkc_logix_tag_info_list* members) {
    if (name == nullptr || members == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    *name = nullptr;
    members->count = 0;
    members->items = nullptr;
    const uint32_t info_bytes = (uint32_t)member_count * 8u;
    if (definition == nullptr || received <= info_bytes) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const char* text = reinterpret_cast<const char*>(definition);
    const char* name_start = text + info_bytes;
    const char* end = text + received;
    const char* nul = static_cast<const char*>(std::memchr(name_start, '\0', (size_t)(end - name_start)));
    if (nul == nullptr || nul == name_start) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const char* semicolon =
        static_cast<const char*>(std::memchr(name_start, ';', (size_t)(nul - name_start)));
    const char* name_end = semicolon != nullptr ? semicolon : nul;
    if (name_end == name_start) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    char* template_name = logix_strndup(name_start, (size_t)(name_end - name_start));
    if (template_name == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    uint8_t result = ZELKC_LOGIX_OK;
    if (member_count != 0) {
        members->items = static_cast<zelkc_logix_tag_info*>(
            zelkc_cip_alloc((size_t)member_count * sizeof(zelkc_logix_tag_info)));
        if (members->items == nullptr) {
            result = ZELKC_LOGIX_ERR_NO_MEMORY;
        }
    }
    const char* cursor = nul + 1;
    for (uint32_t index = 0; result == ZELKC_LOGIX_OK && index < member_count; ++index) {
        if (cursor >= end) {
            result = ZELKC_LOGIX_ERR_BAD_REPLY;
            break;
        }
        const char* member_nul = static_cast<const char*>(std::memchr(cursor, '\0', (size_t)(end - cursor)));
        if (member_nul == nullptr || member_nul == cursor) {
            result = ZELKC_LOGIX_ERR_BAD_REPLY;
            break;
        }
        const size_t length = (size_t)(member_nul - cursor);
        const uint8_t* info = definition + (size_t)index * 8u;
        const uint16_t element_count = logix_le16(info);
        const uint16_t type = logix_le16(info + 2);
        const char* member_name = cursor;
        cursor = member_nul + 1;
        if (is_hidden_member(type, member_name, length)) {
            continue;
        }
        if (zelkc_logix_tag_array_rank(type) > 1) {
            result = ZELKC_LOGIX_ERR_NOT_SUPPORTED;
            break;
        }
        zelkc_logix_tag_info* member = &members->items[members->count];
        std::memset(member, 0, sizeof *member);
        member->id = index;
        member->symbol_type = type;
        if (zelkc_logix_tag_array_rank(type) == 1) {
            member->dims[0] = element_count;
        }
        member->name = logix_strndup(member_name, length);
        if (member->name == nullptr) {
            result = ZELKC_LOGIX_ERR_NO_MEMORY;
            break;
        }
        ++members->count;
    }
    if (result != ZELKC_LOGIX_OK) {
        zelkc_cip_free(template_name);
        zelkc_logix_tag_info_list_free(members);
        return result;
    }
    if (members->count == 0) {
        // Every member was hidden: an empty list owns nothing.
        zelkc_cip_free(members->items);
        members->items = nullptr;
    }
    *name = template_name;
    return ZELKC_LOGIX_OK;
}

uint8_t logix_template_read_rest(zelkc_logix_client* client, const zelkc_cip_buffer* path,
                                 zelkc_logix_template_read* read) {
    bool done = false;
    while (!done) {
        const uint32_t asked = zelkc_logix_template_read_ask(read);
        uint8_t request_data[6];
        logix_put32(request_data, read->offset);
        logix_put16(request_data + 4, (uint16_t)asked);
        zelkc_cip_response reply;
        std::memset(&reply, 0, sizeof reply);
        uint8_t result =
            send_template_request(client, path, kReadTemplate, request_data, sizeof request_data, &reply);
        if (result == ZELKC_LOGIX_OK) {
            result = zelkc_logix_template_fragment_accept(read, asked, reply.general_status, reply.data.data,
                                                          reply.data.size, &done);
        }
        zelkc_cip_response_free(&reply);
        if (result != ZELKC_LOGIX_OK) {
            return result;
        }
    }
    return ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_client_browse_struct_members(zelkc_logix_client* client, zelkc_logix_tag_info* tmpl,
                                                 zelkc_logix_tag_info_list* out) {
    if (out == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    out->count = 0;
    out->items = nullptr;
    if (client == nullptr || tmpl == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (!zelkc_logix_tag_is_struct(tmpl->symbol_type)) {
        return ZELKC_LOGIX_ERR_TYPE_MISMATCH;
    }
    zelkc_cip_buffer path;
    zelkc_cip_path_init(&path);
    uint8_t rc = zelkc_cip_path_add_class(&path, ZELKC_LOGIX_TEMPLATE_CLASS);
    if (rc == ZELKC_CIP_OK) {
        rc = zelkc_cip_path_add_instance(&path, zelkc_logix_tag_template_id(tmpl->symbol_type));
    }
    if (rc != ZELKC_CIP_OK) {
        zelkc_cip_path_free(&path);
        return zelkc_logix_convert_result(rc);
    }

    zelkc_cip_response reply;
    std::memset(&reply, 0, sizeof reply);
    uint8_t result = send_template_request(client, &path, kGetAttributeList, kTemplateAttributes,
                                           sizeof kTemplateAttributes, &reply);
    uint32_t definition_bytes = 0;
    uint16_t member_count = 0;
    if (result == ZELKC_LOGIX_OK) {
        result = zelkc_logix_template_attributes_decode(reply.general_status, reply.data.data,
                                                        reply.data.size, &definition_bytes, &member_count);
    }
    zelkc_cip_response_free(&reply);
    if (result != ZELKC_LOGIX_OK) {
        zelkc_cip_path_free(&path);
        return result;
    }

    zelkc_logix_template_read read;
    read.definition = static_cast<uint8_t*>(zelkc_cip_alloc(definition_bytes));
    read.size = definition_bytes;
    read.offset = 0;
    read.fragments = 0;
    if (read.definition == nullptr) {
        zelkc_cip_path_free(&path);
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    result = logix_template_read_rest(client, &path, &read);
    zelkc_cip_path_free(&path);
    char* name = nullptr;
    if (result == ZELKC_LOGIX_OK) {
        result =
            zelkc_logix_template_definition_decode(read.definition, read.offset, member_count, &name, out);
    }
    zelkc_cip_free(read.definition);
    if (result != ZELKC_LOGIX_OK) {
        return result;
    }
    zelkc_cip_free(tmpl->type_name);
    tmpl->type_name = name;
    return ZELKC_LOGIX_OK;
}

uint8_t expand_tag(zelkc_logix_client* client, zelkc_logix_tag_info* tag, logix_expansion* x,
                   uint32_t depth) {
    if (!zelkc_logix_tag_is_struct(tag->symbol_type)) {
        return ZELKC_LOGIX_OK;
    }
    if (depth >= ZELKC_LOGIX_MAX_DEPTH) {
        return ZELKC_LOGIX_ERR_LIMIT;
    }
    const uint32_t id = zelkc_logix_tag_template_id(tag->symbol_type);
    zelkc_logix_template_entry* entry = x->cache[id];
    if (entry == nullptr) {
        if (x->refused[id] != 0) {
            return ZELKC_LOGIX_OK; // refused earlier in this browse: member-less, no type name
        }
        entry = static_cast<zelkc_logix_template_entry*>(zelkc_cip_alloc(sizeof(zelkc_logix_template_entry)));
        if (entry == nullptr) {
            return ZELKC_LOGIX_ERR_NO_MEMORY;
        }
        std::memset(entry, 0, sizeof *entry);
        entry->info.symbol_type = tag->symbol_type;
        const uint8_t rc = zelkc_logix_client_browse_struct_members(client, &entry->info, &entry->members);
        if (rc != ZELKC_LOGIX_OK) {
            release_entry(entry); // a template that failed to read is not kept
            if (rc == ZELKC_LOGIX_ERR_DEVICE) {
                // The controller will not give this type: its tags stay member-less and the browse
                // goes on. A broken connection, a malformed reply or no memory still end it.
                x->refused[id] = 1;
                ++x->skipped;
                return ZELKC_LOGIX_OK;
            }
            return rc;
        }
        if (!logix_template_cache_admit(client, entry->members.count)) {
            release_entry(entry);
            return ZELKC_LOGIX_ERR_LIMIT;
        }
        x->cache[id] = entry;
    }
    if (entry->busy) {
        return ZELKC_LOGIX_ERR_BAD_REPLY; // the structure contains itself
    }
    const uint32_t member_count = entry->members.count;
    if (member_count > ZELKC_LOGIX_MAX_TAG_INFOS - x->total) {
        return ZELKC_LOGIX_ERR_LIMIT;
    }
    x->total += member_count;
    const char* type_name = entry->info.type_name != nullptr ? entry->info.type_name : "";
    tag->type_name = logix_strndup(type_name, std::strlen(type_name));
    if (tag->type_name == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    if (member_count == 0) {
        return ZELKC_LOGIX_OK;
    }
    tag->children = static_cast<zelkc_logix_tag_info*>(
        zelkc_cip_alloc((size_t)member_count * sizeof(zelkc_logix_tag_info)));
    if (tag->children == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    entry->busy = 1;
    uint8_t result = ZELKC_LOGIX_OK;
    for (uint32_t i = 0; i < member_count; ++i) {
        const zelkc_logix_tag_info* member = &entry->members.items[i];
        zelkc_logix_tag_info* child = &tag->children[i];
        *child = *member;
        child->name =
            member->name != nullptr ? logix_strndup(member->name, std::strlen(member->name)) : nullptr;
        child->type_name = nullptr;
        child->child_count = 0;
        child->children = nullptr;
        ++tag->child_count;
        if (child->name == nullptr) {
            result = ZELKC_LOGIX_ERR_NO_MEMORY;
            break;
        }
        result = expand_tag(client, child, x, depth + 1);
        if (result != ZELKC_LOGIX_OK) {
            break;
        }
    }
    entry->busy = 0;
    return result;
}

uint8_t zelkc_logix_expand_browse_internal(zelkc_logix_client* client, zelkc_logix_tag_info_list* list) {
    if (client == nullptr || list == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (client->templates == nullptr) {
        const size_t cache_bytes = ZELKC_LOGIX_TEMPLATE_SLOTS * sizeof(zelkc_logix_template_entry*);
        client->templates = static_cast<zelkc_logix_template_entry**>(zelkc_cip_alloc(cache_bytes));
        if (client->templates == nullptr) {
            return ZELKC_LOGIX_ERR_NO_MEMORY;
        }
        std::memset(client->templates, 0, cache_bytes);
    }
    // The templates the list needs are asked for in packets first; whatever that leaves out is
    // read one request at a time below, where its failure is the browse's failure.
    client->skipped_templates = 0;
    logix_expansion x;
    x.cache = client->templates;
    x.total = list->count;
    x.skipped = 0;
    x.refused = static_cast<uint8_t*>(zelkc_cip_alloc(ZELKC_LOGIX_TEMPLATE_SLOTS));
    if (x.refused == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    std::memset(x.refused, 0, ZELKC_LOGIX_TEMPLATE_SLOTS);
    uint8_t result = logix_templates_prefetch(client, list);
    for (uint32_t i = 0; i < list->count && result == ZELKC_LOGIX_OK; ++i) {
        result = expand_tag(client, &list->items[i], &x, 0);
    }
    zelkc_cip_free(x.refused);
    client->skipped_templates = result == ZELKC_LOGIX_OK ? x.skipped : 0;
    return result;
}

uint32_t zelkc_logix_client_last_browse_skipped_templates(const zelkc_logix_client* client) {
    return client != nullptr ? client->skipped_templates : 0;
}

} // extern "C"
