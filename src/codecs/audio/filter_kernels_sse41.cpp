// The filter stages built for SSE4.1 (the shared body is in filter_kernels.inc).
#if defined(__x86_64__) && defined(__SSE4_1__)
#define QUORVEX_CHANNEL_STAGES runChannelStagesSse41
#include "codecs/audio/filter_kernels.inc"
#endif
