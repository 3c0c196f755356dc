#include "common/archive_encoding.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "common/archive_schema.h"
#include "common/tree_layout.h"

namespace sanperf_tools {

namespace {

constexpr int disk_width = 15;
constexpr int session_width = 9;
constexpr int socket_width = socket_slot_count * 4;

// The first byte of a frame: how the rest is stored.
enum : unsigned char { stored_plain = 0, stored_zlib = 1 };
// Whether the keys are listed or are those of the base, all continued.
enum : unsigned char { keys_as_base = 0, keys_listed = 1 };

// More than a frame of the biggest tree could ever hold: a damaged frame's
// counts are refused before anything is allocated for them.
constexpr std::uint64_t max_objects = 1u << 24;
constexpr std::uint64_t max_payload = 1u << 30;

void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

// The values of a frame are stored in two parts: for every value its width
// in bits (0 for 0), one byte each, which zlib packs well since most are
// small or alike; then, after all the widths, each value's bits below its
// top one (which its width implies), one after the other, least
// significant first.
class value_writer {
public:
    void put(std::uint64_t v) {
        unsigned bits = 0;
        while (bits < 64 && (v >> bits) != 0) ++bits;
        widths_.push_back(static_cast<char>(bits));
        for (unsigned i = 0; i + 1 < bits; ++i) {
            if (used_ % 8 == 0) bits_.push_back('\0');
            if ((v >> i) & 1) bits_.back() = static_cast<char>(bits_.back() | (1 << (used_ % 8)));
            ++used_;
        }
    }
    void finish(std::string& out) const { out += widths_ + bits_; }

private:
    std::string widths_, bits_;
    std::size_t used_ = 0;
};

std::uint64_t zigzag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

std::int64_t unzigzag(std::uint64_t v) {
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

// A difference as stored: a field that only grows while its object lives
// (the cumulative counters, the maxima) differs by a number that is never
// negative, stored as it is; any other is zigzag-encoded, so that small
// numbers of either sign stay small. Either way every 64-bit difference
// comes back exactly.
bool grows(object_kind kind, std::size_t field) {
    if (cumulative_field(kind, static_cast<int>(field))) return true;
    switch (kind) {
        case object_kind::disk:
            return field == 3 || field == 6 || field == 10 || field == 13 || field == 14;
        case object_kind::session:
            return field == 4 || field == 8;
        case object_kind::socket:
            break;
    }
    return field % 4 == 3;
}

std::uint64_t fold(object_kind kind, std::size_t field, std::int64_t difference) {
    return grows(kind, field) ? static_cast<std::uint64_t>(difference) : zigzag(difference);
}

std::int64_t unfold(object_kind kind, std::size_t field, std::uint64_t stored) {
    return grows(kind, field) ? static_cast<std::int64_t>(stored) : unzigzag(stored);
}

// Differences wrap: any two 64-bit values differ by a 64-bit value.
std::int64_t minus(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t plus(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

[[noreturn]] void damaged() { throw archive_error("a stored sampling is damaged"); }

class reader {
public:
    explicit reader(std::string_view data) : data_(data) {}
    std::uint64_t varint() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (pos_ >= data_.size()) damaged();
            auto byte = static_cast<unsigned char>(data_[pos_++]);
            v |= std::uint64_t{byte & 0x7fu} << shift;
            if ((byte & 0x80) == 0) return v;
        }
        damaged();
    }
    unsigned char byte() {
        if (pos_ >= data_.size()) damaged();
        return static_cast<unsigned char>(data_[pos_++]);
    }
    // The count values a value_writer finished here.
    void values(std::vector<std::uint64_t>& out, std::size_t count) {
        if (data_.size() - pos_ < count) damaged();
        const auto* widths = reinterpret_cast<const unsigned char*>(data_.data() + pos_);
        const auto* bits = widths + count;
        const std::size_t available = (data_.size() - pos_ - count) * 8;
        std::size_t used = 0;
        out.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            unsigned width = widths[i];
            if (width > 64 || (width > 0 && available - used < width - 1)) damaged();
            std::uint64_t v = width == 0 ? 0 : std::uint64_t{1} << (width - 1);
            for (unsigned b = 0; b + 1 < width; ++b, ++used)
                if ((bits[used / 8] >> (used % 8)) & 1) v |= std::uint64_t{1} << b;
            out[i] = v;
        }
        pos_ += count + (used + 7) / 8;
    }
    std::string_view rest() const { return data_.substr(pos_); }
    bool done() const { return pos_ == data_.size(); }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

// Where each object of now stands in base: its index there when it
// continues its lifetime, else -1.
std::vector<std::ptrdiff_t> continued(const kind_state* base, const kind_state& now) {
    std::vector<std::ptrdiff_t> at(now.size(), -1);
    if (base == nullptr) return at;
    std::size_t j = 0;
    for (std::size_t i = 0; i < now.size(); ++i) {
        while (j < base->size() && base->keys[j] < now.keys[i]) ++j;
        if (j < base->size() && base->keys[j] == now.keys[i] && base->births[j] == now.births[i])
            at[i] = static_cast<std::ptrdiff_t>(j);
    }
    return at;
}

// One zlib stream per thread, reset for each frame: setting one up costs
// more than packing a frame.
class deflater {
public:
    deflater() {
        if (deflateInit(&z_, Z_BEST_COMPRESSION) != Z_OK) throw std::bad_alloc();
    }
    ~deflater() { deflateEnd(&z_); }
    deflater(const deflater&) = delete;
    deflater& operator=(const deflater&) = delete;

    // payload packed after the header byte and the size; empty on failure.
    std::string pack(const std::string& payload) {
        std::string out(1, static_cast<char>(stored_zlib));
        put_varint(out, payload.size());
        std::size_t head = out.size();
        out.resize(head + deflateBound(&z_, static_cast<uLong>(payload.size())));
        deflateReset(&z_);
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
        z_.avail_in = static_cast<uInt>(payload.size());
        z_.next_out = reinterpret_cast<Bytef*>(&out[head]);
        z_.avail_out = static_cast<uInt>(out.size() - head);
        if (deflate(&z_, Z_FINISH) != Z_STREAM_END) return {};
        out.resize(head + z_.total_out);
        return out;
    }

private:
    z_stream z_{};
};

class inflater {
public:
    inflater() {
        if (inflateInit(&z_) != Z_OK) throw std::bad_alloc();
    }
    ~inflater() { inflateEnd(&z_); }
    inflater(const inflater&) = delete;
    inflater& operator=(const inflater&) = delete;

    std::string unpack(std::string_view frame) {
        reader r(frame);
        std::uint64_t size = r.varint();
        if (size > max_payload) damaged();
        std::string out(size, '\0');
        std::string_view data = r.rest();
        inflateReset(&z_);
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z_.avail_in = static_cast<uInt>(data.size());
        z_.next_out = reinterpret_cast<Bytef*>(out.data());
        z_.avail_out = static_cast<uInt>(out.size());
        if (inflate(&z_, Z_FINISH) != Z_STREAM_END || z_.total_out != size) damaged();
        return out;
    }

private:
    z_stream z_{};
};

std::string compressed(const std::string& payload) {
    thread_local deflater d;
    return d.pack(payload);
}

std::string inflated(std::string_view frame) {
    thread_local inflater i;
    return i.unpack(frame);
}

}  // namespace

int object_width(object_kind kind) {
    switch (kind) {
        case object_kind::disk:
            return disk_width;
        case object_kind::session:
            return session_width;
        case object_kind::socket:
            break;
    }
    return socket_width;
}

bool cumulative_field(object_kind kind, int field) {
    switch (kind) {
        case object_kind::disk:
            return field == 0 || field == 1 || field == 4 || field == 7 || field == 8 ||
                   field == 11;
        case object_kind::session:
            return field == 1 || field == 2 || field == 5 || field == 6;
        case object_kind::socket:
            break;
    }
    return field % 4 < 2;
}

std::string encode_frame(object_kind kind, const kind_state* base, const kind_state& now,
                         std::int64_t seq) {
    const auto width = static_cast<std::size_t>(object_width(kind));
    const std::size_t n = now.size();
    std::vector<std::ptrdiff_t> at = continued(base, now);
    std::string payload;
    put_varint(payload, n);
    bool same_keys = base != nullptr && base->size() == n &&
                     std::all_of(at.begin(), at.end(), [](std::ptrdiff_t j) { return j >= 0; });
    payload.push_back(static_cast<char>(same_keys ? keys_as_base : keys_listed));
    if (!same_keys) {
        std::uint32_t previous = 0;
        for (std::uint32_t key : now.keys) {
            put_varint(payload, key - previous);
            previous = key;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (base != nullptr)
                payload.push_back(at[i] >= 0 ? 1 : 0);
            else
                put_varint(payload, zigzag(minus(seq, now.births[i])));
        }
    }
    value_writer values;
    for (std::size_t f = 0; f < width; ++f) {
        for (std::size_t i = 0; i < n; ++i) {
            std::int64_t ref =
                at[i] >= 0 ? base->values[static_cast<std::size_t>(at[i]) * width + f] : 0;
            values.put(fold(kind, f, minus(now.values[i * width + f], ref)));
        }
    }
    values.finish(payload);
    std::string packed = compressed(payload);
    if (!packed.empty() && packed.size() < payload.size() + 1) return packed;
    payload.insert(payload.begin(), static_cast<char>(stored_plain));
    return payload;
}

void decode_frame(object_kind kind, std::string_view frame, const kind_state* base, kind_state& out,
                  std::int64_t seq) {
    if (frame.empty()) damaged();
    std::string unpacked;
    std::string_view payload = frame.substr(1);
    if (static_cast<unsigned char>(frame[0]) == stored_zlib) {
        unpacked = inflated(payload);
        payload = unpacked;
    } else if (frame[0] != stored_plain) {
        damaged();
    }
    const auto width = static_cast<std::size_t>(object_width(kind));
    reader r(payload);
    std::uint64_t count = r.varint();
    if (count > max_objects) damaged();
    const auto n = static_cast<std::size_t>(count);
    out.clear();
    std::vector<std::ptrdiff_t> at(n, -1);
    unsigned char mode = r.byte();
    if (mode == keys_as_base) {
        if (base == nullptr || base->size() != n) damaged();
        out.keys = base->keys;
        out.births = base->births;
        for (std::size_t i = 0; i < n; ++i) at[i] = static_cast<std::ptrdiff_t>(i);
    } else if (mode == keys_listed) {
        out.keys.resize(n);
        out.births.resize(n);
        std::uint64_t key = 0;
        for (std::size_t i = 0; i < n; ++i) {
            key += r.varint();
            if (key > UINT32_MAX || (i > 0 && key <= out.keys[i - 1])) damaged();
            out.keys[i] = static_cast<std::uint32_t>(key);
        }
        std::size_t j = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (base == nullptr) {
                out.births[i] = minus(seq, unzigzag(r.varint()));
                continue;
            }
            unsigned char flag = r.byte();
            if (flag > 1) damaged();
            out.births[i] = seq;
            if (flag == 0) continue;
            while (j < base->size() && base->keys[j] < out.keys[i]) ++j;
            if (j == base->size() || base->keys[j] != out.keys[i]) damaged();
            at[i] = static_cast<std::ptrdiff_t>(j);
            out.births[i] = base->births[j];
        }
    } else {
        damaged();
    }
    out.values.resize(n * width);
    std::vector<std::uint64_t> stored;
    r.values(stored, n * width);
    for (std::size_t f = 0; f < width; ++f) {
        for (std::size_t i = 0; i < n; ++i) {
            std::int64_t ref =
                at[i] >= 0 ? base->values[static_cast<std::size_t>(at[i]) * width + f] : 0;
            out.values[i * width + f] = plus(ref, unfold(kind, f, stored[f * n + i]));
        }
    }
    if (!r.done()) damaged();
}

}  // namespace sanperf_tools
