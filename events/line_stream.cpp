#include "events/line_events.h"

#include "events/exit_status.h"

int LineStream::Finish(StreamEnd end) {
    end.broken = Broken();
    int status = EXIT_ALL_OK;
    for (LineOutput* o : outputs_) {
        if (o->Finish(end) != EXIT_ALL_OK) status = EXIT_FAILED;
    }
    return status;
}

bool LineStream::Broken() const {
    for (const LineOutput* o : outputs_) {
        if (o->Broken()) return true;
    }
    return false;
}
