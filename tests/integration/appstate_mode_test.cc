// The connection mode of AppState against the simulator on 127.0.0.1: a class 3 connection with
// 4002-byte packets by default, unconnected messaging when asked, the same reads either way.
#include "AppState.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <logixsim/server.h>

namespace {

TEST(AppStateMode, ConnectsWithLargePacketsUnlessToldToStayUnconnected) {
    logixsim::Options options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.live_interval_ms = 0;
    logixsim::Server server(logixsim::demo_controller(), options);
    server.start();

    const struct {
        const char* what;
        bool set;
        uint8_t mode;
        uint32_t packet_size;
    } cases[] = {
        {"default", false, 0, 4000},
        {"unconnected", true, ZELKC_LOGIX_MODE_UNCONNECTED, 500},
        {"auto", true, ZELKC_LOGIX_MODE_AUTO, 4000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AppState state;
        if (c.set) {
            state.setConnectionMode(c.mode);
        }
        ASSERT_EQ(state.connect("127.0.0.1", server.port()), 0);
        EXPECT_EQ(state.plcType(), "1756-L83E/B");
        state.callPlc([&](zelkc_logix_client* client) {
            EXPECT_EQ(zelkc_logix_client_packet_size(client), c.packet_size);
            zelkc_logix_value v{};
            EXPECT_EQ(zelkc_logix_client_read_atomic_value(client, "DintTag", &v), ZELKC_LOGIX_OK);
            EXPECT_EQ(v.value.i32, 123456);
        });
        state.disconnect();
        EXPECT_FALSE(state.getStatus());
    }
}

} // namespace
