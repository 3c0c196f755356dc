#include "sanperf_exporter/http/body_response.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>

namespace sanperf_exporter {

namespace {

using held = std::shared_ptr<const tree_reader::body>;

void release(void* holder) { delete static_cast<held*>(holder); }

// Copies the form's text from pos on into buf, as libmicrohttpd sends it.
ssize_t copy_out(void* holder, uint64_t pos, char* buf, std::size_t max) {
    const tree_read::form& f = *(*static_cast<held*>(holder))->form;
    std::size_t done = 0;
    for (std::string_view part : f.parts) {
        if (done == max) break;
        if (pos >= part.size()) {
            pos -= part.size();
            continue;
        }
        const std::size_t n = std::min<std::size_t>(part.size() - pos, max - done);
        std::memcpy(buf + done, part.data() + pos, n);
        done += n;
        pos = 0;
    }
    return done > 0 ? static_cast<ssize_t>(done) : MHD_CONTENT_READER_END_OF_STREAM;
}

}  // namespace

MHD_Response* make_body_response(std::shared_ptr<const tree_reader::body> body) {
    const tree_read::form& f = *body->form;
    auto* holder = new held(std::move(body));
    MHD_Response* response =
        f.parts.size() == 1
            ? MHD_create_response_from_buffer_with_free_callback_cls(
                  f.size, const_cast<char*>(f.parts[0].data()), &release, holder)
            : MHD_create_response_from_callback(f.size, 64 * 1024, &copy_out, holder, &release);
    if (response == nullptr) delete holder;
    return response;
}

}  // namespace sanperf_exporter
