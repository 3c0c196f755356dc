// Feeds arbitrary bytes to the archive's frame decoder, as a damaged or
// forged archive file would. The first byte picks the kind of object, the
// next two the length of a first frame, decoded as a keyframe (sampling
// 0); the rest is a second frame, decoded over the first's state (sampling
// 1). A frame may be refused with archive_error and nothing else, and a
// state the decoder accepts must encode to a frame that decodes to the
// same keys, births and values.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/archive_encoding.h"
#include "common/archive_schema.h"

namespace {

using sanperf_tools::kind_state;
using sanperf_tools::object_kind;

bool same(const kind_state& a, const kind_state& b) {
    return a.keys == b.keys && a.births == b.births && a.values == b.values;
}

// Decodes frame over base at seq; false when it is refused as damaged.
bool decoded(object_kind kind, std::string_view frame, const kind_state* base, kind_state& out,
             std::int64_t seq) {
    try {
        sanperf_tools::decode_frame(kind, frame, base, out, seq);
        return true;
    } catch (const sanperf_tools::archive_error&) {
        return false;
    }
}

// What the decoder made of a frame must survive the encoder and back.
void round_trip(object_kind kind, const kind_state* base, const kind_state& state,
                std::int64_t seq) {
    kind_state again = state;
    const std::string frame = sanperf_tools::encode_frame(kind, base, again, seq);
    kind_state back;
    if (!decoded(kind, frame, base, back, seq) || !same(back, state)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const auto kind = static_cast<object_kind>(data[0] % 3);
    const std::size_t first = std::min<std::size_t>(size - 3, data[1] | data[2] << 8);
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 3, size - 3);

    kind_state key;
    if (!decoded(kind, bytes.substr(0, first), nullptr, key, 0)) return 0;
    round_trip(kind, nullptr, key, 0);
    kind_state next;
    if (decoded(kind, bytes.substr(first), &key, next, 1)) round_trip(kind, &key, next, 1);
    return 0;
}
