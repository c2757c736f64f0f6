// The connection mode of AppState against the simulator on 127.0.0.1: a class 3 connection with
// 4002-byte packets by default, unconnected messaging when asked, the same reads either way.
#include "AppState.h"

#include <gtest/gtest.h>
#include <logixsim/server.h>

TEST(AppStateMode, ConnectsWithLargePacketsUnlessToldToStayUnconnected) {
    logixsim::Server server(logixsim::demo_controller(), {.port = 0, .faults = {}, .live_interval_ms = 0});
    server.start();
    // {mode set (-1: none), packet size}
    for (const auto& [mode, packetSize] : {std::pair<int, uint32_t>{-1, 4000},
                                           {ZELKC_LOGIX_MODE_UNCONNECTED, 500},
                                           {ZELKC_LOGIX_MODE_AUTO, 4000}}) {
        AppState state;
        if (mode >= 0)
            state.setConnectionMode(static_cast<uint8_t>(mode));
        ASSERT_EQ(state.connect("127.0.0.1", server.port()), 0);
        state.callPlc([&](zelkc_logix_client* client) {
            EXPECT_EQ(zelkc_logix_client_packet_size(client), packetSize) << mode;
            zelkc_logix_value v{};
            EXPECT_EQ(zelkc_logix_client_read_atomic_value(client, "DintTag", &v), ZELKC_LOGIX_OK);
            EXPECT_EQ(v.value.i32, 123456);
        });
    }
}
