#pragma once

// The parts of an MPEG-1/2/2.5 layer III frame that decide how its samples depend on the frames
// before it: its header, and the bit reservoir pointer and granule fields of its side
// information.

#include <cstddef>
#include <cstdint>

namespace brevane::detail {

struct Mp3FrameHeader {
    // 1 for MPEG-1, 2 for MPEG-2, 3 for MPEG-2.5.
    int version = 0;
    bool crcProtected = false;
    int bitRateIndex = 0;
    int sampleRateIndex = 0;
    int sampleRate = 0;
    bool padded = false;
    // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono.
    int channelMode = 0;
    // Bytes of the whole frame, header included; 0 for a free-format frame, whose size only
    // the distance to the next frame tells.
    int frameBytes = 0;
    int samplesPerFrame = 0;
    int sideInfoBytes = 0;

    int channelCount() const { return channelMode == 3 ? 1 : 2; }
    // Where the main data region begins: after the header, the CRC and the side information.
    int mainDataOffset() const { return 4 + (crcProtected ? 2 : 0) + sideInfoBytes; }
};

// Reads the 4-byte header at bytes as a layer III frame header; false for anything else (a
// free-format frame included, which is returned with frameBytes 0 and true).
bool parseMp3FrameHeader(const unsigned char* bytes, std::size_t size, Mp3FrameHeader* header);

// The 32-bit header a frame of that shape would carry, with the bit rate index given.
std::uint32_t mp3HeaderWord(const Mp3FrameHeader& shape, int bitRateIndex);

// The bytes of a frame of that shape at bitRateIndex (without the padding byte).
int mp3FrameBytes(const Mp3FrameHeader& shape, int bitRateIndex);

// What the side information of a frame says about its main data.
struct Mp3SideInfo {
    // How far back, in bytes of main data regions, the frame's own main data begins.
    int mainDataBegin = 0;
    // Whether libavcodec's decoder takes the side information: it rejects a frame whose
    // big_values exceeds 288 or whose split block names block type 0, and gives no samples for
    // it.
    bool decodable = false;
};

// Reads the side information of the frame at bytes (size bytes available, header included).
Mp3SideInfo parseMp3SideInfo(
    const unsigned char* bytes, std::size_t size, const Mp3FrameHeader& header);

} // namespace brevane::detail
