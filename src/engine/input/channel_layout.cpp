#include "input/channel_layout.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace brevane::detail {

bool countHasDefaultLayout(int channelCount)
{
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channelCount);
    const bool named = layout.order == AV_CHANNEL_ORDER_NATIVE;
    av_channel_layout_uninit(&layout);
    return named;
}

// The probe's mask is the input's own layout where the count has no default.
bool keepsOwnLayout(const StreamInfo& stream)
{
    return stream.channelMask != 0 && !countHasDefaultLayout(stream.channelCount);
}

} // namespace brevane::detail
