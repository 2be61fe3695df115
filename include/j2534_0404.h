/*
 * SAE J2534-1 v04.04 pass-thru interface as exported by pt_vector0404: the
 * generation with a device (PassThruOpen / PassThruClose and a DeviceID).
 * Records have 32-bit fields on every platform, as the 32-bit product has them.
 *
 * j2534.h may be included beside it, before or after: the records and the
 * names both generations share are declared once, with the same values. The
 * functions of both generations share their names, so only the header
 * included first declares its prototypes.
 */
#ifndef PT_VECTOR_J2534_0404_H
#define PT_VECTOR_J2534_0404_H

#include <stdint.h>

#ifndef PTAPI
#if defined(_WIN32)
#define PTAPI __stdcall
#else
#define PTAPI
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef PT_VECTOR_J2534_RECORDS
#define PT_VECTOR_J2534_RECORDS
#define PT_MSG_DATA_SIZE 4128u

typedef struct PASSTHRU_MSG {
    uint32_t ProtocolID;
    uint32_t RxStatus;
    uint32_t TxFlags;
    uint32_t Timestamp;
    uint32_t DataSize;
    uint32_t ExtraDataIndex;
    uint8_t Data[PT_MSG_DATA_SIZE];
} PASSTHRU_MSG;

typedef struct SCONFIG {
    uint32_t Parameter;
    uint32_t Value;
} SCONFIG;

typedef struct SCONFIG_LIST {
    uint32_t NumOfParams;
    SCONFIG *ConfigPtr;
} SCONFIG_LIST;
#endif

typedef struct SBYTE_ARRAY {
    uint32_t NumOfBytes;
    uint8_t *BytePtr;
} SBYTE_ARRAY;

/* Status codes */
#define STATUS_NOERROR 0x00u
#define ERR_NOT_SUPPORTED 0x01u
#define ERR_INVALID_CHANNEL_ID 0x02u
#define ERR_INVALID_PROTOCOL_ID 0x03u
#define ERR_NULL_PARAMETER 0x04u
#define ERR_INVALID_IOCTL_VALUE 0x05u
#define ERR_INVALID_FLAGS 0x06u
#define ERR_FAILED 0x07u
#define ERR_DEVICE_NOT_CONNECTED 0x08u
#define ERR_TIMEOUT 0x09u
#define ERR_INVALID_MSG 0x0Au
#define ERR_INVALID_TIME_INTERVAL 0x0Bu
#define ERR_EXCEEDED_LIMIT 0x0Cu
#define ERR_INVALID_MSG_ID 0x0Du
#define ERR_DEVICE_IN_USE 0x0Eu
#define ERR_INVALID_IOCTL_ID 0x0Fu
#define ERR_BUFFER_EMPTY 0x10u
#define ERR_BUFFER_FULL 0x11u
#define ERR_BUFFER_OVERFLOW 0x12u
#define ERR_PIN_INVALID 0x13u
#define ERR_CHANNEL_IN_USE 0x14u
#define ERR_MSG_PROTOCOL_ID 0x15u
#define ERR_INVALID_FILTER_ID 0x16u
#define ERR_NO_FLOW_CONTROL 0x17u
#define ERR_NOT_UNIQUE 0x18u
#define ERR_INVALID_BAUDRATE 0x19u
#define ERR_INVALID_DEVICE_ID 0x1Au

/* Protocols (this library serves CAN and ISO15765) */
#define J1850VPW 1u
#define J1850PWM 2u
#define ISO9141 3u
#define ISO14230 4u
#define CAN 5u
#define ISO15765 6u
#define SCI_A_ENGINE 7u
#define SCI_A_TRANS 8u
#define SCI_B_ENGINE 9u
#define SCI_B_TRANS 10u

/* PassThruConnect flags */
#define CAN_29BIT_ID 0x00000100u
#define ISO9141_NO_CHECKSUM 0x00000200u
#define CAN_ID_BOTH 0x00000800u
#define ISO9141_K_LINE_ONLY 0x00001000u

/* TxFlags */
#define ISO15765_FRAME_PAD 0x00000040u
#define ISO15765_ADDR_TYPE 0x00000080u
#define WAIT_P3_MIN_ONLY 0x00000200u
#define SW_CAN_HV_TX 0x00000400u
#define SCI_MODE 0x00400000u
#define SCI_TX_VOLTAGE 0x00800000u

/* RxStatus (ISO15765_ADDR_TYPE and CAN_29BIT_ID as above) */
#define TX_MSG_TYPE 0x00000001u
#define START_OF_MESSAGE 0x00000002u
#define RX_BREAK 0x00000004u
#define TX_INDICATION 0x00000008u
#define ISO15765_PADDING_ERROR 0x00000010u

/* Filter types */
#define PASS_FILTER 1u
#define BLOCK_FILTER 2u
#define FLOW_CONTROL_FILTER 3u

/* PassThruSetProgrammingVoltage */
#define SHORT_TO_GROUND 0xFFFFFFFEu
#define VOLTAGE_OFF 0xFFFFFFFFu

/* Ioctl identifiers */
#define GET_CONFIG 0x01u
#define SET_CONFIG 0x02u
#define READ_VBATT 0x03u
#define FIVE_BAUD_INIT 0x04u
#define FAST_INIT 0x05u
#define CLEAR_TX_BUFFER 0x07u
#define CLEAR_RX_BUFFER 0x08u
#define CLEAR_PERIODIC_MSGS 0x09u
#define CLEAR_MSG_FILTERS 0x0Au
#define CLEAR_FUNCT_MSG_LOOKUP_TABLE 0x0Bu
#define ADD_TO_FUNCT_MSG_LOOKUP_TABLE 0x0Cu
#define DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE 0x0Du
#define READ_PROG_VOLTAGE 0x0Eu

/* GET_CONFIG / SET_CONFIG parameters */
#define DATA_RATE 0x01u
#define LOOPBACK 0x03u
#define NODE_ADDRESS 0x04u
#define NETWORK_LINE 0x05u
#define P1_MIN 0x06u
#define P1_MAX 0x07u
#define P2_MIN 0x08u
#define P2_MAX 0x09u
#define P3_MIN 0x0Au
#define P3_MAX 0x0Bu
#define P4_MIN 0x0Cu
#define P4_MAX 0x0Du
#define BIT_SAMPLE_POINT 0x17u
#define SYNC_JUMP_WIDTH 0x18u
#define ISO15765_BS 0x1Eu
#define ISO15765_STMIN 0x1Fu
#define ISO15765_BS_TX 0x22u
#define ISO15765_STMIN_TX 0x23u
#define ISO15765_WFT_MAX 0x25u

#ifndef PT_VECTOR_J2534_PROTOTYPES
#define PT_VECTOR_J2534_0404_PROTOTYPES
uint32_t PTAPI PassThruOpen(void *pName, uint32_t *pDeviceID);
uint32_t PTAPI PassThruClose(uint32_t DeviceID);
uint32_t PTAPI PassThruConnect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                               uint32_t *pChannelID);
uint32_t PTAPI PassThruDisconnect(uint32_t ChannelID);
uint32_t PTAPI PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
uint32_t PTAPI PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
uint32_t PTAPI PassThruStartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pMsgID,
                                        uint32_t TimeInterval);
uint32_t PTAPI PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID);
uint32_t PTAPI PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, PASSTHRU_MSG *pMaskMsg,
                                      PASSTHRU_MSG *pPatternMsg, PASSTHRU_MSG *pFlowControlMsg, uint32_t *pFilterID);
uint32_t PTAPI PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID);
uint32_t PTAPI PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber, uint32_t Voltage);
uint32_t PTAPI PassThruReadVersion(uint32_t DeviceID, char *pFirmwareVersion, char *pDllVersion, char *pApiVersion);
uint32_t PTAPI PassThruGetLastError(char *pErrorDescription);
uint32_t PTAPI PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput);
#endif

#ifdef __cplusplus
}
#endif

#endif
