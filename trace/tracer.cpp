#include "trace/tracer.h"

void Tracer::write(const char *line, uint32_t category, uint32_t level) {
    if (isLevelEnabled(level) && isCategoryEnabled(category)) notifyText(line);
}
