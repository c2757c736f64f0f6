// The session client against a device that trickles its reply: the time-out bounds the whole
// exchange, and a cancel from another thread ends it at once. Judged by the device's own accounts
// (bytes trickled before the client hung up), never by the clock.
#include "../support/hostile_device.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Registers a session with the device and sends one SendRRData (the trickled second request).
uint8_t exchange(zelkc_cip_client* client, const hostile::Device& device, uint32_t timeout_ms) {
    uint8_t rc = zelkc_cip_client_connect(client, "127.0.0.1", device.port(), timeout_ms);
    if (rc != ZELKC_CIP_OK)
        return rc;
    static const uint8_t kIdentity[] = {0, 0,    0, 0, 0, 0,    2,    0,    0,    0,    0,
                                        0, 0xB2, 0, 6, 0, 0x01, 0x02, 0x20, 0x01, 0x24, 0x01};
    zelkc_cip_eip_response reply{};
    rc = zelkc_cip_client_send_eip(client, ZELKC_CIP_EIP_SEND_RR_DATA, kIdentity, sizeof kIdentity, &reply);
    zelkc_cip_eip_response_free(&reply);
    return rc;
}

// A reply that claims 2,000 bytes and trickles one every 20 ms would take 40 s; 25 ms apart, a
// 24-byte header alone takes 600 ms. Under a 200 ms time-out for the exchange, neither completes:
// the client hangs up with bytes still to come. (A bound per wait would take all of them, then fail
// on the device's close instead.)
TEST(CipHostile, TheTimeOutBoundsTheWholeExchangeNotEachWait) {
    const struct {
        int drip_ms;
        uint16_t claim;
    } cases[] = {{20, 2000}, {25, 0}};
    for (const auto& c : cases) {
        hostile::Device device({.drip_request = 2, .drip_ms = c.drip_ms, .drip_claim = c.claim});
        zelkc_cip_client* client = zelkc_cip_client_create();
        EXPECT_EQ(exchange(client, device, 200), ZELKC_CIP_ERR_TIMEOUT);
        device.wait_drip_over();
        EXPECT_TRUE(device.client_gave_up()) << c.drip_ms;
        EXPECT_LT(device.dripped(), 24) << "the client waited for every byte";
        EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_DISCONNECTED);
        zelkc_cip_client_destroy(client);
    }
}

// A cancel from another thread while a reply trickles under a one-minute time-out ends the exchange
// within a byte or two of the device's trickle; while cancelled, a connect fails without a word on
// the network, and after clearing, the client works again.
TEST(CipHostile, ACancelEndsATrickledExchangeAtOnceAndHoldsUntilCleared) {
    hostile::Device device({.drip_request = 2, .drip_ms = 50, .drip_claim = 600});
    zelkc_cip_client* client = zelkc_cip_client_create();
    int at_cancel = 0;
    std::thread canceller([&] {
        at_cancel = device.wait_dripped(3);
        zelkc_cip_client_cancel(client);
    });
    EXPECT_EQ(exchange(client, device, 60000), ZELKC_CIP_ERR_CANCELLED);
    canceller.join();
    device.wait_drip_over();
    EXPECT_TRUE(device.client_gave_up());
    EXPECT_LE(device.dripped() - at_cancel, 2) << "bytes trickled after the cancel";
    EXPECT_TRUE(zelkc_cip_client_cancelled(client));
    EXPECT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", device.port(), 60000), ZELKC_CIP_ERR_CANCELLED);
    zelkc_cip_client_cancel_clear(client);
    EXPECT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", device.port(), 60000), ZELKC_CIP_OK);
    zelkc_cip_client_destroy(client);
}

// A device that sends nothing at all after the request: under a ten-minute time-out only the
// cancel's shutdown of the socket can end the wait (a cancel that only set its flag would leave the
// exchange waiting until ctest gives up on it).
TEST(CipHostile, ACancelEndsAWaitOnASilentDevice) {
    hostile::Device device({.drip_request = 2, .drip_ms = 600000, .drip_claim = 0});
    zelkc_cip_client* client = zelkc_cip_client_create();
    std::thread canceller([&] {
        device.wait_trickling();
        zelkc_cip_client_cancel(client);
    });
    EXPECT_EQ(exchange(client, device, 600000), ZELKC_CIP_ERR_CANCELLED);
    canceller.join();
    device.wait_drip_over();
    EXPECT_TRUE(device.client_gave_up());
    EXPECT_EQ(device.dripped(), 0);
    zelkc_cip_client_destroy(client);
}

} // namespace
