#include "common/archive_encoding.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "common/archive_schema.h"
#include "common/tree_layout.h"

namespace sanperf_tools {

namespace {

constexpr int disk_width = 15;
constexpr int session_width = 9;
constexpr int socket_width = socket_slot_count * 4;

// The first byte of a frame: how the rest is stored. The first archives
// wrote plain and zlib frames, whose widths are their values' own and come
// field by field; frames are now split: the head (keys, lifetimes and
// widths, these as differences from the widths the frame before stored for
// the same values) compressed, then the values' bits as they are, object
// by object.
enum : unsigned char { stored_plain = 0, stored_zlib = 1, stored_split = 2 };
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

[[noreturn]] void damaged() { throw archive_error("a stored sampling is damaged"); }

unsigned width_of(std::uint64_t v) {
    return v == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(v));
}

// A width's difference from its prediction, -64 ... 64, as one byte: 0, -1,
// 1, -2 ... as 0, 1, 2, 3 ...
unsigned char zigzag_width(int d) { return static_cast<unsigned char>(d < 0 ? -2 * d - 1 : 2 * d); }
int unzigzag_width(unsigned char z) { return z % 2 != 0 ? -(z + 1) / 2 : z / 2; }

// The bits of values below their top one, least significant first, packed
// without gaps.
class bit_writer {
public:
    void put(std::uint64_t v, unsigned width) {
        if (width <= 1) return;
        put_low(v, width - 1);
    }
    void finish(std::string& out) {
        while (have_ > 0) flush_byte();
        out += bytes_;
    }

private:
    void put_low(std::uint64_t v, unsigned count) {
        if (count > 32) {
            put_low(v, 32);
            put_low(v >> 32, count - 32);
            return;
        }
        acc_ |= (v & ((std::uint64_t{1} << count) - 1)) << have_;
        have_ += count;
        while (have_ >= 8) flush_byte();
    }
    void flush_byte() {
        bytes_.push_back(static_cast<char>(acc_ & 0xff));
        acc_ >>= 8;
        have_ = have_ >= 8 ? have_ - 8 : 0;
    }
    std::string bytes_;
    std::uint64_t acc_ = 0;
    unsigned have_ = 0;
};

class bit_reader {
public:
    explicit bit_reader(std::string_view data) : data_(data) {}
    // The value of width whose bits below the top one come next.
    std::uint64_t get(unsigned width) {
        if (width == 0) return 0;
        return (std::uint64_t{1} << (width - 1)) | get_low(width - 1);
    }
    // Bytes begun so far.
    std::size_t used() const { return pos_; }

private:
    std::uint64_t get_low(unsigned count) {
        if (count > 32) {
            std::uint64_t low = get_low(32);
            return low | get_low(count - 32) << 32;
        }
        while (have_ < count) {
            if (pos_ >= data_.size()) damaged();
            acc_ |= std::uint64_t{static_cast<unsigned char>(data_[pos_++])} << have_;
            have_ += 8;
        }
        std::uint64_t v = acc_ & ((std::uint64_t{1} << count) - 1);
        acc_ >>= count;
        have_ -= count;
        return v;
    }
    std::string_view data_;
    std::size_t pos_ = 0;
    std::uint64_t acc_ = 0;
    unsigned have_ = 0;
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

// Differences wrap: any two 64-bit values differ by a 64-bit value.
std::int64_t minus(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t plus(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

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
    // The next count bytes.
    std::string_view take(std::size_t count) {
        if (data_.size() - pos_ < count) damaged();
        pos_ += count;
        return data_.substr(pos_ - count, count);
    }
    void skip(std::size_t count) { take(count); }
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

    // data as a zlib stream, after its size and the stream's.
    void pack(const std::string& data, std::string& out) {
        std::string packed(deflateBound(&z_, static_cast<uLong>(data.size())), '\0');
        deflateReset(&z_);
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z_.avail_in = static_cast<uInt>(data.size());
        z_.next_out = reinterpret_cast<Bytef*>(packed.data());
        z_.avail_out = static_cast<uInt>(packed.size());
        if (deflate(&z_, Z_FINISH) != Z_STREAM_END) throw std::bad_alloc();
        packed.resize(z_.total_out);
        put_varint(out, data.size());
        put_varint(out, packed.size());
        out += packed;
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

    // A stream pack wrote, at r; with its length stored (split frames) or
    // running to the end (the first archives' zlib frames).
    std::string unpack(reader& r, bool length_stored) {
        std::uint64_t size = r.varint();
        if (size > max_payload) damaged();
        std::string_view data =
            length_stored ? r.take(static_cast<std::size_t>(r.varint())) : r.take(r.rest().size());
        std::string out(size, '\0');
        inflateReset(&z_);
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z_.avail_in = static_cast<uInt>(data.size());
        z_.next_out = reinterpret_cast<Bytef*>(out.data());
        z_.avail_out = static_cast<uInt>(out.size());
        if (inflate(&z_, Z_FINISH) != Z_STREAM_END || z_.total_out != size || z_.avail_in != 0)
            damaged();
        return out;
    }

private:
    z_stream z_{};
};

void compress_into(const std::string& data, std::string& out) {
    thread_local deflater d;
    d.pack(data, out);
}

std::string inflated(reader& r, bool length_stored) {
    thread_local inflater i;
    return i.unpack(r, length_stored);
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

std::string encode_frame(object_kind kind, const kind_state* base, kind_state& now,
                         std::int64_t seq) {
    const auto width = static_cast<std::size_t>(object_width(kind));
    const std::size_t n = now.size();
    std::vector<std::ptrdiff_t> at = continued(base, now);
    std::string head;
    put_varint(head, n);
    bool same_keys = base != nullptr && base->size() == n &&
                     std::all_of(at.begin(), at.end(), [](std::ptrdiff_t j) { return j >= 0; });
    head.push_back(static_cast<char>(same_keys ? keys_as_base : keys_listed));
    if (!same_keys) {
        std::uint32_t previous = 0;
        for (std::uint32_t key : now.keys) {
            put_varint(head, key - previous);
            previous = key;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (base != nullptr)
                head.push_back(at[i] >= 0 ? 1 : 0);
            else
                put_varint(head, zigzag(minus(seq, now.births[i])));
        }
    }
    if (base != nullptr && base->widths.size() != base->values.size())
        throw std::logic_error("a frame's base lacks the widths it was stored with");
    bit_writer bits;
    now.widths.resize(now.values.size());
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t f = 0; f < width; ++f) {
            std::int64_t ref = 0;
            int predicted = 0;
            if (at[i] >= 0) {
                std::size_t from = static_cast<std::size_t>(at[i]) * width + f;
                ref = base->values[from];
                predicted = base->widths[from];
            }
            std::uint64_t v = fold(kind, f, minus(now.values[i * width + f], ref));
            unsigned w = width_of(v);
            head.push_back(static_cast<char>(zigzag_width(static_cast<int>(w) - predicted)));
            bits.put(v, w);
            now.widths[i * width + f] = static_cast<unsigned char>(w);
        }
    }
    std::string frame(1, static_cast<char>(stored_split));
    compress_into(head, frame);
    bits.finish(frame);
    return frame;
}

void decode_frame(object_kind kind, std::string_view frame, const kind_state* base, kind_state& out,
                  std::int64_t seq) {
    if (frame.empty()) damaged();
    const auto how = static_cast<unsigned char>(frame[0]);
    if (how > stored_split) damaged();
    const bool split = how == stored_split;
    reader outer(frame.substr(1));
    std::string unpacked;
    std::string_view payload = outer.rest();
    if (how != stored_plain) {
        unpacked = inflated(outer, split);
        payload = unpacked;
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
    if (base != nullptr && base->widths.size() != base->values.size()) damaged();
    // A split frame's widths are differences from the base's, object by
    // object, its bits after the compressed head; the first archives'
    // widths are their own, field by field, their bits right after them.
    const std::string_view stored = r.take(n * width);
    bit_reader bits(split ? outer.rest() : r.rest());
    out.values.resize(n * width);
    out.widths.resize(n * width);
    std::vector<char> grow(width);
    for (std::size_t f = 0; f < width; ++f) grow[f] = grows(kind, f);
    const auto* widths = reinterpret_cast<const unsigned char*>(stored.data());
    auto set = [&](std::size_t i, std::size_t f, int w, const std::int64_t* ref) {
        if (w < 0 || w > 64) damaged();
        std::uint64_t v = bits.get(static_cast<unsigned>(w));
        std::int64_t d = grow[f] ? static_cast<std::int64_t>(v) : unzigzag(v);
        out.values[i * width + f] = ref != nullptr ? plus(ref[f], d) : d;
        out.widths[i * width + f] = static_cast<unsigned char>(w);
    };
    for (std::size_t i = 0; split && i < n; ++i) {
        const std::size_t from = static_cast<std::size_t>(at[i]) * width;
        const std::int64_t* ref = at[i] >= 0 ? &base->values[from] : nullptr;
        const unsigned char* predicted = at[i] >= 0 ? &base->widths[from] : nullptr;
        for (std::size_t f = 0; f < width; ++f)
            set(i, f, unzigzag_width(widths[i * width + f]) + (predicted ? predicted[f] : 0), ref);
    }
    for (std::size_t f = 0; !split && f < width; ++f) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t* ref =
                at[i] >= 0 ? &base->values[static_cast<std::size_t>(at[i]) * width] : nullptr;
            set(i, f, widths[f * n + i], ref);
        }
    }
    if (split) {
        if (!r.done() || bits.used() != outer.rest().size()) damaged();
    } else {
        r.skip(bits.used());
        if (!r.done()) damaged();
    }
}

}  // namespace sanperf_tools
