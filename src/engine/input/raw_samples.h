#pragma once

// The raw forms in which the one-pass decode receives the decoder's samples, and their
// conversion into what the cut finder and the pieces take, exactly as ffmpeg converts.

#include <QString>

namespace brevane::detail {

// The decoder's own sample format, reduced to the raw forms the one-pass decode asks for:
// each is the widest form ffmpeg converts from exactly, so that the finder's floats and the
// pieces' 16-bit samples can both be derived from it as ffmpeg itself would derive them.
enum class DecodedSamples {
    Int16, // 8- and 16-bit integer: the 16-bit stream already is ffmpeg's own conversion
    Int32,
    Float32,
    Float64,
    Other,
};

// The raw format ("-f") the one-pass decode asks for, and the bytes of one of its samples.
QString rawFormatName(DecodedSamples form);
int rawSampleBytes(DecodedSamples form);

// Converts sampleCount raw little-endian samples of that format as ffmpeg would have: into
// 16-bit little-endian samples for the pieces, and into little-endian floats for the cut finder.
// Either destination may be null where the raw samples already are what it would receive:
// 16-bit samples for the pieces, floats for the finder.
void convertRawSamples(DecodedSamples form, const char* raw, qsizetype sampleCount,
    char* pieceSamples, char* finderSamples);

} // namespace brevane::detail
