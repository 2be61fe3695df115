/*
 * SAE J2534 pass-thru interface as exported by pt_vector (the generation
 * without a device argument). Records have 32-bit fields on every platform.
 *
 * j2534_0404.h may be included beside it, before or after: the records and
 * the names both generations share are declared once, with the same values.
 * The functions of both generations share their names, so only the header
 * included first declares its prototypes.
 */
#ifndef PT_VECTOR_J2534_H
#define PT_VECTOR_J2534_H

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
#define ERR_BUFFER_EMPTY 0x10u

/* Protocols */
#define CAN 5u
#define ISO15765 6u

/* Connect and transmit flags */
#define ISO15765_FRAME_PAD 0x00000040u
#define ISO15765_ADDR_TYPE 0x00000080u
#define CAN_29BIT_ID 0x00000100u

/* RxStatus */
#define TX_MSG_TYPE 0x00000001u

/* Filter types */
#define PASS_FILTER 1u
#define BLOCK_FILTER 2u
#define FLOW_CONTROL_FILTER 3u

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
#define PT_IOCTLID_BUFFER_SIZE 0x00010001u
#define PT_IOCTLID_WAKEUP 0x00010002u
#define PT_IOCTLID_TIMEOUT_OFFSET 0x00010004u
#define PT_IOCTLID_QEL_SPECIAL 0x00010DACu

/* SET_CONFIG parameters */
#define DATA_RATE 0x01u
#define LOOPBACK 0x03u
#define ISO15765_BS 0x1Eu
#define ISO15765_STMIN 0x1Fu
#define PT_CFG_ORV_ADDRTBL_CANID_TESTER 0x00010007u
#define CP_P2_TIMEOUT 0x0001000Cu
#define PT_CFG_ORV_EXTADDRESSING 0x00010019u
#define CANECU_CLASS 0x00010020u
#define PT_CFG_ORV_P2EXTTIMEOUT7F78 0x00010106u
#define PT_CFG_ORV_P2MAX 0x00010107u

/* Output record of PT_IOCTLID_QEL_SPECIAL: two 32-bit fields on the 32-bit product. */
typedef struct PT_QEL_SPECIAL {
    char *Buffer;
    uint32_t Value;
} PT_QEL_SPECIAL;

#ifndef PT_VECTOR_J2534_0404_PROTOTYPES
#define PT_VECTOR_J2534_PROTOTYPES
uint32_t PTAPI PassThruConnect(uint32_t ProtocolID, uint32_t Flags, uint32_t *pChannelID);
uint32_t PTAPI PassThruDisconnect(uint32_t ChannelID);
uint32_t PTAPI PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
uint32_t PTAPI PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
uint32_t PTAPI PassThruStartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pMsgID,
                                        uint32_t TimeInterval);
uint32_t PTAPI PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID);
uint32_t PTAPI PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, PASSTHRU_MSG *pMaskMsg,
                                      PASSTHRU_MSG *pPatternMsg, PASSTHRU_MSG *pFlowControlMsg, uint32_t *pFilterID);
uint32_t PTAPI PassThruStopMsgFilter(uint32_t ChannelID, uint32_t MsgID);
uint32_t PTAPI PassThruSetProgrammingVoltage(uint32_t PinNumber, uint32_t Voltage);
uint32_t PTAPI PassThruReadVersion(char *pFirmwareVersion, char *pDllVersion, char *pApiVersion);
uint32_t PTAPI PassThruGetLastError(char *pErrorDescription);
uint32_t PTAPI PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput);
#endif

#ifdef __cplusplus
}
#endif

#endif
