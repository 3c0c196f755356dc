// What the full-screen view shows, moment by moment: the tree read live,
// or an archive replayed.
#pragma once

#include <string>

#include "common/snapshot.h"

namespace sanstat {

class top_source {
public:
    virtual ~top_source() = default;

    // The moment shown, and the one its rates are counted from (none: it
    // shows totals). Without now there is nothing to show at this moment,
    // and gap() says why.
    virtual const sanperf_tools::snapshot* now() const = 0;
    virtual const sanperf_tools::snapshot* before() const = 0;
    virtual std::string gap() const = 0;
    virtual int sequence() const = 0;
    // False when the view should end: the live tree went away.
    virtual bool alive() const = 0;

    // Every interval: the next moment live; a replay at the archive's end
    // takes the samplings recorded since, as tail -f does.
    virtual void refresh() = 0;
    // The keys t (forward) and T (back): one interval. False for a source
    // that cannot step.
    virtual bool step(int direction) = 0;
    virtual bool replay() const = 0;
};

}  // namespace sanstat
