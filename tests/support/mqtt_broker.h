// Test kit for the MQTT tests: a mosquitto broker on a free loopback port (stopped by its pid), and
// the child-process helpers it is built on.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "child_process.h"

namespace mqtt_kit {

using namespace proc_kit;

// A mosquitto broker on a free loopback port with a minimal configuration; `name` keeps the files
// of tests that run side by side apart.
class Broker {
public:
    explicit Broker(const std::string& name) : port_(free_port()), name_(name) {
        std::ofstream(name_ + ".conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n";
        start();
    }
    ~Broker() { stop(); }
    // Stopped and started again on the same port (its retained messages are lost: no persistence).
    void start() {
        pid_ = spawn({MOSQUITTO_BROKER, "-c", name_ + ".conf", "-v"}, log());
        EXPECT_TRUE(eventually([&] { return listening(port_); })) << slurp(log());
    }
    void stop() {
        if (pid_ > 0)
            finish(pid_, SIGTERM);
        pid_ = -1;
    }
    uint16_t port() const { return port_; }
    std::string log() const { return name_ + ".log"; }

private:
    uint16_t port_;
    std::string name_;
    pid_t pid_ = -1;
};

} // namespace mqtt_kit
