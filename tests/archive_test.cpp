// The archive: its frames, lifetimes, writer and reader, the files it
// refuses, and the times and sizes its command lines take.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "common/archive_encoding.h"
#include "common/archive_reader.h"
#include "common/archive_sampling.h"
#include "common/archive_schema.h"
#include "common/archive_writer.h"
#include "common/time_text.h"

using namespace sanperf_tools;

namespace {

class temp_dir {
public:
    temp_dir() {
        // In memory where there is a tmpfs: the tests write thousands of samplings.
        char name[] = "/dev/shm/archive_test.XXXXXX";
        path_ = mkdtemp(name);
    }
    ~temp_dir() { std::system(("rm -rf " + path_).c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

session_info session(unsigned id, long long samples, long long total_time) {
    session_info s{};
    s.id = id;
    s.lba = id * 7;
    s.write_samples = samples;
    s.write_total_time = total_time;
    s.write_max_time = 99;
    return s;
}

snapshot tree_of(std::vector<session_info> sessions) {
    snapshot s;
    s.tree_found = s.sessions_found = s.sessions_read = true;
    s.sessions = std::move(sessions);
    return s;
}

selection sessions_only() {
    selection sel;
    sel.disks = sel.sockets = false;
    return sel;
}

kind_state random_state(std::mt19937_64& rng, object_kind kind, std::size_t n, std::int64_t seq) {
    kind_state k;
    std::uint32_t key = 0;
    for (std::size_t i = 0; i < n; ++i) {
        key += 1 + static_cast<std::uint32_t>(rng() % 5);
        k.keys.push_back(key);
        k.births.push_back(seq - static_cast<std::int64_t>(rng() % 100));
        for (int f = 0; f < object_width(kind); ++f)
            k.values.push_back(rng() % 4 == 0 ? static_cast<std::int64_t>(rng())
                                              : static_cast<std::int64_t>(rng() % 1000));
    }
    return k;
}

// A deterministic increase for a session's counters at sampling i.
long long id_hash(unsigned id, int i) {
    return static_cast<long long>((id * 2654435761u + static_cast<unsigned>(i) * 40503u) % 1000);
}

void expect_same(const kind_state& a, const kind_state& b) {
    EXPECT_EQ(a.keys, b.keys);
    EXPECT_EQ(a.births, b.births);
    EXPECT_EQ(a.values, b.values);
}

}  // namespace

// Keyframes and differences give back exactly what was stored, across
// objects that stay, go, come and are reborn under the same key, with
// values at the ends of the 64-bit range.
TEST(ArchiveFrames, RoundTrip) {
    std::mt19937_64 rng(7);
    for (object_kind kind : {object_kind::disk, object_kind::session, object_kind::socket}) {
        kind_state base = random_state(rng, kind, 50, 10);
        base.values[0] = INT64_MIN;
        base.values[1] = INT64_MAX;
        kind_state decoded;
        decode_frame(kind, encode_frame(kind, nullptr, base, 10), nullptr, decoded, 10);
        expect_same(decoded, base);

        // The same objects, changed: every one continues.
        kind_state next = base;
        // Wrapping, as the frames' arithmetic does, at the ends of the range.
        for (auto& v : next.values)
            v = static_cast<std::int64_t>(static_cast<std::uint64_t>(v) + rng() % 50);
        decode_frame(kind, encode_frame(kind, &base, next, 11), &base, decoded, 11);
        expect_same(decoded, next);

        // One gone, one new, one reborn under its key.
        kind_state churn = next;
        const auto w = static_cast<std::size_t>(object_width(kind));
        churn.keys.erase(churn.keys.begin() + 3);
        churn.births.erase(churn.births.begin() + 3);
        churn.values.erase(churn.values.begin() + 3 * static_cast<long>(w),
                           churn.values.begin() + 4 * static_cast<long>(w));
        churn.keys.push_back(churn.keys.back() + 10);
        churn.births.push_back(12);
        churn.values.insert(churn.values.end(), w, 5);
        churn.births[7] = 12;
        decode_frame(kind, encode_frame(kind, &next, churn, 12), &next, decoded, 12);
        expect_same(decoded, churn);
    }
}

// The value of field f of the disk queue key at sampling seq in the frames
// below: small, huge and negative numbers.
std::int64_t first_format_value(std::uint32_t key, std::size_t f, std::int64_t seq) {
    auto v = static_cast<std::int64_t>((key * 1000003ull + f * 7919ull) << (f % 5 * 8)) +
             seq * static_cast<std::int64_t>(f);
    return f == 2 ? -v : v;
}

kind_state first_format_state(std::vector<std::uint32_t> keys, std::vector<std::int64_t> births,
                              std::int64_t seq) {
    kind_state k;
    k.keys = std::move(keys);
    k.births = std::move(births);
    for (std::uint32_t key : k.keys)
        for (std::size_t f = 0; f < 15; ++f) k.values.push_back(first_format_value(key, f, seq));
    return k;
}

// Frames as the first archives stored them (widths of their own, field by
// field; plain and zlib) still read back exactly: a keyframe, a difference
// with an object gone and one new, and a difference of nothing.
TEST(ArchiveFrames, FirstFormatStillReads) {
    const std::string keyframe(
        "\x00\x02\x01\x03\x06\x0c\x00\x16\x18\x1e\x20\x27\x29\x2e\x30\x36\x38\x17\x19\x1e\x20\x26"
        "\x28"
        "\x2e\x30\x37\x39\x16\x18\x1e\x20\x27\x29\x2e\x30\x36\x38\xc9\xc6\x6d\x8b\x2a\xa1\x80\x5b"
        "\xde"
        "\x14\x94\xe6\x12\x27\x00\x4e\x09\xdc\x09\x80\x1c\xc9\x84\x07\x00\x80\xe5\x88\xf3\x00\x00"
        "\x40"
        "\x89\x4d\xa0\x00\x00\x00\x14\x0a\x39\x14\x00\x00\x80\x0b\xe8\x04\xd3\x30\x07\xe7\x3d\xc1"
        "\x33"
        "\x06\xe8\x78\xea\x1b\x14\x46\x00\x52\x9f\xce\x08\x80\x9c\x45\x01\x05\x00\x10\xe4\xeb\xa0"
        "\x00"
        "\x00\xa6\x97\x14\xb4\x00\x00\x00\x60\xba\x1d\x2d\x00\x00\x00\x61\x35\xc5\x20\xbf\xab\x50"
        "\x54"
        "\xb8\x39\x6c\x3c\x37\x50\x54\x05\x3c\x80\xfe\x9c\x07\x0f\xe0\xf1\x58\x21\x08\x00\xc0\x8e"
        "\xf5"
        "\x04\x01\x00\xfc\xcc\x15\x8c\x00\x00\x00\xdb\x77\x8f\x11\x00\x00\xa0\xad\x60\x01",
        181);
    const std::string difference(
        "\x00\x02\x01\x03\x09\x01\x00\x00\x18\x01\x20\x02\x29\x02\x30\x03\x38\x04\x19\x03\x20\x03"
        "\x28"
        "\x04\x30\x05\x39\x04\x18\x04\x20\x05\x29\x04\x30\x04\x38\x24\x1b\xb7\x85\x09\x9d\xdb\x15"
        "\x00"
        "\x02\x59\xb7\x21\x00\x00\xf1\x77\x37\x58\x00\x00\x00\xc0\x2d\x6f\x62\x60\x7b\x53\xc8\x97"
        "\xfa"
        "\x76\x13\x40\xeb\xfc\x0d\x58\x00\x00\x9c\x12\x38\x31\x06\x00\x00\xb0\x18\x83\x13\x3a\x14"
        "\x6e"
        "\x79\x69\x6f\x38\x44\x08\x80\xe5\x88\xeb\x23\x00\xc0\x51\x2b\xce\x9a\x00\x00\x00\x36\xcc"
        "\x38",
        115);
    const std::string nothing("\x01\x20\x78\xda\x63\x62\xc0\x0f\x00\x00\x60\x00\x03", 13);
    const kind_state at10 = first_format_state({3, 9}, {4, 10}, 10);
    const kind_state at11 = first_format_state({3, 12}, {4, 11}, 11);
    kind_state a, b, c;
    decode_frame(object_kind::disk, keyframe, nullptr, a, 10);
    expect_same(a, at10);
    decode_frame(object_kind::disk, difference, &a, b, 11);
    expect_same(b, at11);
    decode_frame(object_kind::disk, nothing, &b, c, 12);
    expect_same(c, at11);
    // A frame of today continues from them.
    kind_state next = first_format_state({3, 12}, {4, 11}, 13), d;
    decode_frame(object_kind::disk, encode_frame(object_kind::disk, &c, next, 13), &c, d, 13);
    expect_same(d, next);
}

TEST(ArchiveFrames, DamageIsRefused) {
    std::mt19937_64 rng(3);
    kind_state s = random_state(rng, object_kind::socket, 20, 5);
    std::string frame = encode_frame(object_kind::socket, nullptr, s, 5);
    kind_state out;
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, frame.size() / 2, frame.size() - 1})
        EXPECT_THROW(decode_frame(object_kind::socket, frame.substr(0, cut), nullptr, out, 5),
                     archive_error);
    std::string flipped = frame;
    flipped[0] = 9;
    EXPECT_THROW(decode_frame(object_kind::socket, flipped, nullptr, out, 5), archive_error);
    // A difference without the state it is a difference from.
    kind_state same = s;
    std::string diff = encode_frame(object_kind::socket, &s, same, 6);
    EXPECT_THROW(decode_frame(object_kind::socket, diff, nullptr, out, 6), archive_error);
}

// An object keeps its lifetime while it is there and its counters grow;
// it begins another when it was missing from the sampling before or a
// counter went back.
TEST(ArchiveSampling, Lifetimes) {
    sampling_state one = state_of(tree_of({session(1, 10, 100), session(2, 10, 100)}), nullptr, 1);
    sampling_state two = state_of(tree_of({session(1, 20, 200), session(2, 5, 50)}), &one, 2);
    EXPECT_EQ(two.sessions.births, (std::vector<std::int64_t>{1, 2}));
    sampling_state three = state_of(tree_of({session(2, 6, 60)}), &two, 3);
    sampling_state four = state_of(tree_of({session(1, 30, 300), session(2, 7, 70)}), &three, 4);
    EXPECT_EQ(four.sessions.births, (std::vector<std::int64_t>{4, 2}));

    // Between samplings 1 and 4 only session 2's lifetime... is not the same
    // either: it was reborn at 2. Neither is subtracted.
    sampling_state before = one;
    keep_same_lifetimes(before, four);
    EXPECT_TRUE(before.sessions.keys.empty());
    before = two;
    keep_same_lifetimes(before, four);
    EXPECT_EQ(before.sessions.keys, (std::vector<std::uint32_t>{2}));
}

class ArchiveFile : public testing::Test {
protected:
    temp_dir dir;
    std::string path = dir.file("archive.db");
    recording_settings settings;
    void SetUp() override { settings.version = "test"; }
};

// Samplings read back as they were stored, from any point, after a reopen
// and across keyframes; a missing tree and a new run are breaks, and
// lifetimes go on across a restart of the recorder.
TEST_F(ArchiveFile, WritesAndReadsBack) {
    std::int64_t t = 1'700'000'000'000;
    {
        archive_writer w(path, settings);
        for (int i = 0; i < 100; ++i)
            w.append(tree_of({session(1, i, i * 10), session(3, 2 * i, i)}), t + i * 10000,
                     std::int64_t{i} * 10'000'000'000);
        w.append(snapshot{}, t + 100 * 10000, 100 * 10'000'000'000LL);  // the tree missing
    }
    {
        archive_writer w(path, settings);
        w.append(tree_of({session(1, 500, 5000), session(3, 1, 1)}), t + 200 * 10000, 7);
    }
    archive_reader r(path);
    ASSERT_EQ(r.first()->seq, 1);
    ASSERT_EQ(r.last()->seq, 102);
    for (std::int64_t seq :
         {std::int64_t{70}, std::int64_t{3}, std::int64_t{64}, std::int64_t{66}}) {
        snapshot s = snapshot_of(r.load(*r.by_seq(seq), 7), sessions_only());
        ASSERT_EQ(s.sessions.size(), 2u);
        EXPECT_EQ(s.sessions[0].write_samples, seq - 1);
        EXPECT_EQ(s.sessions[1].write_total_time, seq - 1);
    }
    std::optional<sampling_meta> last = r.last();
    std::vector<sampling_meta> breaks = r.breaks(1, last->seq);
    ASSERT_EQ(breaks.size(), 2u);
    EXPECT_EQ(breaks[0].tree, 0);
    EXPECT_EQ(breaks[1].keyframe, 2);
    EXPECT_NE(r.run(breaks[1].run).started_ms, 0);
    // After the missing tree, every object begins anew.
    EXPECT_EQ(r.load(*last, 7).sessions.births, (std::vector<std::int64_t>{102, 102}));
    // Between two runs with the tree there, lifetimes go on.
    EXPECT_EQ(seconds_between(*r.by_seq(1), *r.by_seq(2)), 10.0);
    EXPECT_EQ(seconds_between(*r.by_seq(1), *last), 2000.0);
}

// The wall clock stepping back or forward loses no sampling; the archive's
// time never goes back, so windows stay in order, and rates follow the
// clock that never steps.
TEST_F(ArchiveFile, ClockSteps) {
    archive_writer w(path, settings);
    const std::int64_t t = 1'700'000'000'000, second = 1'000'000'000;
    std::vector<std::int64_t> wall = {t,         t + 10000,     t - 3'600'000, t - 3'590'000,
                                      t + 20000, t + 7'200'000, t + 7'210'000};
    for (std::size_t i = 0; i < wall.size(); ++i)
        w.append(tree_of({session(1, static_cast<long long>(i), 0)}), wall[i],
                 static_cast<std::int64_t>(i) * 10 * second);
    archive_reader r(path);
    std::int64_t previous = 0;
    for (std::int64_t seq = 1; seq <= 7; ++seq) {
        std::optional<sampling_meta> m = r.by_seq(seq);
        ASSERT_TRUE(m) << seq;
        EXPECT_GT(m->time_ms, previous);
        previous = m->time_ms;
        if (seq > 1) {
            EXPECT_EQ(seconds_between(*r.by_seq(seq - 1), *m), 10.0);
        }
    }
    // The step forward is taken as it is: the clock was behind.
    EXPECT_EQ(r.by_seq(6)->time_ms, t + 7'200'000);
    // The step back: half as fast as the clock that never steps, until the
    // wall clock is ahead again.
    EXPECT_EQ(r.by_seq(3)->time_ms, t + 15000);
    EXPECT_EQ(r.by_seq(5)->time_ms, t + 25000);
    EXPECT_EQ(r.at_or_before(t + 14999, true)->seq, 2);
}

// Retention drops whole groups from the oldest: what is left always decodes.
TEST_F(ArchiveFile, RetainsByAgeAndSize) {
    settings.retain_age_ms = 3'600'000;
    std::vector<session_info> many;
    for (unsigned id = 0; id < 300; ++id) many.push_back(session(id, 1, 1));
    {
        archive_writer w(path, settings);
        for (int i = 0; i < 1000; ++i) {
            for (auto& s : many) s.write_samples += static_cast<long long>(id_hash(s.id, i));
            w.append(tree_of(many), std::int64_t{i} * 10000, std::int64_t{i} * 10'000'000'000);
        }
    }
    {
        archive_reader r(path);
        std::int64_t span = r.last()->time_ms - r.first()->time_ms;
        EXPECT_GE(span, 3'600'000);
        EXPECT_LE(span, 3'600'000 + archive_writer::keyframe_every * 10000);
        EXPECT_EQ(r.load(*r.first(), 7).sessions.size(), 300u);
    }
    std::string small = dir.file("small.db");
    settings.retain_age_ms = 0;
    settings.retain_size = 256 * 1024;
    archive_writer w(small, settings);
    for (int i = 0; i < 1500; ++i) {
        for (auto& s : many) s.write_samples += static_cast<long long>(id_hash(s.id, i));
        w.append(tree_of(many), std::int64_t{i} * 10000, std::int64_t{i} * 10'000'000'000);
        ASSERT_LE(w.size_on_disk(), settings.retain_size) << i;
    }
    archive_reader r(small);
    EXPECT_GT(r.first()->seq, 1);
    EXPECT_EQ(r.load(*r.first(), 7).sessions.size(), 300u);
}

// A recorder continuing an archive of the first version marks it as of
// this one, whose frames older readers cannot read; what was there still
// reads.
TEST_F(ArchiveFile, ContinuingTheFirstVersionUpgradesIt) {
    {
        archive_writer w(path, settings);
        w.append(tree_of({session(1, 1, 1)}), 1000, 1);
    }
    {
        database db(path, SQLITE_OPEN_READWRITE);
        db.exec("PRAGMA user_version = 1");
    }
    {
        archive_reader r(path);
        EXPECT_EQ(r.load(*r.first(), 7).sessions.values[1], 1);
    }
    {
        archive_writer w(path, settings);
        w.append(tree_of({session(1, 2, 2)}), 2000, 2);
    }
    database db(path, SQLITE_OPEN_READONLY);
    EXPECT_EQ(db.integer("PRAGMA user_version"), archive_schema_version);
    archive_reader r(path);
    EXPECT_EQ(r.load(*r.by_seq(2), 7).sessions.values[1], 2);
}

// Files that are not archives this version can use are refused with a
// message that says what they are, and never written.
TEST_F(ArchiveFile, RefusesWhatIsNotAnArchive) {
    {
        archive_writer w(path, settings);
        w.append(tree_of({session(1, 1, 1)}), 1000, 1);
    }
    std::string whole = contents(path);
    const std::string newer = dir.file("newer.db"), text = dir.file("text"),
                      truncated = dir.file("truncated.db"), other = dir.file("other.db"),
                      fifo = dir.file("fifo");
    write_file(text, "2026-12-08 03:12 not an archive\n");
    write_file(truncated, whole.substr(0, whole.size() / 2));
    {
        database db(other, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.exec("CREATE TABLE t (x); INSERT INTO t VALUES (1)");
    }
    std::string newer_bytes = whole;
    newer_bytes[63] = static_cast<char>(archive_schema_version + 1);  // user_version, big-endian
    write_file(newer, newer_bytes);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    struct refused {
        std::string path, says;
    };
    for (const refused& r :
         {refused{text, "not an SQLite database"}, refused{truncated, "truncated"},
          refused{other, "an SQLite database of something else"}, refused{newer, "newer sanstat"},
          refused{fifo, "not a regular file"}, refused{dir.file(""), "is a directory"}}) {
        std::string before = r.path == fifo || r.path == dir.file("") ? "" : contents(r.path);
        for (int writing = 0; writing < 2; ++writing) {
            try {
                if (writing)
                    archive_writer w(r.path, settings);
                else
                    archive_reader reader(r.path);
                ADD_FAILURE() << r.path << " was taken";
            } catch (const archive_error& e) {
                EXPECT_NE(std::string(e.what()).find(r.says), std::string::npos) << e.what();
                EXPECT_EQ(std::string(e.what()).rfind(r.path, 0), 0u) << e.what();
            }
        }
        if (!before.empty()) {
            EXPECT_EQ(contents(r.path), before) << r.path;
        }
        struct stat st {};
        EXPECT_NE(stat((r.path + "-wal").c_str(), &st), 0) << r.path;
    }
    EXPECT_THROW(archive_reader(dir.file("missing.db")), archive_error);
}

// One recorder per archive; a reader reads while it records.
TEST_F(ArchiveFile, OneWriterManyReaders) {
    archive_writer first(path, settings);
    first.append(tree_of({session(1, 1, 1)}), 1000, 1);
    try {
        archive_writer second(path, settings);
        ADD_FAILURE() << "a second writer was let in";
    } catch (const archive_error& e) {
        EXPECT_NE(std::string(e.what()).find("another sanstat record"), std::string::npos);
    }
    archive_reader r(path);
    EXPECT_EQ(r.last()->seq, 1);
    first.append(tree_of({session(1, 2, 2)}), 2000, 2);
    EXPECT_EQ(r.last()->seq, 2);
}

TEST(TimeSpec, Moments) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const std::int64_t now = 1796707200000;  // 2026-12-08 08:00:00 +0100
    std::int64_t ms = 0;
    std::string error;
    struct accepted {
        const char* text;
        std::int64_t ms;
    };
    for (const accepted& a :
         {accepted{"2026-12-08T03:12", 1796695920000},
          accepted{"2026-12-08 03:12:30", 1796695950000}, accepted{"2026-12-08", 1796684400000},
          accepted{"03:12", 1796695920000}, accepted{"@1796695920", 1796695920000},
          accepted{"@1796695920.5", 1796695920500}, accepted{"-2h", now - 7200000},
          accepted{"-90s", now - 90000}, accepted{"-1h30m", now - 5400000},
          accepted{"2026-07-01T12:00", 1782900000000}}) {
        EXPECT_TRUE(parse_time_text(a.text, now, ms, error)) << a.text << ": " << error;
        EXPECT_EQ(ms, a.ms) << a.text;
    }
    for (const char* bad : {"", "03:12pm", "25:00", "2026-13-01", "2026-12-08X03:12", "@", "@x",
                            "-", "-2x", "yesterday", "2026-12-08T03:12:30Z", "03:12:5"}) {
        EXPECT_FALSE(parse_time_text(bad, now, ms, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(local_time_text(1796695950000), "2026-12-08 03:12:30 +0100");
    EXPECT_EQ(iso_local_time(1782900000000), "2026-07-01T12:00:00+02:00");
}

TEST(TimeSpec, DurationsAndSizes) {
    std::int64_t ms = 0;
    std::uint64_t bytes = 0;
    std::string error;
    EXPECT_TRUE(parse_duration_ms("30d", ms, error));
    EXPECT_EQ(ms, 30LL * 86400000);
    EXPECT_TRUE(parse_duration_ms("1w2d", ms, error));
    EXPECT_EQ(ms, 9LL * 86400000);
    EXPECT_TRUE(parse_duration_ms("45", ms, error));
    EXPECT_EQ(ms, 45000);
    for (const char* bad : {"", "0", "-5m", "5x", "m", "1h30"})
        EXPECT_FALSE(parse_duration_ms(bad, ms, error)) << bad;
    EXPECT_TRUE(parse_size("64M", bytes, error));
    EXPECT_EQ(bytes, 64u << 20);
    EXPECT_TRUE(parse_size("1.5G", bytes, error));
    EXPECT_EQ(bytes, 3u << 29);
    EXPECT_TRUE(parse_size("4096", bytes, error));
    EXPECT_EQ(bytes, 4096u);
    for (const char* bad : {"", "0", "-1M", "1X", "M", "1MB"})
        EXPECT_FALSE(parse_size(bad, bytes, error)) << bad;
}
