// How one sampling of one kind of object is stored: a frame, the values of
// every object as differences from the frame before (or whole, in a
// keyframe), field by field, each as its width in bits and the bits below
// its top one, compressed with zlib. docs/archive.md describes the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sanperf_tools {

enum class object_kind { disk, session, socket };

// The values an object of a kind holds per sampling, in a fixed order.
// disk: handler samples, total_time, min_time, max_time, total_count,
// min_count, max_count, the same seven of processing, max_num_active.
// session: lba, write samples, total_time, min_time, max_time, the same
// four of read. socket: per slot, in the library's order, samples,
// total_time, min_time, max_time.
int object_width(object_kind kind);

// True when value field of kind only grows while its object lives (the
// samples, total times and total counts): a decrease means a new object.
bool cumulative_field(object_kind kind, int field);

// Every object of one kind in one sampling.
struct kind_state {
    std::vector<std::uint32_t> keys;   // ascending: queue index, session id, socket number
    std::vector<std::int64_t> births;  // the sampling each object's lifetime began with
    std::vector<std::int64_t> values;  // keys.size() times object_width, object by object
    // Beside each value, the width in bits its frame stored it with: the
    // next frame's widths are stored as differences from these. Set by
    // encode_frame and decode_frame.
    std::vector<unsigned char> widths;
    std::size_t size() const { return keys.size(); }
    void clear() {
        keys.clear();
        births.clear();
        values.clear();
        widths.clear();
    }
};

// The frame of now, sampling seq. With base (the state of the sampling
// before, same kind), objects whose key and birth are in base are stored
// as differences from it, and an object not continued there must have
// birth seq. Without base, a keyframe: everything stored whole, births too.
// Sets now.widths; base, when given, must have come from encode_frame or
// decode_frame.
std::string encode_frame(object_kind kind, const kind_state* base, kind_state& now,
                         std::int64_t seq);

// The state a frame stores, over base for a frame that was encoded with
// one. Throws archive_error for a frame that is damaged.
void decode_frame(object_kind kind, std::string_view frame, const kind_state* base, kind_state& out,
                  std::int64_t seq);

}  // namespace sanperf_tools
