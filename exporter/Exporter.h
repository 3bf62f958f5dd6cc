#pragma once
// qarn-exporter: the monitor's figures for Prometheus, served on /metrics or written to a file
// for node_exporter's textfile collector.
//
//   qarn-exporter [--simulate | --socket PATH] [--listen ADDRESS:PORT | --textfile DIR] [--interval S]
//
// Exit status: 0 stopped by SIGINT or SIGTERM (or --help), 1 it could not start, 2 a bad command line.

#include <prometheus/metric_family.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qarn {

class Exporter {
public:
    static constexpr int kExitFailed = 1;
    static constexpr int kExitUsage = 2;
    static constexpr const char* kTextfileName = "qarn.prom";
    static constexpr const char* kTextfileTemporary = ".qarn.prom.tmp";

    struct ListenAddress {
        std::string host; // without the brackets of an IPv6 address
        uint16_t port = 0;
        bool ipv6 = false;
        // As civetweb and users write it: 127.0.0.1:9864, [::1]:9864.
        std::string text() const;
    };

    // The whole program: arguments after the program name.
    static int main(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
    static const char* usage();

    // A numeric IPv4 address or a bracketed IPv6 one, a colon and a port from 0 (any free one)
    // to 65535; nothing for anything else.
    static std::optional<ListenAddress> parseListen(const std::string& text);
    // Seconds with an optional fraction, from 1 to 3600: the service is asked at most once a second.
    static std::optional<std::chrono::milliseconds> parseInterval(const std::string& text);
    // Why nothing can listen there, in words; empty when a socket binds (and is closed again).
    static std::string probeListen(const ListenAddress& address);

    // The families in the text exposition format, into dir/qarn.prom by way of a temporary file
    // renamed over it, so that a reader never sees half a file. False with why on failure.
    static bool writeTextfile(const std::string& dir, const std::vector<prometheus::MetricFamily>& families,
                              std::string& why);
};

} // namespace qarn
