#include "outputs/chosen_outputs.h"

ChosenOutputs::ChosenOutputs(const OutputOptions& options, bool json, int form, const LineClock& clock,
                             const CommandNames* names)
    : options_(options), jsonLines_(json), text_(stdout, form, clock), json_(stdout, form, clock), pcapng_(names, clock, Summary()) {}

bool ChosenOutputs::Open(const std::vector<std::string>& lines) {
    const OutputOptions& o = options_;
    if (o.pcapng.empty() && o.pcapngFd < 0) return true;
    std::string error;
    if (!pcapng_.Open(o, lines, error)) {
        std::fprintf(stderr, "zantrox-cli: --pcapng: %s%s%s; nothing was sent\n", o.pcapng.c_str(),
                     o.pcapng.empty() ? "" : " ", error.c_str());
        return false;
    }
    capture_ = true;
    return true;
}

void ChosenOutputs::AddTerminal(LineStream& stream) {
    if (options_.quiet) return;
    if (jsonLines_) {
        stream.Add(json_);
    } else {
        stream.Add(text_);
    }
}

void ChosenOutputs::AddCapture(LineStream& stream) {
    if (capture_) stream.Add(pcapng_);
    for (LineOutput* more : options_.more) stream.Add(*more);
}
