// A browse list on its way from a pool task to the main thread. It is freed with the last reference
// unless the completion took it over, so a completion that never runs (its owner or the application
// went first) leaks nothing.
#pragma once

#include <zelkc_logix.h>

struct ListHandoff {
    zelkc_logix_tag_info_list list{};

    ListHandoff() = default;
    ListHandoff(const ListHandoff&) = delete;
    ListHandoff& operator=(const ListHandoff&) = delete;
    ~ListHandoff() { zelkc_logix_tag_info_list_free(&list); }

    // Hands the list over; the handoff is empty afterwards.
    zelkc_logix_tag_info_list take() {
        zelkc_logix_tag_info_list out = list;
        list = zelkc_logix_tag_info_list{};
        return out;
    }
};
