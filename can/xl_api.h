// Types, records, constants and entry points of the Vector XL Driver Library,
// declared by us from the driver's published binary interface. The library
// resolves the entry points at run time through the function-pointer types;
// the simulated driver under sim/ implements the prototypes.
#ifndef PT_CAN_XL_API_H
#define PT_CAN_XL_API_H

#include <cstddef>
#include <cstdint>

#include "platform/callconv.h"

// Lets the simulated driver mark its definitions as exported; everyone else
// sees plain declarations.
#ifndef XL_API_DECL
#define XL_API_DECL
#endif

typedef int16_t XLstatus;
typedef uint64_t XLaccess;
typedef uint64_t XLuint64;
typedef int32_t XLportHandle;
typedef uint8_t XLeventTag;
typedef uint32_t XLulong;
typedef char *XLstringType;
// xlSetNotification's handle: a Win32 event handle on Windows; the stand-in on
// Linux puts a file descriptor (an eventfd) in the pointer's bits.
typedef void *XLhandle;

// ---- status codes ----------------------------------------------------------
#define XL_SUCCESS 0
#define XL_PENDING 1
#define XL_ERR_QUEUE_IS_EMPTY 10
#define XL_ERR_QUEUE_IS_FULL 11
#define XL_ERR_TX_NOT_POSSIBLE 12
#define XL_ERR_WRONG_PARAMETER 101
#define XL_ERR_INVALID_ACCESS 112
#define XL_ERR_PORT_IS_OFFLINE 113
#define XL_ERR_INVALID_PORT 118
#define XL_ERR_HW_NOT_PRESENT 129
#define XL_ERR_NOT_FOUND 139
#define XL_ERR_INIT_ACCESS_MISSING 158
#define XL_ERR_CANNOT_OPEN_DRIVER 201
#define XL_ERR_WRONG_BUS_TYPE 202
#define XL_ERR_DLL_NOT_FOUND 203
#define XL_ERR_INVALID_CHANNEL_MASK 204
#define XL_ERR_NOT_SUPPORTED 205
#define XL_ERR_INVALID_TAG 132
#define XL_ERR_RESERVED_NOT_ZERO 133
#define XL_ERR_INVALID_SIZE 134
// CAN FD transmit checks
#define XL_ERR_INVALID_DLC 0x0201
#define XL_ERR_INVALID_CANID 0x0202
#define XL_ERR_INVALID_FDFLAG_MODE20 0x0203  // EDL on a channel in CAN 2.0 mode
#define XL_ERR_EDL_RTR 0x0204
#define XL_ERR_EDL_NOT_SET 0x0205
#define XL_ERR_UNKNOWN_FLAG 0x0206
#define XL_ERROR 255

// ---- event tags ------------------------------------------------------------
#define XL_NO_COMMAND 0
#define XL_RECEIVE_MSG 1
#define XL_CHIP_STATE 4
#define XL_TRANSCEIVER 6
#define XL_TIMER 8
#define XL_TRANSMIT_MSG 10
#define XL_SYNC_PULSE 11
#define XL_APPLICATION_NOTIFICATION 15

// ---- CAN message flags -----------------------------------------------------
#define XL_CAN_MSG_FLAG_ERROR_FRAME 0x01
#define XL_CAN_MSG_FLAG_OVERRUN 0x02
#define XL_CAN_MSG_FLAG_NERR 0x04
#define XL_CAN_MSG_FLAG_WAKEUP 0x08
#define XL_CAN_MSG_FLAG_REMOTE_FRAME 0x10
#define XL_CAN_MSG_FLAG_RESERVED_1 0x20
#define XL_CAN_MSG_FLAG_TX_COMPLETED 0x40
#define XL_CAN_MSG_FLAG_TX_REQUEST 0x80

#define XL_CAN_EXT_MSG_ID 0x80000000u
#define XL_CAN_STD 1
#define XL_CAN_EXT 2

// ---- buses, versions, activation -------------------------------------------
#define XL_BUS_TYPE_NONE 0x00000000u
#define XL_BUS_TYPE_CAN 0x00000001u
#define XL_BUS_COMPATIBLE_CAN 0x00000001u
#define XL_BUS_ACTIVE_CAP_CAN 0x00010000u
#define XL_INTERFACE_VERSION 3
#define XL_INTERFACE_VERSION_V4 4  // the CAN FD calls: xlCanTransmitEx, xlCanReceive
#define XL_ACTIVATE_NONE 0
#define XL_ACTIVATE_RESET_CLOCK 8
#define XL_INVALID_PORTHANDLE (-1)
#define XL_CONFIG_MAX_CHANNELS 64
#define XL_MAX_LENGTH 31

// ---- hardware --------------------------------------------------------------
#define XL_HWTYPE_NONE 0
#define XL_HWTYPE_VIRTUAL 1
#define XL_HWTYPE_CANCARDXL 15
#define XL_TRANSCEIVER_TYPE_NONE 0x0000
#define XL_TRANSCEIVER_TYPE_CAN_VIRTUAL 0x0016

// ---- chip states -----------------------------------------------------------
#define XL_CHIPSTAT_BUSOFF 0x01
#define XL_CHIPSTAT_ERROR_PASSIVE 0x02
#define XL_CHIPSTAT_ERROR_WARNING 0x04
#define XL_CHIPSTAT_ERROR_ACTIVE 0x08

// ---- CAN FD (interface version 4) ------------------------------------------
#define XL_CHANNEL_FLAG_CANFD_BOSCH_SUPPORT 0x20000000u
#define XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT 0x80000000u
#define XL_BUS_PARAMS_CANOPMODE_CAN20 0x01
#define XL_BUS_PARAMS_CANOPMODE_CANFD 0x02
#define XL_BUS_PARAMS_CANOPMODE_CANFD_NO_ISO 0x08
#define CANFD_CONFOPT_NO_ISO 0x08
#define XL_CAN_MAX_DATA_LEN 64
#define XL_CANFD_RX_EVENT_HEADER_SIZE 32
#define XL_CANFD_MAX_EVENT_SIZE 128
#define RX_FIFO_CANFD_QUEUE_SIZE_MIN 8192
#define RX_FIFO_CANFD_QUEUE_SIZE_MAX 524288

#define XL_CAN_EV_TAG_RX_OK 0x0400
#define XL_CAN_EV_TAG_RX_ERROR 0x0401
#define XL_CAN_EV_TAG_TX_ERROR 0x0402
#define XL_CAN_EV_TAG_TX_REQUEST 0x0403
#define XL_CAN_EV_TAG_TX_OK 0x0404
#define XL_CAN_EV_TAG_CHIP_STATE 0x0409
#define XL_CAN_EV_TAG_TX_MSG 0x0440

#define XL_CAN_TXMSG_FLAG_EDL 0x0001
#define XL_CAN_TXMSG_FLAG_BRS 0x0002
#define XL_CAN_TXMSG_FLAG_RTR 0x0010
#define XL_CAN_TXMSG_FLAG_HIGHPRIO 0x0080
#define XL_CAN_TXMSG_FLAG_WAKEUP 0x0200

#define XL_CAN_RXMSG_FLAG_EDL 0x0001
#define XL_CAN_RXMSG_FLAG_BRS 0x0002
#define XL_CAN_RXMSG_FLAG_ESI 0x0004
#define XL_CAN_RXMSG_FLAG_RTR 0x0010
#define XL_CAN_RXMSG_FLAG_EF 0x0200
#define XL_CAN_RXMSG_FLAG_ARB_LOST 0x0400
#define XL_CAN_RXMSG_FLAG_WAKEUP 0x2000
#define XL_CAN_RXMSG_FLAG_TE 0x4000

#define XL_CAN_QUEUE_OVERFLOW 0x0100  // XLcanRxEvent.flagsChip

// XL_CAN_EV_ERROR.errorCode
#define XL_CAN_ERRC_BIT_ERROR 1
#define XL_CAN_ERRC_FORM_ERROR 2
#define XL_CAN_ERRC_STUFF_ERROR 3
#define XL_CAN_ERRC_OTHER_ERROR 4
#define XL_CAN_ERRC_CRC_ERROR 5
#define XL_CAN_ERRC_ACK_ERROR 6
#define XL_CAN_ERRC_NACK_ERROR 7
#define XL_CAN_ERRC_OVLD_ERROR 8
#define XL_CAN_ERRC_EXCPT_ERROR 9

// ---- records: the driver packs everything to 1 byte -------------------------
#pragma pack(push, 1)

struct s_xl_can_msg {
    uint32_t id;
    uint16_t flags;
    uint16_t dlc;
    XLuint64 res1;
    uint8_t data[8];
    XLuint64 res2;
};

struct s_xl_chip_state {
    uint8_t busStatus;
    uint8_t txErrorCounter;
    uint8_t rxErrorCounter;
};

union s_xl_tag_data {
    struct s_xl_can_msg msg;
    struct s_xl_chip_state chipState;
    uint8_t raw[32];
};

struct s_xl_event {
    XLeventTag tag;
    uint8_t chanIndex;
    uint16_t transId;
    uint16_t portHandle;
    uint8_t flags;
    uint8_t reserved;
    XLuint64 timeStamp;
    union s_xl_tag_data tagData;
};
typedef struct s_xl_event XLevent;

struct s_xl_bus_params_can {
    uint32_t bitRate;
    uint8_t sjw;
    uint8_t tseg1;
    uint8_t tseg2;
    uint8_t sam;
    uint8_t outputMode;
    uint8_t reserved1[7];
    uint8_t canOpMode;
};

struct s_xl_bus_params_canfd {
    uint32_t arbitrationBitRate;
    uint8_t sjwAbr;
    uint8_t tseg1Abr;
    uint8_t tseg2Abr;
    uint8_t samAbr;
    uint8_t outputMode;
    uint8_t sjwDbr;
    uint8_t tseg1Dbr;
    uint8_t tseg2Dbr;
    uint32_t dataBitRate;
    uint8_t canOpMode;
};

struct s_xl_bus_params {
    uint32_t busType;
    union {
        struct s_xl_bus_params_can can;
        struct s_xl_bus_params_canfd canFD;
        uint8_t raw[28];
    } data;
};
typedef struct s_xl_bus_params XLbusParams;

struct s_xl_channel_config {
    char name[XL_MAX_LENGTH + 1];
    uint8_t hwType;
    uint8_t hwIndex;
    uint8_t hwChannel;
    uint16_t transceiverType;
    uint16_t transceiverState;
    uint16_t configError;
    uint8_t channelIndex;
    XLuint64 channelMask;
    uint32_t channelCapabilities;
    uint32_t channelBusCapabilities;
    uint8_t isOnBus;
    uint32_t connectedBusType;
    XLbusParams busParams;
    uint32_t _doNotUse;
    uint32_t driverVersion;
    uint32_t interfaceVersion;
    uint32_t raw_data[10];
    uint32_t serialNumber;
    uint32_t articleNumber;
    char transceiverName[XL_MAX_LENGTH + 1];
    uint32_t specialCabFlags;
    uint32_t dominantTimeout;
    uint8_t dominantRecessiveDelay;
    uint8_t recessiveDominantDelay;
    uint8_t connectionInfo;
    uint8_t currentlyAvailableTimestamps;
    uint16_t minimalSupplyVoltage;
    uint16_t maximalSupplyVoltage;
    uint32_t maximalBaudrate;
    uint8_t fpgaCoreCapabilities;
    uint8_t specialDeviceStatus;
    uint16_t channelBusActiveCapabilities;
    uint16_t breakOffset;
    uint16_t delimiterOffset;
    uint32_t reserved[3];
};
typedef struct s_xl_channel_config XLchannelConfig;

struct s_xl_driver_config {
    uint32_t dllVersion;
    uint32_t channelCount;
    uint32_t reserved[10];
    XLchannelConfig channel[XL_CONFIG_MAX_CHANNELS];
};
typedef struct s_xl_driver_config XLdriverConfig;

// xlCanFdSetConfiguration's record: both phases' rates and bit timing.
struct s_xl_can_fd_conf {
    uint32_t arbitrationBitRate;
    uint32_t sjwAbr;
    uint32_t tseg1Abr;
    uint32_t tseg2Abr;
    uint32_t dataBitRate;
    uint32_t sjwDbr;
    uint32_t tseg1Dbr;
    uint32_t tseg2Dbr;
    uint8_t reserved;
    uint8_t options;  // CANFD_CONFOPT_NO_ISO: Bosch CAN FD
    uint8_t reserved1[2];
    uint32_t reserved2;
};
typedef struct s_xl_can_fd_conf XLcanFdConf;

#pragma pack(pop)

// The interface-version-4 events: the driver packs these to 8 bytes; every
// field sits at its natural alignment.
#pragma pack(push, 8)

struct s_xl_can_tx_msg {
    uint32_t canId;     // bit 31: XL_CAN_EXT_MSG_ID
    uint32_t msgFlags;  // XL_CAN_TXMSG_FLAG_*
    uint8_t dlc;        // the DLC code 0-15, not the length
    uint8_t reserved[7];
    uint8_t data[XL_CAN_MAX_DATA_LEN];
};
typedef struct s_xl_can_tx_msg XL_CAN_TX_MSG;

struct s_xl_can_tx_event {
    uint16_t tag;  // XL_CAN_EV_TAG_TX_MSG
    uint16_t transId;
    uint8_t channelIndex;  // internal, 0
    uint8_t reserved[3];
    union {
        XL_CAN_TX_MSG canMsg;
    } tagData;
};
typedef struct s_xl_can_tx_event XLcanTxEvent;

// The frame of an RX_OK event, and of TX_OK (the confirmation of our own).
struct s_xl_can_ev_rx_msg {
    uint32_t canId;
    uint32_t msgFlags;  // XL_CAN_RXMSG_FLAG_*
    uint32_t crc;
    uint8_t reserved1[12];
    uint16_t totalBitCnt;
    uint8_t dlc;  // the DLC code
    uint8_t reserved[5];
    uint8_t data[XL_CAN_MAX_DATA_LEN];
};
typedef struct s_xl_can_ev_rx_msg XL_CAN_EV_RX_MSG;

struct s_xl_can_ev_tx_request {
    uint32_t canId;
    uint32_t msgFlags;
    uint8_t dlc;
    uint8_t reserved1;
    uint16_t reserved;
    uint8_t data[XL_CAN_MAX_DATA_LEN];
};
typedef struct s_xl_can_ev_tx_request XL_CAN_EV_TX_REQUEST;

struct s_xl_can_ev_error {
    uint8_t errorCode;  // XL_CAN_ERRC_*
    uint8_t reserved[95];
};
typedef struct s_xl_can_ev_error XL_CAN_EV_ERROR;

struct s_xl_can_ev_chip_state {
    uint8_t busStatus;  // XL_CHIPSTAT_*
    uint8_t txErrorCounter;
    uint8_t rxErrorCounter;
    uint8_t reserved;
    uint32_t reserved0;
};
typedef struct s_xl_can_ev_chip_state XL_CAN_EV_CHIP_STATE;

struct s_xl_can_rx_event {
    uint32_t size;  // bytes of the event: header plus the member used
    uint16_t tag;   // XL_CAN_EV_TAG_*
    uint16_t channelIndex;
    uint32_t userHandle;
    uint16_t flagsChip;  // XL_CAN_QUEUE_OVERFLOW
    uint16_t reserved0;
    XLuint64 reserved1;
    XLuint64 timeStampSync;  // ns
    union {
        uint8_t raw[XL_CANFD_MAX_EVENT_SIZE - XL_CANFD_RX_EVENT_HEADER_SIZE];
        XL_CAN_EV_RX_MSG canRxOkMsg;
        XL_CAN_EV_RX_MSG canTxOkMsg;
        XL_CAN_EV_TX_REQUEST canTxRequest;
        XL_CAN_EV_ERROR canError;
        XL_CAN_EV_CHIP_STATE canChipState;
    } tagData;
};
typedef struct s_xl_can_rx_event XLcanRxEvent;

#pragma pack(pop)

// A mismatch here corrupts every call into the real driver, so the layout is
// pinned byte by byte.
static_assert(sizeof(s_xl_can_msg) == 32, "s_xl_can_msg size");
static_assert(offsetof(s_xl_can_msg, id) == 0, "s_xl_can_msg.id");
static_assert(offsetof(s_xl_can_msg, flags) == 4, "s_xl_can_msg.flags");
static_assert(offsetof(s_xl_can_msg, dlc) == 6, "s_xl_can_msg.dlc");
static_assert(offsetof(s_xl_can_msg, res1) == 8, "s_xl_can_msg.res1");
static_assert(offsetof(s_xl_can_msg, data) == 16, "s_xl_can_msg.data");
static_assert(offsetof(s_xl_can_msg, res2) == 24, "s_xl_can_msg.res2");

static_assert(sizeof(s_xl_chip_state) == 3, "s_xl_chip_state size");
static_assert(offsetof(s_xl_chip_state, busStatus) == 0, "chipState.busStatus");
static_assert(offsetof(s_xl_chip_state, txErrorCounter) == 1, "chipState.txErrorCounter");
static_assert(offsetof(s_xl_chip_state, rxErrorCounter) == 2, "chipState.rxErrorCounter");
static_assert(sizeof(s_xl_tag_data) == 32, "tagData size");

static_assert(sizeof(XLevent) == 48, "XLevent size");
static_assert(offsetof(XLevent, tag) == 0, "XLevent.tag");
static_assert(offsetof(XLevent, chanIndex) == 1, "XLevent.chanIndex");
static_assert(offsetof(XLevent, transId) == 2, "XLevent.transId");
static_assert(offsetof(XLevent, portHandle) == 4, "XLevent.portHandle");
static_assert(offsetof(XLevent, flags) == 6, "XLevent.flags");
static_assert(offsetof(XLevent, reserved) == 7, "XLevent.reserved");
static_assert(offsetof(XLevent, timeStamp) == 8, "XLevent.timeStamp");
static_assert(offsetof(XLevent, tagData) == 16, "XLevent.tagData");

static_assert(sizeof(s_xl_bus_params_can) == 17, "CAN bus params size");
static_assert(offsetof(s_xl_bus_params_can, bitRate) == 0, "can.bitRate");
static_assert(offsetof(s_xl_bus_params_can, sjw) == 4, "can.sjw");
static_assert(offsetof(s_xl_bus_params_can, tseg1) == 5, "can.tseg1");
static_assert(offsetof(s_xl_bus_params_can, tseg2) == 6, "can.tseg2");
static_assert(offsetof(s_xl_bus_params_can, sam) == 7, "can.sam");
static_assert(offsetof(s_xl_bus_params_can, outputMode) == 8, "can.outputMode");
static_assert(offsetof(s_xl_bus_params_can, reserved1) == 9, "can.reserved1");
static_assert(offsetof(s_xl_bus_params_can, canOpMode) == 16, "can.canOpMode");
static_assert(sizeof(XLbusParams) == 32, "XLbusParams size");
static_assert(offsetof(XLbusParams, busType) == 0, "XLbusParams.busType");
static_assert(offsetof(XLbusParams, data) == 4, "XLbusParams.data");

static_assert(sizeof(XLchannelConfig) == 227, "XLchannelConfig size");
static_assert(offsetof(XLchannelConfig, name) == 0, "name");
static_assert(offsetof(XLchannelConfig, hwType) == 32, "hwType");
static_assert(offsetof(XLchannelConfig, hwIndex) == 33, "hwIndex");
static_assert(offsetof(XLchannelConfig, hwChannel) == 34, "hwChannel");
static_assert(offsetof(XLchannelConfig, transceiverType) == 35, "transceiverType");
static_assert(offsetof(XLchannelConfig, transceiverState) == 37, "transceiverState");
static_assert(offsetof(XLchannelConfig, configError) == 39, "configError");
static_assert(offsetof(XLchannelConfig, channelIndex) == 41, "channelIndex");
static_assert(offsetof(XLchannelConfig, channelMask) == 42, "channelMask");
static_assert(offsetof(XLchannelConfig, channelCapabilities) == 50, "channelCapabilities");
static_assert(offsetof(XLchannelConfig, channelBusCapabilities) == 54, "channelBusCapabilities");
static_assert(offsetof(XLchannelConfig, isOnBus) == 58, "isOnBus");
static_assert(offsetof(XLchannelConfig, connectedBusType) == 59, "connectedBusType");
static_assert(offsetof(XLchannelConfig, busParams) == 63, "busParams");
static_assert(offsetof(XLchannelConfig, _doNotUse) == 95, "_doNotUse");
static_assert(offsetof(XLchannelConfig, driverVersion) == 99, "driverVersion");
static_assert(offsetof(XLchannelConfig, interfaceVersion) == 103, "interfaceVersion");
static_assert(offsetof(XLchannelConfig, raw_data) == 107, "raw_data");
static_assert(offsetof(XLchannelConfig, serialNumber) == 147, "serialNumber");
static_assert(offsetof(XLchannelConfig, articleNumber) == 151, "articleNumber");
static_assert(offsetof(XLchannelConfig, transceiverName) == 155, "transceiverName");
static_assert(offsetof(XLchannelConfig, specialCabFlags) == 187, "specialCabFlags");
static_assert(offsetof(XLchannelConfig, dominantTimeout) == 191, "dominantTimeout");
static_assert(offsetof(XLchannelConfig, dominantRecessiveDelay) == 195, "dominantRecessiveDelay");
static_assert(offsetof(XLchannelConfig, recessiveDominantDelay) == 196, "recessiveDominantDelay");
static_assert(offsetof(XLchannelConfig, connectionInfo) == 197, "connectionInfo");
static_assert(offsetof(XLchannelConfig, currentlyAvailableTimestamps) == 198, "currentlyAvailableTimestamps");
static_assert(offsetof(XLchannelConfig, minimalSupplyVoltage) == 199, "minimalSupplyVoltage");
static_assert(offsetof(XLchannelConfig, maximalSupplyVoltage) == 201, "maximalSupplyVoltage");
static_assert(offsetof(XLchannelConfig, maximalBaudrate) == 203, "maximalBaudrate");
static_assert(offsetof(XLchannelConfig, fpgaCoreCapabilities) == 207, "fpgaCoreCapabilities");
static_assert(offsetof(XLchannelConfig, specialDeviceStatus) == 208, "specialDeviceStatus");
static_assert(offsetof(XLchannelConfig, channelBusActiveCapabilities) == 209, "channelBusActiveCapabilities");
static_assert(offsetof(XLchannelConfig, breakOffset) == 211, "breakOffset");
static_assert(offsetof(XLchannelConfig, delimiterOffset) == 213, "delimiterOffset");
static_assert(offsetof(XLchannelConfig, reserved) == 215, "reserved");

static_assert(sizeof(s_xl_bus_params_canfd) == 17, "CAN FD bus params size");
static_assert(offsetof(s_xl_bus_params_canfd, sjwDbr) == 9, "canFD.sjwDbr");
static_assert(offsetof(s_xl_bus_params_canfd, dataBitRate) == 12, "canFD.dataBitRate");
static_assert(offsetof(s_xl_bus_params_canfd, canOpMode) == 16, "canFD.canOpMode");

static_assert(sizeof(XLcanFdConf) == 40, "XLcanFdConf size");
static_assert(offsetof(XLcanFdConf, dataBitRate) == 16, "XLcanFdConf.dataBitRate");
static_assert(offsetof(XLcanFdConf, tseg2Dbr) == 28, "XLcanFdConf.tseg2Dbr");
static_assert(offsetof(XLcanFdConf, options) == 33, "XLcanFdConf.options");
static_assert(offsetof(XLcanFdConf, reserved2) == 36, "XLcanFdConf.reserved2");

static_assert(sizeof(XL_CAN_TX_MSG) == 80, "XL_CAN_TX_MSG size");
static_assert(offsetof(XL_CAN_TX_MSG, dlc) == 8, "XL_CAN_TX_MSG.dlc");
static_assert(offsetof(XL_CAN_TX_MSG, data) == 16, "XL_CAN_TX_MSG.data");
static_assert(sizeof(XLcanTxEvent) == 88, "XLcanTxEvent size");
static_assert(offsetof(XLcanTxEvent, channelIndex) == 4, "XLcanTxEvent.channelIndex");
static_assert(offsetof(XLcanTxEvent, tagData) == 8, "XLcanTxEvent.tagData");

static_assert(sizeof(XL_CAN_EV_RX_MSG) == 96, "XL_CAN_EV_RX_MSG size");
static_assert(offsetof(XL_CAN_EV_RX_MSG, crc) == 8, "XL_CAN_EV_RX_MSG.crc");
static_assert(offsetof(XL_CAN_EV_RX_MSG, totalBitCnt) == 24, "XL_CAN_EV_RX_MSG.totalBitCnt");
static_assert(offsetof(XL_CAN_EV_RX_MSG, dlc) == 26, "XL_CAN_EV_RX_MSG.dlc");
static_assert(offsetof(XL_CAN_EV_RX_MSG, data) == 32, "XL_CAN_EV_RX_MSG.data");
static_assert(sizeof(XL_CAN_EV_TX_REQUEST) == 76, "XL_CAN_EV_TX_REQUEST size");
static_assert(sizeof(XL_CAN_EV_CHIP_STATE) == 8, "XL_CAN_EV_CHIP_STATE size");
static_assert(sizeof(XLcanRxEvent) == XL_CANFD_MAX_EVENT_SIZE, "XLcanRxEvent size");
static_assert(offsetof(XLcanRxEvent, tag) == 4, "XLcanRxEvent.tag");
static_assert(offsetof(XLcanRxEvent, channelIndex) == 6, "XLcanRxEvent.channelIndex");
static_assert(offsetof(XLcanRxEvent, userHandle) == 8, "XLcanRxEvent.userHandle");
static_assert(offsetof(XLcanRxEvent, flagsChip) == 12, "XLcanRxEvent.flagsChip");
static_assert(offsetof(XLcanRxEvent, reserved1) == 16, "XLcanRxEvent.reserved1");
static_assert(offsetof(XLcanRxEvent, timeStampSync) == 24, "XLcanRxEvent.timeStampSync");
static_assert(offsetof(XLcanRxEvent, tagData) == XL_CANFD_RX_EVENT_HEADER_SIZE, "XLcanRxEvent.tagData");

static_assert(sizeof(XLdriverConfig) == 14576, "XLdriverConfig size");
static_assert(offsetof(XLdriverConfig, dllVersion) == 0, "dllVersion");
static_assert(offsetof(XLdriverConfig, channelCount) == 4, "channelCount");
static_assert(offsetof(XLdriverConfig, reserved) == 8, "reserved");
static_assert(offsetof(XLdriverConfig, channel) == 48, "channel");

// ---- entry points, as function-pointer types for run-time binding -----------
typedef XLstatus(PT_STDCALL *XLOPENDRIVER)(void);
typedef XLstatus(PT_STDCALL *XLCLOSEDRIVER)(void);
typedef XLstatus(PT_STDCALL *XLGETDRIVERCONFIG)(XLdriverConfig *pDriverConfig);
typedef XLstatus(PT_STDCALL *XLGETAPPLCONFIG)(char *appName, unsigned int appChannel, unsigned int *pHwType,
                                              unsigned int *pHwIndex, unsigned int *pHwChannel, unsigned int busType);
typedef XLstatus(PT_STDCALL *XLSETAPPLCONFIG)(char *appName, unsigned int appChannel, unsigned int hwType,
                                              unsigned int hwIndex, unsigned int hwChannel, unsigned int busType);
typedef XLaccess(PT_STDCALL *XLGETCHANNELMASK)(int hwType, int hwIndex, int hwChannel);
typedef XLstatus(PT_STDCALL *XLOPENPORT)(XLportHandle *pPortHandle, char *userName, XLaccess accessMask,
                                         XLaccess *pPermissionMask, unsigned int rxQueueSize,
                                         unsigned int xlInterfaceVersion, unsigned int busType);
typedef XLstatus(PT_STDCALL *XLCLOSEPORT)(XLportHandle portHandle);
typedef XLstatus(PT_STDCALL *XLCANSETCHANNELBITRATE)(XLportHandle portHandle, XLaccess accessMask, XLulong bitrate);
typedef XLstatus(PT_STDCALL *XLACTIVATECHANNEL)(XLportHandle portHandle, XLaccess accessMask, unsigned int busType,
                                                unsigned int flags);
typedef XLstatus(PT_STDCALL *XLDEACTIVATECHANNEL)(XLportHandle portHandle, XLaccess accessMask);
typedef XLstatus(PT_STDCALL *XLCANADDACCEPTANCERANGE)(XLportHandle portHandle, XLaccess accessMask, XLulong firstId,
                                                      XLulong lastId);
typedef XLstatus(PT_STDCALL *XLCANREMOVEACCEPTANCERANGE)(XLportHandle portHandle, XLaccess accessMask, XLulong firstId,
                                                         XLulong lastId);
typedef XLstatus(PT_STDCALL *XLCANSETCHANNELACCEPTANCE)(XLportHandle portHandle, XLaccess accessMask, XLulong code,
                                                        XLulong mask, unsigned int idRange);
typedef XLstatus(PT_STDCALL *XLCANTRANSMIT)(XLportHandle portHandle, XLaccess accessMask, unsigned int *pEventCount,
                                            void *pEvents);
typedef XLstatus(PT_STDCALL *XLRECEIVE)(XLportHandle portHandle, unsigned int *pEventCount, XLevent *pEvents);
typedef char *(PT_STDCALL *XLGETEVENTSTRING)(XLevent *pEvent);
typedef char *(PT_STDCALL *XLGETERRORSTRING)(XLstatus err);
typedef XLstatus(PT_STDCALL *XLSETNOTIFICATION)(XLportHandle portHandle, XLhandle *pHandle, int queueLevel);
typedef XLstatus(PT_STDCALL *XLCANFDSETCONFIGURATION)(XLportHandle portHandle, XLaccess accessMask,
                                                      XLcanFdConf *pCanFdConf);
typedef XLstatus(PT_STDCALL *XLCANTRANSMITEX)(XLportHandle portHandle, XLaccess accessMask, unsigned int msgCnt,
                                              unsigned int *pMsgCntSent, XLcanTxEvent *pXlCanTxEvt);
typedef XLstatus(PT_STDCALL *XLCANRECEIVE)(XLportHandle portHandle, XLcanRxEvent *pXlCanRxEvt);
typedef char *(PT_STDCALL *XLCANGETEVENTSTRING)(XLcanRxEvent *pEv);

// ---- entry points, as prototypes (implemented by the simulated driver) ------
extern "C" {
XL_API_DECL XLstatus PT_STDCALL xlOpenDriver(void);
XL_API_DECL XLstatus PT_STDCALL xlCloseDriver(void);
XL_API_DECL XLstatus PT_STDCALL xlGetDriverConfig(XLdriverConfig *pDriverConfig);
XL_API_DECL XLstatus PT_STDCALL xlGetApplConfig(char *appName, unsigned int appChannel, unsigned int *pHwType,
                                                unsigned int *pHwIndex, unsigned int *pHwChannel, unsigned int busType);
XL_API_DECL XLstatus PT_STDCALL xlSetApplConfig(char *appName, unsigned int appChannel, unsigned int hwType,
                                                unsigned int hwIndex, unsigned int hwChannel, unsigned int busType);
XL_API_DECL XLaccess PT_STDCALL xlGetChannelMask(int hwType, int hwIndex, int hwChannel);
XL_API_DECL XLstatus PT_STDCALL xlOpenPort(XLportHandle *pPortHandle, char *userName, XLaccess accessMask,
                                           XLaccess *pPermissionMask, unsigned int rxQueueSize,
                                           unsigned int xlInterfaceVersion, unsigned int busType);
XL_API_DECL XLstatus PT_STDCALL xlClosePort(XLportHandle portHandle);
XL_API_DECL XLstatus PT_STDCALL xlCanSetChannelBitrate(XLportHandle portHandle, XLaccess accessMask, XLulong bitrate);
XL_API_DECL XLstatus PT_STDCALL xlActivateChannel(XLportHandle portHandle, XLaccess accessMask, unsigned int busType,
                                                  unsigned int flags);
XL_API_DECL XLstatus PT_STDCALL xlDeactivateChannel(XLportHandle portHandle, XLaccess accessMask);
XL_API_DECL XLstatus PT_STDCALL xlCanAddAcceptanceRange(XLportHandle portHandle, XLaccess accessMask, XLulong firstId,
                                                        XLulong lastId);
XL_API_DECL XLstatus PT_STDCALL xlCanRemoveAcceptanceRange(XLportHandle portHandle, XLaccess accessMask,
                                                           XLulong firstId, XLulong lastId);
XL_API_DECL XLstatus PT_STDCALL xlCanSetChannelAcceptance(XLportHandle portHandle, XLaccess accessMask, XLulong code,
                                                          XLulong mask, unsigned int idRange);
XL_API_DECL XLstatus PT_STDCALL xlCanTransmit(XLportHandle portHandle, XLaccess accessMask, unsigned int *pEventCount,
                                              void *pEvents);
XL_API_DECL XLstatus PT_STDCALL xlReceive(XLportHandle portHandle, unsigned int *pEventCount, XLevent *pEvents);
XL_API_DECL char *PT_STDCALL xlGetEventString(XLevent *pEvent);
XL_API_DECL char *PT_STDCALL xlGetErrorString(XLstatus err);
XL_API_DECL XLstatus PT_STDCALL xlSetNotification(XLportHandle portHandle, XLhandle *pHandle, int queueLevel);
XL_API_DECL XLstatus PT_STDCALL xlCanFdSetConfiguration(XLportHandle portHandle, XLaccess accessMask,
                                                        XLcanFdConf *pCanFdConf);
XL_API_DECL XLstatus PT_STDCALL xlCanTransmitEx(XLportHandle portHandle, XLaccess accessMask, unsigned int msgCnt,
                                                unsigned int *pMsgCntSent, XLcanTxEvent *pXlCanTxEvt);
XL_API_DECL XLstatus PT_STDCALL xlCanReceive(XLportHandle portHandle, XLcanRxEvent *pXlCanRxEvt);
XL_API_DECL char *PT_STDCALL xlCanGetEventString(XLcanRxEvent *pEv);
}

#endif
