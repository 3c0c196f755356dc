// The exporter's pieces that decide numbers and headers on their own: the
// socket aggregate across churn, Accept-Encoding, listen addresses, the time
// unit setting and its gauge.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sanperf_exporter/background_task.h"
#include "sanperf_exporter/collectors/collector.h"
#include "sanperf_exporter/collectors/socket_aggregate.h"
#include "sanperf_exporter/http/client_source.h"
#include "sanperf_exporter/http/connection_table.h"
#include "sanperf_exporter/http/gzip.h"
#include "sanperf_exporter/http/listen_address.h"
#include "sanperf_exporter/http/reserved_sources.h"
#include "sanperf_exporter/http/routes.h"
#include "sanperf_exporter/options.h"

namespace {

using sanperf_exporter::socket_aggregate;

sock_info socket_with(unsigned number, long long samples, long long time) {
    sock_info s{};
    s.number = number;
    for (sock_stats& slot : s.stats) {
        slot.samples = samples;
        slot.total_time = time;
    }
    return s;
}

TEST(SocketAggregate, NeverDecreasesAcrossChurnAndCountsEverySampleOnce) {
    socket_aggregate sums;
    struct step {
        std::vector<sock_info> sockets;
        double samples;  // expected sum in every slot
    };
    const std::vector<step> steps = {
        {{socket_with(1, 10, 100), socket_with(2, 5, 50)}, 15},
        {{socket_with(1, 12, 120), socket_with(2, 5, 50)}, 17},
        // Socket 2 is gone: its 5 stay counted.
        {{socket_with(1, 13, 130)}, 18},
        // Socket 1 is back under the same number with counters restarted.
        {{socket_with(1, 2, 20), socket_with(3, 1, 10)}, 13 + 2 + 5 + 1},
        {{socket_with(1, 4, 40), socket_with(3, 1, 10)}, 13 + 4 + 5 + 1},
        // Everything gone, then a new socket.
        {{}, 13 + 4 + 5 + 1},
        {{socket_with(9, 3, 30)}, 13 + 4 + 5 + 1 + 3},
    };
    double last = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& totals = sums.update(steps[i].sockets);
        for (const auto& slot : totals) {
            EXPECT_EQ(slot.samples, steps[i].samples) << "step " << i;
            EXPECT_EQ(slot.total_time, steps[i].samples * 10) << "step " << i;
        }
        EXPECT_GE(totals[0].samples, last) << "step " << i;
        last = totals[0].samples;
    }
}

TEST(AcceptEncoding, GzipOnlyWhenTheClientAllowsIt) {
    struct {
        const char* header;
        bool gzip;
    } cases[] = {
        {nullptr, false},
        {"", false},
        {"gzip", true},
        {"GZip", true},
        {"deflate, gzip;q=0.8", true},
        {"x-gzip", true},
        {"gzip;q=0", false},
        {"gzip; q=0.000", false},
        {"gzip;q=0.001", true},
        {"*", true},
        {"*;q=0", false},
        {"*, gzip;q=0", false},
        {"identity", false},
        {"gzipx, br", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sanperf_exporter::accepts_gzip(c.header), c.gzip)
            << (c.header ? c.header : "(none)");
}

TEST(ListenAddress, HostPortFormsAndRefusals) {
    struct {
        const char* text;
        bool ok;
        const char* host;
        const char* port;
    } cases[] = {
        {":9748", true, "", "9748"},
        {"127.0.0.1:0", true, "127.0.0.1", "0"},
        {"localhost:65535", true, "localhost", "65535"},
        {"[::1]:80", true, "::1", "80"},
        {"9748", false, "", ""},
        {"host:", false, "", ""},
        {"host:65536", false, "", ""},
        {"host:-1", false, "", ""},
        {"host:http", false, "", ""},
        {"::1:80", false, "", ""},
        {"[::1]80", false, "", ""},
        {"[]:80", false, "", ""},
    };
    for (const auto& c : cases) {
        sanperf_exporter::listen_address address;
        std::string why;
        EXPECT_EQ(sanperf_exporter::parse_listen_address(c.text, address, why), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address.host, c.host) << c.text;
            EXPECT_EQ(address.port, c.port) << c.text;
        } else {
            EXPECT_FALSE(why.empty()) << c.text;
        }
    }
}

// Parses args (after the program name) with SANPERF_TIME_UNIT set to env,
// or unset when env is null. Returns parse_options' code.
int parse_with(std::vector<std::string> args, const char* env, sanperf_exporter::options& opt) {
    if (env)
        ::setenv(sanperf_tools::time_unit_variable, env, 1);
    else
        ::unsetenv(sanperf_tools::time_unit_variable);
    std::vector<char*> argv{const_cast<char*>("sanperf_exporter")};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int code = sanperf_exporter::parse_options(static_cast<int>(argv.size() - 1), argv.data(), opt);
    ::unsetenv(sanperf_tools::time_unit_variable);
    return code;
}

TEST(TimeUnit, FlagOverEnvironmentAndWrongValuesRefused) {
    struct {
        std::vector<std::string> args;
        const char* env;
        int code;
        const char* unit;  // null: unknown
    } cases[] = {
        {{}, nullptr, -1, nullptr},
        {{}, "", -1, nullptr},
        {{}, "ms", -1, "ms"},
        {{"--time-unit=ns"}, "ms", -1, "ns"},
        {{"--time-unit", "s"}, nullptr, -1, "s"},
        {{"--time-unit=us"}, "bogus", -1, "us"},  // the flag wins; the variable is not read
        {{}, "msec", 2, nullptr},
        {{"--time-unit=µs"}, nullptr, 2, nullptr},
        {{"--time-unit="}, "us", 2, nullptr},
    };
    for (auto& c : cases) {
        std::string shown = (c.args.empty() ? "" : c.args[0]) + " env=" + (c.env ? c.env : "unset");
        sanperf_exporter::options opt;
        EXPECT_EQ(parse_with(c.args, c.env, opt), c.code) << shown;
        if (c.code != -1) continue;
        ASSERT_EQ(opt.time_unit.has_value(), c.unit != nullptr) << shown;
        if (c.unit) {
            EXPECT_STREQ(opt.time_unit->name, c.unit) << shown;
        }
    }
}

// The timeouts take any duration of 1ms or more, to the millisecond.
TEST(Timeouts, DurationsInMillisecondsAndZeroRefused) {
    const std::pair<const char*, long long> good[] = {
        {"10s", 10000}, {"2m", 120000}, {"1.5s", 1500}, {"20ms", 20}, {"2500us", 3}};
    for (const auto& [text, ms] : good) {
        sanperf_exporter::options opt;
        ASSERT_EQ(parse_with({std::string("--web.read-header-timeout=") + text,
                              std::string("--web.write-timeout=") + text},
                             nullptr, opt),
                  -1)
            << text;
        EXPECT_EQ(opt.read_header_timeout.count(), ms) << text;
        EXPECT_EQ(opt.write_timeout.count(), ms) << text;
    }
    for (const char* bad : {"0", "0s", "400us", "10", "10 s", "-1s", "1e3ms", "10min"}) {
        sanperf_exporter::options opt;
        EXPECT_EQ(parse_with({std::string("--web.write-timeout=") + bad}, nullptr, opt), 2) << bad;
    }
}

TEST(HandshakeRate, CountAndDurationOrAUsageError) {
    sanperf_exporter::options opt;
    ASSERT_EQ(parse_with({}, nullptr, opt), -1);
    EXPECT_EQ(opt.tls_handshake_burst, 600u);
    EXPECT_EQ(opt.tls_handshake_period, std::chrono::seconds(10));
    ASSERT_EQ(parse_with({"--web.tls-handshake-rate=20/500ms"}, nullptr, opt), -1);
    EXPECT_EQ(opt.tls_handshake_burst, 20u);
    EXPECT_EQ(opt.tls_handshake_period, std::chrono::milliseconds(500));
    for (const char* bad : {"20", "/10s", "0/10s", "20/0s", "20/", "-1/10s", "20/10", "x/10s",
                            "99999999/1s", "20/10s/1"}) {
        sanperf_exporter::options refused;
        EXPECT_EQ(parse_with({std::string("--web.tls-handshake-rate=") + bad}, nullptr, refused), 2)
            << bad;
    }
}

// A telemetry path that would hide a built-in route, or be no path, is a
// usage error; others serve the metrics, and the routes keep their methods.
TEST(Routes, ClashesRefusedAtStartAndEachPathFound) {
    for (const char* bad : {"/-/healthy", "/-/ready", "/", "metrics", ""}) {
        sanperf_exporter::options opt;
        EXPECT_EQ(parse_with({std::string("--web.telemetry-path=") + bad}, nullptr, opt), 2) << bad;
    }
    sanperf_exporter::options opt;
    EXPECT_EQ(parse_with({"--web.telemetry-path=/-/healthy/x"}, nullptr, opt), -1);

    using sanperf_exporter::route;
    const sanperf_exporter::route_table routes("/stats");
    struct {
        const char* method;
        const char* path;
        unsigned status;
        route which;
    } cases[] = {
        {"GET", "/stats", 0, route::metrics},
        {"HEAD", "/stats", 0, route::metrics},
        {"GET", "/", 0, route::landing},
        {"GET", "/-/healthy", 0, route::healthy},
        {"HEAD", "/-/ready", 0, route::ready},
        {"POST", "/stats", 405, route::metrics},
        {"PUT", "/-/healthy", 405, route::healthy},
        {"GET", "/metrics", 404, route::landing},
        {"GET", "/stats/", 404, route::landing},
        {"GET", "", 404, route::landing},
    };
    for (const auto& c : cases) {
        const auto d = routes.decide(c.method, c.path);
        EXPECT_EQ(d.status, c.status) << c.method << " " << c.path;
        if (c.status != 404) {
            EXPECT_EQ(d.which, c.which) << c.method << " " << c.path;
        }
    }
}

TEST(TimeUnit, GaugeGivesSecondsPerUnitAndReadsNoBlock) {
    for (const char* name : {"ns", "us", "ms", "s"}) {
        auto unit = *sanperf_tools::parse_time_unit(name);
        auto c = sanperf_exporter::make_time_unit_collector(unit);
        sanperf_tools::selection sel;
        sel.disks = sel.sessions = sel.sockets = false;
        c->select(sel);
        EXPECT_FALSE(sel.disks || sel.sessions || sel.sockets) << name;

        std::string body;
        sanperf_tools::string_sink out(body);
        c->collect(sanperf_tools::snapshot{}, out);
        const std::string head =
            "# TYPE sanperf_time_unit_seconds gauge\nsanperf_time_unit_seconds ";
        auto at = body.find(head);
        ASSERT_NE(at, std::string::npos) << body;
        std::string value = body.substr(at + head.size());
        ASSERT_FALSE(value.empty());
        EXPECT_EQ(value.back(), '\n');
        EXPECT_DOUBLE_EQ(std::stod(value), unit.seconds_per_tick) << name;
    }
}

}  // namespace

namespace {

sockaddr_in v4(const char* address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

sockaddr_in6 v6(const char* address) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, address, &a.sin6_addr);
    return a;
}

const sockaddr* as_sockaddr(const void* a) { return static_cast<const sockaddr*>(a); }

}  // namespace

TEST(ConnectionLimits, SizedFromTheDescriptorLimit) {
    EXPECT_EQ(sanperf_exporter::limits_for_descriptors(1024).total, 896u);
    EXPECT_EQ(sanperf_exporter::limits_for_descriptors(1024).per_source, 56u);
    EXPECT_EQ(sanperf_exporter::limits_for_descriptors(524288).total, 16384u);
    EXPECT_EQ(sanperf_exporter::limits_for_descriptors(524288).per_source, 1024u);
    // A tiny limit still leaves room for the exporter's own files.
    EXPECT_EQ(sanperf_exporter::limits_for_descriptors(64).total, 32u);
    EXPECT_EQ(sanperf_exporter::limits_for_descriptors(64).per_source, 4u);
}

// One host is given a whole IPv6 /64: its addresses share one share of the
// connections, and other networks keep theirs.
TEST(ConnectionTable, AnIpv6SourceIsItsSlash64) {
    sanperf_exporter::exporter_metrics metrics;
    sanperf_exporter::connection_limits limits;
    limits.total = 100;
    limits.per_source = 2;
    sanperf_exporter::connection_table table(limits, metrics);
    std::vector<sanperf_exporter::connection_table::entry*> open;
    unsigned admitted = 0;
    for (int host = 1; host <= 5; ++host) {
        const sockaddr_in6 a = v6(("2001:db8:1:2::" + std::to_string(host)).c_str());
        for (int i = 0; i < 2; ++i) {
            if (!table.admit(as_sockaddr(&a), sizeof a)) continue;
            ++admitted;
            open.push_back(table.opened(as_sockaddr(&a), sizeof a, -1));
        }
    }
    EXPECT_EQ(admitted, 2u);
    const sockaddr_in6 neighbour = v6("2001:db8:1:3::1");
    EXPECT_TRUE(table.admit(as_sockaddr(&neighbour), sizeof neighbour));
    for (auto* e : open) table.closed(e);
}

// A client's metric responses in progress are capped, sending included;
// another client's are not touched, and a finished response gives its share
// back. A response not sent within the write timeout has its connection shut.
TEST(ConnectionTable, ResponsesPerClientAndTheWriteDeadline) {
    sanperf_exporter::exporter_metrics metrics;
    sanperf_exporter::connection_limits limits;
    limits.total = 10;
    limits.per_source = 10;
    limits.responses_per_source = 2;
    limits.write_timeout = std::chrono::milliseconds(50);
    sanperf_exporter::connection_table table(limits, metrics);
    const sockaddr_in one = v4("127.0.0.2");
    const sockaddr_in other = v4("127.0.0.1");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto* a = table.opened(as_sockaddr(&one), sizeof one, pair[0]);
    auto* b = table.opened(as_sockaddr(&one), sizeof one, -1);
    auto* c = table.opened(as_sockaddr(&one), sizeof one, -1);
    auto* d = table.opened(as_sockaddr(&other), sizeof other, -1);
    for (auto* e : {a, b, c, d}) table.headers_complete(e);
    EXPECT_TRUE(table.begin_response(a));
    EXPECT_TRUE(table.begin_response(b));
    EXPECT_FALSE(table.begin_response(c));
    EXPECT_TRUE(table.begin_response(d));
    table.awaiting_request(b);
    EXPECT_TRUE(table.begin_response(c));

    table.sending(a);
    char byte;
    // The peer reads end of file once the deadline has shut the socket down.
    EXPECT_EQ(read(pair[1], &byte, 1), 0);
    std::string text;
    sanperf_tools::string_sink out(text);
    metrics.render_exporter(out);
    EXPECT_NE(text.find("sanperf_exporter_write_timeouts_total 1\n"), std::string::npos) << text;
    for (auto* e : {a, b, c, d}) table.closed(e);
    close(pair[0]);
    close(pair[1]);
}

TEST(ClientSource, Ipv4ByAddressIpv6BySlash64) {
    using sanperf_exporter::client_source;
    const sockaddr_in v4a = v4("192.0.2.7");
    const sockaddr_in6 mapped = v6("::ffff:192.0.2.7");
    const sockaddr_in6 v6a = v6("2001:db8:1:2:aaaa:bbbb:cccc:dddd");
    EXPECT_EQ(client_source(as_sockaddr(&v4a), sizeof v4a), "192.0.2.7");
    EXPECT_EQ(client_source(as_sockaddr(&mapped), sizeof mapped), "192.0.2.7");
    EXPECT_EQ(client_source(as_sockaddr(&v6a), sizeof v6a), "2001:db8:1:2::/64");
    // A short address is nobody in particular rather than a read past its end.
    EXPECT_EQ(client_source(as_sockaddr(&v6a), sizeof v4a), "");
}

// A full table lets a newcomer in by closing the connection idle longest of
// the client holding the most, until no client holds more than one beyond
// the newcomer; then it refuses.
TEST(ConnectionTable, OneSourceCannotTakeEverySlotAndAFullTableMakesRoom) {
    sanperf_exporter::exporter_metrics metrics;
    sanperf_exporter::connection_limits limits;
    limits.total = 5;
    limits.per_source = 2;
    sanperf_exporter::connection_table table(limits, metrics);
    const sockaddr_in attacker = v4("127.0.0.2");
    // The same address over a dual-stack socket is the same source.
    const sockaddr_in6 attacker_mapped = v6("::ffff:127.0.0.2");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::vector<sanperf_exporter::connection_table::entry*> open;
    ASSERT_TRUE(table.admit(as_sockaddr(&attacker), sizeof attacker));
    open.push_back(table.opened(as_sockaddr(&attacker), sizeof attacker, -1));
    ASSERT_TRUE(table.admit(as_sockaddr(&attacker_mapped), sizeof attacker_mapped));
    open.push_back(table.opened(as_sockaddr(&attacker_mapped), sizeof attacker_mapped, pair[0]));
    EXPECT_FALSE(table.admit(as_sockaddr(&attacker), sizeof attacker));
    EXPECT_FALSE(table.admit(as_sockaddr(&attacker_mapped), sizeof attacker_mapped));
    // The older one is busy with a request: not idle, not closed.
    table.headers_complete(open[0]);
    for (const char* other : {"127.0.0.1", "127.0.0.3", "127.0.0.4"}) {
        const sockaddr_in a = v4(other);
        ASSERT_TRUE(table.admit(as_sockaddr(&a), sizeof a)) << other;
        open.push_back(table.opened(as_sockaddr(&a), sizeof a, -1));
    }
    const sockaddr_in fresh = v4("127.0.0.5");
    ASSERT_TRUE(table.admit(as_sockaddr(&fresh), sizeof fresh));
    char byte;
    EXPECT_EQ(read(pair[1], &byte, 1), 0);  // the attacker's idle one, shut down
    open.push_back(table.opened(as_sockaddr(&fresh), sizeof fresh, -1));
    // Everyone holds one now, the closing one counting for nobody.
    const sockaddr_in another = v4("127.0.0.6");
    EXPECT_FALSE(table.admit(as_sockaddr(&another), sizeof another));
    // A closed connection gives its place back.
    table.closed(open[1]);
    table.closed(open[2]);
    EXPECT_TRUE(table.admit(as_sockaddr(&another), sizeof another));
    for (std::size_t i = 3; i < open.size(); ++i) table.closed(open[i]);
    table.closed(open[0]);
    close(pair[0]);
    close(pair[1]);

    std::string text;
    sanperf_tools::string_sink out(text);
    metrics.render_exporter(out);
    for (const char* sample :
         {"sanperf_exporter_connections_refused_total{reason=\"per_source\"} 2\n",
          "sanperf_exporter_connections_refused_total{reason=\"total\"} 1\n",
          "sanperf_exporter_connections_evicted_total 1\n"})
        EXPECT_NE(text.find(sample), std::string::npos) << text;
}

// The networks refused at the start are those that would reserve something
// other than what was written; each kept one matches its own addresses, an
// IPv4 client on a dual-stack socket included, and nothing beyond.
TEST(ReservedSources, NetworksParsedStrictlyAndMatchedByPrefix) {
    for (const char* bad :
         {"", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/+8", "10.0.0.1/8", "0.0.0.0/0", "::/0",
          "2001:db8::1/64", "2001:db8::/129", "example.net/24", "10.0.0/8", "10.0.0.0/8/8"}) {
        sanperf_exporter::reserved_sources r;
        std::string why;
        EXPECT_FALSE(r.add(bad, why)) << bad;
        EXPECT_NE(why.find(bad), std::string::npos) << why;
    }
    sanperf_exporter::reserved_sources r;
    std::string why;
    for (const char* good : {"192.0.2.0/25", "198.51.100.7", "2001:db8:1::/48", "fd00::1"})
        ASSERT_TRUE(r.add(good, why)) << good << ": " << why;
    const auto in = [&r](const char* address) {
        if (std::strchr(address, ':') == nullptr) {
            const sockaddr_in a = v4(address);
            return r.contains(as_sockaddr(&a), sizeof a);
        }
        const sockaddr_in6 a = v6(address);
        return r.contains(as_sockaddr(&a), sizeof a);
    };
    for (const char* address : {"192.0.2.0", "192.0.2.127", "::ffff:192.0.2.5", "198.51.100.7",
                                "2001:db8:1:ffff::9", "fd00::1"})
        EXPECT_TRUE(in(address)) << address;
    for (const char* address : {"192.0.2.128", "198.51.100.8", "2001:db8:2::1", "fd00::2",
                                "::ffff:198.51.100.8", "::c000:205"})
        EXPECT_FALSE(in(address)) << address;
}

TEST(ReservedSources, AMalformedNetworkIsAUsageError) {
    sanperf_exporter::options opt;
    EXPECT_EQ(parse_with({"--web.reserved-sources=192.0.2.0/24,2001:db8::/32"}, nullptr, opt), -1);
    EXPECT_FALSE(opt.reserved.empty());
    sanperf_exporter::options refused;
    EXPECT_EQ(parse_with({"--web.reserved-sources=192.0.2.0/24,192.0.2.300"}, nullptr, refused), 2);
}

// With reserved sources, one client's share of the table is theirs: others
// are refused before it is reached, and a reserved newcomer into a full table
// closes an idle connection of the unreserved client holding the most,
// however few that client holds. Reserved connections are never closed for
// an unreserved newcomer; among reserved clients the rule for all applies.
TEST(ConnectionTable, ReservedSourcesKeepPlacesAndMakeRoom) {
    sanperf_exporter::exporter_metrics metrics;
    sanperf_exporter::connection_limits limits;
    limits.total = 6;
    limits.per_source = 3;
    limits.reserved = 2;
    sanperf_exporter::reserved_sources reserved;
    std::string why;
    ASSERT_TRUE(reserved.add("10.0.0.0/8", why)) << why;
    sanperf_exporter::connection_table table(limits, metrics, reserved);
    std::vector<sanperf_exporter::connection_table::entry*> open;
    std::vector<int> peers;
    const auto connect = [&](const char* address) {
        const sockaddr_in a = v4(address);
        if (!table.admit(as_sockaddr(&a), sizeof a)) return false;
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
        open.push_back(table.opened(as_sockaddr(&a), sizeof a, pair[0]));
        peers.push_back(pair[1]);
        return true;
    };
    const auto shut = [&](std::size_t i) {
        char byte;
        return read(peers[i], &byte, 1) == 0;
    };
    // Unreserved clients take the four places open to them; the next finds
    // nobody holding more than one beyond it.
    for (const char* a : {"192.0.2.1", "192.0.2.1", "192.0.2.3", "192.0.2.4"})
        ASSERT_TRUE(connect(a)) << a;
    EXPECT_FALSE(connect("192.0.2.4"));
    // The kept places go to scrapers; one more closes the idle connection of
    // 192.0.2.1, which holds the most, for its own.
    ASSERT_TRUE(connect("10.0.0.1"));
    ASSERT_TRUE(connect("10.0.0.2"));
    ASSERT_TRUE(connect("10.0.0.2"));
    EXPECT_TRUE(shut(0));
    // 10.0.0.2 holds two idle connections, yet an unreserved newcomer
    // closes neither.
    EXPECT_FALSE(connect("192.0.2.5"));
    EXPECT_FALSE(shut(5));
    // With every unreserved connection busy, a scraper gets in at the
    // expense of the reserved client holding the most.
    for (auto* e : {open[1], open[2], open[3]}) table.headers_complete(e);
    ASSERT_TRUE(connect("10.0.0.3"));
    EXPECT_TRUE(shut(5));
    // Now every client holds one: nobody gives way.
    EXPECT_FALSE(connect("10.0.0.4"));
    for (auto* e : open) table.closed(e);
    for (int fd : peers) close(fd);

    std::string text;
    sanperf_tools::string_sink out(text);
    metrics.render_exporter(out);
    for (const char* sample :
         {"sanperf_exporter_connections_refused_total{reason=\"unreserved\"} 1\n",
          "sanperf_exporter_connections_refused_total{reason=\"total\"} 2\n",
          "sanperf_exporter_connections_evicted_total 2\n",
          "sanperf_exporter_connections_reserved_total 4\n"})
        EXPECT_NE(text.find(sample), std::string::npos) << text;
}

// Each reason for refusing a connection is a counter of its own, and none
// spills into the counters beside it.
TEST(ExporterMetrics, EveryRefusalReasonCountedApart) {
    using m = sanperf_exporter::exporter_metrics;
    m metrics;
    const std::pair<m::refusal, const char*> reasons[] = {
        {m::over_source_limit, "per_source"},
        {m::over_total, "total"},
        {m::over_unreserved, "unreserved"},
        {m::over_handshake_rate, "handshake_rate"}};
    static_assert(std::size(reasons) == m::refusal_kinds);
    for (unsigned i = 0; i < std::size(reasons); ++i)
        for (unsigned n = 0; n <= i; ++n) metrics.count_refused_connection(reasons[i].first);
    std::string text;
    sanperf_tools::string_sink out(text);
    metrics.render_exporter(out);
    for (unsigned i = 0; i < std::size(reasons); ++i)
        EXPECT_NE(text.find(std::string("sanperf_exporter_connections_refused_total{reason=\"") +
                            reasons[i].second + "\"} " + std::to_string(i + 1) + "\n"),
                  std::string::npos)
            << text;
    for (const char* zero : {"sanperf_exporter_connections_evicted_total 0\n",
                             "sanperf_exporter_connections_reserved_total 0\n"})
        EXPECT_NE(text.find(zero), std::string::npos) << text;
}

TEST(BackgroundTask, RequestsDuringARunCoalesceIntoOneMoreRun) {
    // Each run waits for a permit, so the test decides when runs end.
    std::mutex lock;
    std::condition_variable changed;
    int started = 0;
    int permits = 0;
    sanperf_exporter::background_task task([&] {
        std::unique_lock<std::mutex> hold(lock);
        ++started;
        changed.notify_all();
        changed.wait(hold, [&] { return permits > 0; });
        --permits;
    });
    const auto runs_started = [&](int n) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, std::chrono::seconds(10), [&] { return started >= n; });
    };
    const auto permit = [&] {
        std::lock_guard<std::mutex> hold(lock);
        ++permits;
        changed.notify_all();
    };
    task.request();
    ASSERT_TRUE(runs_started(1));
    // Asked three times during the first run: exactly one run more.
    for (int i = 0; i < 3; ++i) task.request();
    permit();
    ASSERT_TRUE(runs_started(2));
    permit();
    // A third run would start at once; it is given ample time to show.
    {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, std::chrono::milliseconds(200), [&] { return started > 2; });
        EXPECT_EQ(started, 2);
        permits = 100;  // lets any run that wrongly started end
        changed.notify_all();
    }
    EXPECT_TRUE(task.stop(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
}

TEST(BackgroundTask, AStalledRunNeverHoldsUpAStopAndNoRunFollowsIt) {
    // Static: the thread left behind by stop() may outlive this test.
    static std::atomic<int> runs{0};
    static std::atomic<bool> release{false};
    auto task = std::make_unique<sanperf_exporter::background_task>([] {
        ++runs;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    task->request();
    while (runs == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A request pending at the stop is dropped.
    task->request();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(task->stop(start + std::chrono::milliseconds(50)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    release = true;
    // The task can go while its thread, left behind, ends on its own once
    // its run is over, with no second run.
    task.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(runs, 1);
}
