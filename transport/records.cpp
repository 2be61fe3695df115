#include "transport/records.h"

std::atomic<uint32_t> m_NextSeqId{1};
