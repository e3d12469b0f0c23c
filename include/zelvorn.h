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

#ifdef __cplusplus
static_assert(sizeof(ReaderStatusRecord) == 10, "ReaderStatusRecord must have no gaps");
#else
_Static_assert(sizeof(ReaderStatusRecord) == 10, "ReaderStatusRecord must have no gaps");
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

/* ---- Several cards and raw telegrams ------------------------------------ */

/* ---- Reader control and configuration ----------------------------------- */

/* ---- ASK tickets --------------------------------------------------------- */

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
 * @param atsLength out, required: set to 48 on entry; on success the number
 *        of ATS bytes (at most 117).
 * @param ats out, optional (may be null): the ATS as the reader delivers it,
 *        atsLength bytes; provide 117 bytes.
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
 * @param apdu in, required: the command APDU.
 * @param responseLength out, required: set to 0 on entry, then the number of
 *        response bytes delivered so far; on success the response length.
 * @param response out, required: the response APDU (the INF fields of the
 *        card's I-blocks, joined). The library is not told its size: provide
 *        room for the longest response the card may send, which the library
 *        bounds at 32767 bytes.
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
