#pragma once
// What the converter at hand can encode. Presets name codecs by what the converter picks for a
// container; where a build of the converter lacks the encoder a container defaults to (Debian's
// ffmpeg has no AMR-NB encoder, the 3GP default), the runner names a codec it does have.
//
// The encoder list is asked for once per converter program and program run, and only when a
// conversion needs the answer.

#include <string>
#include <vector>

namespace cw {

// Runs args[0] (found like the converter) with the other arguments and returns what it wrote on
// its standard output; "" when it cannot be started or has not ended within timeoutMs (it is
// then killed). Standard input is empty; standard error is discarded.
std::string ProgramOutput(const std::vector<std::string>& args, int timeoutMs);

// Whether an "-encoders" listing names an audio encoder for AMR narrow-band.
bool ListsAmrNbEncoder(const std::string& listing);

// Whether the converter at programPath (a resolved path) has an AMR-NB encoder; asked once per
// path. A converter whose list cannot be read counts as having none.
bool ConverterHasAmrNbEncoder(const std::string& programPath);

// Adjusts the child's argument vector to the converter at programPath: a 3GP output whose
// arguments name no audio codec gets "-acodec aac" when the converter cannot encode AMR-NB.
// The last element of args is the output path.
void AdaptToConverter(std::vector<std::string>& args, const std::string& programPath);

} // namespace cw
