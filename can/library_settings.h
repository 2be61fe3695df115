// The settings both libraries read from their ini file: one reader, one
// check of each value. The file, its section and the field profile's
// default are each library's own (morix.ini [MORIX_VECTOR], profile off;
// pt_vector0404.ini [PT_VECTOR], profile on).
#ifndef PT_CAN_LIBRARY_SETTINGS_H
#define PT_CAN_LIBRARY_SETTINGS_H

#include <cstdint>
#include <string>

#include "can/can_port.h"
#include "can/field_profile.h"

class TraceScope;

struct LibrarySettings {
    int32_t traceSettings = 1;  // TRACE: bits 0-3 verbosity, bit 4 the PDU trace
    CanPortSettings port;       // VIRTUAL, WAKEUP, cooperative
    FieldProfile profile;       // FIELDPROFILE; with the profile on, FCWAITMAX and RXQUEUE
    // FCWAITMAX's text when it was no number from 0 to 255: the default
    // stands, and the trace says so once it is open.
    bool maxWaitsRejected = false;
    std::string maxWaitsText;
};

struct SettingsSource {
    const char *iniPath;
    const char *section;
    bool profileByDefault;  // the field profile without a FIELDPROFILE key
};

// One key as a number with strtol's rules in the given base, clamped to 32
// bits as on Windows; defaultText when the key is missing.
int32_t ReadSettingNumber(const SettingsSource &source, const char *key, const char *defaultText, int base);

LibrarySettings ReadLibrarySettings(const SettingsSource &source);

// The ERROR line of a value that was replaced by its default, if any.
void TraceRejectedSettings(const LibrarySettings &settings, TraceScope &scope);

#endif
