// The simulated driver's configuration: built-in defaults and the
// "[section] / key = value" text format of configuration files.
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "sim.h"

namespace vxlsim {

namespace {

std::string Trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

ChannelCfg HardwareChannel(unsigned n) {
    ChannelCfg c;
    c.name = "CANcardXL Channel " + std::to_string(n + 1);
    c.hwType = XL_HWTYPE_CANCARDXL;
    c.hwIndex = 0;
    c.hwChannel = static_cast<uint8_t>(n);
    c.transceiverType = 0x0107;
    c.transceiverName = "CANpiggy 1041Amag";
    c.capabilities = 0x00000007u;
    // A card that also speaks LIN, so the word is more than the plain
    // CAN bits a virtual channel reports.
    c.busCapabilities = 0x00030003u;
    c.serialNumber = 24680;
    c.articleNumber = 5090;
    return c;
}

ChannelCfg VirtualChannel(unsigned n) {
    ChannelCfg c;
    c.name = "Virtual Channel " + std::to_string(n + 1);
    c.hwType = XL_HWTYPE_VIRTUAL;
    c.hwIndex = 0;
    c.hwChannel = static_cast<uint8_t>(n);
    c.transceiverType = XL_TRANSCEIVER_TYPE_CAN_VIRTUAL;
    c.transceiverName = "Virtual CAN";
    c.capabilities = 0xA0000007u;
    c.busCapabilities = 0x00010001u;
    c.serialNumber = 0;
    return c;
}

bool ToU8(const std::string &v, uint8_t &out) {
    uint64_t x = 0;
    if (!ParseUnsigned(v, x) || x > 0xFF) return false;
    out = static_cast<uint8_t>(x);
    return true;
}

bool ToU16(const std::string &v, uint16_t &out) {
    uint64_t x = 0;
    if (!ParseUnsigned(v, x) || x > 0xFFFF) return false;
    out = static_cast<uint16_t>(x);
    return true;
}

bool ToU32(const std::string &v, uint32_t &out) {
    uint64_t x = 0;
    if (!ParseUnsigned(v, x) || x > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(x);
    return true;
}

bool ToUnsigned(const std::string &v, unsigned &out) {
    uint32_t x = 0;
    if (!ToU32(v, x)) return false;
    out = x;
    return true;
}

bool ToBool(const std::string &v, bool &out) {
    if (v == "1" || v == "on" || v == "yes" || v == "true") {
        out = true;
        return true;
    }
    if (v == "0" || v == "off" || v == "no" || v == "false") {
        out = false;
        return true;
    }
    return false;
}

bool ApplyDriver(Config &c, const std::string &k, const std::string &v) {
    if (k == "dll_version") return ToU32(v, c.dllVersion);
    if (k == "real_timing") return ToBool(v, c.realTiming);
    if (k == "tx_capacity") return ToUnsigned(v, c.txCapacity);
    if (k == "default_ecus") return ToBool(v, c.defaultEcus);
    return false;
}

bool ApplyChannel(ChannelCfg &c, const std::string &k, const std::string &v) {
    if (k == "name") {
        c.name = v.substr(0, XL_MAX_LENGTH);
        return true;
    }
    if (k == "transceiver_name") {
        c.transceiverName = v.substr(0, XL_MAX_LENGTH);
        return true;
    }
    if (k == "hw_type") return ToU8(v, c.hwType);
    if (k == "hw_index") return ToU8(v, c.hwIndex);
    if (k == "hw_channel") return ToU8(v, c.hwChannel);
    if (k == "transceiver_type") return ToU16(v, c.transceiverType);
    if (k == "capabilities") return ToU32(v, c.capabilities);
    if (k == "bus_capabilities") return ToU32(v, c.busCapabilities);
    if (k == "serial") return ToU32(v, c.serialNumber);
    if (k == "article") return ToU32(v, c.articleNumber);
    if (k == "bitrate") return ToU32(v, c.bitrate) && c.bitrate > 0 && c.bitrate <= 1000000;
    if (k == "can_fd") {
        bool on = false;
        if (!ToBool(v, on)) return false;
        c.capabilities = on ? (c.capabilities | XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT)
                            : (c.capabilities & ~XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT);
        return true;
    }
    // The channel starts in FD mode at this data rate (0: CAN 2.0 mode).
    if (k == "data_bitrate") return ToU32(v, c.dataBitrate) && c.dataBitrate <= 8000000;
    return false;
}

bool ApplySocketcand(SocketcandCfg &c, const std::string &k, const std::string &v) {
    if (k == "port") {
        uint16_t port = 0;
        c.on = ToU16(v, port);
        c.port = port;
        return c.on;
    }
    if (k == "wait_clients") return ToUnsigned(v, c.waitClients);
    if (k == "wait_ms") return ToUnsigned(v, c.waitMs);
    return false;
}

bool ApplyApp(AppCfg &a, const std::string &k, const std::string &v) {
    if (k == "name") {
        a.name = v;
        return !v.empty();
    }
    if (k == "app_channel") return ToUnsigned(v, a.appChannel);
    if (k == "hw_type") return ToUnsigned(v, a.hwType);
    if (k == "hw_index") return ToUnsigned(v, a.hwIndex);
    if (k == "hw_channel") return ToUnsigned(v, a.hwChannel);
    if (k == "bus_type") return ToUnsigned(v, a.busType);
    return false;
}

}  // namespace

bool ParseUnsigned(const std::string &s, uint64_t &out) {
    const std::string t = Trim(s);
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(t.c_str(), &end, 0);
    if (!end || *end != '\0') return false;
    out = v;
    return true;
}

void ApplyEnvironment(Config &cfg) {
    const char *port = std::getenv("VXLSIM_SOCKETCAND_PORT");
    uint64_t v = 0;
    if (port && *port && ParseUnsigned(port, v) && v <= 0xFFFF) {
        cfg.socketcand.on = true;
        cfg.socketcand.port = static_cast<uint16_t>(v);
    }
}

Config DefaultConfig() {
    Config c;
    c.channels = {HardwareChannel(0), HardwareChannel(1), VirtualChannel(0), VirtualChannel(1)};
    return c;
}

int ParseConfig(const std::string &text, Config &cfg) {
    enum class Section { None, Driver, Channel, App, Ecu, Socketcand } section = Section::None;
    bool channelsReplaced = false;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        const size_t hash = raw.find('#');
        const std::string line = Trim(hash == std::string::npos ? raw : raw.substr(0, hash));
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']') return lineNo;
            const std::string name = Trim(line.substr(1, line.size() - 2));
            if (name == "driver") {
                section = Section::Driver;
            } else if (name == "channel") {
                // The first channel of a file replaces the built-in set.
                if (!channelsReplaced) cfg.channels.clear();
                channelsReplaced = true;
                if (cfg.channels.size() >= XL_CONFIG_MAX_CHANNELS) return lineNo;
                cfg.channels.push_back(ChannelCfg());
                section = Section::Channel;
            } else if (name == "app") {
                cfg.apps.push_back(AppCfg());
                section = Section::App;
            } else if (name == "socketcand") {
                section = Section::Socketcand;
            } else if (name == "ecu") {
                cfg.ecus.push_back(EcuSettings());
                section = Section::Ecu;
            } else {
                return lineNo;
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return lineNo;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        bool ok = false;
        switch (section) {
            case Section::None: break;
            case Section::Driver: ok = ApplyDriver(cfg, key, value); break;
            case Section::Channel: ok = ApplyChannel(cfg.channels.back(), key, value); break;
            case Section::Socketcand: ok = ApplySocketcand(cfg.socketcand, key, value); break;
            case Section::App: ok = ApplyApp(cfg.apps.back(), key, value); break;
            case Section::Ecu: {
                // Checked here, one setting at a time, so a bad one names its line.
                std::string error;
                ok = !key.empty() && MakeEcu(0, EcuSettings{{key, value}}, error) != nullptr;
                cfg.ecus.back().emplace_back(key, value);
                break;
            }
        }
        if (!ok) return lineNo;
    }
    for (const AppCfg &a : cfg.apps)
        if (a.name.empty()) return lineNo == 0 ? 1 : lineNo;
    return 0;
}

}  // namespace vxlsim
