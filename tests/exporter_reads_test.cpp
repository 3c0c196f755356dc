// The sharing of reads of the tree: what a selection of one read holds, its
// gzip form made once, and which read the reader hands each client.

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/sink.h"
#include "sanperf_exporter/exporter_metrics.h"
#include "sanperf_exporter/tree_read.h"
#include "sanperf_exporter/tree_reader.h"

namespace {

using sanperf_exporter::collector_report;
using sanperf_exporter::exporter_metrics;
using sanperf_exporter::tree_read;
using sanperf_exporter::tree_reader;
using body_ptr = std::shared_ptr<const tree_reader::body>;

// A read of two collectors, "a" and "b", laid out as the scraper lays one.
std::shared_ptr<tree_read> two_collector_read(exporter_metrics& metrics, std::uint64_t number) {
    auto read = std::make_shared<tree_read>();
    read->metrics = &metrics;
    read->number = number;
    read->tree_found = true;
    read->seconds = 0.5;
    read->reports = {{"a", true, 0.1}, {"b", false, 0.2}};
    read->text = "a 1\n";
    read->collector_end.push_back(read->text.size());
    read->text += "b 2\n";
    read->collector_end.push_back(read->text.size());
    read->text += "always 3\n";
    read->always_end = read->text.size();
    sanperf_tools::string_sink out(read->text);
    metrics.render_scrape(out, true, 0.5, read->reports);
    read->exporter_begin = read->text.size();
    read->text += "exporter 4\n";
    return read;
}

std::string joined(const tree_read::form& f) {
    std::string out;
    for (std::string_view part : f.parts) out += part;
    return out;
}

std::string gunzip(const std::string& data) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + 15), Z_OK);
    std::string out(64 * 1024, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

TEST(TreeRead, ASelectionIsItsCollectorsWithTheirOwnScrapeFamiliesAndGzipIsMadeOnce) {
    exporter_metrics metrics;
    auto read = two_collector_read(metrics, 1);

    // Every collector: the text as written, in one piece.
    const tree_read::form& all = read->form_for(0b11, false);
    ASSERT_EQ(all.parts.size(), 1u);
    EXPECT_EQ(all.parts[0].data(), read->text.data());
    EXPECT_EQ(all.size, read->text.size());

    // Collector b alone: its families, the always-written ones, the scrape
    // families of b alone, the exporter's.
    std::string scrape_b;
    sanperf_tools::string_sink out(scrape_b);
    metrics.render_scrape(out, true, 0.5, {read->reports[1]});
    const tree_read::form& b = read->form_for(0b10, false);
    EXPECT_EQ(joined(b), "b 2\nalways 3\n" + scrape_b + "exporter 4\n");
    EXPECT_EQ(b.size, joined(b).size());
    EXPECT_EQ(joined(b).find("collector=\"a\""), std::string::npos);

    EXPECT_FALSE(read->has_form(0b10, true));
    const tree_read::form& gz = read->form_for(0b10, true);
    EXPECT_TRUE(gz.gzip);
    EXPECT_EQ(gunzip(joined(gz)), joined(b));
    EXPECT_EQ(&read->form_for(0b10, true), &gz);
    EXPECT_EQ(&read->form_for(0b10, false), &b);
    EXPECT_EQ(metrics.compressions(), 1u);
}

// A reader over reads numbered from 1; each read waits while the gate is
// closed, so a test can have requests arrive during one.
struct reader_fixture {
    exporter_metrics metrics;
    std::mutex lock;
    std::condition_variable changed;
    bool gate_open = true;
    unsigned started = 0;
    tree_reader reader;

    explicit reader_fixture(std::chrono::steady_clock::duration refill = std::chrono::hours(1))
        : reader(
              [this] {
                  std::unique_lock<std::mutex> hold(lock);
                  ++started;
                  changed.notify_all();
                  changed.wait(hold, [this] { return gate_open; });
                  return two_collector_read(metrics, started);
              },
              refill) {}

    std::future<body_ptr> ask(const std::string& source, sanperf_exporter::collector_set which,
                              bool gzip = false) {
        auto promise = std::make_shared<std::promise<body_ptr>>();
        std::future<body_ptr> f = promise->get_future();
        reader.request([promise](body_ptr b) { promise->set_value(std::move(b)); }, source, which,
                       gzip);
        return f;
    }
    body_ptr get(const std::string& source, sanperf_exporter::collector_set which = 0b11,
                 bool gzip = false) {
        return ask(source, which, gzip).get();
    }
};

TEST(TreeReader, RequestsDuringAReadShareItWhateverTheyAskFor) {
    reader_fixture f;
    {
        std::lock_guard<std::mutex> hold(f.lock);
        f.gate_open = false;
    }
    auto first = f.ask("192.0.2.1", 0b11);
    {
        std::unique_lock<std::mutex> hold(f.lock);
        ASSERT_TRUE(
            f.changed.wait_for(hold, std::chrono::seconds(10), [&] { return f.started > 0; }));
    }
    auto other_collectors = f.ask("192.0.2.2", 0b01);
    auto gzip = f.ask("192.0.2.3", 0b10, true);
    {
        std::lock_guard<std::mutex> hold(f.lock);
        f.gate_open = true;
    }
    f.changed.notify_all();
    const body_ptr a = first.get(), b = other_collectors.get(), c = gzip.get();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->read, b->read);
    EXPECT_EQ(a->read, c->read);
    EXPECT_TRUE(c->form->gzip);
    EXPECT_EQ(f.started, 1u);
}

TEST(TreeReader, OverItsRateAClientIsServedTheLatestReadAndOneGzipFormOfIt) {
    reader_fixture f;
    std::uint64_t last = 0;
    for (unsigned i = 0; i < sanperf_exporter::reads_per_source_burst; ++i) {
        const body_ptr b = f.get("192.0.2.1");
        ASSERT_TRUE(b);
        EXPECT_GT(b->read->number, last);
        last = b->read->number;
    }
    // The bucket is empty and refills in an hour: the latest read again.
    EXPECT_EQ(f.get("192.0.2.1")->read->number, last);
    // Its first gzip form of that read is made; another selection's is not,
    // and goes in identity; a form already made is shared.
    EXPECT_TRUE(f.get("192.0.2.1", 0b01, true)->form->gzip);
    EXPECT_FALSE(f.get("192.0.2.1", 0b10, true)->form->gzip);
    EXPECT_TRUE(f.get("192.0.2.1", 0b01, true)->form->gzip);
    EXPECT_EQ(f.metrics.compressions(), 1u);
    // Another client has reads of its own.
    EXPECT_GT(f.get("192.0.2.2")->read->number, last);
    EXPECT_EQ(f.metrics.compressions(), 1u);
}

TEST(TreeReader, AClientsSlowResponsesHoldNoMoreThanTwoReads) {
    reader_fixture f(std::chrono::milliseconds(1));
    // Responses still being sent keep their bodies.
    std::vector<body_ptr> sending;
    for (std::size_t i = 0; i < 6; ++i) sending.push_back(f.get("192.0.2.1"));
    EXPECT_NE(sending[0]->read, sending[1]->read);
    for (std::size_t i = 2; i < 6; ++i) EXPECT_EQ(sending[i]->read, sending[1]->read) << i;
    EXPECT_EQ(f.started, 2u);
    // Another client is not held back.
    EXPECT_EQ(f.get("192.0.2.2")->read->number, 3u);
    // Once the oldest read is let go, the client gets a new one.
    sending.erase(sending.begin());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(f.get("192.0.2.1")->read->number, 4u);
}

}  // namespace
