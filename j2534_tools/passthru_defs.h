// The J2534 names the 04.04 face works with: the records and the names both
// generations share come from j2534.h (which the shared layers below use), the
// 04.04 additions from j2534_0404.h, whose prototypes then stay out. Units of
// this face include this header instead of either.
#ifndef PT_J2534_TOOLS_PASSTHRU_DEFS_H
#define PT_J2534_TOOLS_PASSTHRU_DEFS_H

#include <cstdint>

#include "j2534.h"
#include "j2534_0404.h"

// CAN FD on 04.04 comes in two families of ids: SAE J2534-2's (pin-switched
// and first-channel protocols) and GMW17753's, which tools written for GM
// use; both are served alike. Each is defined only where the public header
// does not define it already.
#ifndef FD_CAN_PS
#define FD_CAN_PS 0x8011u
#endif
#ifndef FD_ISO15765_PS
#define FD_ISO15765_PS 0x8012u
#endif
#ifndef FD_CAN_CH1
#define FD_CAN_CH1 0x9880u
#endif
#ifndef FD_ISO15765_CH1
#define FD_ISO15765_CH1 0x9900u
#endif
#ifndef CAN_FD_PS
#define CAN_FD_PS 0x1000Du
#endif
#ifndef ISO15765_FD_PS
#define ISO15765_FD_PS 0x1000Cu
#endif

#ifndef J1962_PINS
#define J1962_PINS 0x8001u
#endif
#ifndef FD_CAN_DATA_PHASE_RATE
#define FD_CAN_DATA_PHASE_RATE 0x805Cu
#endif
#ifndef FD_ISO15765_TX_DATA_LENGTH
#define FD_ISO15765_TX_DATA_LENGTH 0x805Du
#endif
#ifndef HS_CAN_TERMINATION
#define HS_CAN_TERMINATION 0x805Eu
#endif
#ifndef N_CR_MAX
#define N_CR_MAX 0x805Fu
#endif
#ifndef ISO15765_PAD_VALUE
#define ISO15765_PAD_VALUE 0x8060u
#endif
// GMW17753's parameters; its N_CR_MAX has the name of SAE's.
#ifndef CAN_FD_DATA_PHASE_RATE
#define CAN_FD_DATA_PHASE_RATE 0x10010u
#endif
#ifndef CAN_FD_TX_DATA_LENGTH
#define CAN_FD_TX_DATA_LENGTH 0x10011u
#endif
#ifndef CAN_FD_TERMINATION
#define CAN_FD_TERMINATION 0x10012u
#endif
#ifndef CAN_FD_TYPE
#define CAN_FD_TYPE 0x10013u
#endif
#ifndef GM_N_CR_MAX
#define GM_N_CR_MAX 0x10014u
#endif

// The protocol families: raw frames or ISO-TP, classic or FD.
inline bool IsFdProtocol(uint32_t protocolId) {
    return protocolId == FD_CAN_PS || protocolId == FD_CAN_CH1 || protocolId == CAN_FD_PS ||
           protocolId == FD_ISO15765_PS || protocolId == FD_ISO15765_CH1 || protocolId == ISO15765_FD_PS;
}
inline bool IsRawCanProtocol(uint32_t protocolId) {
    return protocolId == CAN || protocolId == FD_CAN_PS || protocolId == FD_CAN_CH1 || protocolId == CAN_FD_PS;
}
inline bool IsIsoTpProtocol(uint32_t protocolId) {
    return protocolId == ISO15765 || protocolId == FD_ISO15765_PS || protocolId == FD_ISO15765_CH1 ||
           protocolId == ISO15765_FD_PS;
}
// The protocols whose pins J1962_PINS selects.
inline bool IsPinSwitched(uint32_t protocolId) {
    return protocolId == FD_CAN_PS || protocolId == FD_ISO15765_PS || protocolId == CAN_FD_PS ||
           protocolId == ISO15765_FD_PS;
}

#endif
