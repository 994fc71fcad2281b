// The filter stages built for AVX2 (the shared body is in filter_kernels.inc).
#if defined(__x86_64__) && defined(__AVX2__)
#define QUORVEX_CHANNEL_STAGES runChannelStagesAvx2
#include "codecs/audio/filter_kernels.inc"
#endif
