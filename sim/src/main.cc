// logix-sim: serves a simulated Logix controller over EtherNet/IP until interrupted, or writes
// a large controller file for benchmarks.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "logixsim/server.h"
#include "platform.h"

namespace {

const char* const kUsage =
    "usage: logix-sim [options] [controller.json]\n"
    "       logix-sim --generate <out.json> [--tags N] [--programs N] [--program-tags N] [--types N]\n"
    "                 [--depth N] [--seed N] [--max-members N]\n"
    "\n"
    "Serves the controller described by controller.json (the built-in demo controller when none\n"
    "is given) until interrupted.\n"
    "  --host <address>            address to listen on (default 127.0.0.1)\n"
    "  --port <n>                  TCP port (default 44818; 0 picks a free port)\n"
    "  --slot <n>                  backplane slot of the controller (default 0)\n"
    "  --live-interval-ms <n>      period of the live-value updates (default 1000; 0 stops them)\n"
    "  --idle-close-ms <n>         close a TCP connection without a session after n ms without a\n"
    "                              byte from its client (default 60000; 0 never)\n"
    "  --rtt-ms <n>                each reply leaves n ms after its request arrived, per connection\n"
    "                              (a network round trip; default 0)\n"
    "  --service-us <n>            the controller works n us per request, one request at a time over\n"
    "                              all connections (default 0)\n"
    "  --max-connections <n>       refuse class 3 connections beyond n open at once (0x0113, out of\n"
    "                              connections; default 0: 32)\n"
    "  --print-demo                print the built-in demo controller file and exit\n"
    "Faults:\n"
    "  --reply-delay-ms <n>        delay every reply\n"
    "  --close-after-requests <n>  close each connection when its n-th request arrives\n"
    "  --close-mid-reply           send half of each reply, then close\n"
    "  --stall-after-requests <n>  stop answering after n requests in all (connections stay open)\n"
    "  --drop-idle-connections <ms> close a class 3 connection idle longer than ms\n"
    "  --wrong-sender-context      answer with a sender context other than the request's\n"
    "  --wrong-command             answer with a command other than the request's\n"
    "  --refuse-sessions           answer RegisterSession with an error status\n"
    "  --packet-limit <n>          largest Multiple Service Packet request in bytes (default 504;\n"
    "                              a connection's own size over a connection)\n"
    "  --reply-limit <n>           data bytes per browse page and fragment (default 500)\n"
    "  --refuse-template <name>    answer that template's attribute requests and reads with 0x05\n"
    "Quirks of other devices:\n"
    "  --no-multiple-service       answer Multiple Service Packets with 0x08 (service not supported)\n"
    "  --connected-reply-id <id>   name in connected replies the O->T connection id (o2t), an id of\n"
    "                              no connection of ours (other), or the T->O id (t2o, default)\n"
    "  --refuse-writes             answer every write with 0x10 (device state conflict)\n"
    "  --malformed-error-replies   send CIP error replies one byte short\n"
    "  --fail-first-read-after-connect  answer the first request of each class 3 connection with one byte\n"
    "  --no-unconnected-send       answer Unconnected Send with 0x08: a slot is reached only through a\n"
    "                              Forward Open's connection path\n"
    "  --encapsulation-refuse <service> answer requests of that CIP service (e.g. 85 for 0x55) with\n"
    "                              encapsulation status 0x0008 instead of a CIP reply\n"
    "  --no-symbol-object          answer requests to the Symbol object (class 0x6B) with 0x05\n"
    "  --strings <form>            STRING reads as logix (default), cip (type 0xD0, 16-bit length)\n"
    "                              or short (type 0xDA, 8-bit length)\n";

[[noreturn]] void usage_error(const std::string& message) {
    std::cerr << "logix-sim: " << message << "\n\n" << kUsage;
    std::exit(2);
}

long long number(int& i, int argc, char** argv, long long min, long long max) {
    std::string option = argv[i];
    if (i + 1 >= argc)
        usage_error(option + " needs a value");
    const char* text = argv[++i];
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        usage_error(option + ": \"" + text + "\" is not a number from " + std::to_string(min) + " to " +
                    std::to_string(max));
    return v;
}

} // namespace

int main(int argc, char** argv) {
    logixsim::Options options;
    logixsim::GeneratorOptions gen;
    std::string controller_file;
    std::string generate_to;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--print-demo") {
            std::cout << logixsim::demo_controller_json();
            return 0;
        } else if (a == "--host") {
            if (i + 1 >= argc)
                usage_error("--host needs a value");
            options.host = argv[++i];
        } else if (a == "--port") {
            options.port = static_cast<uint16_t>(number(i, argc, argv, 0, 65535));
        } else if (a == "--slot") {
            options.slot = static_cast<int>(number(i, argc, argv, 0, 255));
        } else if (a == "--live-interval-ms") {
            options.live_interval_ms = static_cast<int>(number(i, argc, argv, 0, 86400000));
        } else if (a == "--idle-close-ms") {
            options.idle_close_ms = static_cast<int>(number(i, argc, argv, 0, 86400000));
        } else if (a == "--rtt-ms") {
            options.rtt_ms = static_cast<int>(number(i, argc, argv, 0, 60000));
        } else if (a == "--service-us") {
            options.service_us = static_cast<int>(number(i, argc, argv, 0, 10000000));
        } else if (a == "--max-connections") {
            options.max_connections = static_cast<int>(number(i, argc, argv, 0, 32));
        } else if (a == "--reply-delay-ms") {
            options.faults.reply_delay_ms = static_cast<int>(number(i, argc, argv, 0, 86400000));
        } else if (a == "--close-after-requests") {
            options.faults.close_after_requests = static_cast<int>(number(i, argc, argv, -1, 1 << 30));
        } else if (a == "--stall-after-requests") {
            options.faults.stall_after_requests = static_cast<int>(number(i, argc, argv, 0, 1 << 30));
        } else if (a == "--drop-idle-connections") {
            options.faults.drop_idle_connections_ms = static_cast<int>(number(i, argc, argv, 1, 86400000));
        } else if (a == "--close-mid-reply") {
            options.faults.close_mid_reply = true;
        } else if (a == "--wrong-sender-context") {
            options.faults.wrong_sender_context = true;
        } else if (a == "--wrong-command") {
            options.faults.wrong_command = true;
        } else if (a == "--refuse-sessions") {
            options.faults.refuse_sessions = true;
        } else if (a == "--packet-limit") {
            options.faults.packet_limit = static_cast<size_t>(number(i, argc, argv, 0, 1 << 30));
            options.faults.packet_limit_on_connections = true; // a limit given holds everywhere
        } else if (a == "--refuse-template") {
            if (i + 1 >= argc)
                usage_error("--refuse-template needs a type name");
            options.faults.refused_templates.push_back(argv[++i]);
        } else if (a == "--no-multiple-service") {
            options.faults.no_multiple_service = true;
        } else if (a == "--connected-reply-id") {
            const std::string id = i + 1 < argc ? argv[i + 1] : "";
            if (id != "o2t" && id != "t2o" && id != "other")
                usage_error("--connected-reply-id needs o2t, other or t2o");
            ++i;
            options.faults.connected_reply_ot_id = id == "o2t";
            options.faults.connected_reply_other_id = id == "other";
        } else if (a == "--no-symbol-object") {
            options.faults.no_symbol_object = true;
        } else if (a == "--refuse-writes") {
            options.faults.refuse_writes = true;
        } else if (a == "--malformed-error-replies") {
            options.faults.malformed_error_replies = true;
        } else if (a == "--fail-first-read-after-connect") {
            options.faults.fail_first_read_after_connect = true;
        } else if (a == "--no-unconnected-send") {
            options.faults.no_unconnected_send = true;
        } else if (a == "--encapsulation-refuse") {
            options.faults.encapsulation_refused_service = static_cast<uint8_t>(number(i, argc, argv, 1, 0x7F));
        } else if (a == "--strings") {
            const std::string form = i + 1 < argc ? argv[i + 1] : "";
            if (form != "logix" && form != "cip" && form != "short")
                usage_error("--strings needs logix, cip or short");
            ++i;
            options.faults.strings = form == "cip"     ? logixsim::Faults::Strings::Cip
                                     : form == "short" ? logixsim::Faults::Strings::Short
                                                       : logixsim::Faults::Strings::Logix;
        } else if (a == "--reply-limit") {
            options.faults.reply_limit = static_cast<size_t>(number(i, argc, argv, 1, 1 << 30));
        } else if (a == "--generate") {
            if (i + 1 >= argc)
                usage_error("--generate needs an output file");
            generate_to = argv[++i];
        } else if (a == "--tags") {
            gen.tags = static_cast<size_t>(number(i, argc, argv, 0, 1000000));
        } else if (a == "--programs") {
            gen.programs = static_cast<size_t>(number(i, argc, argv, 0, 10000));
        } else if (a == "--program-tags") {
            gen.program_tags = static_cast<size_t>(number(i, argc, argv, 0, 1000000));
        } else if (a == "--types") {
            gen.types = static_cast<size_t>(number(i, argc, argv, 0, 3800));
        } else if (a == "--depth") {
            gen.depth = static_cast<size_t>(number(i, argc, argv, 1, 60));
        } else if (a == "--max-members") {
            gen.max_members = static_cast<size_t>(number(i, argc, argv, 3, 1000));
        } else if (a == "--seed") {
            gen.seed = static_cast<uint32_t>(number(i, argc, argv, 0, 0xFFFFFFFFll));
        } else if (!a.empty() && a[0] == '-') {
            usage_error("unknown option " + a);
        } else if (controller_file.empty()) {
            controller_file = a;
        } else {
            usage_error("only one controller file may be given");
        }
    }

    try {
        if (!generate_to.empty()) {
            std::string text = logixsim::generate_controller_json(gen);
            logixsim::parse_controller(text, generate_to); // what is written must load
            std::ofstream out(generate_to, std::ios::binary);
            out << text;
            out.close();
            if (!out)
                throw std::runtime_error(generate_to + ": cannot write the file");
            std::cout << "logix-sim: wrote " << generate_to << " (" << gen.tags << " controller tags, "
                      << gen.programs << " programs of " << gen.program_tags << " tags, " << gen.types
                      << " types)" << std::endl;
            return 0;
        }

        auto controller = controller_file.empty() ? logixsim::demo_controller()
                                                  : logixsim::load_controller(controller_file);

        // A quit request (SIGINT, SIGTERM; Ctrl-C or a console close on Windows) ends the server
        // cleanly: it is held from before the server's threads start and awaited here.
        logixsim::platform::hold_quit_requests();

        logixsim::Server server(controller, options);
        server.start();
        std::cout << "logix-sim listening on " << options.host << ":" << server.port() << std::endl;
        logixsim::platform::wait_for_quit();
        server.stop();
        std::cout << "logix-sim stopped" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    return 0;
}
