/*
 * zelvorn.h - host library for the Zelvorn USB contactless reader.
 *
 * Every function is synchronous and returns a signed 16-bit result: 0 on
 * success, one of the negative ZELVORN error codes below, or a status word
 * of the reader passed through unchanged (read as a signed 16-bit value, so a
 * status with its top bit set comes out negative).
 *
 * A reader is addressed by the handle that Zelvorn_Open returns; the handle
 * equals the port number (0..19). The library keeps no settings and starts
 * no threads; calls on one reader must be serialised by the caller.
 *
 * Every pointer parameter is described by an @param line that begins with
 * its direction, "in", "out" or "in/out", and for bytes its extent: "1 byte"
 * for a single value, "<count> bytes" for an array. The Python and .NET
 * bindings take their declarations of these functions from those lines
 * (bindings/generate.py), so they must stay in that form.
 */
#ifndef ZELVORN_H
#define ZELVORN_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(ZELVORN_BUILDING) || defined(ZELVORN_STATIC)
#define ZELVORN_API
#else
#define ZELVORN_API __declspec(dllimport)
#endif
#else
#define ZELVORN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------ */

/** Success. */
#define RESULT_OK 0
/** A USB transfer failed, a reply was corrupt, a written value did not read
 *  back, or an ISO/IEC 14443-4 exchange broke off. */
#define ERR_FAILURE (-1000)
/** No reader at that position, or opening or setting it up failed. */
#define ERR_OPEN_FAILED (-2000)
/** The operating system refused access to the device (it is in use elsewhere
 *  or the user lacks permission). */
#define ERR_DEVICE_BUSY (-2010)
/** Handle outside 0..19, or no reader open in that slot. */
#define ERR_INVALID_HANDLE (-2020)
/** An argument outside its allowed set, or a required pointer is null. */
#define ERR_INVALID_PARAMETER (-2030)

/** Number of reader slots; valid handles and ports are 0..ZELVORN_MAX_READERS-1. */
#define ZELVORN_MAX_READERS 20

/* ---- Login key types (Zelvorn_Login) ----------------------------------- */

/** Key A given in the call. */
#define KEYTYPE_A 0xAA
/** Key B given in the call. */
#define KEYTYPE_B 0xBB
/** The reader's own key A. */
#define KEYTYPE_READER_A 0xAD
/** The reader's own key B. */
#define KEYTYPE_READER_B 0xBD
/** The reader's own key F. */
#define KEYTYPE_READER_F 0xFD
/** A key A the reader stores under a key number (Zelvorn_WriteMasterKey). */
#define KEYTYPE_STORED_A 0xAF
/** A key B the reader stores under a key number (Zelvorn_WriteMasterKey). */
#define KEYTYPE_STORED_B 0xBF

/* ---- Reader status record (Zelvorn_Status) ----------------------------- */

#if defined(_MSC_VER)
#pragma pack(push, 1)
#define ZELVORN_PACKED
#else
#define ZELVORN_PACKED __attribute__((packed))
#endif

/** The reader's status record, 10 bytes without gaps. The reader sends its
 *  wide fields big-endian; the library stores them in host byte order. */
typedef struct ZELVORN_PACKED ReaderStatusRecord {
    uint8_t statusA;
    uint32_t statusB;
    uint8_t statusC;
    uint8_t statusD;
    uint8_t statusE;
    uint16_t statusF;
} ReaderStatusRecord;

#if defined(_MSC_VER)
#pragma pack(pop)
#endif

/* The record must come out 10 bytes whatever the compiler: checked with the
 * language's own keyword where the compiler announces C11 or C++11, and
 * elsewhere (C89, C99, C++98, Visual C++ in C mode) with an array type whose
 * size turns negative, which every compiler refuses, if the check fails. */
#if defined(__cplusplus) && \
    (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))
static_assert(sizeof(ReaderStatusRecord) == 10, "ReaderStatusRecord must have no gaps");
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(ReaderStatusRecord) == 10, "ReaderStatusRecord must have no gaps");
#else
typedef char ReaderStatusRecord_must_have_no_gaps[sizeof(ReaderStatusRecord) == 10 ? 1 : -1];
#endif

/* ---- Opening and closing ------------------------------------------------ */

/**
 * Opens the port-th present reader (counted from 0 in the system's device
 * order) and resets it.
 * @param port 0..19.
 * @return the port number, which is the reader handle from now on;
 *         ERR_OPEN_FAILED when the port is out of range, no reader is at that
 *         position or it cannot be set up; ERR_DEVICE_BUSY when the system
 *         refuses access. Opening an open port returns the port at once and
 *         sends nothing.
 */
ZELVORN_API int16_t Zelvorn_Open(int16_t port);

/**
 * Closes a reader opened by Zelvorn_Open. Nothing is sent to the reader; the
 * RF field is left as it is.
 * @return 0, or ERR_INVALID_HANDLE for a handle outside 0..19 or an empty slot.
 */
ZELVORN_API int16_t Zelvorn_Close(int16_t handle);

/* ---- MIFARE Classic ----------------------------------------------------- */

/*
 * Each function below is one reader command. After the handle, a function
 * tests its own arguments and sends nothing when they are refused. A reply
 * whose reader status is 0 but whose length is not the one the command
 * expects gives 0 with every output untouched and, for the write commands,
 * nothing verified. Sector, block and key numbers go to the reader
 * unchanged; blocks 0..127 form sectors of 4 blocks, blocks 128..255 sectors
 * of 16. Values travel as signed 32-bit numbers.
 */

/**
 * Selects one card in the field.
 * @param cardType     out, 1 byte, may be null: the card type the reader reports.
 * @param serialLength out, 1 byte, may be null: the serial-number length.
 * @param serialNumber out, 10 bytes, may be null: the whole serial-number
 *                     field, whatever serialLength says.
 * @return 0, ERR_INVALID_HANDLE, ERR_FAILURE, or a reader status.
 */
ZELVORN_API int16_t Zelvorn_Select(int16_t handle, uint8_t* cardType, uint8_t* serialLength,
                                   uint8_t* serialNumber);

/**
 * Authenticates to a sector of the selected card.
 * @param keyType     one of the KEYTYPE_ constants.
 * @param storedKeyNo the number of a key the reader stores (see
 *                    Zelvorn_WriteMasterKey); read only for KEYTYPE_STORED_A
 *                    and KEYTYPE_STORED_B, and sent added to a base selector.
 * @param key         in, 6 bytes; read only for KEYTYPE_A and KEYTYPE_B, and
 *                    required for them.
 * @return 0 when the reader authenticated; ERR_INVALID_PARAMETER for another
 *         key type or a missing key; ERR_INVALID_HANDLE, ERR_FAILURE, or a
 *         reader status.
 */
ZELVORN_API int16_t Zelvorn_Login(int16_t handle, uint8_t sector, uint8_t keyType,
                                  uint8_t storedKeyNo, const uint8_t* key);

/**
 * Reads a 16-byte block.
 * @param data out, 16 bytes, required.
 * @return 0; ERR_INVALID_PARAMETER when data is null; ERR_INVALID_HANDLE,
 *         ERR_FAILURE, or a reader status.
 */
ZELVORN_API int16_t Zelvorn_Read(int16_t handle, uint8_t block, uint8_t* data);

/**
 * Writes a 16-byte block and compares what the reader echoes, except for a
 * sector trailer (the last block of a sector), whose echo is not compared.
 * @param data in, 16 bytes, required.
 * @return 0; ERR_FAILURE when the echo differs or the exchange fails;
 *         ERR_INVALID_PARAMETER when data is null; ERR_INVALID_HANDLE, or a
 *         reader status.
 */
ZELVORN_API int16_t Zelvorn_Write(int16_t handle, uint8_t block, const uint8_t* data);

/**
 * Reads a value block.
 * @param value out, may be null: the value.
 * @return 0, ERR_INVALID_HANDLE, ERR_FAILURE, or a reader status.
 */
ZELVORN_API int16_t Zelvorn_ReadValue(int16_t handle, uint8_t block, int32_t* value);

/**
 * Writes a value block and compares the value the reader echoes.
 * @return 0; ERR_FAILURE when the echo differs or the exchange fails;
 *         ERR_INVALID_HANDLE, or a reader status.
 */
ZELVORN_API int16_t Zelvorn_WriteValue(int16_t handle, uint8_t block, int32_t value);

/**
 * Increments a value block by amount.
 * @param value out, may be null: the value the reader reports back.
 * @return 0, ERR_INVALID_HANDLE, ERR_FAILURE, or a reader status.
 */
ZELVORN_API int16_t Zelvorn_Inc(int16_t handle, uint8_t block, int32_t amount, int32_t* value);

/**
 * Decrements a value block by amount.
 * @param value out, may be null: the value the reader reports back.
 * @return 0, ERR_INVALID_HANDLE, ERR_FAILURE, or a reader status.
 */
ZELVORN_API int16_t Zelvorn_Dec(int16_t handle, uint8_t block, int32_t amount, int32_t* value);

/**
 * Copies a value block to another block.
 * @param value out, may be null: the value the reader reports back.
 * @return 0, ERR_INVALID_HANDLE, ERR_FAILURE, or a reader status.
 */
ZELVORN_API int16_t Zelvorn_Copy(int16_t handle, uint8_t sourceBlock, uint8_t targetBlock,
                                 int32_t* value);

/**
 * Loads a key into the reader under keyNo, for logins with KEYTYPE_STORED_A
 * or KEYTYPE_STORED_B, and compares the key the reader echoes.
 * @param key in, 6 bytes, required.
 * @return 0; ERR_FAILURE when the echo differs or the exchange fails;
 *         ERR_INVALID_PARAMETER when key is null; ERR_INVALID_HANDLE, or a
 *         reader status.
 */
ZELVORN_API int16_t Zelvorn_WriteMasterKey(int16_t handle, uint8_t keyNo, const uint8_t* key);

/* ---- Several cards and raw telegrams ------------------------------------ */

/** Most cards one tag list can report: a reply carries at most 122 bytes, a
 *  6-byte head and a 12-byte entry per card. Size the arrays of
 *  Zelvorn_ListTags for this many cards. */
#define ZELVORN_MAX_LISTED_TAGS 9
/** Size of one serial-number field; serial numbers are 4, 7 or 10 bytes long. */
#define ZELVORN_SERIAL_FIELD 10
/** Longest telegram Zelvorn_TxDataTelegram sends (count, option byte and up to
 *  119 bytes for the card). */
#define ZELVORN_MAX_TELEGRAM 121
/** Longest answer Zelvorn_TxDataTelegram hands back. */
#define ZELVORN_MAX_TELEGRAM_RESPONSE 117
/** Longest packet Zelvorn_DirectSend sends. */
#define ZELVORN_MAX_DIRECT_PACKET 66
/** Largest receiveLength of Zelvorn_DirectReceive. */
#define ZELVORN_MAX_DIRECT_RECEIVE 64
/** Longest data Zelvorn_DirectSend and Zelvorn_DirectReceive hand back. */
#define ZELVORN_MAX_DIRECT_RESPONSE 59

/**
 * Lists the cards in the reader's field.
 * @param tagCount      out, 1 byte, required: the number of cards K.
 * @param cardTypes     out, ZELVORN_MAX_LISTED_TAGS bytes, required: K card types.
 * @param serialLengths out, ZELVORN_MAX_LISTED_TAGS bytes, required: K
 *                      serial-number lengths.
 * @param serialNumbers out, ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD bytes,
 *                      required: K fields of ZELVORN_SERIAL_FIELD bytes, card i
 *                      at bytes 10i..10i+9, each copied whole whatever its
 *                      length says.
 * @return 0; ERR_INVALID_HANDLE; ERR_FAILURE when the transfer fails or the
 *         reply claims more cards than it carries (nothing written); the
 *         transport's or the reader's status. The reader is asked before the
 *         pointers are examined: a null tagCount gives ERR_INVALID_PARAMETER
 *         after the exchange, a null array gives it with tagCount already
 *         written. A reply too short to hold a count gives 0 with nothing
 *         written.
 */
ZELVORN_API int16_t Zelvorn_ListTags(int16_t handle, uint8_t* tagCount, uint8_t* cardTypes,
                                     uint8_t* serialLengths, uint8_t* serialNumbers);

/**
 * Selects one card of the field by its serial number.
 * @param targetSerialLength 4, 7 or 10, else ERR_INVALID_PARAMETER (tested
 *                           before the handle).
 * @param targetSerialNumber in, targetSerialLength bytes; null gives
 *                           ERR_INVALID_PARAMETER.
 * @param cardType     out, 1 byte, optional: the selected card's type.
 * @param serialLength out, 1 byte, optional: its serial-number length.
 * @param serialNumber out, ZELVORN_SERIAL_FIELD bytes, optional: its
 *                     serial-number field, whole.
 * @return 0 (also for a reply of unexpected length, outputs untouched);
 *         ERR_INVALID_HANDLE; ERR_INVALID_PARAMETER; ERR_FAILURE; the
 *         transport's or the reader's status.
 */
ZELVORN_API int16_t Zelvorn_MultiTagSelect(int16_t handle, uint8_t targetSerialLength,
                                           const uint8_t* targetSerialNumber, uint8_t* cardType,
                                           uint8_t* serialLength, uint8_t* serialNumber);

/**
 * Passes a telegram through the reader to the card: byte 0 the number n of
 * bytes for the card, byte 1 an option byte for the reader, then the n bytes.
 * The telegram is sent as it is; its count is not compared with telegramLength.
 * @param telegramLength at most ZELVORN_MAX_TELEGRAM, else ERR_INVALID_PARAMETER
 *                       with nothing sent.
 * @param telegram       in, telegramLength bytes; may be null only for length 0.
 * @param responseLength out, 1 byte, optional: the length of the card's answer.
 * @param response       out, ZELVORN_MAX_TELEGRAM_RESPONSE bytes, optional: the
 *                       answer.
 * @return 0; ERR_INVALID_HANDLE; ERR_INVALID_PARAMETER; ERR_FAILURE, also when
 *         an output is asked for and the reply declares more answer bytes than
 *         it carries (outputs untouched); the transport's or the reader's
 *         status.
 */
ZELVORN_API int16_t Zelvorn_TxDataTelegram(int16_t handle, uint8_t telegramLength,
                                           const uint8_t* telegram, uint8_t* responseLength,
                                           uint8_t* response);

/**
 * Sends a command packet built by the caller: byte 0 the command code, byte 1
 * the data length N, then the data.
 * @param packetLength at most ZELVORN_MAX_DIRECT_PACKET (tested before the
 *                     handle); at least 2, and N must not exceed
 *                     packetLength - 2, else ERR_INVALID_PARAMETER with
 *                     nothing sent. A packet with fewer data bytes than it
 *                     holds is sent with N data bytes.
 * @param packet       in, packetLength bytes, required.
 * @param responseLength out, 1 byte, optional: P, the data length of the
 *                     reply. When given, response is filled only from a reply
 *                     whose length agrees with P.
 * @param response     out, ZELVORN_MAX_DIRECT_RESPONSE bytes, optional: the P
 *                     data bytes.
 * @return 0 (also for a reply whose length disagrees with P); ERR_INVALID_HANDLE;
 *         ERR_INVALID_PARAMETER; ERR_FAILURE, also when responseLength is null
 *         and the reply declares more data than it carries (response
 *         untouched); the transport's or the reader's status.
 */
ZELVORN_API int16_t Zelvorn_DirectSend(int16_t handle, uint8_t packetLength, const uint8_t* packet,
                                       uint8_t* responseLength, uint8_t* response);

/**
 * Sends the reader's receive request, asking for receiveLength bytes (the
 * request carries as many zero bytes). Outputs as for Zelvorn_DirectSend.
 * @param receiveLength at most ZELVORN_MAX_DIRECT_RECEIVE, else
 *                      ERR_INVALID_PARAMETER (tested before the handle).
 * @param responseLength out, 1 byte, optional: as for Zelvorn_DirectSend.
 * @param response       out, ZELVORN_MAX_DIRECT_RESPONSE bytes, optional: as
 *                       for Zelvorn_DirectSend.
 */
ZELVORN_API int16_t Zelvorn_DirectReceive(int16_t handle, uint8_t receiveLength,
                                          uint8_t* responseLength, uint8_t* response);

/**
 * Reads the ATQB of a type B card and hands back its application data and
 * protocol info (data bytes 5..11 of the answer).
 * @param atqb out, 7 bytes, required; null gives ERR_INVALID_PARAMETER with
 *             nothing sent. An answer of fewer than 12 bytes fills the
 *             bytes it covers and sets the rest of atqb to 0.
 * @return 0 (also for a reply whose length disagrees with its data length,
 *         atqb untouched); ERR_INVALID_HANDLE; ERR_INVALID_PARAMETER;
 *         ERR_FAILURE; the transport's or the reader's status.
 */
ZELVORN_API int16_t Zelvorn_ReadATQB(int16_t handle, uint8_t* atqb);

/* ---- Reader control and configuration ----------------------------------- */

/*
 * The reader functions below share these results besides their own: 0 also
 * for a reply of another length than the command's (its outputs are then left
 * untouched and a written value is not verified); ERR_INVALID_HANDLE for a
 * handle outside 0..19 or an empty slot (nothing sent); ERR_FAILURE when the
 * exchange fails, the reply is corrupt or carries more than 32 payload bytes
 * (40 for the status report); the reader's status word when it reports one
 * (outputs untouched).
 */

/**
 * Resets the reader. Any reply the reader carries out counts, whatever its
 * length.
 * @return 0, or one of the shared results.
 */
ZELVORN_API int16_t Zelvorn_Reset(int16_t handle);

/**
 * Fetches the reader's status report.
 * @param statusBlock out, 20 bytes, optional: the status block as the reader
 *        sends it (not terminated).
 * @param statusRecord out, optional: the status record, its wide fields in
 *        host byte order.
 * @return 0, or one of the shared results.
 */
ZELVORN_API int16_t Zelvorn_Status(int16_t handle, uint8_t* statusBlock,
                                   ReaderStatusRecord* statusRecord);

/**
 * Switches the reader's RF field off (state 0) or on (state 1); the reader
 * must echo the new state.
 * @return 0; ERR_INVALID_PARAMETER for any other state (nothing sent);
 *         ERR_FAILURE when the echo differs; or one of the shared results.
 */
ZELVORN_API int16_t Zelvorn_Power(int16_t handle, int8_t state);

/**
 * Reads one register of the reader's RC500 front end. Every register number
 * is sent as given.
 * @param value out, 1 byte, optional: the register's value.
 * @return 0, or one of the shared results.
 */
ZELVORN_API int16_t Zelvorn_ReadRC500Reg(int16_t handle, uint8_t regNo, uint8_t* value);

/**
 * Writes one register of the reader's RC500 front end.
 * @return 0; ERR_FAILURE when the reader echoes another value; or one of the
 *         shared results.
 */
ZELVORN_API int16_t Zelvorn_WriteRC500Reg(int16_t handle, uint8_t regNo, uint8_t value);

/**
 * Reads one byte of the reader's EEPROM. Every address is sent as given.
 * @param value out, 1 byte, optional: the byte.
 * @return 0, or one of the shared results.
 */
ZELVORN_API int16_t Zelvorn_ReadEEPROM(int16_t handle, uint8_t address, uint8_t* value);

/**
 * Writes one byte of the reader's EEPROM.
 * @return 0; ERR_FAILURE when the reader echoes another value; or one of the
 *         shared results.
 */
ZELVORN_API int16_t Zelvorn_WriteEEPROM(int16_t handle, uint8_t address, uint8_t value);

/**
 * Reads the reader's user port.
 * @param portState out, 1 byte, optional: the port's byte, all bits as read.
 * @return 0, or one of the shared results.
 */
ZELVORN_API int16_t Zelvorn_ReadUserPort(int16_t handle, uint8_t* portState);

/**
 * Sets the reader's user port. Only bits 6 and 2 (mask 0x44) are sent; the
 * others go out as 0, and the reader must echo the masked byte.
 * @return 0; ERR_FAILURE when the echo differs from the masked byte; or one
 *         of the shared results.
 */
ZELVORN_API int16_t Zelvorn_WriteUserPort(int16_t handle, uint8_t portState);

/**
 * Reports the library's version text, "Zelvorn DLL " and the version, 20
 * bytes with the terminating zero. Talks to no reader; may be called at any
 * time.
 * @param versionLength out, 1 byte, optional: 20, the terminating zero counted.
 * @param versionText out, 20 bytes, optional: the text.
 * @return 0, always.
 */
ZELVORN_API int16_t Zelvorn_RequestDLLVersion(uint8_t* versionLength, char* versionText);

/* ---- ASK tickets --------------------------------------------------------- */

/*
 * Sector contents are raw bytes in the order they travel. Each function gives
 * 0 also for a reply of another length than expected, sectorData then left as
 * passed; ERR_INVALID_HANDLE for a handle outside 0..19 or an empty slot;
 * ERR_INVALID_PARAMETER for a null sectorData (nothing sent); ERR_FAILURE
 * when the exchange fails or the reply is corrupt or carries more than 32
 * payload bytes; the reader's status word when it reports one (sectorData
 * untouched).
 */

/**
 * Reads the two bytes of one sector.
 * @param sectorData out, 2 bytes, required.
 */
ZELVORN_API int16_t Zelvorn_ASKSectorRead(int16_t handle, uint8_t sector, uint8_t* sectorData);

/**
 * Reads eight bytes addressed by one sector number.
 * @param sectorData out, 8 bytes, required.
 */
ZELVORN_API int16_t Zelvorn_ASKSectorMultiRead(int16_t handle, uint8_t sector, uint8_t* sectorData);

/**
 * Writes two bytes to one sector.
 * @param sectorData in/out, 2 bytes, required: the 2 bytes to write, replaced
 *        by the 2 bytes the reader reports after the write (not compared with
 *        them).
 * @param writeMode selects one of the reader's two sector-write commands:
 *        0 sends command 0x32, any other value command 0x33.
 */
ZELVORN_API int16_t Zelvorn_ASKSectorWrite(int16_t handle, uint8_t sector, uint8_t* sectorData,
                                           uint8_t writeMode);

/* ---- ISO/IEC 14443-4 block transmission ---------------------------------- */

/*
 * A processor card runs: select it, PICC_RATS, PICC_InitBlockNumber with the
 * FSCI of the ATS, any number of PICC_Xch_APDU, PICC_Deselect.
 *
 * The block number and the card's frame size (FSC) are kept once for the
 * whole process, not per reader or card: two cards on two readers share
 * them. They start at block number 0 and FSC 16 when the library is loaded
 * and change only through PICC_InitBlockNumber and PICC_Xch_APDU.
 */

/**
 * Starts block numbering afresh at 0 and sets the card's frame size from
 * the FSCI of its ATS. Talks to no reader and cannot fail.
 * @param fsci 0..8 select FSC 16, 24, 32, 40, 48, 64, 96, 128, 256; any other
 *        value selects 16.
 * @return the new FSC. Whatever the FSC, one block carries at most 118 APDU
 *         bytes, the most one telegram holds.
 */
ZELVORN_API int16_t PICC_InitBlockNumber(int16_t fsci);

/**
 * Sends RATS (CID 0) and returns the card's ATS. Changes no protocol state.
 * @param fsdi the FSDI to announce; values above 4 are sent as 4.
 * @param atsLength out, 1 byte, required: set to 48 on entry; on success the
 *        number of ATS bytes (at most 117).
 * @param ats out, 117 bytes, optional: the ATS as the reader delivers it,
 *        atsLength bytes of it.
 * @return 0; ERR_INVALID_HANDLE; ERR_FAILURE for a failed transfer or a
 *         reply that declares more bytes than it carries; otherwise the
 *         transport or reader status, unchanged.
 */
ZELVORN_API int16_t PICC_RATS(int16_t handle, uint8_t fsdi, uint8_t* atsLength, uint8_t* ats);

/**
 * Sends one command APDU to the card and returns its response APDU. A long
 * APDU goes as chained I-blocks of at most FSC bytes (and at most 118 bytes);
 * the card's requests for more time are granted without limit, a chaining
 * block the card answers with R(NAK) is sent again up to 8 times in all, and
 * a chained response is acknowledged block by block and joined.
 * @param optionFlag nonzero sends every block with option byte 0x0F, zero
 *        with 0x0C.
 * @param apduLength in/out, required: the number of APDU bytes (1..32767);
 *        reduced by each block the card accepts, so 0 after success and,
 *        after a failure, the number of bytes not yet accepted.
 * @param apdu in, apduLength bytes, required: the command APDU.
 * @param responseLength out, required: set to 0 on entry, then the number of
 *        response bytes delivered so far; on success the response length.
 * @param response out, up to 32767 bytes, required: the response APDU (the INF
 *        fields of the card's I-blocks, joined). The library is not told its
 *        size: provide room for the longest response the card may send, which
 *        the library bounds at 32767 bytes.
 * @return 0; ERR_INVALID_HANDLE; ERR_FAILURE when apduLength is 0 or less
 *         (nothing is sent), a transfer fails or the card's answers break
 *         the block protocol; otherwise the transport or reader status,
 *         unchanged. Nothing is undone on a failure: the block number stays
 *         advanced for every block built.
 */
ZELVORN_API int16_t PICC_Xch_APDU(int16_t handle, int32_t optionFlag, int16_t* apduLength,
                                  const uint8_t* apdu, int16_t* responseLength, uint8_t* response);

/**
 * Sends S(DESELECT) to the card; its answer is not examined. Changes no
 * protocol state.
 * @param optionFlag nonzero sends the block with option byte 0x0F, zero with
 *        0x0C.
 * @return 0 when the reader carried the telegram out; ERR_INVALID_HANDLE;
 *         ERR_FAILURE for a failed transfer; otherwise the transport or
 *         reader status, unchanged.
 */
ZELVORN_API int16_t PICC_Deselect(int16_t handle, int32_t optionFlag);

#ifdef __cplusplus
}
#endif

#endif /* ZELVORN_H */
