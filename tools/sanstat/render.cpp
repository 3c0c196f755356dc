#include "render.h"

namespace sanstat {

std::string render(format f, const report& r) {
    switch (f) {
    case format::json: return render_json(r);
    case format::prometheus: return render_prometheus(r);
    case format::table: break;
    }
    return render_table(r);
}

}  // namespace sanstat
