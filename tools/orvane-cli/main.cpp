// orvane-cli: browse, read and watch a Logix controller from the shell.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <system_error>

#include "Platform.h"
#include "cli.h"

namespace {

const char* const kAddressHelp =
    "HOST[:PORT][/SLOT]: the controller's host name or IPv4 address, its EtherNet/IP port (default "
    "44818) and, for a controller behind a backplane, its slot (0-255)";

const char* const kFooter = "Exit status: 0 all good, 1 bad usage, 2 cannot connect or the connection "
                            "dropped, 3 some tags failed to read or the controller refused a request.";

const char* const kCommands[] = {"identity", "browse", "read", "write", "watch"};

// One usage line per command, shown after a usage error (the full help only with --help).
std::string short_usage(const std::string& command) {
    const char* const common = "[--timeout MS] [--unconnected | --packet-size 504|4002]";
    if (command == "identity") {
        return fmt::format("Usage: orvane-cli identity ADDRESS [--json] {}\n", common);
    }
    if (command == "browse") {
        return fmt::format("Usage: orvane-cli browse ADDRESS [--program NAME | --all] [--elements] "
                           "[--filter TEXT] [--json] {}\n",
                           common);
    }
    if (command == "read") {
        return fmt::format("Usage: orvane-cli read ADDRESS TAG... [--count N | --whole-arrays] [--json] {}\n", common);
    }
    if (command == "write") {
        return fmt::format("Usage: orvane-cli write ADDRESS TAG=VALUE... [--yes | --dry-run] [--json] {}\n", common);
    }
    if (command == "watch") {
        return fmt::format("Usage: orvane-cli watch ADDRESS TAG... [--interval MS] [--count N] [--csv | --mqtt URL "
                           "[--name NAME]] | watch --config FILE --mqtt URL; [--on-change [--heartbeat S]] "
                           "[--mqtt-cafile FILE] [--mqtt-user USER] [--sparkplug GROUP/EDGE_NODE [--primary-host ID]] "
                           "{}\n",
                           common);
    }
    return "Usage: orvane-cli identity|browse|read|write|watch ADDRESS ... (orvane-cli --help for more)\n";
}

// The address argument, --timeout and the connection mode, which every command takes.
CLI::Option* add_common(CLI::App* command, cli::CommonOptions* common, bool address_required = true) {
    CLI::Option* address = command
        ->add_option_function<std::string>(
            "ADDRESS",
            [common](const std::string& text) {
                const std::string problem = cli::parse_address(text, &common->address);
                if (!problem.empty()) {
                    throw CLI::ValidationError("address", problem);
                }
            },
            kAddressHelp)
        ->required(address_required)
        ->type_name("");
    command->add_option("--timeout", common->timeout_ms, "time-out of every exchange, in ms (default 5000)")
        ->check(CLI::Range(1u, 600000u))
        ->type_name("MS");
    CLI::Option* unconnected =
        command->add_flag_callback(
            "--unconnected", [common] { common->address.mode = ZELKC_LOGIX_MODE_UNCONNECTED; },
            "send every request as an unconnected message (by default a class 3 connection of 4002 "
            "bytes is opened, else one of 504, else messages go unconnected)");
    command
        ->add_option_function<uint32_t>(
            "--packet-size",
            [common](uint32_t size) {
                common->address.mode = size == 504 ? ZELKC_LOGIX_MODE_SMALL : ZELKC_LOGIX_MODE_AUTO;
            },
            "the largest class 3 connection to ask for: 4002 (then 504) or 504 bytes")
        ->check(CLI::IsMember({504u, 4002u}))
        ->type_name("504|4002")
        ->excludes(unconnected);
    command->footer(kFooter);
    return address;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Browse, read and watch the tags of a Logix controller over EtherNet/IP. Results go to "
                 "standard output; messages and the progress of a browse go to standard error."};
    app.name("orvane-cli");
    app.require_subcommand(1, 1);
    app.footer(kFooter);
    app.set_version_flag("--version", "orvane-cli " ORVANE_VERSION);

    cli::CommonOptions common;
    bool json = false;

    CLI::App* identity = app.add_subcommand(
        "identity", "Show the controller's vendor, device type, product code, revision, serial number and "
                    "product name.");
    add_common(identity, &common);
    identity->add_flag("--json", json, "print one JSON object");

    cli::BrowseOptions browse_options;
    CLI::App* browse = app.add_subcommand(
        "browse", "List every tag with its full path (Tag, Tag.Member, Program:Main.Tag), its type and its "
                  "dimensions, structures expanded. Without --program or --all: the controller-scope tags.");
    add_common(browse, &common);
    CLI::Option* program =
        browse->add_option("--program", browse_options.program, "only the tags of the program NAME")
            ->type_name("NAME");
    browse->add_flag("--all", browse_options.all, "the controller-scope tags and every program's tags")
        ->excludes(program);
    browse
        ->add_option("--lanes", browse_options.lanes,
                     "browse over up to N connections at once: the controller tags in ranges and, with "
                     "--all, the programs side by side (default 4; a controller that grants fewer gets "
                     "fewer; 1: one connection, as before)")
        ->check(CLI::Range(1u, 8u))
        ->type_name("N");
    browse->add_flag("--elements", browse_options.elements,
                     "also list array elements (Tag[1], Tag[1].Member) and so the members of arrays of "
                     "structures");
    browse
        ->add_option("--filter", browse_options.filter,
                     "show only tags whose name or path contains TEXT (ignoring case), with the tags "
                     "above them")
        ->type_name("TEXT");
    browse->add_flag("--json", browse_options.json, "print one JSON document with the tree");

    std::vector<std::string> tags;
    uint32_t count = 0; // 0: one value per tag
    bool whole_arrays = false;
    CLI::App* read = app.add_subcommand(
        "read", "Read tags in one batch and print each value as the application shows it (STRINGs as their "
                "text); for a tag that fails, a plain-language reason with the CIP status.");
    add_common(read, &common);
    read->add_option("TAG", tags, "tag paths, e.g. Speed, Motor.Status.Running, Data[3], Program:Main.Step")
        ->required()
        ->type_name("");
    read->add_option("--count", count,
                     "read N array elements from each tag, element by element (without it a tag is "
                     "read as written: an array named without an index gives its first element)")
        ->check(CLI::Range(1u, 65535u))
        ->type_name("N");
    read->add_flag("--whole-arrays", whole_arrays,
                   "read each array named without an index whole, up to 1000 elements; its size comes from "
                   "a browse of its scope")
        ->excludes("--count");
    read->add_flag("--json", json, "print one JSON array");

    std::vector<std::string> assignments;
    cli::WriteOptions write_options;
    CLI::App* write = app.add_subcommand(
        "write", "Change tag values: reads what each tag holds, prints the plan (Tag  42 -> 43), asks y/N on a "
                 "terminal, writes every value in one batch and reads them back. Each attempt is recorded in "
                 "$XDG_STATE_HOME/orvane/writes.jsonl. Values: decimal, 16#1F, 0x1F, 2#1010, 1.5e3, true/false; "
                 "a STRING's text as it is; Tag.5 is bit 5 of an integer.");
    add_common(write, &common);
    write->add_option("TAG=VALUE", assignments, "what to write, e.g. Speed=1500 Motor.Enable=1 Name=Line 2")
        ->required()
        ->type_name("");
    CLI::Option* yes = write->add_flag("--yes", write_options.yes, "write without asking");
    write->add_flag("--dry-run", write_options.dry_run, "check names, types and ranges and print the plan; write nothing")
        ->excludes(yes);
    write->add_flag("--json", write_options.json, "print the outcomes as one JSON array");
    cli::WatchOptions watch_options;
    CLI::App* watch = app.add_subcommand(
        "watch",
        "Read tags every interval and print one line per cycle; Ctrl-C ends after the current cycle. A lost "
        "connection is reported on standard error and reconnected (0.5, 1, 2, 4 s, then every 5 s); no rows "
        "are printed for the outage.");
    CLI::Option* watch_address = add_common(watch, &common, false);
    watch->add_option("TAG", tags, "tag paths, as for read")->type_name("");
    watch->add_option("--interval", watch_options.interval_ms, "time between cycles in ms (default 1000)")
        ->check(CLI::Range(0u, 86400000u))
        ->type_name("MS");
    watch->add_option("--count", watch_options.count, "stop after N cycles (default: until Ctrl-C)")
        ->type_name("N");
    watch->add_flag("--exit-on-loss", watch_options.exit_on_loss,
                    "end with exit status 2 when the connection is lost instead of reconnecting");
    watch->add_option("--lanes", watch_options.lanes,
                      "a cycle that needs more than one packet is read over up to N connections at once "
                      "(default 4; 1: one connection)")
        ->check(CLI::Range(1u, 8u))
        ->type_name("N");
    CLI::Option* csv = watch->add_flag(
        "--csv", watch_options.csv,
        "a header line, then time,tag1,tag2,... per cycle with ISO 8601 UTC times; a tag that "
        "fails leaves its field empty and its reason goes to standard error");
    mqtt::MqttOptions mqtt;
    std::string controller_name, config_path;
    CLI::Option* mqtt_url =
        watch
            ->add_option_function<std::string>(
                "--mqtt",
                [&mqtt](const std::string& text) {
                    // The prefix is checked once --sparkplug is known (Sparkplug names its own topics).
                    const std::string problem = mqtt::parse_mqtt_url(text, &mqtt.url, false);
                    if (!problem.empty()) {
                        throw CLI::ValidationError("--mqtt", problem);
                    }
                },
                "publish every value to an MQTT broker (retained, QoS 1) under PREFIX/CONTROLLER/TAG as JSON "
                "instead of printing it; mqtts:// for TLS")
            ->type_name("mqtt://HOST[:PORT]/PREFIX")
            ->excludes(csv);
    CLI::Option* name =
        watch->add_option("--name", controller_name, "the controller's topic level (default HOST:PORT)")
            ->type_name("NAME")
            ->needs(mqtt_url);
    watch
        ->add_option("--config", config_path,
                     "watch every controller of a plant file (JSON: controllers with address, name, rate in "
                     "ms, tags and filters such as PROGRAM:Line1 or Motor*.Status.Speed), each on its own "
                     "connection")
        ->type_name("FILE")
        ->needs(mqtt_url)
        ->excludes(watch_address)
        ->excludes(name);
    watch->add_flag("--on-change", mqtt.on_change,
                    "publish a value only when it changed, and every value once per heartbeat")
        ->needs(mqtt_url);
    watch->add_option("--heartbeat", mqtt.heartbeat_s, "with --on-change: seconds between full publishes (default 60)")
        ->check(CLI::Range(1u, 86400u))
        ->type_name("S")
        ->needs(mqtt_url);
    watch->add_option("--mqtt-cafile", mqtt.cafile, "CA certificates to check the broker with (turns TLS on)")
        ->check(CLI::ExistingFile)
        ->type_name("FILE")
        ->needs(mqtt_url);
    watch->add_option("--mqtt-user", mqtt.user, "broker user name; the password is read from ORVANE_MQTT_PASSWORD")
        ->type_name("USER")
        ->needs(mqtt_url);
    mqtt::SparkplugOptions sparkplug;
    CLI::Option* sparkplug_id =
        watch
            ->add_option_function<std::string>(
                "--sparkplug",
                [&sparkplug](const std::string& text) {
                    const std::string problem = mqtt::parse_sparkplug_id(text, &sparkplug);
                    if (!problem.empty()) {
                        throw CLI::ValidationError("--sparkplug", problem);
                    }
                },
                "publish as one Sparkplug B edge node (each controller a device) instead of JSON topics; the "
                "URL needs no prefix")
            ->type_name("GROUP/EDGE_NODE")
            ->needs(mqtt_url);
    watch->add_option("--primary-host", sparkplug.primary_host,
                      "with --sparkplug: birth only while this host application's STATE is online")
        ->type_name("ID")
        ->needs(sparkplug_id);
    watch->callback([&] {
        if (config_path.empty() && (watch_address->count() == 0 || tags.empty())) {
            throw CLI::ValidationError("watch needs ADDRESS and at least one TAG, or --config FILE");
        }
        if (!config_path.empty() && !tags.empty()) {
            throw CLI::ValidationError("--config takes its tags from the file, not from the command line");
        }
        if (mqtt_url->count() != 0 && sparkplug_id->count() == 0) {
            mqtt::MqttUrl url;
            const std::string problem = mqtt::parse_mqtt_url(mqtt_url->as<std::string>(), &url);
            if (!problem.empty()) {
                throw CLI::ValidationError("--mqtt", problem);
            }
        }
        if (sparkplug_id->count() != 0 && !sparkplug.primary_host.empty() &&
            !mqtt::is_topic_level(sparkplug.primary_host)) {
            throw CLI::ValidationError("--primary-host", "the id must not be empty or hold '/', '+' or '#'");
        }
        if (name->count() != 0 && !mqtt::is_topic_level(controller_name)) {
            throw CLI::ValidationError("--name", "the name must not be empty or hold '/', '+' or '#'");
        }
    });

    // A first word that names no command is said so plainly, rather than as a missing command.
    if (argc > 1 && argv[1][0] != '-' &&
        std::find(std::begin(kCommands), std::end(kCommands), std::string(argv[1])) == std::end(kCommands)) {
        std::cerr << "orvane-cli: unknown command '" << argv[1] << "' (commands: identity, browse, read, write, watch)\n"
                  << short_usage("");
        return cli::kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "orvane-cli: " << e.what() << "\n";
        std::cerr << short_usage(app.get_subcommands().empty() ? "" : app.get_subcommands().front()->get_name());
        return cli::kExitUsage;
    }

    // The libraries need SIGPIPE ignored so that a controller closing its socket is an error code;
    // a closed standard output is then seen as EPIPE below.
    platform::ignoreBrokenPipeSignal();
    int status = cli::kExitOk;
    try {
        if (identity->parsed()) {
            status = cli::run_identity(common, json);
        } else if (browse->parsed()) {
            status = cli::run_browse(common, browse_options);
        } else if (read->parsed()) {
            status = cli::run_read(common, tags, count, whole_arrays, json);
        } else if (write->parsed()) {
            status = cli::run_write(common, assignments, write_options);
        } else if (mqtt_url->count() != 0) {
            std::vector<cli::ControllerSpec> controllers;
            if (!config_path.empty()) {
                const std::string problem = cli::load_plant(config_path, watch_options.interval_ms, &controllers);
                if (!problem.empty()) {
                    fmt::print(stderr, "orvane-cli: {}\n", problem);
                    return cli::kExitUsage;
                }
            } else {
                controllers.push_back({common.address,
                                       name->count() != 0 ? controller_name
                                                          : cli::default_controller_name(common.address),
                                       watch_options.interval_ms, tags, {}});
            }
            if (const char* password = std::getenv("ORVANE_MQTT_PASSWORD")) {
                mqtt.password = password;
            }
            status = cli::run_mqtt_watch(common, controllers, watch_options, mqtt,
                                         sparkplug_id->count() != 0 ? &sparkplug : nullptr);
        } else {
            status = cli::run_watch(common, tags, watch_options);
        }
        if (std::fflush(stdout) != 0) {
            throw std::system_error(errno, std::generic_category(), "cannot write the results");
        }
    } catch (const cli::ConnectionError& e) {
        fmt::print(stderr, "orvane-cli: {}\n", e.what());
        return cli::kExitConnection;
    } catch (const cli::NotFoundError& e) {
        fmt::print(stderr, "orvane-cli: {}\n", e.what());
        return cli::kExitTagsFailed;
    } catch (const std::system_error& e) {
        if (e.code() == std::errc::broken_pipe) {
            // The reader went away (e.g. `| head`): end as a pipeline expects.
            platform::endAsBrokenPipe();
        }
        fmt::print(stderr, "orvane-cli: {}\n", e.what());
        return cli::kExitConnection;
    } catch (const std::exception& e) {
        fmt::print(stderr, "orvane-cli: {}\n", e.what());
        return cli::kExitConnection;
    }
    return status;
}
