#include "sanperf_exporter/tree_read.h"

#include "common/sink.h"
#include "sanperf_exporter/http/gzip.h"

namespace sanperf_exporter {

namespace {

bool has(collector_set which, std::size_t i) { return (which & (collector_set{1} << i)) != 0; }

}  // namespace

bool tree_read::has_form(collector_set which, bool gzip) const {
    const auto it = forms_.find({which, gzip});
    return it != forms_.end() && it->second;
}

const tree_read::form& tree_read::form_for(collector_set which, bool gzip_it) {
    std::unique_ptr<form>& slot = forms_[{which, gzip_it}];
    if (slot) return *slot;
    auto f = std::make_unique<form>();
    const std::string_view all(text);
    if (gzip_it) {
        f->own = gzip(form_for(which, false).parts);
        f->gzip = true;
        metrics->count_compression();
        f->parts.emplace_back(f->own);
    } else {
        bool every = true;
        std::vector<collector_report> chosen;
        std::size_t begin = 0;
        for (std::size_t i = 0; i < collector_end.size(); ++i) {
            if (has(which, i)) {
                f->parts.push_back(all.substr(begin, collector_end[i] - begin));
                chosen.push_back(reports[i]);
            } else {
                every = false;
            }
            begin = collector_end[i];
        }
        if (every) {
            // The read as it was written, in one piece.
            f->parts.assign(1, all);
        } else {
            f->parts.push_back(all.substr(begin, always_end - begin));
            sanperf_tools::string_sink out(f->own);
            metrics->render_scrape(out, tree_found, seconds, chosen);
            f->parts.emplace_back(f->own);
            f->parts.push_back(all.substr(exporter_begin));
        }
    }
    for (std::string_view part : f->parts) f->size += part.size();
    slot = std::move(f);
    return *slot;
}

}  // namespace sanperf_exporter
