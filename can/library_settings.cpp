#include "can/library_settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/platform.h"
#include "trace/trace_scope.h"

namespace {

constexpr uint32_t kConfigBufferSize = 1024;
constexpr long long kMaxWaitsLimit = 255;

// FCWAITMAX: a number from 0 to 255, read as strtol reads it; anything else
// leaves the default in place and is kept for the trace.
void ReadMaxWaits(const SettingsSource &source, LibrarySettings &settings) {
    char buffer[kConfigBufferSize];
    plat::ReadProfileString(source.section, "FCWAITMAX", "10", buffer, kConfigBufferSize, source.iniPath);
    char *end = buffer;
    errno = 0;
    const long long value = std::strtoll(buffer, &end, 0);
    if (end != buffer && errno == 0 && value >= 0 && value <= kMaxWaitsLimit) {
        settings.profile.maxWaits = static_cast<int32_t>(value);
        return;
    }
    settings.maxWaitsRejected = true;
    settings.maxWaitsText = buffer;
}

}  // namespace

int32_t ReadSettingNumber(const SettingsSource &source, const char *key, const char *defaultText, int base) {
    char buffer[kConfigBufferSize];
    plat::ReadProfileString(source.section, key, defaultText, buffer, kConfigBufferSize, source.iniPath);
    const long long value = std::strtoll(buffer, nullptr, base);
    // Windows' 32-bit long saturates where a 64-bit one would not.
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

LibrarySettings ReadLibrarySettings(const SettingsSource &source) {
    LibrarySettings settings;
    settings.traceSettings = ReadSettingNumber(source, "TRACE", "1", 10);
    settings.port.m_VirtualOrdinal = ReadSettingNumber(source, "VIRTUAL", "", 0);
    settings.port.m_WakeUp = ReadSettingNumber(source, "WAKEUP", "", 0);
    settings.port.m_bCooperative = ReadSettingNumber(source, "cooperative", "", 0);
    // The field profile and its settings; without it nothing here is read.
    if (ReadSettingNumber(source, "FIELDPROFILE", source.profileByDefault ? "1" : "0", 0) > 0) {
        settings.profile.on = true;
        ReadMaxWaits(source, settings);
        settings.profile.rxQueueSize = static_cast<uint32_t>(ReadSettingNumber(source, "RXQUEUE", "2048", 0));
    }
    return settings;
}

void TraceRejectedSettings(const LibrarySettings &settings, TraceScope &scope) {
    if (!settings.maxWaitsRejected) return;
    scope.messagef(TL_ERROR, "FCWAITMAX %s is no number from 0 to 255, using %d", settings.maxWaitsText.c_str(),
                   static_cast<int>(settings.profile.maxWaits));
}
